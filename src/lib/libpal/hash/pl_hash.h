#pragma once
/* Digest algorithms of the runtime behind one interface: MD5, SHA-1, SHA-256, SHA-512 (mbedTLS),
 * SM3 (own), XXH3 128-bit (xxHash). Each running state has a text form (lower-case hexadecimal
 * fields separated by ",", XXH3 as one hexadecimal string) that can be saved and loaded, so that a
 * digest over a range can be continued later or elsewhere. */
#include <cstddef>
#include <cstdint>
#include <string>

enum pl_hash_alg : int {
  PL_HASH_MD5 = 0,
  PL_HASH_SHA1,
  PL_HASH_SHA256,
  PL_HASH_SHA512,
  PL_HASH_SM3,
  PL_HASH_XXH3,
  PL_HASH_COUNT
};

constexpr size_t PL_HASH_MAX_LEN = 64;

struct pl_hash;

/* Digest length in bytes (16, 20, 32, 64, 32, 16) and name ("md5" ... "xxh3"). */
size_t pl_hash_len(pl_hash_alg alg);
const char *pl_hash_name(pl_hash_alg alg);

/* A fresh state; null when out of memory or alg is unknown. */
pl_hash *pl_hash_new(pl_hash_alg alg);
void pl_hash_free(pl_hash *h);
void pl_hash_reset(pl_hash *h);
void pl_hash_update(pl_hash *h, const void *data, size_t n);
/* Writes the digest (pl_hash_len bytes) and resets the state. Returns the length. */
size_t pl_hash_final(pl_hash *h, uint8_t *out);
/* Writes the digest of what was added so far and leaves the state running. Returns the length. */
size_t pl_hash_peek(const pl_hash *h, uint8_t *out);
/* The running state as text. */
std::string pl_hash_state_text(const pl_hash *h);
/* Loads a state text of the same algorithm; -1 (state unchanged) when it does not parse. */
int pl_hash_set_state(pl_hash *h, const char *text);

/* The digest of one buffer. */
size_t pl_hash_once(pl_hash_alg alg, const void *data, size_t n, uint8_t *out);
/* The 64-bit XXH3 of one buffer (not the 128-bit digest of PL_HASH_XXH3). */
uint64_t pl_hash_xxh3_64(const void *data, size_t n);

/* Lower-case hexadecimal of n bytes. */
std::string pl_hex(const uint8_t *p, size_t n);
