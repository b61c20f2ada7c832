#include "libpal/string/pl_base64.h"

#include <mbedtls/base64.h>

#include <cstdint>

size_t str_base64_len(size_t n)
{
  return (n + 2) / 3 * 4;
}

/* File contents travel in Base64 inside batch lists, megabytes per request: encoding and decoding
 * run through tables here. The library's codec, which takes constant time per character for key
 * material, stays for text that the fast decoder does not take (white space, line breaks). */
namespace {

constexpr char k_b64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

struct b64_table {
  signed char v[256];
  constexpr b64_table() : v()
  {
    for (int i = 0; i < 256; i++)
      v[i] = -1;
    for (int i = 0; i < 64; i++)
      v[static_cast<unsigned char>(k_b64[i])] = static_cast<signed char>(i);
  }
};
constexpr b64_table k_b64_dec;

/* Strict text: groups of four alphabet characters, "=" only as the last one or two. The byte
 * count, -2 when it does not fit, -3 when the text is not strict (the caller asks the library). */
int decode_strict(const unsigned char *t, size_t n, unsigned char *o, size_t size)
{
  if (n % 4)
    return -3;
  size_t pad = 0;
  if (n >= 4 && t[n - 1] == '=')
    pad = t[n - 2] == '=' ? 2 : 1;
  size_t need = n / 4 * 3 - pad;
  if (need > size)
    return -2;
  if (need > INT32_MAX)
    return -3;
  size_t full = pad ? n - 4 : n;
  size_t w = 0;
  for (size_t i = 0; i < full; i += 4) {
    int a = k_b64_dec.v[t[i]], b = k_b64_dec.v[t[i + 1]], c = k_b64_dec.v[t[i + 2]], d = k_b64_dec.v[t[i + 3]];
    if ((a | b | c | d) < 0)
      return -3;
    uint32_t x = static_cast<uint32_t>(a) << 18 | static_cast<uint32_t>(b) << 12 | static_cast<uint32_t>(c) << 6 |
                 static_cast<uint32_t>(d);
    o[w++] = static_cast<unsigned char>(x >> 16);
    o[w++] = static_cast<unsigned char>(x >> 8);
    o[w++] = static_cast<unsigned char>(x);
  }
  if (pad) {
    const unsigned char *q = t + full;
    int a = k_b64_dec.v[q[0]], b = k_b64_dec.v[q[1]], c = pad == 1 ? k_b64_dec.v[q[2]] : 0;
    if ((a | b | c) < 0)
      return -3;
    uint32_t x = static_cast<uint32_t>(a) << 18 | static_cast<uint32_t>(b) << 12 | static_cast<uint32_t>(c) << 6;
    /* Bits that the padding leaves over are dropped, as the library's codec drops them. */
    o[w++] = static_cast<unsigned char>(x >> 16);
    if (pad == 1)
      o[w++] = static_cast<unsigned char>(x >> 8);
  }
  return static_cast<int>(w);
}

} // namespace

int str_base64_encode(const void *src, size_t n, char *out, size_t size)
{
  size_t len = str_base64_len(n);
  if (!out || size < len + 1 || len > INT32_MAX)
    return -1;
  const unsigned char *p = static_cast<const unsigned char *>(src);
  size_t i = 0, o = 0;
  for (; i + 3 <= n; i += 3) {
    uint32_t x = static_cast<uint32_t>(p[i]) << 16 | static_cast<uint32_t>(p[i + 1]) << 8 | p[i + 2];
    out[o++] = k_b64[x >> 18];
    out[o++] = k_b64[(x >> 12) & 63];
    out[o++] = k_b64[(x >> 6) & 63];
    out[o++] = k_b64[x & 63];
  }
  if (i < n) {
    uint32_t x = static_cast<uint32_t>(p[i]) << 16 | (i + 1 < n ? static_cast<uint32_t>(p[i + 1]) << 8 : 0);
    out[o++] = k_b64[x >> 18];
    out[o++] = k_b64[(x >> 12) & 63];
    out[o++] = i + 1 < n ? k_b64[(x >> 6) & 63] : '=';
    out[o++] = '=';
  }
  out[o] = 0;
  return static_cast<int>(o);
}

int str_base64_decode(const char *text, size_t n, void *out, size_t size)
{
  if (!text && n)
    return -1;
  int rc = decode_strict(reinterpret_cast<const unsigned char *>(text), n, static_cast<unsigned char *>(out), size);
  if (rc != -3)
    return rc;
  size_t olen = 0;
  rc = mbedtls_base64_decode(static_cast<unsigned char *>(out), size, &olen,
                             reinterpret_cast<const unsigned char *>(text), n);
  if (rc == MBEDTLS_ERR_BASE64_BUFFER_TOO_SMALL)
    return -2;
  if (rc != 0)
    return -1;
  return (int)olen;
}

static const char k_lower[] = "0123456789abcdef";
static const char k_upper[] = "0123456789ABCDEF";

int str_hex_encode(const void *src, size_t n, char *out, size_t size)
{
  if (!out || size < n * 2 + 1)
    return -1;
  const unsigned char *p = static_cast<const unsigned char *>(src);
  for (size_t i = 0; i < n; i++) {
    out[2 * i] = k_lower[p[i] >> 4];
    out[2 * i + 1] = k_lower[p[i] & 15];
  }
  out[2 * n] = 0;
  return (int)(2 * n);
}

int str_hex_encode_sep(const void *src, size_t n, char sep, char *out, size_t size)
{
  size_t need = n * 2 + (sep && n ? n - 1 : 0) + 1;
  if (!out || size < need)
    return -1;
  const unsigned char *p = static_cast<const unsigned char *>(src);
  size_t o = 0;
  for (size_t i = 0; i < n; i++) {
    if (sep && i)
      out[o++] = sep;
    out[o++] = k_upper[p[i] >> 4];
    out[o++] = k_upper[p[i] & 15];
  }
  out[o] = 0;
  return (int)o;
}

static int hex_digit(char c)
{
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

int str_hex_decode(const char *text, size_t n, void *out, size_t size)
{
  if (!text || n % 2)
    return -1;
  for (size_t i = 0; i < n; i++)
    if (hex_digit(text[i]) < 0)
      return -1;
  if (n / 2 > size)
    return -2;
  unsigned char *o = static_cast<unsigned char *>(out);
  for (size_t i = 0; i < n; i += 2)
    o[i / 2] = (unsigned char)(hex_digit(text[i]) << 4 | hex_digit(text[i + 1]));
  return (int)(n / 2);
}
