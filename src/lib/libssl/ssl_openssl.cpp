/* The OpenSSL backend of the TLS channel. The socket stays non-blocking and is driven directly:
 * every WANT_READ or WANT_WRITE becomes a sliced wait that checks the time limit and the abort
 * word, so a stalled peer or an abort ends the call within one slice. */
#ifdef QV_TLS_OPENSSL
#define LOG_TAG "sslcli"
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <unistd.h>

#include "liblog/log2.h"
#include "libssl/ssl_int.h"

namespace {

/* TLS 1.2 suites: ECDHE key exchange, AEAD ciphers only. TLS 1.3 suites are all AEAD with
 * ephemeral key exchange; AES-128-GCM comes first for its speed with AES-NI. */
const char k_tls12_suites[] = "ECDHE+AESGCM:ECDHE+CHACHA20:!aNULL:!eNULL:!PSK:!SRP";
const char k_tls13_suites[] = "TLS_AES_128_GCM_SHA256:TLS_CHACHA20_POLY1305_SHA256:TLS_AES_256_GCM_SHA384";

std::mutex g_cli_lock;
SSL_CTX *g_cli_ctx = nullptr;

/* Client sessions kept for resumption, the newest of each "host:port pin" key, oldest first.
 * A run opens several connections to one server; each after the first resumes and skips the
 * certificate, its parsing and the signature. The key holds the pin, so a connection pinned to
 * one certificate never resumes a session made under another pin or none. Under g_cli_lock. */
constexpr size_t SESSIONS_MAX = 16;
struct kept_session {
  std::string key;
  SSL_SESSION *s;
};
/* Never destroyed, as the library's own tables are not: a connection may still hand over a
 * session while the process exits. */
std::vector<kept_session> &g_sessions = *new std::vector<kept_session>;
int g_key_index = -1; /* SSL ex_data slot of the connection's key (malloc'd text) */

/* Replaces key's session with s and takes s's reference (true); null s only drops key's. A
 * session that comes after ssl_cli_exit (a connection still open) is not kept (false). */
bool session_put(const char *key, SSL_SESSION *s)
{
  std::lock_guard<std::mutex> g(g_cli_lock);
  for (auto it = g_sessions.begin(); it != g_sessions.end(); ++it)
    if (it->key == key) {
      SSL_SESSION_free(it->s);
      g_sessions.erase(it);
      break;
    }
  if (!s || !g_cli_ctx)
    return false;
  if (g_sessions.size() >= SESSIONS_MAX) {
    SSL_SESSION_free(g_sessions.front().s);
    g_sessions.erase(g_sessions.begin());
  }
  g_sessions.push_back({key, s});
  return true;
}

/* key's session with a reference for the caller, or null. */
SSL_SESSION *session_get(const char *key)
{
  std::lock_guard<std::mutex> g(g_cli_lock);
  for (const kept_session &k : g_sessions)
    if (k.key == key && SSL_SESSION_up_ref(k.s))
      return k.s;
  return nullptr;
}

/* The library hands over each new session: at the end of a TLS 1.2 handshake, or with a TLS 1.3
 * ticket read after it. 1 keeps the reference. */
int on_new_session(SSL *ssl, SSL_SESSION *s)
{
  const char *key = static_cast<const char *>(SSL_get_ex_data(ssl, g_key_index));
  if (!key || !SSL_SESSION_is_resumable(s))
    return 0;
  return session_put(key, s) ? 1 : 0;
}

void key_free(void *, void *ptr, CRYPTO_EX_DATA *, int, long, void *)
{
  free(ptr);
}

/* The library's socket BIO writes with write(2), which raises SIGPIPE when the peer has gone
 * (an alert sent after the peer closed is enough). This BIO sends with MSG_NOSIGNAL instead.
 *
 * It also gathers: the library hands over one record (at most 16 KiB) per write, so a 2 MiB
 * message would take 128 send calls. While ossl_write runs, records are copied into the BIO's
 * buffer and sent GATHER_MAX bytes at a time; ossl_write sends the rest before it returns, so
 * nothing waits in the buffer between calls. Outside ossl_write (handshake, alerts, reads)
 * records go out as they come. */
constexpr size_t GATHER_MAX = 128 * 1024;

struct sock_bio {
  int fd;
  bool gather;  /* set by ossl_write for the length of its SSL_write calls */
  char *buf;    /* GATHER_MAX bytes, made at the first gathered record */
  size_t len;   /* bytes held */
  size_t off;   /* bytes of them already sent */
};

std::once_flag g_bio_once;
BIO_METHOD *g_bio_method = nullptr;

/* Sends what the buffer holds until it is empty or the socket is full. 0, or -1 with errno on a
 * failed send. */
int sock_drain(sock_bio *s)
{
  while (s->off < s->len) {
    ssize_t r = send(s->fd, s->buf + s->off, s->len - s->off, MSG_NOSIGNAL);
    if (r < 0) {
      if (errno == EINTR)
        continue;
      return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
    s->off += (size_t)r;
  }
  s->len = s->off = 0;
  return 0;
}

int bio_write(BIO *b, const char *buf, int n)
{
  BIO_clear_retry_flags(b);
  auto *s = static_cast<sock_bio *>(BIO_get_data(b));
  /* Held bytes go first, whatever this record is: the stream keeps its order. */
  if (s->len && (s->len + (size_t)n > GATHER_MAX || !s->gather)) {
    if (sock_drain(s) < 0)
      return -1;
    if (s->len) {
      BIO_set_retry_write(b);
      return -1;
    }
  }
  if (s->gather && (size_t)n <= GATHER_MAX) {
    if (!s->buf && !(s->buf = static_cast<char *>(malloc(GATHER_MAX)))) {
      errno = ENOMEM;
      return -1;
    }
    memcpy(s->buf + s->len, buf, (size_t)n);
    s->len += (size_t)n;
    return n;
  }
  ssize_t r = send(s->fd, buf, (size_t)n, MSG_NOSIGNAL);
  if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
    BIO_set_retry_write(b);
  return (int)r;
}

int bio_read(BIO *b, char *buf, int n)
{
  BIO_clear_retry_flags(b);
  int fd = static_cast<sock_bio *>(BIO_get_data(b))->fd;
  ssize_t r = recv(fd, buf, (size_t)n, 0);
  if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
    BIO_set_retry_read(b);
  return (int)r;
}

long bio_ctrl(BIO *, int cmd, long, void *)
{
  return cmd == BIO_CTRL_FLUSH ? 1 : 0;
}

int bio_destroy(BIO *b)
{
  auto *s = static_cast<sock_bio *>(BIO_get_data(b));
  if (s)
    free(s->buf);
  free(s);
  BIO_set_data(b, nullptr);
  return 1;
}

/* A BIO on fd; null when the method or the memory is missing. */
BIO *bio_new(int fd)
{
  std::call_once(g_bio_once, [] {
    BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "qv_socket");
    if (m && BIO_meth_set_write(m, bio_write) && BIO_meth_set_read(m, bio_read) && BIO_meth_set_ctrl(m, bio_ctrl) &&
        BIO_meth_set_destroy(m, bio_destroy))
      g_bio_method = m;
    else
      BIO_meth_free(m);
  });
  auto *s = static_cast<sock_bio *>(calloc(1, sizeof(sock_bio)));
  BIO *b = g_bio_method && s ? BIO_new(g_bio_method) : nullptr;
  if (!b) {
    free(s);
    return nullptr;
  }
  s->fd = fd;
  BIO_set_data(b, s);
  BIO_set_init(b, 1);
  return b;
}

/* Binds ssl to fd through the BIO above; false when it cannot be made. */
bool ssl_bind_fd(SSL *ssl, int fd)
{
  BIO *b = bio_new(fd);
  if (!b)
    return false;
  SSL_set_bio(ssl, b, b);
  return true;
}

sock_bio *ssl_sock(SSL *ssl)
{
  return static_cast<sock_bio *>(BIO_get_data(SSL_get_wbio(ssl)));
}

struct ossl_srv {
  SSL_CTX *ctx;
};

/* The library's queued error as text; clears the queue. */
void err_text(char *buf, size_t size, unsigned long *first)
{
  unsigned long e = ERR_get_error();
  if (first)
    *first = e;
  if (e)
    ERR_error_string_n(e, buf, size);
  else
    snprintf(buf, size, "%s", errno ? strerror(errno) : "the peer closed the connection");
  ERR_clear_error();
}

bool policy_reason(unsigned long e)
{
  switch (ERR_GET_REASON(e)) {
  case SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE:
  case SSL_R_NO_SHARED_CIPHER:
  case SSL_R_UNSUPPORTED_PROTOCOL:
  case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
  case SSL_R_WRONG_CIPHER_RETURNED:
  case SSL_R_NO_CIPHERS_AVAILABLE:
  case SSL_R_NO_PROTOCOLS_AVAILABLE:
  case SSL_R_TLSV1_ALERT_INSUFFICIENT_SECURITY:
    return true;
  default:
    return false;
  }
}

SSL_CTX *ctx_new(bool server)
{
  SSL_CTX *ctx = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
  if (!ctx)
    return nullptr;
  if (!SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) || !SSL_CTX_set_cipher_list(ctx, k_tls12_suites) ||
      !SSL_CTX_set_ciphersuites(ctx, k_tls13_suites)) {
    SSL_CTX_free(ctx);
    return nullptr;
  }
  SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  /* Reading ahead into a buffer of several records turns two receive calls per 16 KiB record
   * (header, then body) into one call per buffer. */
  SSL_CTX_set_read_ahead(ctx, 1);
  SSL_CTX_set_default_read_buffer_len(ctx, 256 * 1024);
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  SSL_CTX_set_options(ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION |
                               (server ? SSL_OP_CIPHER_SERVER_PREFERENCE : 0));
  if (server) {
    /* Resumption rests on tickets only, which the server does not store: no memory per client.
     * One ticket a handshake is enough for a client that keeps the newest. */
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_num_tickets(ctx, 1);
  } else {
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(ctx, on_new_session);
  }
  return ctx;
}

int ossl_cli_init()
{
  std::lock_guard<std::mutex> g(g_cli_lock);
  if (g_cli_ctx)
    return 0;
  LOGV("ssl_cli_conf_new ==>\n");
  if (g_key_index < 0)
    g_key_index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, key_free);
  g_cli_ctx = g_key_index >= 0 ? ctx_new(false) : nullptr;
  if (!g_cli_ctx) {
    char t[256];
    err_text(t, sizeof t, nullptr);
    LOGE("SSL_CTX_new failed: %s\n", t);
    return -1;
  }
  return 0;
}

void ossl_cli_exit()
{
  std::lock_guard<std::mutex> g(g_cli_lock);
  for (kept_session &k : g_sessions)
    SSL_SESSION_free(k.s);
  g_sessions.clear();
  SSL_CTX_free(g_cli_ctx);
  g_cli_ctx = nullptr;
}

int ossl_read(net *c, void *buf, int n)
{
  if (c->closed)
    return VPERROR_SET(&c->error, NET_ERR_CLOSED, nullptr), -1;
  SSL *ssl = static_cast<SSL *>(c->tls);
  char *p = static_cast<char *>(buf);
  uint64_t start = ssl_now_ms();
  int got = 0;
  while (got < n) {
    errno = 0;
    int r = SSL_read(ssl, p + got, n - got);
    if (r > 0) {
      got += r;
      continue;
    }
    int e = SSL_get_error(ssl, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
      int w = ssl_wait(c, e == SSL_ERROR_WANT_READ ? SSL_WANT_READ : SSL_WANT_WRITE, start);
      if (w == 1)
        continue;
      return w == 0 ? got : -1;
    }
    char t[256];
    unsigned long code;
    err_text(t, sizeof t, &code);
    if (e == SSL_ERROR_ZERO_RETURN || (e == SSL_ERROR_SYSCALL && errno == 0) ||
        ERR_GET_REASON(code) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
      c->closed = 1;
      if (got == 0)
        VPERROR_SET(&c->error, NET_ERR_CLOSED, nullptr);
      return got;
    }
    LOGV("SSL_read = %d\n", e);
    return VPERROR_SET(&c->error, VERR_PROTO, "tls read: %s", t), -1;
  }
  return n;
}

int ossl_write(net *c, const void *buf, int n)
{
  if (c->closed)
    return VPERROR_SET(&c->error, NET_ERR_CLOSED, nullptr), -1;
  SSL *ssl = static_cast<SSL *>(c->tls);
  sock_bio *s = ssl_sock(ssl);
  const char *p = static_cast<const char *>(buf);
  uint64_t start = ssl_now_ms();
  int sent = 0;
  s->gather = true;
  while (sent < n) {
    errno = 0;
    int r = SSL_write(ssl, p + sent, n - sent);
    if (r > 0) {
      sent += r;
      continue;
    }
    int e = SSL_get_error(ssl, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
      int w = ssl_wait(c, e == SSL_ERROR_WANT_READ ? SSL_WANT_READ : SSL_WANT_WRITE, start);
      if (w == 1)
        continue;
      s->gather = false;
      return w == 0 ? sent : -1;
    }
    s->gather = false;
    char t[256];
    err_text(t, sizeof t, nullptr);
    LOGV("SSL_write = %d\n", e);
    if (e == SSL_ERROR_ZERO_RETURN || e == SSL_ERROR_SYSCALL)
      c->closed = 1;
    return VPERROR_SET(&c->error, e == SSL_ERROR_SYSCALL ? NET_ERR_CLOSED : VERR_PROTO, "tls write: %s", t), -1;
  }
  s->gather = false;
  /* The gathered tail leaves now. Bytes the record layer took but the socket did not are not
   * written, and the stream cannot go on without them: a failure here closes the channel. */
  for (;;) {
    if (sock_drain(s) < 0) {
      c->closed = 1;
      return VPERROR_SET(&c->error, NET_ERR_CLOSED, "tls write: %s", strerror(errno)), -1;
    }
    if (!s->len)
      return n;
    int w = ssl_wait(c, SSL_WANT_WRITE, start);
    if (w != 1) {
      c->closed = 1;
      return -1;
    }
  }
}

void ossl_close(net *c)
{
  SSL *ssl = static_cast<SSL *>(c->tls);
  if (ssl) {
    /* One non-blocking attempt: the close notify is a courtesy, never a wait. */
    if (!c->closed)
      SSL_shutdown(ssl);
    SSL_free(ssl);
    ERR_clear_error();
  }
  c->tls = nullptr;
  if (c->fd >= 0)
    close(c->fd);
  c->fd = -1;
}

const net_ops k_ossl_ops = {
    .name = "openssl",
    .read = ossl_read,
    .write = ossl_write,
    .close = ossl_close,
};

/* Drives SSL_connect or SSL_accept to its end within c->io_timeout. 0 or -1/-52 with err. */
int handshake(SSL *ssl, net *c, bool server, const char *pin, vperror *err)
{
  uint64_t start = ssl_now_ms();
  ERR_clear_error();
  for (;;) {
    errno = 0;
    int r = server ? SSL_accept(ssl) : SSL_connect(ssl);
    if (r == 1)
      break;
    int e = SSL_get_error(ssl, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
      int w = ssl_wait(c, e == SSL_ERROR_WANT_READ ? SSL_WANT_READ : SSL_WANT_WRITE, start);
      if (w == 1)
        continue;
      LOGD("SSL handshake: %s\n", vperror_str(&c->error));
      return VPERROR_SET(err, c->error.code ? c->error.code : VERR_FAIL, "tls handshake: %s", vperror_str(&c->error)),
             -1;
    }
    int eno = errno;
    char t[256];
    unsigned long code;
    err_text(t, sizeof t, &code);
    bool closed = e == SSL_ERROR_ZERO_RETURN || (e == SSL_ERROR_SYSCALL && (eno == 0 || eno == ECONNRESET || eno == EPIPE)) ||
                  ERR_GET_REASON(code) == SSL_R_UNEXPECTED_EOF_WHILE_READING;
    LOGD("SSL handshake eno=%d err=[%s]\n", e, t);
    if (closed)
      return VPERROR_SET(err, VERR_RETRY, "tls handshake: the peer closed the connection"), VERR_RETRY;
    return VPERROR_SET(err, VERR_FAIL, "tls handshake failed: %s%s", t, policy_reason(code) ? SSL_POLICY_HINT : ""), -1;
  }
  if (!server && pin && *pin) {
    X509 *peer = SSL_get1_peer_certificate(ssl);
    unsigned char *der = nullptr;
    int len = peer ? i2d_X509(peer, &der) : -1;
    int rc = ssl_pin_check(pin, len > 0 ? der : nullptr, len > 0 ? (size_t)len : 0, err);
    OPENSSL_free(der);
    X509_free(peer);
    if (rc < 0)
      return -1;
  }
  return 0;
}

int ossl_cli_connect(net *c, const char *peer, const char *pin, vperror *err)
{
  SSL *ssl;
  {
    std::lock_guard<std::mutex> g(g_cli_lock);
    if (!g_cli_ctx)
      return VPERROR_SET(err, VERR_FAIL, "ssl_cli_conf_new failed"), -1;
    ssl = SSL_new(g_cli_ctx);
  }
  char *key = nullptr;
  if (ssl && peer && *peer) {
    size_t n = strlen(peer) + strlen(pin) + 2;
    if ((key = static_cast<char *>(malloc(n))))
      snprintf(key, n, "%s %s", peer, pin);
    if (key && !SSL_set_ex_data(ssl, g_key_index, key)) {
      free(key);
      key = nullptr;
    }
  }
  if (!ssl || !ssl_bind_fd(ssl, c->fd)) {
    SSL_free(ssl);
    LOGE("SSL_new failed\n");
    return VPERROR_SET(err, VERR_NOMEM, "SSL_new failed"), -1;
  }
  if (key) {
    SSL_SESSION *s = session_get(key);
    if (s) {
      SSL_set_session(ssl, s);
      SSL_SESSION_free(s);
    }
  }
  int rc = handshake(ssl, c, false, pin, err);
  if (rc < 0) {
    /* A session of a server that failed the handshake or its pin is not offered again. */
    if (key)
      session_put(key, nullptr);
    SSL_free(ssl);
    ERR_clear_error();
    return rc;
  }
  if (SSL_session_reused(ssl))
    LOGD("tls session of %s resumed\n", peer);
  c->tls = ssl;
  c->ops = &k_ossl_ops;
  return 0;
}

int make_self_signed(EVP_PKEY **pk_out, X509 **x_out)
{
  EVP_PKEY *pk = EVP_EC_gen("P-256");
  X509 *x = X509_new();
  BIGNUM *bn = BN_new();
  bool ok = pk && x && bn && X509_set_version(x, 2) && BN_rand(bn, 63, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) &&
            BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(x)) && X509_gmtime_adj(X509_getm_notBefore(x), -3600) &&
            X509_gmtime_adj(X509_getm_notAfter(x), 3650L * 86400) && X509_set_pubkey(x, pk);
  if (ok) {
    X509_NAME *nm = X509_get_subject_name(x);
    ok = X509_NAME_add_entry_by_txt(nm, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>("qvsd"), -1,
                                    -1, 0) &&
         X509_set_issuer_name(x, nm) && X509_sign(x, pk, EVP_sha256()) > 0;
  }
  BN_free(bn);
  if (!ok) {
    EVP_PKEY_free(pk);
    X509_free(x);
    return -1;
  }
  *pk_out = pk;
  *x_out = x;
  return 0;
}

/* The key as a PKCS#8 PEM text (malloc'd), or null. The memory BIO is a secure one, which
 * clears what it held when it is freed. */
char *key_pem_text(EVP_PKEY *pk)
{
  BIO *b = BIO_new(BIO_s_secmem());
  char *data = nullptr, *out = nullptr;
  long n = b && PEM_write_bio_PrivateKey(b, pk, nullptr, nullptr, 0, nullptr, nullptr) ? BIO_get_mem_data(b, &data) : 0;
  if (n > 0 && (out = static_cast<char *>(malloc((size_t)n + 1)))) {
    memcpy(out, data, (size_t)n);
    out[n] = 0;
  }
  BIO_free(b);
  return out;
}

int ossl_srv_new(ssl_srv *s, const char *cert_pem, const char *key_pem, vperror *err)
{
  EVP_PKEY *pk = nullptr;
  X509 *x = nullptr;
  char t[256];
  if (cert_pem) {
    BIO *cb = BIO_new_mem_buf(cert_pem, -1);
    BIO *kb = BIO_new_mem_buf(key_pem, -1);
    x = cb ? PEM_read_bio_X509(cb, nullptr, nullptr, nullptr) : nullptr;
    pk = kb ? PEM_read_bio_PrivateKey(kb, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(cb);
    BIO_free(kb);
    if (!x || !pk) {
      err_text(t, sizeof t, nullptr);
      X509_free(x);
      EVP_PKEY_free(pk);
      return VPERROR_SET(err, VERR_PARAM, "%s is not a PEM text: %s", x ? "the key" : "the certificate", t), -1;
    }
  } else if (make_self_signed(&pk, &x) < 0) {
    err_text(t, sizeof t, nullptr);
    return VPERROR_SET(err, VERR_FAIL, "self-signed certificate: %s", t), -1;
  }
  auto *impl = static_cast<ossl_srv *>(calloc(1, sizeof(ossl_srv)));
  s->impl = impl;
  impl->ctx = ctx_new(true);
  int rc = 0;
  if (!impl->ctx || SSL_CTX_use_certificate(impl->ctx, x) != 1 || SSL_CTX_use_PrivateKey(impl->ctx, pk) != 1 ||
      SSL_CTX_check_private_key(impl->ctx) != 1) {
    err_text(t, sizeof t, nullptr);
    rc = (VPERROR_SET(err, VERR_PARAM, "server certificate: %s", t), -1);
  }
  unsigned char *der = nullptr;
  int len = rc == 0 ? i2d_X509(x, &der) : -1;
  char fp[96];
  if (rc == 0 && (len <= 0 || ssl_fingerprint_text(der, (size_t)len, fp, sizeof fp, s->der_sha256) < 0))
    rc = (VPERROR_SET(err, VERR_FAIL, "certificate digest failed"), -1);
  OPENSSL_free(der);
  if (rc == 0) {
    BIO *b = BIO_new(BIO_s_mem());
    char *data = nullptr;
    long n = b && PEM_write_bio_X509(b, x) ? BIO_get_mem_data(b, &data) : 0;
    s->cert_pem = n > 0 ? static_cast<char *>(malloc((size_t)n + 1)) : nullptr;
    if (s->cert_pem) {
      memcpy(s->cert_pem, data, (size_t)n);
      s->cert_pem[n] = 0;
    } else {
      rc = (VPERROR_SET(err, VERR_NOMEM, "certificate PEM text"), -1);
    }
    BIO_free(b);
  }
  if (rc == 0 && !cert_pem && !(s->key_pem = key_pem_text(pk)))
    rc = (VPERROR_SET(err, VERR_NOMEM, "key PEM text"), -1);
  X509_free(x);
  EVP_PKEY_free(pk);
  return rc;
}

void ossl_srv_free(ssl_srv *s)
{
  auto *impl = static_cast<ossl_srv *>(s->impl);
  if (impl) {
    SSL_CTX_free(impl->ctx);
    free(impl);
  }
  s->impl = nullptr;
}

int ossl_srv_accept(ssl_srv *s, net *c, vperror *err)
{
  auto *impl = static_cast<ossl_srv *>(s->impl);
  SSL *ssl = SSL_new(impl->ctx);
  if (!ssl || !ssl_bind_fd(ssl, c->fd)) {
    SSL_free(ssl);
    return VPERROR_SET(err, VERR_NOMEM, "SSL_new failed"), -1;
  }
  int rc = handshake(ssl, c, true, nullptr, err);
  if (rc < 0) {
    SSL_free(ssl);
    ERR_clear_error();
    return -1;
  }
  c->tls = ssl;
  c->ops = &k_ossl_ops;
  return 0;
}

void ossl_session_info(net *c, char *version, size_t vsize, char *suite, size_t ssize)
{
  SSL *ssl = static_cast<SSL *>(c->tls);
  snprintf(version, vsize, "%s", SSL_get_version(ssl));
  snprintf(suite, ssize, "%s", SSL_get_cipher_name(ssl));
}

} // namespace

const ssl_backend ssl_backend_openssl = {
    .name = "openssl",
    .cli_init = ossl_cli_init,
    .cli_exit = ossl_cli_exit,
    .cli_connect = ossl_cli_connect,
    .srv_new = ossl_srv_new,
    .srv_free = ossl_srv_free,
    .srv_accept = ossl_srv_accept,
    .session_info = ossl_session_info,
};
#endif
