#pragma once
/* The login key of the challenge login: what both ends compute from the account and the server's
 * challenge, so that the password itself never travels.
 *
 * Neither the password nor the key is ever written to a log, at any level. */
#include <cstddef>

constexpr size_t LIBPWD_KEY_LEN = 40; /* hexadecimal digits of the key */

/* SHA-1 of "VESKA" + user + pwd + cert (no separators), as 40 lower-case hexadecimal digits and a
 * NUL in out (at least LIBPWD_KEY_LEN + 1 bytes). Null texts count as "". 0, or -1 when out is too
 * small or the digest fails. */
int libpwd_build_key(const char *user, const char *pwd, const char *cert, char *out, size_t size);
