#pragma once
/* File hashing service: digests of a byte range of a file, for block-level comparison. Whole-range
 * digests (md5 ... xxh3) keep their running state as text so that a range can be continued later;
 * block sums ("p" variants) hash every block of bs bytes by itself and add the digests byte
 * position by byte position, so blocks may be hashed in any order and in parallel.
 *
 * One caller thread uses a service; in parallel mode the pool's workers hash the blocks. */
#include <cstddef>
#include <cstdint>
#include <string>

#include "libpal/comm/verr.h"

struct thread_pool;
struct file_hash;

enum : uint32_t {
  FILE_HASH_MD5 = 0x001,
  FILE_HASH_SHA1 = 0x002,
  FILE_HASH_PMD5 = 0x004,
  FILE_HASH_PSHA1 = 0x008,
  FILE_HASH_SHA256 = 0x010,
  FILE_HASH_PSHA256 = 0x020,
  FILE_HASH_SHA512 = 0x040,
  FILE_HASH_PSHA512 = 0x080,
  FILE_HASH_SM3 = 0x100,
  FILE_HASH_PSM3 = 0x200,
  FILE_HASH_XXH3 = 0x400,
  FILE_HASH_PXXH3 = 0x800,
  FILE_HASH_ALL = 0xFFF,
};

/* Flags of a ","-separated list of names (exact names); -1 when the list names none. */
int file_hash_flags(const char *names);
/* The names of a flag set, "|"-separated, in the order md5, sha1, sha256, sha512, sm3, xxh3,
 * pmd5, psha1, psha256, psha512, psm3, pxxh3. */
std::string file_hash_flags_text(uint32_t flags);

/* Positional read: bytes read (fewer at the end of the file), or a negative value on failure. */
typedef int64_t (*file_hash_read_fn)(void *file, void *buf, size_t len, uint64_t offset);
/* Told about a failed read of a caller's read procedure. */
typedef void (*file_hash_err_fn)(void *file, vperror *err);

struct file_hash_param {
  uint32_t flags = 0;
  void *file = nullptr;              /* handed to read; with the default read, a pointer to an int fd */
  file_hash_read_fn read = nullptr;  /* null: pread on *(int *)file */
  file_hash_err_fn err_cb = nullptr; /* required with a caller's read procedure */
  uint32_t timeout = 0;              /* ms for the hashing work of one call; 0 means 120000 */
  int64_t size = 0;                  /* read-ahead limit in bytes, 0: none; negative is refused */
  uint32_t cache_block = 0;          /* read-ahead block; 0 means 2 MiB */
  uint32_t bs = 0x10000;             /* block of reading and of block sums */
  uint32_t block_count = 0;          /* block records kept; 0: sized by the first range */
  const char *state = nullptr;       /* a previous file_hash_text to continue from */
  thread_pool *pool = nullptr;       /* parallel mode: the pool to use (else an own one) */
  bool parallel = false;
};

/* Null on failure with *errp set: -37 for flags outside FILE_HASH_ALL, -2 for no flag, a
 * negative size, a zero bs or a state text that does not load, -8 when out of memory. */
file_hash *file_hash_open(const file_hash_param *param, vperror *errp);
/* Hashes length bytes from offset (the block sums start afresh; whole-range states go on).
 * A range that runs past the end of the file ends there; one that starts beyond it is -110.
 * 0 or -1 with the error in file_hash_err. */
int file_hash_cal(file_hash *h, uint64_t offset, uint64_t length);
/* One line per selected algorithm ("md5 <state>", ..., "pxxh3 <sums>"), without a final newline.
 * Returns the length, or -1 when it does not fit size. */
int file_hash_text(file_hash *h, char *out, size_t size);
/* The raw digest of the first selected algorithm that is also in flag; a whole-range digest is
 * finished (its state starts afresh). Returns its length, or -1 when size is too small or no
 * algorithm matches. */
int file_hash_get(file_hash *h, uint32_t flag, uint8_t *out, size_t size);
/* The per-block digests of the p variants ("pmd5 d0|d1|...|" per line), then clears the sums.
 * out may be null: only the clearing. Returns the length or -1. */
int file_hash_records(file_hash *h, char *out, size_t size);
const vperror *file_hash_err(const file_hash *h);
void file_hash_close(file_hash *h);

/* CRC-8, polynomial 0x07, initial value 0, not reflected, no final XOR. */
uint8_t file_hash_crc8(const uint8_t *p, size_t n);
