#define LOG_TAG "pwd"
#include "libpwd/libpwd.h"

#include <cstring>
#include <mbedtls/sha1.h>

#include "liblog/log2.h"
#include "libpal/string/pl_base64.h"

int libpwd_build_key(const char *user, const char *pwd, const char *cert, char *out, size_t size)
{
  if (!out || size < LIBPWD_KEY_LEN + 1)
    return -1;
  user = user ? user : "";
  pwd = pwd ? pwd : "";
  cert = cert ? cert : "";
  /* Safe to log: the password is written as "***" and the key not at all. The challenge (cert)
   * is no secret: the server sends it in the clear, and the key cannot be made from it without
   * the password. */
  LOGV("user=[%s] pwd=[***] cert=[%s]\n", user, cert);
  unsigned char digest[20];
  mbedtls_sha1_context c;
  mbedtls_sha1_init(&c);
  int rc = mbedtls_sha1_starts_ret(&c);
  const char *parts[] = {"VESKA", user, pwd, cert};
  for (const char *p : parts)
    if (rc == 0)
      rc = mbedtls_sha1_update_ret(&c, reinterpret_cast<const unsigned char *>(p), strlen(p));
  if (rc == 0)
    rc = mbedtls_sha1_finish_ret(&c, digest);
  mbedtls_sha1_free(&c);
  if (rc != 0)
    return -1;
  if (str_hex_encode(digest, sizeof digest, out, size) < 0)
    return -1;
  memset(digest, 0, sizeof digest);
  LOGV("lkey=[***]\n");
  return 0;
}
