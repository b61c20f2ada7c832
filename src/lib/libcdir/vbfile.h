#pragma once
/* Single-file access of one endpoint: open, positioned read and write, create, set times,
 * truncate, close with attributes. One object per side, used by one thread at a time; the
 * operations go through a table so that a remote side uses the same calls.
 *
 * Results are 0 or a byte count, or a negative error code that is also the engine error of the
 * run (with a message naming the path). */
#include <cstddef>
#include <cstdint>
#include <string>

#include "libcdir/cdir_url.h"
#include "libpal/os/os_dirent.h"

struct vbfile;
struct file_hash;

/* How a file is opened. */
enum : int {
  VBFILE_O_READ = 0,  /* read only */
  VBFILE_O_WRITE = 1, /* write: created if missing, truncated */
  VBFILE_O_SYNC = 2,  /* block sync: read and write, created if missing, kept */
};

struct vbfile_ops {
  int (*open)(vbfile *f, const char *path, int how);
  int64_t (*pread)(vbfile *f, void *buf, size_t len, uint64_t offset);
  int64_t (*pwrite)(vbfile *f, const void *buf, size_t len, uint64_t offset);
  int (*truncate)(vbfile *f, uint64_t size);
  int (*create_file_or_dir)(vbfile *f, const file_attr *attr, const char *path, bool zz);
  int (*lutime)(vbfile *f, const file_attr *times, const char *path);
  int (*close)(vbfile *f, const file_attr *attr);
  void (*exit)(vbfile *f);
};

struct vbfile {
  const vbfile_ops *ops = nullptr;
  bool is_local = true;
  std::string url;
  vperror err{};
  cdir_ctx *ctx = nullptr;
  int fd = -1;
  std::string path; /* the open file's path */
  void *conn = nullptr; /* remote: the service connection */
  file_hash *hash = nullptr; /* block-hash job on the open file */
};

/* The single-file object of one side. A remote side is refused until the service client exists. */
vbfile *vbfile_init(cdir_ctx *ctx, url_info *info);
int vbfile_open_read(vbfile *f, const char *path);
/* block_sync keeps the content and opens for reading too. */
int vbfile_open_write(vbfile *f, const char *path, bool block_sync);
/* Reads up to len bytes at offset (fewer only at the end of the file). */
int64_t vbfile_pread(vbfile *f, void *buf, size_t len, uint64_t offset);
/* Writes all len bytes at offset. */
int64_t vbfile_pwrite(vbfile *f, const void *buf, size_t len, uint64_t offset);
/* Copies up to len bytes at offset from the open file of in to the open file of out inside the
 * kernel, when both are local and the system can. Returns the bytes copied (fewer only at the end
 * of the input), or VERR_NOTSUP when the caller must move the data itself (nothing was copied by
 * then), or another error code (engine error set). */
int64_t vbfile_copy_range(vbfile *in, vbfile *out, uint64_t offset, uint64_t len);
/* Multi-block requests exist on remote sides only: 0 here means "not offered". */
int vbfile_mread(vbfile *f);
int vbfile_mwrite(vbfile *f);
int vbfile_truncate(vbfile *f, uint64_t size);
/* Creates path as attr describes, with its attributes. With zz, path is an unescaped zz-string:
 * one part for a plain path, three (path, kind, stream name) for a stream. */
int vbfile_create_file_or_dir(vbfile *f, const file_attr *attr, const char *path, bool zz = false);
/* Sets the access and modification times of path from times, not following a final link. */
int vbfile_lutime(vbfile *f, const file_attr *times, const char *path);
/* Closes the open file; with attr, applies it to the file's path afterwards (a failure is logged
 * and does not fail the close). Closing a closed object is 0. */
int vbfile_close(vbfile *f, const file_attr *attr);
/* Starts a block-hash job on the open file: algorithms flags (FILE_HASH_*), blocks of bs bytes,
 * at most block_count blocks per range. */
int vbfile_hash_open(vbfile *f, uint32_t flags, uint32_t bs, uint32_t block_count);
/* Computes the digests of [offset, offset + len) and writes their text, one line per algorithm
 * ("pxxh3 <sums>"). Returns the text length or an error code. */
int vbfile_hash_get(vbfile *f, uint64_t offset, uint64_t len, char *text, size_t size);
/* The per-block digests of the range last computed ("pxxh3 d0|d1|...|"). */
int vbfile_hash_get2(vbfile *f, char *buf, size_t len);
/* The raw digest of one algorithm of the range last computed. */
int vbfile_hash_get_bin(vbfile *f, uint32_t flag, uint8_t *buf, size_t len);
void vbfile_hash_close(vbfile *f);
/* Closes what is open and frees the object. Null does nothing. */
void vbfile_exit(vbfile *f);
