#pragma once
/* What the TLS backends share: the wait between non-blocking steps, the pinning check and the
 * cipher-suite policy. */
#include <cstdint>

#include "libssl/ssl.h"

extern const ssl_backend ssl_backend_mbedtls;
#ifdef QV_TLS_OPENSSL
extern const ssl_backend ssl_backend_openssl;
#endif

enum { SSL_WANT_READ = 1, SSL_WANT_WRITE = 2 };

/* Waits for c's socket to become ready for want, at most until start + c->io_timeout, in slices of
 * 300 ms (read) or 500 ms (write) checking the abort word. 1 ready, 0 time-out (c->error -40),
 * -70 aborted (c->error set), -1 failed wait. */
int ssl_wait(net *c, int want, uint64_t start);

/* Compares the SHA-256 of the peer's certificate with the pinned text (64 upper-case digits);
 * an empty pin accepts anything. 0, or -1 with err filled. */
int ssl_pin_check(const char *pin, const unsigned char *der, size_t n, vperror *err);

/* Appends to a handshake failure the reason a peer most often fails for. */
extern const char SSL_POLICY_HINT[];

/* Time origin of the calls above. */
uint64_t ssl_now_ms();
