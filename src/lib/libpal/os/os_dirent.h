#pragma once
/* Directory entry records of the local file system: the type word, the record filled from lstat,
 * the directory reader that fills one record per entry, the attribute block applied to a created
 * entry, and the creation of stream entries (extended attributes).
 *
 * Results are 0 (or 1 for "an entry was read") or a negative error code. */
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "libpal/comm/verr.h"

/* Type word: the kind in the low 9 bits, flags above. A kind test masks with TYPE_KIND_MASK, so a
 * set flag 0x100 makes the masked value differ from every kind. */
enum : uint32_t {
  TYPE_DIR = 1,
  TYPE_FILE = 2, /* regular file, also a symbolic link whose target is not a directory */
  TYPE_DEV = 3,  /* character or block device, FIFO or socket */
  TYPE_KIND_MASK = 0x1ff,
  TYPE_F_SYMLINK = 0x100,    /* link_name holds the link text */
  TYPE_F_JUNCTION = 0x200,   /* set only by Windows peers */
  TYPE_F_SPARSE = 0x400,     /* size exceeds the allocated blocks times 512 */
  TYPE_F_NOMODE = 0x800,     /* host without POSIX modes; the mode to apply is alt_mode */
  TYPE_F_HAS_SUBDIR = 0x1000 /* directory with at least one subdirectory (only when asked for) */
};

inline uint32_t os_type_kind(uint32_t type)
{
  return type & TYPE_KIND_MASK;
}

/* Reader options. 1, 8 and 16 are accepted from the listing flags and have no effect here. */
enum : uint32_t {
  OS_DIRENT_O_DEFAULT = 0x01,
  OS_DIRENT_O_XATTR = 0x04,  /* collect extended attributes into the stream list */
  OS_DIRENT_O_MOUNT = 0x20,  /* directory reader: mark mount points (TYPE_F_SYMLINK, link text ".") */
  OS_DIRENT_O_SUBDIR = 0x40, /* set TYPE_F_HAS_SUBDIR on directories that have a subdirectory */
};

constexpr size_t OS_DIRENT_LINK_SIZE = 4096;
constexpr size_t OS_DIRENT_NAME_SIZE = 512;

struct os_dirent {
  uint32_t type = 0;
  uint32_t attrib_mode = 0; /* st_mode with the file-type bits; not applied with TYPE_F_NOMODE */
  uint32_t uid = 0;
  uint32_t gid = 0;
  int64_t size = 0;
  int64_t time_access = 0;
  uint32_t time_access_ns = 0;
  int64_t time_write = 0;
  uint32_t time_write_ns = 0;
  int64_t time_create = 0; /* st_ctim here */
  uint32_t time_create_ns = 0;
  uint64_t st_nlink = 0;
  uint64_t st_dev = 0;
  uint64_t st_rdev = 0;
  uint64_t st_ino = 0;
  uint64_t file_id_ext = 0; /* never filled on this host */
  uint64_t st_blksize = 0;
  uint64_t st_blocks = 0;
  /* Stream list: one "name\tkind\tsize\n" line per stream; empty when there is none. For an
   * extended attribute here: the attribute name, "X" and the value length. */
  std::string streams;
  char link_name[OS_DIRENT_LINK_SIZE] = {}; /* empty when none */
  char name[OS_DIRENT_NAME_SIZE] = {};
};

/* Resets every field. */
void os_dirent_clear(os_dirent *d);
/* Mode, owner, size, times, link count and the device and inode numbers from st; the type word,
 * name and link text are left as they are. */
void os_dirent_set_stat(os_dirent *d, const struct stat *st);

/* Kind of a POSIX st_mode. An unknown file type logs "dir=[dir] item=[name] unrecognized mode"
 * and gives TYPE_FILE; dir and name only serve that line and may be null. */
uint32_t os_mode_2_kind(uint32_t st_mode, const char *dir, const char *name);

/* Fills d from lstat of path. A symbolic link takes its kind from the target when stat of the
 * target succeeds, gets TYPE_F_SYMLINK and its link text; name is the last path component.
 * Options: OS_DIRENT_O_XATTR, OS_DIRENT_O_SUBDIR. Returns 0 or the error code (-102 when the path
 * does not exist, -120 when its last component does not fit name). */
int os_ldirent(const char *path, uint32_t opt, os_dirent *d);

/* Directory reader. One thread at a time per reader. */
struct os_dir;
/* Opens path (a link to a directory is followed). Null on failure with err filled (err may be
 * null). */
os_dir *os_opendir(const char *path, uint32_t opt, vperror *err);
/* The same over a directory descriptor the caller opened (it is taken over, also on failure);
 * path names the directory in entries and messages. */
os_dir *os_opendir_fd(int fd, const char *path, uint32_t opt, vperror *err);
/* Fills e with the next entry ("." and ".." skipped) and returns 1; at the end returns 0, or the
 * first error met: a failed read, or an entry that could not be described (it is skipped with a
 * warning and the others still come). An entry that vanished before it was described is skipped
 * silently. */
int os_readdir(os_dir *d, os_dirent *e);
/* The path the reader was opened with. */
const char *os_dir_path(const os_dir *d);
void os_closedir(os_dir *d);

/* POSIX form of a record: with TYPE_F_NOMODE the mode becomes 0x41FD for kind 1 and 0x81FD
 * otherwise, else attrib_mode; every other field is copied. */
void os_dirent_2_stat(const os_dirent *d, struct stat *st);

/* Attribute block applied when an entry is created. */
struct file_attr {
  const char *link_name = nullptr;
  uint32_t type = 0;
  uint32_t attrib_mode = 0;
  uint32_t alt_mode = 0;
  uint32_t uid = 0;
  uint32_t gid = 0;
  uint64_t time_access = 0;
  uint64_t time_write = 0;
  uint64_t time_create = 0; /* carried, never applied */
  uint64_t rdev = 0;        /* device number of a device node to create */
};

/* Applies owner, mode and times to path without following a symbolic link: lchown, then the
 * mode (alt_mode with TYPE_F_NOMODE, else attrib_mode; a link keeps its mode), then access and
 * modification times. A failed lchown also clears the set-user-ID and set-group-ID bits of the
 * mode. Every step runs; the result is 0, or -1 when any step failed (each failure is logged). */
int os_set_file_lstat(const char *path, const file_attr *attr);
/* The same through an open descriptor of the entry (fchown, fchmod, futimens): no path lookups.
 * path names the entry in the messages only. */
/* With now (the descriptor's status, taken after it was last changed), the owner and the mode
 * are set only where they differ from it: a file just made is often right already. */
int os_set_file_fattr(int fd, const char *path, const file_attr *attr, const struct stat *now = nullptr);

/* Creates the stream entry (kind, stream name) of path: kind "X" sets the extended attribute with
 * an empty value without following links; kind "S" (alternate data stream) is -37; any other
 * kind is -2. */
int os_create_stream(const char *path, const char *kind, const char *stream_name);
/* The same from an unescaped zz-string path of exactly three parts (path, kind, stream name);
 * any other number of parts is -2. */
int os_create_stream_zz(const char *zz_path);
/* Junctions exist only on Windows hosts: logs the refusal and returns -37. */
int os_create_junction(const char *path, const char *target);
