#include "libpal/string/pl_base64.h"

#include <mbedtls/base64.h>

size_t str_base64_len(size_t n)
{
  return (n + 2) / 3 * 4;
}

int str_base64_encode(const void *src, size_t n, char *out, size_t size)
{
  if (!out || size < str_base64_len(n) + 1)
    return -1;
  size_t olen = 0;
  if (mbedtls_base64_encode(reinterpret_cast<unsigned char *>(out), size, &olen,
                            static_cast<const unsigned char *>(src), n) != 0)
    return -1;
  out[olen] = 0;
  return (int)olen;
}

int str_base64_decode(const char *text, size_t n, void *out, size_t size)
{
  size_t olen = 0;
  int rc = mbedtls_base64_decode(static_cast<unsigned char *>(out), size, &olen,
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
