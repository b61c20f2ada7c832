#pragma once
/* Creating entries of the local file system with their attributes. Results are 0 or a negative
 * error code (os_verr_get of the failing call). */
#include <cstdint>

#include "libpal/os/os_dirent.h"

/* Creates the directory path and its missing parents with mode (before the umask). An existing
 * directory is success; an existing entry of another kind is -105. */
int os_mkdirs(const char *path, uint32_t mode);

/* Creates the entry at path as attr describes, then applies attr (owner, mode, times):
 * a directory (with its parents) for kind 1, a symbolic link to attr->link_name for
 * TYPE_F_SYMLINK (an existing entry at path is removed first; a junction is -37), else an empty
 * regular file (an existing file is truncated). zz_path, when it is a zz-string of three parts
 * (path, kind, stream name), creates that stream instead (os_create_stream). A failed attribute
 * change is logged and does not fail the creation. */
int os_create_file_or_dir(const char *path, const file_attr *attr);
int os_create_file_or_dir_zz(const char *zz_path, const file_attr *attr);

/* Sets the access and modification times (seconds) of path without following a final link. */
int os_lutime(const char *path, uint64_t time_access, uint64_t time_write);
