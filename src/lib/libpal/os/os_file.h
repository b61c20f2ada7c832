#pragma once
/* Creating entries of the local file system with their attributes. Results are 0 or a negative
 * error code (os_verr_get of the failing call). */
#include <cstdint>

#include "libpal/os/os_dirent.h"

/* Creates the directory path and its missing parents with mode (before the umask). An existing
 * directory is success; an existing entry of another kind is -105. */
int os_mkdirs(const char *path, uint32_t mode);

/* Opens path for output (flags: O_WRONLY or O_RDWR, with O_TRUNC or not), creating it with mode
 * when missing. A symbolic link at path is removed and the file created in its place, so that
 * output never goes through a link. Returns the descriptor or the error code. */
int os_open_output(const char *path, int flags, uint32_t mode);

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

/* Removes a plain path (unlink, or rmdir for a directory), or from a zz-string path of three
 * parts the extended attribute (kind "X") of the base path, not following links; kinds "S" and
 * "A" are -37, a path that does not split is -2. del_mode is carried and makes no difference
 * here. */
int os_remove(const char *path, int del_mode);
int os_remove_zz(const char *zz_path, int del_mode);
/* Removes the directory path with everything below it, not following links. 0, or -1 when a
 * joined path does not fit 4096 bytes, a directory cannot be opened or a remove fails (errno
 * tells which). */
int os_remove_tree(const char *path, int del_mode);

/* Copies the value of the extended attribute name of in_path to out_path, not following links.
 * Returns the value length, or the error code. */
int64_t os_copy_xattr(const char *in_path, const char *out_path, const char *name);
