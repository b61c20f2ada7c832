/* The mbedTLS backend of the TLS channel. The transport callbacks move what the non-blocking
 * socket takes or has at once and answer WANT_READ/WANT_WRITE otherwise; the loops here turn those
 * into sliced waits bounded by the connection's time limit and abort word. */
#define LOG_TAG "sslcli"
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/error.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/pk.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>
#include <mbedtls/x509_csr.h>
#include <mutex>
#include <new>
#include <sys/socket.h>
#include <unistd.h>

#include "liblog/log2.h"
#include "libssl/ssl_int.h"

namespace {

const int k_suites[] = {
    MBEDTLS_TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256,
    MBEDTLS_TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256,
    MBEDTLS_TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305_SHA256,
    MBEDTLS_TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305_SHA256,
    MBEDTLS_TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384,
    MBEDTLS_TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384,
    0,
};

/* Entropy and the random generator seeded from it: one per process, kept for its lifetime
 * (server configurations outlive a client shutdown). mbedTLS is built with its thread locks,
 * so handshakes on several threads may draw from it at once. */
std::once_flag g_rng_once;
bool g_rng_ok = false;
mbedtls_entropy_context g_entropy;
mbedtls_ctr_drbg_context g_drbg;

std::mutex g_cli_lock;
mbedtls_ssl_config *g_cli_conf = nullptr;

struct mb_srv {
  mbedtls_ssl_config conf;
  mbedtls_x509_crt crt;
  mbedtls_pk_context key;
};

bool rng_ready()
{
  std::call_once(g_rng_once, [] {
    mbedtls_entropy_init(&g_entropy);
    mbedtls_ctr_drbg_init(&g_drbg);
    if (mbedtls_ctr_drbg_seed(&g_drbg, mbedtls_entropy_func, &g_entropy,
                              reinterpret_cast<const unsigned char *>("ssl_client"), 10) != 0) {
      LOGE("mbedtls_ctr_drbg_seed failed\n");
      return;
    }
    g_rng_ok = true;
  });
  return g_rng_ok;
}

bool conf_setup(mbedtls_ssl_config *conf, int endpoint)
{
  mbedtls_ssl_config_init(conf);
  if (mbedtls_ssl_config_defaults(conf, endpoint, MBEDTLS_SSL_TRANSPORT_STREAM, MBEDTLS_SSL_PRESET_DEFAULT) != 0) {
    LOGE("mbedtls_ssl_config_defaults failed\n");
    return false;
  }
  mbedtls_ssl_conf_min_version(conf, MBEDTLS_SSL_MAJOR_VERSION_3, MBEDTLS_SSL_MINOR_VERSION_3);
  mbedtls_ssl_conf_ciphersuites(conf, k_suites);
  mbedtls_ssl_conf_rng(conf, mbedtls_ctr_drbg_random, &g_drbg);
  mbedtls_ssl_conf_authmode(conf, MBEDTLS_SSL_VERIFY_NONE);
  return true;
}

int mb_cli_init()
{
  std::lock_guard<std::mutex> g(g_cli_lock);
  if (g_cli_conf)
    return 0;
  LOGV("ssl_cli_conf_new ==>\n");
  if (!rng_ready())
    return -1;
  auto *conf = new (std::nothrow) mbedtls_ssl_config;
  if (!conf)
    return -1;
  if (!conf_setup(conf, MBEDTLS_SSL_IS_CLIENT)) {
    mbedtls_ssl_config_free(conf);
    delete conf;
    return -1;
  }
  g_cli_conf = conf;
  return 0;
}

void mb_cli_exit()
{
  std::lock_guard<std::mutex> g(g_cli_lock);
  if (g_cli_conf) {
    mbedtls_ssl_config_free(g_cli_conf);
    delete g_cli_conf;
    g_cli_conf = nullptr;
  }
}

int bio_send(void *ctx, const unsigned char *buf, size_t len)
{
  net *c = static_cast<net *>(ctx);
  ssize_t r = send(c->fd, buf, len, MSG_NOSIGNAL);
  if (r >= 0)
    return (int)r;
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
    return MBEDTLS_ERR_SSL_WANT_WRITE;
  return errno == ECONNRESET || errno == EPIPE ? MBEDTLS_ERR_NET_CONN_RESET : MBEDTLS_ERR_NET_SEND_FAILED;
}

int bio_recv(void *ctx, unsigned char *buf, size_t len)
{
  net *c = static_cast<net *>(ctx);
  ssize_t r = recv(c->fd, buf, len, 0);
  if (r >= 0)
    return (int)r;
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
    return MBEDTLS_ERR_SSL_WANT_READ;
  return errno == ECONNRESET ? MBEDTLS_ERR_NET_CONN_RESET : MBEDTLS_ERR_NET_RECV_FAILED;
}

bool peer_closed(int rc)
{
  return rc == MBEDTLS_ERR_SSL_CONN_EOF || rc == MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY || rc == MBEDTLS_ERR_NET_CONN_RESET;
}

bool policy_error(int rc)
{
  return rc == MBEDTLS_ERR_SSL_NO_CIPHER_CHOSEN || rc == MBEDTLS_ERR_SSL_BAD_HS_SERVER_HELLO ||
         rc == MBEDTLS_ERR_SSL_FATAL_ALERT_MESSAGE || rc == MBEDTLS_ERR_SSL_BAD_HS_PROTOCOL_VERSION ||
         rc == MBEDTLS_ERR_SSL_NO_USABLE_CIPHERSUITE || rc == MBEDTLS_ERR_SSL_BAD_HS_CLIENT_HELLO;
}

int mb_read(net *c, void *buf, int n)
{
  if (c->closed)
    return VPERROR_SET(&c->error, NET_ERR_CLOSED, nullptr), -1;
  auto *ssl = static_cast<mbedtls_ssl_context *>(c->tls);
  unsigned char *p = static_cast<unsigned char *>(buf);
  uint64_t start = ssl_now_ms();
  int got = 0;
  while (got < n) {
    int r = mbedtls_ssl_read(ssl, p + got, (size_t)(n - got));
    if (r > 0) {
      got += r;
      continue;
    }
    if (r == MBEDTLS_ERR_SSL_WANT_READ || r == MBEDTLS_ERR_SSL_WANT_WRITE) {
      int w = ssl_wait(c, r == MBEDTLS_ERR_SSL_WANT_READ ? SSL_WANT_READ : SSL_WANT_WRITE, start);
      if (w == 1)
        continue;
      return w == 0 ? got : -1;
    }
    if (r == 0 || peer_closed(r)) {
      c->closed = 1;
      if (got == 0)
        VPERROR_SET(&c->error, NET_ERR_CLOSED, nullptr);
      return got;
    }
    LOGV("mbedtls_ssl_read = %d\n", r);
    char t[512];
    mbedtls_strerror(r, t, sizeof t);
    return VPERROR_SET(&c->error, VERR_PROTO, "tls read: %s", t), -1;
  }
  return n;
}

int mb_write(net *c, const void *buf, int n)
{
  if (c->closed)
    return VPERROR_SET(&c->error, NET_ERR_CLOSED, nullptr), -1;
  auto *ssl = static_cast<mbedtls_ssl_context *>(c->tls);
  const unsigned char *p = static_cast<const unsigned char *>(buf);
  uint64_t start = ssl_now_ms();
  int sent = 0;
  while (sent < n) {
    int r = mbedtls_ssl_write(ssl, p + sent, (size_t)(n - sent));
    if (r > 0) {
      sent += r;
      continue;
    }
    if (r == MBEDTLS_ERR_SSL_WANT_READ || r == MBEDTLS_ERR_SSL_WANT_WRITE) {
      int w = ssl_wait(c, r == MBEDTLS_ERR_SSL_WANT_READ ? SSL_WANT_READ : SSL_WANT_WRITE, start);
      if (w == 1)
        continue;
      return w == 0 ? sent : -1;
    }
    LOGV("mbedtls_ssl_write = %d\n", r);
    char t[512];
    mbedtls_strerror(r, t, sizeof t);
    if (peer_closed(r))
      c->closed = 1;
    return VPERROR_SET(&c->error, peer_closed(r) ? NET_ERR_CLOSED : VERR_PROTO, "tls write: %s", t), -1;
  }
  return n;
}

void mb_close(net *c)
{
  auto *ssl = static_cast<mbedtls_ssl_context *>(c->tls);
  if (ssl) {
    if (!c->closed)
      mbedtls_ssl_close_notify(ssl); /* one attempt on the non-blocking socket */
    mbedtls_ssl_free(ssl);
    delete ssl;
  }
  c->tls = nullptr;
  if (c->fd >= 0)
    close(c->fd);
  c->fd = -1;
}

const net_ops k_mb_ops = {
    .name = "mbedtls",
    .read = mb_read,
    .write = mb_write,
    .close = mb_close,
};

/* Creates the session, runs the handshake within c->io_timeout; the session or null with err. */
mbedtls_ssl_context *handshake(const mbedtls_ssl_config *conf, net *c, const char *pin, int *rc_out, vperror *err)
{
  auto *ssl = new (std::nothrow) mbedtls_ssl_context;
  *rc_out = -1;
  if (!ssl)
    return VPERROR_SET(err, VERR_NOMEM, nullptr), nullptr;
  mbedtls_ssl_init(ssl);
  if (mbedtls_ssl_setup(ssl, conf) != 0) {
    log2_print(nullptr, LOG2_ERR, LOG_TAG, __FILE__, __LINE__, "ssl_context_malloc", "mbedtls_ssl_setup failed\n");
    mbedtls_ssl_free(ssl);
    delete ssl;
    return VPERROR_SET(err, VERR_NOMEM, "mbedtls_ssl_setup failed"), nullptr;
  }
  mbedtls_ssl_set_bio(ssl, c, bio_send, bio_recv, nullptr);
  uint64_t start = ssl_now_ms();
  for (;;) {
    int r = mbedtls_ssl_handshake(ssl);
    if (r == 0)
      break;
    if (r == MBEDTLS_ERR_SSL_WANT_READ || r == MBEDTLS_ERR_SSL_WANT_WRITE) {
      int w = ssl_wait(c, r == MBEDTLS_ERR_SSL_WANT_READ ? SSL_WANT_READ : SSL_WANT_WRITE, start);
      if (w == 1)
        continue;
      VPERROR_SET(err, c->error.code ? c->error.code : VERR_FAIL, "tls handshake: %s", vperror_str(&c->error));
    } else {
      char t[512];
      mbedtls_strerror(r, t, sizeof t);
      LOGD("mbedtls_ssl_handshake eno=%d err=[%s]\n", r, t);
      if (r == MBEDTLS_ERR_SSL_CONN_EOF || r == MBEDTLS_ERR_NET_CONN_RESET) {
        *rc_out = VERR_RETRY;
        VPERROR_SET(err, VERR_RETRY, "tls handshake: the peer closed the connection");
      } else {
        VPERROR_SET(err, VERR_FAIL, "tls handshake failed: %s%s", t, policy_error(r) ? SSL_POLICY_HINT : "");
      }
    }
    mbedtls_ssl_free(ssl);
    delete ssl;
    return nullptr;
  }
  if (pin && *pin) {
    const mbedtls_x509_crt *peer = mbedtls_ssl_get_peer_cert(ssl);
    if (ssl_pin_check(pin, peer ? peer->raw.p : nullptr, peer ? peer->raw.len : 0, err) < 0) {
      mbedtls_ssl_free(ssl);
      delete ssl;
      return nullptr;
    }
  }
  *rc_out = 0;
  return ssl;
}

/* Every connection makes a full handshake: sessions are not kept here. */
int mb_cli_connect(net *c, const char *, const char *pin, vperror *err)
{
  const mbedtls_ssl_config *conf;
  {
    std::lock_guard<std::mutex> g(g_cli_lock);
    conf = g_cli_conf;
  }
  if (!conf)
    return VPERROR_SET(err, VERR_FAIL, "ssl_cli_conf_new failed"), -1;
  int rc;
  mbedtls_ssl_context *ssl = handshake(conf, c, pin, &rc, err);
  if (!ssl)
    return rc;
  c->tls = ssl;
  c->ops = &k_mb_ops;
  return 0;
}

void validity_text(time_t t, char *out, size_t size)
{
  struct tm tm;
  gmtime_r(&t, &tm);
  strftime(out, size, "%Y%m%d%H%M%S", &tm);
}

int make_self_signed(mb_srv *m, char **pem_out, vperror *err)
{
  char t[512];
  int rc = mbedtls_pk_setup(&m->key, mbedtls_pk_info_from_type(MBEDTLS_PK_ECKEY));
  if (rc == 0)
    rc = mbedtls_ecp_gen_key(MBEDTLS_ECP_DP_SECP256R1, mbedtls_pk_ec(m->key), mbedtls_ctr_drbg_random, &g_drbg);
  mbedtls_x509write_cert w;
  mbedtls_x509write_crt_init(&w);
  mbedtls_mpi serial;
  mbedtls_mpi_init(&serial);
  char from[16], to[16];
  time_t now = time(nullptr);
  validity_text(now - 3600, from, sizeof from);
  validity_text(now + 3650L * 86400, to, sizeof to);
  if (rc == 0)
    rc = mbedtls_mpi_fill_random(&serial, 8, mbedtls_ctr_drbg_random, &g_drbg);
  if (rc == 0)
    rc = mbedtls_mpi_set_bit(&serial, 63, 0);
  if (rc == 0) {
    mbedtls_x509write_crt_set_version(&w, MBEDTLS_X509_CRT_VERSION_3);
    mbedtls_x509write_crt_set_md_alg(&w, MBEDTLS_MD_SHA256);
    mbedtls_x509write_crt_set_subject_key(&w, &m->key);
    mbedtls_x509write_crt_set_issuer_key(&w, &m->key);
    rc = mbedtls_x509write_crt_set_subject_name(&w, "CN=qvsd");
  }
  if (rc == 0)
    rc = mbedtls_x509write_crt_set_issuer_name(&w, "CN=qvsd");
  if (rc == 0)
    rc = mbedtls_x509write_crt_set_serial(&w, &serial);
  if (rc == 0)
    rc = mbedtls_x509write_crt_set_validity(&w, from, to);
  if (rc == 0)
    rc = mbedtls_x509write_crt_set_basic_constraints(&w, 0, -1);
  char *pem = static_cast<char *>(calloc(1, 4096));
  if (rc == 0 && !pem)
    rc = MBEDTLS_ERR_X509_ALLOC_FAILED;
  if (rc == 0)
    rc = mbedtls_x509write_crt_pem(&w, reinterpret_cast<unsigned char *>(pem), 4096, mbedtls_ctr_drbg_random, &g_drbg);
  if (rc == 0)
    rc = mbedtls_x509_crt_parse(&m->crt, reinterpret_cast<const unsigned char *>(pem), strlen(pem) + 1);
  mbedtls_x509write_crt_free(&w);
  mbedtls_mpi_free(&serial);
  if (rc != 0) {
    free(pem);
    mbedtls_strerror(rc, t, sizeof t);
    return VPERROR_SET(err, VERR_FAIL, "self-signed certificate: %s", t), -1;
  }
  *pem_out = pem;
  return 0;
}

/* The key as a PEM text (malloc'd), or null. The work buffer is cleared before it is freed. */
char *key_pem_text(mbedtls_pk_context *key)
{
  constexpr size_t SIZE = 4096;
  auto *buf = static_cast<unsigned char *>(calloc(1, SIZE));
  if (!buf)
    return nullptr;
  char *out = nullptr;
  if (mbedtls_pk_write_key_pem(key, buf, SIZE) == 0)
    out = strdup(reinterpret_cast<char *>(buf));
  explicit_bzero(buf, SIZE);
  free(buf);
  return out;
}

int mb_srv_new(ssl_srv *s, const char *cert_pem, const char *key_pem, vperror *err)
{
  if (!rng_ready())
    return VPERROR_SET(err, VERR_FAIL, "mbedtls_ctr_drbg_seed failed"), -1;
  auto *m = new (std::nothrow) mb_srv;
  if (!m)
    return VPERROR_SET(err, VERR_NOMEM, nullptr), -1;
  s->impl = m;
  mbedtls_x509_crt_init(&m->crt);
  mbedtls_pk_init(&m->key);
  if (!conf_setup(&m->conf, MBEDTLS_SSL_IS_SERVER))
    return VPERROR_SET(err, VERR_FAIL, "mbedtls_ssl_config_defaults failed"), -1;
  char t[512];
  if (cert_pem) {
    int rc = mbedtls_x509_crt_parse(&m->crt, reinterpret_cast<const unsigned char *>(cert_pem), strlen(cert_pem) + 1);
    if (rc != 0) {
      mbedtls_strerror(rc, t, sizeof t);
      return VPERROR_SET(err, VERR_PARAM, "the certificate is not a PEM text: %s", t), -1;
    }
    rc = mbedtls_pk_parse_key(&m->key, reinterpret_cast<const unsigned char *>(key_pem), strlen(key_pem) + 1, nullptr, 0);
    if (rc != 0) {
      mbedtls_strerror(rc, t, sizeof t);
      return VPERROR_SET(err, VERR_PARAM, "the key is not a PEM text: %s", t), -1;
    }
    /* The configuration takes any pair; a key of another certificate would fail every handshake. */
    rc = mbedtls_pk_check_pair(&m->crt.pk, &m->key);
    if (rc != 0) {
      mbedtls_strerror(rc, t, sizeof t);
      return VPERROR_SET(err, VERR_PARAM, "server certificate: the key does not belong to it: %s", t), -1;
    }
    s->cert_pem = strdup(cert_pem);
    if (!s->cert_pem)
      return VPERROR_SET(err, VERR_NOMEM, nullptr), -1;
  } else if (make_self_signed(m, &s->cert_pem, err) < 0) {
    return -1;
  } else if (!(s->key_pem = key_pem_text(&m->key))) {
    return VPERROR_SET(err, VERR_FAIL, "the made key cannot be written as PEM"), -1;
  }
  int rc = mbedtls_ssl_conf_own_cert(&m->conf, &m->crt, &m->key);
  if (rc != 0) {
    mbedtls_strerror(rc, t, sizeof t);
    return VPERROR_SET(err, VERR_PARAM, "server certificate: %s", t), -1;
  }
  char fp[96];
  if (ssl_fingerprint_text(m->crt.raw.p, m->crt.raw.len, fp, sizeof fp, s->der_sha256) < 0)
    return VPERROR_SET(err, VERR_FAIL, "certificate digest failed"), -1;
  return 0;
}

void mb_srv_free(ssl_srv *s)
{
  auto *m = static_cast<mb_srv *>(s->impl);
  if (m) {
    mbedtls_ssl_config_free(&m->conf);
    mbedtls_x509_crt_free(&m->crt);
    mbedtls_pk_free(&m->key);
    delete m;
  }
  s->impl = nullptr;
}

int mb_srv_accept(ssl_srv *s, net *c, vperror *err)
{
  auto *m = static_cast<mb_srv *>(s->impl);
  int rc;
  mbedtls_ssl_context *ssl = handshake(&m->conf, c, nullptr, &rc, err);
  if (!ssl)
    return -1;
  c->tls = ssl;
  c->ops = &k_mb_ops;
  return 0;
}

void mb_session_info(net *c, char *version, size_t vsize, char *suite, size_t ssize)
{
  auto *ssl = static_cast<mbedtls_ssl_context *>(c->tls);
  snprintf(version, vsize, "%s", mbedtls_ssl_get_version(ssl));
  snprintf(suite, ssize, "%s", mbedtls_ssl_get_ciphersuite(ssl));
}

} // namespace

const ssl_backend ssl_backend_mbedtls = {
    .name = "mbedtls",
    .cli_init = mb_cli_init,
    .cli_exit = mb_cli_exit,
    .cli_connect = mb_cli_connect,
    .srv_new = mb_srv_new,
    .srv_free = mb_srv_free,
    .srv_accept = mb_srv_accept,
    .session_info = mb_session_info,
};
