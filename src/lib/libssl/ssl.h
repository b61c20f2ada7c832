#pragma once
/* TLS channel over the TCP connections of libnet, client and server roles.
 *
 * Two backends sit behind one table (`ssl_backend`): OpenSSL (the default when built) and mbedTLS
 * (always built; the default with -DQV_TLS_BACKEND=mbedtls). Both ends offer and accept only
 * TLS 1.2 or later with forward-secret AEAD suites (ECDHE with AES-GCM or ChaCha20-Poly1305); a
 * peer that offers nothing else fails the handshake with a message that says so.
 *
 * The client does not verify the server certificate (self-signed servers keep working) unless a
 * fingerprint is pinned: the URL query key tls_fingerprint= (SHA-256 of the server certificate,
 * 64 hex digits in either case, colons allowed) makes the handshake fail unless the certificate
 * matches.
 *
 * After a handshake the connection carries the backend's stream table, so net_read, net_write and
 * net_close work on it as on plain TCP, with the same time limits and abort.
 *
 * Threads: libssl_init, ssl_backend_select and ssl_cli_exit at start-up and shutdown; handshakes
 * may run on several threads at once; a connection is used by one thread at a time. */
#include <cstddef>

#include "libnet/net.h"

struct ssl_srv;

/* One TLS implementation. */
struct ssl_backend {
  const char *name; /* "openssl", "mbedtls" */
  /* Creates the process-wide client configuration when missing; 0 or -1. */
  int (*cli_init)();
  void (*cli_exit)();
  /* Client handshake on c's connected socket, bounded by c->io_timeout. peer ("host:port", or
   * null) names the session: a backend that keeps sessions offers the last one of the same peer
   * and fingerprint for resumption. fingerprint: 64 upper-case hex digits or "" (not pinned).
   * 0 (c->tls and c->ops set), -52 (the peer closed during the handshake) or -1, with err filled. */
  int (*cli_connect)(net *c, const char *peer, const char *fingerprint, vperror *err);
  /* Server configuration from a PEM certificate and key (texts); null cert_pem creates a key pair
   * and a self-signed certificate. Fills s->impl, s->der_sha256 and s->cert_pem, and for a key it
   * created s->key_pem; 0 or -1. */
  int (*srv_new)(ssl_srv *s, const char *cert_pem, const char *key_pem, vperror *err);
  void (*srv_free)(ssl_srv *s);
  /* Server handshake on c's accepted socket, bounded by c->io_timeout; 0 or -1. */
  int (*srv_accept)(ssl_srv *s, net *c, vperror *err);
  /* Negotiated protocol version and suite names of an open TLS connection. */
  void (*session_info)(net *c, char *version, size_t vsize, char *suite, size_t ssize);
};

/* Registers the TLS layer with libnet. The client configuration of the default backend is made by
 * the first client handshake (a failure then fails that handshake: "ssl_cli_conf_new failed").
 * Always 0. */
int libssl_init();
/* Frees the client configurations. */
void ssl_cli_exit();
/* Makes the backend called name the default of this process; 0, or -1 when it is not built. */
int ssl_backend_select(const char *name);
const ssl_backend *ssl_backend_default();
/* The built backends, null-terminated. */
const ssl_backend *const *ssl_backend_list();

/* Client handshake with the default backend. The cipher name is accepted for compatibility and
 * restricts nothing. fingerprint may be null or "". 0, -52 or -1 as in ssl_backend::cli_connect;
 * a malformed fingerprint gives -2. No session is resumed or kept. */
int ssl_cli_connect2(net *c, const char *cipher_name, const char *fingerprint, vperror *err);
/* The same for the server at peer ("host:port"; what net_open3 runs for qvps/tcps/https): the
 * session of an earlier connection to peer with the same fingerprint is resumed when the server
 * still takes it, which saves the certificate exchange and signature of a full handshake. */
int ssl_cli_connect3(net *c, const char *peer, const char *fingerprint, vperror *err);

/* Negotiated version ("TLSv1.3") and suite of a TLS connection; "" for a plain one. */
void ssl_session_info(net *c, char *version, size_t vsize, char *suite, size_t ssize);

/* Server role. The certificate and key come from files, or from PEM texts the caller read itself
 * (files win when both are given); with neither, a key pair and a self-signed certificate are
 * made, and their PEM texts are handed back so that the caller may keep them for the next start. */
struct ssl_srv_param {
  const char *cert_file; /* PEM; null with key_file null: see cert_pem */
  const char *key_file;
  const char *backend;   /* null: the default backend */
  const char *cert_pem = nullptr; /* PEM texts; null with the files null: create a certificate */
  const char *key_pem = nullptr;
};
struct ssl_srv {
  const ssl_backend *be;
  void *impl;
  unsigned char der_sha256[32];
  char fingerprint[96];  /* "AB:CD:..." as openssl x509 -fingerprint -sha256 prints it */
  char *cert_pem;        /* the certificate in PEM (malloc'd) */
  /* The private key in PEM (malloc'd) when ssl_srv_init made it, else null. It is a secret: the
   * caller stores it where only the server may read it, then drops it with ssl_srv_key_forget. */
  char *key_pem;
};
/* Loads or creates the server's certificate; null with err filled on failure. */
ssl_srv *ssl_srv_init(const ssl_srv_param *p, vperror *err);
/* Overwrites and frees s->key_pem (null does nothing); the TLS configuration keeps its own copy. */
void ssl_srv_key_forget(ssl_srv *s);
void ssl_srv_exit(ssl_srv *s);
/* Runs the server handshake on conn (a socket given to net_attach_fd). 0 or -1 with err filled;
 * conn stays open on failure (net_close it). */
int ssl_srv_accept(ssl_srv *s, net *conn, vperror *err);

/* Normalises a fingerprint text (64 hex digits, either case, ":" between any digits allowed) to
 * 64 upper-case digits in out (at least 65 bytes). 0, or -1 when it is not one. */
int ssl_fingerprint_norm(const char *in, char *out, size_t size);
/* SHA-256 of der as upper-case hex pairs joined by ":" (96 bytes are enough); 0 or -1. */
int ssl_fingerprint_text(const unsigned char *der, size_t n, char *out, size_t size, unsigned char *raw32);
