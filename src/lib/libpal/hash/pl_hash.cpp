#include "libpal/hash/pl_hash.h"

#define XXH_STATIC_LINKING_ONLY
#include <mbedtls/md5.h>
#include <mbedtls/sha1.h>
#include <mbedtls/sha256.h>
#include <mbedtls/sha512.h>
#include <xxhash.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

namespace {

/* SM3 (GB/T 32905-2016). */
struct sm3_ctx {
  uint32_t total[2]; /* bytes processed, low word first */
  uint32_t state[8];
  uint8_t buffer[64];
};

inline uint32_t rotl(uint32_t x, unsigned n)
{
  n &= 31;
  return n ? (x << n) | (x >> (32 - n)) : x;
}

void sm3_starts(sm3_ctx *c)
{
  static const uint32_t iv[8] = {0x7380166F, 0x4914B2B9, 0x172442D7, 0xDA8A0600,
                                 0xA96F30BC, 0x163138AA, 0xE38DEE4D, 0xB0FB0E4E};
  c->total[0] = c->total[1] = 0;
  memcpy(c->state, iv, sizeof iv);
  memset(c->buffer, 0, sizeof c->buffer);
}

void sm3_block(sm3_ctx *c, const uint8_t *p)
{
  uint32_t w[68], w1[64];
  for (int j = 0; j < 16; ++j)
    w[j] = (uint32_t(p[4 * j]) << 24) | (uint32_t(p[4 * j + 1]) << 16) | (uint32_t(p[4 * j + 2]) << 8) | p[4 * j + 3];
  for (int j = 16; j < 68; ++j) {
    uint32_t x = w[j - 16] ^ w[j - 9] ^ rotl(w[j - 3], 15);
    uint32_t p1 = x ^ rotl(x, 15) ^ rotl(x, 23);
    w[j] = p1 ^ rotl(w[j - 13], 7) ^ w[j - 6];
  }
  for (int j = 0; j < 64; ++j)
    w1[j] = w[j] ^ w[j + 4];
  uint32_t a = c->state[0], b = c->state[1], cc = c->state[2], d = c->state[3];
  uint32_t e = c->state[4], f = c->state[5], g = c->state[6], h = c->state[7];
  for (int j = 0; j < 64; ++j) {
    uint32_t t = j < 16 ? 0x79CC4519 : 0x7A879D8A;
    uint32_t ss1 = rotl(rotl(a, 12) + e + rotl(t, static_cast<unsigned>(j)), 7);
    uint32_t ss2 = ss1 ^ rotl(a, 12);
    uint32_t ff = j < 16 ? (a ^ b ^ cc) : ((a & b) | (a & cc) | (b & cc));
    uint32_t gg = j < 16 ? (e ^ f ^ g) : ((e & f) | (~e & g));
    uint32_t tt1 = ff + d + ss2 + w1[j];
    uint32_t tt2 = gg + h + ss1 + w[j];
    d = cc;
    cc = rotl(b, 9);
    b = a;
    a = tt1;
    h = g;
    g = rotl(f, 19);
    f = e;
    e = tt2 ^ rotl(tt2, 9) ^ rotl(tt2, 17);
  }
  c->state[0] ^= a;
  c->state[1] ^= b;
  c->state[2] ^= cc;
  c->state[3] ^= d;
  c->state[4] ^= e;
  c->state[5] ^= f;
  c->state[6] ^= g;
  c->state[7] ^= h;
}

void sm3_update(sm3_ctx *c, const uint8_t *p, size_t n)
{
  size_t fill = c->total[0] & 63;
  uint32_t lo = c->total[0] + static_cast<uint32_t>(n);
  c->total[1] += static_cast<uint32_t>(static_cast<uint64_t>(n) >> 32) + (lo < c->total[0] ? 1 : 0);
  c->total[0] = lo;
  if (fill && n >= 64 - fill) {
    memcpy(c->buffer + fill, p, 64 - fill);
    sm3_block(c, c->buffer);
    p += 64 - fill;
    n -= 64 - fill;
    fill = 0;
  }
  while (n >= 64) {
    sm3_block(c, p);
    p += 64;
    n -= 64;
  }
  if (n)
    memcpy(c->buffer + fill, p, n);
}

void sm3_finish(sm3_ctx *c, uint8_t out[32])
{
  uint64_t bits = ((static_cast<uint64_t>(c->total[1]) << 32) | c->total[0]) << 3;
  uint8_t pad[72] = {0x80};
  size_t fill = c->total[0] & 63;
  size_t padn = fill < 56 ? 56 - fill : 120 - fill;
  uint8_t len[8];
  for (int i = 0; i < 8; ++i)
    len[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
  sm3_update(c, pad, padn);
  sm3_update(c, len, 8);
  for (int i = 0; i < 8; ++i)
    for (int k = 0; k < 4; ++k)
      out[4 * i + k] = static_cast<uint8_t>(c->state[i] >> (24 - 8 * k));
}

/* Text of a sequence of values: lower-case hexadecimal, each followed by ",", the last one not. */
struct text_out {
  std::string s;
  void put(uint64_t v)
  {
    char b[24];
    snprintf(b, sizeof b, "%llx,", static_cast<unsigned long long>(v));
    s += b;
  }
  void bytes(const uint8_t *p, size_t n)
  {
    for (size_t i = 0; i < n; ++i)
      put(p[i]);
  }
  std::string done()
  {
    if (!s.empty())
      s.pop_back();
    return s;
  }
};

/* The values of a state text; false when a field is not hexadecimal or the count differs. */
bool parse_values(const char *text, size_t want, std::vector<uint64_t> *v)
{
  v->clear();
  const char *p = text;
  while (*p) {
    char *end = nullptr;
    errno = 0;
    unsigned long long x = strtoull(p, &end, 16);
    if (end == p || errno != 0 || (*end != ',' && *end != 0) || *p == '-' || *p == ' ' || *p == '+')
      return false;
    v->push_back(x);
    p = *end ? end + 1 : end;
    if (*end == ',' && !*p)
      return false;
  }
  return v->size() == want;
}

bool fits32(const std::vector<uint64_t> &v, size_t from, size_t n)
{
  for (size_t i = from; i < from + n; ++i)
    if (v[i] > 0xffffffffull)
      return false;
  return true;
}

bool fits8(const std::vector<uint64_t> &v, size_t from, size_t n)
{
  for (size_t i = from; i < from + n; ++i)
    if (v[i] > 0xff)
      return false;
  return true;
}

/* Byte count of a state from the bit-count words (low word first), and back. */
void bits_from_bytes(const uint32_t total[2], uint32_t bits[2])
{
  bits[0] = total[0] << 3;
  bits[1] = (total[1] << 3) | (total[0] >> 29);
}

void bytes_from_bits(const uint32_t bits[2], uint32_t total[2])
{
  total[0] = (bits[0] >> 3) | (bits[1] << 29);
  total[1] = bits[1] >> 3;
}

} // namespace

struct pl_hash {
  pl_hash_alg alg;
  union {
    mbedtls_md5_context md5;
    mbedtls_sha1_context sha1;
    mbedtls_sha256_context sha256;
    mbedtls_sha512_context sha512;
    sm3_ctx sm3;
  } u;
  XXH3_state_t *xxh = nullptr;
};

size_t pl_hash_len(pl_hash_alg alg)
{
  static const size_t len[] = {16, 20, 32, 64, 32, 16};
  return alg >= 0 && alg < PL_HASH_COUNT ? len[alg] : 0;
}

const char *pl_hash_name(pl_hash_alg alg)
{
  static const char *const names[] = {"md5", "sha1", "sha256", "sha512", "sm3", "xxh3"};
  return alg >= 0 && alg < PL_HASH_COUNT ? names[alg] : "";
}

pl_hash *pl_hash_new(pl_hash_alg alg)
{
  if (alg < 0 || alg >= PL_HASH_COUNT)
    return nullptr;
  auto *h = new (std::nothrow) pl_hash;
  if (!h)
    return nullptr;
  h->alg = alg;
  if (alg == PL_HASH_XXH3) {
    h->xxh = XXH3_createState();
    if (!h->xxh) {
      delete h;
      return nullptr;
    }
  }
  pl_hash_reset(h);
  return h;
}

void pl_hash_free(pl_hash *h)
{
  if (!h)
    return;
  if (h->xxh)
    XXH3_freeState(h->xxh);
  delete h;
}

void pl_hash_reset(pl_hash *h)
{
  switch (h->alg) {
  case PL_HASH_MD5:
    mbedtls_md5_init(&h->u.md5);
    mbedtls_md5_starts_ret(&h->u.md5);
    break;
  case PL_HASH_SHA1:
    mbedtls_sha1_init(&h->u.sha1);
    mbedtls_sha1_starts_ret(&h->u.sha1);
    break;
  case PL_HASH_SHA256:
    mbedtls_sha256_init(&h->u.sha256);
    mbedtls_sha256_starts_ret(&h->u.sha256, 0);
    break;
  case PL_HASH_SHA512:
    mbedtls_sha512_init(&h->u.sha512);
    mbedtls_sha512_starts_ret(&h->u.sha512, 0);
    break;
  case PL_HASH_SM3:
    sm3_starts(&h->u.sm3);
    break;
  case PL_HASH_XXH3:
    XXH3_128bits_reset(h->xxh);
    break;
  default:
    break;
  }
}

void pl_hash_update(pl_hash *h, const void *data, size_t n)
{
  auto *p = static_cast<const unsigned char *>(data);
  switch (h->alg) {
  case PL_HASH_MD5:
    mbedtls_md5_update_ret(&h->u.md5, p, n);
    break;
  case PL_HASH_SHA1:
    mbedtls_sha1_update_ret(&h->u.sha1, p, n);
    break;
  case PL_HASH_SHA256:
    mbedtls_sha256_update_ret(&h->u.sha256, p, n);
    break;
  case PL_HASH_SHA512:
    mbedtls_sha512_update_ret(&h->u.sha512, p, n);
    break;
  case PL_HASH_SM3:
    sm3_update(&h->u.sm3, p, n);
    break;
  case PL_HASH_XXH3:
    XXH3_128bits_update(h->xxh, p, n);
    break;
  default:
    break;
  }
}

size_t pl_hash_final(pl_hash *h, uint8_t *out)
{
  switch (h->alg) {
  case PL_HASH_MD5:
    mbedtls_md5_finish_ret(&h->u.md5, out);
    break;
  case PL_HASH_SHA1:
    mbedtls_sha1_finish_ret(&h->u.sha1, out);
    break;
  case PL_HASH_SHA256:
    mbedtls_sha256_finish_ret(&h->u.sha256, out);
    break;
  case PL_HASH_SHA512:
    mbedtls_sha512_finish_ret(&h->u.sha512, out);
    break;
  case PL_HASH_SM3:
    sm3_finish(&h->u.sm3, out);
    break;
  case PL_HASH_XXH3: {
    XXH128_canonical_t c;
    XXH128_canonicalFromHash(&c, XXH3_128bits_digest(h->xxh));
    memcpy(out, c.digest, 16);
    break;
  }
  default:
    return 0;
  }
  pl_hash_reset(h);
  return pl_hash_len(h->alg);
}

size_t pl_hash_peek(const pl_hash *h, uint8_t *out)
{
  if (h->alg == PL_HASH_XXH3) {
    /* XXH3's digest reads its state without changing it. */
    XXH128_canonical_t c;
    XXH128_canonicalFromHash(&c, XXH3_128bits_digest(h->xxh));
    memcpy(out, c.digest, 16);
    return 16;
  }
  /* The other contexts are plain structures: a copy finishes in their place. */
  pl_hash copy;
  copy.alg = h->alg;
  copy.u = h->u;
  return pl_hash_final(&copy, out);
}

std::string pl_hash_state_text(const pl_hash *h)
{
  text_out t;
  uint32_t bits[2];
  switch (h->alg) {
  case PL_HASH_MD5:
    for (uint32_t w : h->u.md5.state)
      t.put(w);
    bits_from_bytes(h->u.md5.total, bits);
    t.put(bits[0]);
    t.put(bits[1]);
    t.bytes(h->u.md5.buffer, 64);
    break;
  case PL_HASH_SHA1:
    for (uint32_t w : h->u.sha1.state)
      t.put(w);
    bits_from_bytes(h->u.sha1.total, bits);
    t.put(bits[0]);
    t.put(bits[1]);
    t.bytes(h->u.sha1.buffer, 64);
    break;
  case PL_HASH_SHA256: {
    uint64_t total = (static_cast<uint64_t>(h->u.sha256.total[1]) << 32) | h->u.sha256.total[0];
    t.put(total);
    for (uint32_t w : h->u.sha256.state)
      t.put(w);
    t.put(total & 63);
    t.bytes(h->u.sha256.buffer, 64);
    break;
  }
  case PL_HASH_SHA512:
    for (uint64_t w : h->u.sha512.state)
      t.put(w);
    t.put(h->u.sha512.total[0]);
    t.put(h->u.sha512.total[1]);
    t.bytes(h->u.sha512.buffer, 128);
    break;
  case PL_HASH_SM3:
    t.put(h->u.sm3.total[0]);
    t.put(h->u.sm3.total[1]);
    for (uint32_t w : h->u.sm3.state)
      t.put(w);
    t.bytes(h->u.sm3.buffer, 64);
    break;
  case PL_HASH_XXH3:
    return pl_hex(reinterpret_cast<const uint8_t *>(h->xxh), sizeof(XXH3_state_t));
  default:
    break;
  }
  return t.done();
}

int pl_hash_set_state(pl_hash *h, const char *text)
{
  if (!h || !text)
    return -1;
  std::vector<uint64_t> v;
  switch (h->alg) {
  case PL_HASH_MD5:
  case PL_HASH_SHA1: {
    size_t sw = h->alg == PL_HASH_MD5 ? 4 : 5;
    if (!parse_values(text, sw + 2 + 64, &v) || !fits32(v, 0, sw + 2) || !fits8(v, sw + 2, 64))
      return -1;
    uint32_t *state = h->alg == PL_HASH_MD5 ? h->u.md5.state : h->u.sha1.state;
    uint32_t *total = h->alg == PL_HASH_MD5 ? h->u.md5.total : h->u.sha1.total;
    unsigned char *buf = h->alg == PL_HASH_MD5 ? h->u.md5.buffer : h->u.sha1.buffer;
    uint32_t bits[2] = {static_cast<uint32_t>(v[sw]), static_cast<uint32_t>(v[sw + 1])};
    if (bits[0] & 7)
      return -1;
    for (size_t i = 0; i < sw; ++i)
      state[i] = static_cast<uint32_t>(v[i]);
    bytes_from_bits(bits, total);
    for (size_t i = 0; i < 64; ++i)
      buf[i] = static_cast<unsigned char>(v[sw + 2 + i]);
    return 0;
  }
  case PL_HASH_SHA256:
    if (!parse_values(text, 1 + 8 + 1 + 64, &v) || !fits32(v, 1, 9) || !fits8(v, 10, 64) || v[9] != (v[0] & 63))
      return -1;
    h->u.sha256.total[0] = static_cast<uint32_t>(v[0]);
    h->u.sha256.total[1] = static_cast<uint32_t>(v[0] >> 32);
    for (size_t i = 0; i < 8; ++i)
      h->u.sha256.state[i] = static_cast<uint32_t>(v[1 + i]);
    for (size_t i = 0; i < 64; ++i)
      h->u.sha256.buffer[i] = static_cast<unsigned char>(v[10 + i]);
    return 0;
  case PL_HASH_SHA512:
    if (!parse_values(text, 8 + 2 + 128, &v) || !fits8(v, 10, 128))
      return -1;
    for (size_t i = 0; i < 8; ++i)
      h->u.sha512.state[i] = v[i];
    h->u.sha512.total[0] = v[8];
    h->u.sha512.total[1] = v[9];
    for (size_t i = 0; i < 128; ++i)
      h->u.sha512.buffer[i] = static_cast<unsigned char>(v[10 + i]);
    return 0;
  case PL_HASH_SM3:
    if (!parse_values(text, 2 + 8 + 64, &v) || !fits32(v, 0, 10) || !fits8(v, 10, 64))
      return -1;
    h->u.sm3.total[0] = static_cast<uint32_t>(v[0]);
    h->u.sm3.total[1] = static_cast<uint32_t>(v[1]);
    for (size_t i = 0; i < 8; ++i)
      h->u.sm3.state[i] = static_cast<uint32_t>(v[2 + i]);
    for (size_t i = 0; i < 64; ++i)
      h->u.sm3.buffer[i] = static_cast<uint8_t>(v[10 + i]);
    return 0;
  case PL_HASH_XXH3: {
    size_t n = sizeof(XXH3_state_t);
    if (strlen(text) != 2 * n)
      return -1;
    std::vector<uint8_t> raw(n);
    for (size_t i = 0; i < n; ++i) {
      char b[3] = {text[2 * i], text[2 * i + 1], 0};
      char *end = nullptr;
      unsigned long x = strtoul(b, &end, 16);
      if (*end || !isxdigit(static_cast<unsigned char>(b[0])) || !isxdigit(static_cast<unsigned char>(b[1])))
        return -1;
      raw[i] = static_cast<uint8_t>(x);
    }
    /* States here always use the default secret; the pointer to it that the saved bytes carry
     * belongs to the process that saved them, so it is replaced by this process's own. */
    const void *secret = nullptr;
    {
      XXH3_128bits_reset(h->xxh);
      secret = h->xxh->extSecret;
    }
    memcpy(h->xxh, raw.data(), n);
    h->xxh->extSecret = static_cast<const unsigned char *>(secret);
    return 0;
  }
  default:
    return -1;
  }
}

size_t pl_hash_once(pl_hash_alg alg, const void *data, size_t n, uint8_t *out)
{
  pl_hash *h = pl_hash_new(alg);
  if (!h)
    return 0;
  pl_hash_update(h, data, n);
  size_t len = pl_hash_final(h, out);
  pl_hash_free(h);
  return len;
}

uint64_t pl_hash_xxh3_64(const void *data, size_t n)
{
  return XXH3_64bits(data, n);
}

std::string pl_hex(const uint8_t *p, size_t n)
{
  static const char digits[] = "0123456789abcdef";
  std::string s(2 * n, '0');
  for (size_t i = 0; i < n; ++i) {
    s[2 * i] = digits[p[i] >> 4];
    s[2 * i + 1] = digits[p[i] & 15];
  }
  return s;
}
