#pragma once
/* Single-file access of one side, as the engine uses it: open, positioned read and write,
 * create, set times, truncate, block digests, close with attributes. One object per side (and per
 * copy lane), used by one thread at a time; every call goes to the side's endpoint (libep/ep.h).
 *
 * Results are 0 or a byte count, or a negative error code that is also the engine error of the
 * run (with a message naming the path); the object's own record (err) keeps the failure of the
 * handle, which the copy lanes read instead of the shared engine record. */
#include <cstddef>
#include <cstdint>
#include <string>

#include "libcdir/cdir_url.h"
#include "libpal/os/os_dirent.h"

struct vbfile {
  cdir_ctx *ctx = nullptr;
  ep *e = nullptr;        /* the side's endpoint, owned by its url_info */
  ep_file *h = nullptr;   /* the open file */
  std::string url;
  std::string path; /* the open file's path */
  vperror err{};
};

/* The single-file object of one side. Null (engine error set) when the side has no endpoint. */
vbfile *vbfile_init(cdir_ctx *ctx, url_info *info);
int vbfile_open_read(vbfile *f, const char *path);
/* block_sync keeps the content and opens for reading too. sole: a file that has further names
 * is replaced by a new one rather than written through (EP_O_SOLE). */
int vbfile_open_write(vbfile *f, const char *path, bool block_sync, bool sole);
/* Creates path for writing; fails with VERR_EXISTS when anything is there. */
int vbfile_open_new(vbfile *f, const char *path);
/* The next data of the open file at or after offset: 0 with [*data_off, *data_end), 1 when the
 * rest is a hole, or an error code. */
int vbfile_next_data(vbfile *f, uint64_t offset, uint64_t *data_off, uint64_t *data_end);
/* What the open file is now (size, times): how a change during its copy is noticed. */
int vbfile_stat(vbfile *f, os_dirent *d);
/* Reads up to len bytes at offset (fewer only at the end of the file). */
int64_t vbfile_pread(vbfile *f, void *buf, size_t len, uint64_t offset);
/* Writes all len bytes at offset. */
int64_t vbfile_pwrite(vbfile *f, const void *buf, size_t len, uint64_t offset);
/* Copies up to len bytes at offset from the open file of in to the open file of out inside the
 * kernel, when both sides' endpoints can. Returns the bytes copied (fewer only at the end of the
 * input), or VERR_NOTSUP when the caller must move the data itself (nothing was copied by then),
 * or another error code (engine error set). */
int64_t vbfile_copy_range(vbfile *in, vbfile *out, uint64_t offset, uint64_t len);
/* Multi-block requests exist on remote sides only: 0 here means "not offered". */
int vbfile_mread(vbfile *f);
int vbfile_mwrite(vbfile *f);
int vbfile_truncate(vbfile *f, uint64_t size);
/* Creates path as attr describes, with its attributes. With zz, path is an unescaped zz-string:
 * one part for a plain path, three (path, kind, stream name) for a stream. With noreplace an
 * existing entry stays and the call fails with VERR_EXISTS. */
int vbfile_create_file_or_dir(vbfile *f, const file_attr *attr, const char *path, bool zz = false,
                              bool noreplace = false);
/* Sets the access and modification times of path from times, not following a final link. */
int vbfile_lutime(vbfile *f, const file_attr *times, const char *path);
/* Closes the open file; with attr, applies it to the file first (a failure is logged and does
 * not fail the close). Closing a closed object is 0. */
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
/* XXH3-128 of the open file's whole content, read where the file lies. VERR_NOTSUP where the
 * side cannot tell. Failures stay in the object's record: the caller decides what they mean. */
int vbfile_digest(vbfile *f, uint8_t out[EP_DIGEST_LEN]);
/* Reports the failure of an operation (what) of f on path through cdir_fail: the handle's
 * message, which names the path, or one that does. */
void vbfile_fail(vbfile *f, int code, const char *what, const char *path);
/* Closes what is open and frees the object. Null does nothing. */
void vbfile_exit(vbfile *f);
