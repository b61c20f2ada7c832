#pragma once
/* Block codecs of service data: a fixed registry ("none" id 0, "lz4" id 1) chosen by name or id.
 * Each block is transformed on its own (LZ4 block format, no frame, no header), so blocks can be
 * decoded in any order; the lengths travel in the service messages.
 *
 * A handle belongs to one connection and is used by one thread at a time. */
#include <cstddef>
#include <cstdint>

/* One codec of the registry. */
struct zcomp_codec {
  const char *name;
  int32_t id;
  void *(*create)(void *arg);   /* working state, null on failure */
  void (*destroy)(void *state);
  /* output length, or negative; lz4 compress gives 0 when the output does not fit dst_cap */
  int (*compress)(void *state, const void *src, int src_len, void *dst, int dst_cap);
  int (*decompress)(void *state, const void *src, int src_len, void *dst, int dst_cap);
};

/* The registry, null-terminated, in the order none, lz4. */
const zcomp_codec *const *zcomp_codecs();

constexpr size_t ZCOMP_NAME_MAX = 15;

struct zcomp {
  const zcomp_codec *codec = nullptr; /* null while closed */
  void *state = nullptr;
  void *buffer = nullptr;             /* page-aligned scratch buffer */
  size_t capacity = 0;
  char name[ZCOMP_NAME_MAX + 1] = {}; /* "" chooses by id */
  int32_t id = 0;
};

/* Closes what is open, then opens the codec called name (exact match) or, when name is "", the
 * one with id; stores the opened codec's id. 0, or -1 when nothing matches or the state cannot be
 * made. */
int zcomp_open(zcomp *z);
/* Destroys the state and frees the buffer; may be called repeatedly. */
void zcomp_close(zcomp *z);
/* -1 when no codec is open, else the codec's result. */
int zcomp_compress(zcomp *z, const void *src, int src_len, void *dst, int dst_cap);
int zcomp_decompress(zcomp *z, const void *src, int src_len, void *dst, int dst_cap);
/* Decompresses into the handle's buffer, grown to expected bytes; *out points at it. 0 only when
 * the output is exactly expected bytes, else -1 (nothing is written past the buffer). */
int zcomp_decompress_exact(zcomp *z, const void *src, int src_len, void **out, int expected);
/* The same result, read only: a block that holds its data as it is (any block of "none", LZ4's
 * literal-only block as data that does not compress gives) is not copied, and *out points into
 * src, so it lives as long as src. 0 or -1 as zcomp_decompress_exact. */
int zcomp_decompress_view(zcomp *z, const void *src, int src_len, const void **out, int expected);
/* Largest output of len input bytes: 0 above 0x7E000000, else len + len / 255 + 16. */
uint32_t zcomp_bound(uint32_t len);
/* The scratch buffer, at least size bytes, aligned to the page size; reused when large enough,
 * its first byte set to 0. Null when it cannot be allocated (the handle then has no buffer). */
void *zcomp_alloc_align_pagesize(zcomp *z, size_t size);
