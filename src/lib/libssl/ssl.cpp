#define LOG_TAG "sslcli"
#include "libssl/ssl.h"

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mbedtls/sha256.h>
#include <poll.h>
#include <string>

#include "liblog/log2.h"
#include "libpal/os/os_time.h"
#include "libpal/string/pl_base64.h"
#include "libssl/ssl_int.h"

const char SSL_POLICY_HINT[] =
    " (both ends need TLS 1.2 or later with an ECDHE suite using AES-GCM or ChaCha20-Poly1305)";

namespace {

const ssl_backend *const g_backends[] = {
#ifdef QV_TLS_OPENSSL
    &ssl_backend_openssl,
#endif
    &ssl_backend_mbedtls,
    nullptr,
};

std::atomic<const ssl_backend *> g_default{g_backends[0]};

constexpr size_t PEM_FILE_MAX = 1 << 20;

int cli_connect_proc(net *c, const char *peer, int, const char *fingerprint, vperror *err)
{
  return ssl_cli_connect3(c, peer, fingerprint, err);
}

const net_ssl_proc g_net_proc = {
    .cli_connect = cli_connect_proc,
};

bool read_file(const char *path, std::string *out, vperror *err)
{
  FILE *f = fopen(path, "rb");
  if (!f)
    return VPERROR_SET(err, os_verr_last(), "open [%s] error: %s", path, os_strerror_last()), false;
  out->clear();
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) {
    out->append(buf, n);
    if (out->size() > PEM_FILE_MAX) {
      fclose(f);
      return VPERROR_SET(err, VERR_OVERFLOW, "[%s] is larger than 1 MiB", path), false;
    }
  }
  fclose(f);
  return true;
}

/* Overwrites a key text before its memory goes back to the heap. */
void wipe(std::string *s)
{
  if (!s->empty())
    explicit_bzero(s->data(), s->size());
  s->clear();
}

} // namespace

uint64_t ssl_now_ms()
{
  return os_time_ms();
}

int ssl_wait(net *c, int want, uint64_t start)
{
  int slice = want == SSL_WANT_READ ? 300 : 500;
  for (;;) {
    if (net_aborted(c, c->io_timeout)) {
      os_errno_set_verr(VERR_CANCELLED);
      VPERROR_SET(&c->error, VERR_CANCELLED, nullptr);
      return VERR_CANCELLED;
    }
    int wait = slice;
    if (c->io_timeout >= 0) {
      uint64_t spent = os_time_ms() - start;
      if (spent >= (uint64_t)c->io_timeout) {
        VPERROR_SET(&c->error, VERR_TIMEOUT, nullptr);
        return 0;
      }
      if ((uint64_t)c->io_timeout - spent < (uint64_t)wait)
        wait = (int)((uint64_t)c->io_timeout - spent);
    }
    pollfd p{c->fd, (short)(want == SSL_WANT_READ ? POLLIN : POLLOUT), 0};
    int r = poll(&p, 1, wait);
    if (r > 0)
      return 1;
    if (r < 0 && errno != EINTR) {
      VPERROR_SET(&c->error, os_verr_last(), "%s", os_strerror_last());
      return -1;
    }
  }
}

int ssl_fingerprint_text(const unsigned char *der, size_t n, char *out, size_t size, unsigned char *raw32)
{
  unsigned char h[32];
  if (mbedtls_sha256_ret(der, n, h, 0) != 0)
    return -1;
  if (raw32)
    memcpy(raw32, h, sizeof h);
  return str_hex_encode_sep(h, sizeof h, ':', out, size) < 0 ? -1 : 0;
}

int ssl_fingerprint_norm(const char *in, char *out, size_t size)
{
  if (!in || !out || size < 65)
    return -1;
  size_t k = 0;
  for (const char *p = in; *p; p++) {
    if (*p == ':')
      continue;
    if (!isxdigit((unsigned char)*p) || k == 64)
      return -1;
    out[k++] = (char)toupper((unsigned char)*p);
  }
  out[k] = 0;
  return k == 64 ? 0 : -1;
}

int ssl_pin_check(const char *pin, const unsigned char *der, size_t n, vperror *err)
{
  if (!pin || !*pin)
    return 0;
  char text[96];
  if (!der || ssl_fingerprint_text(der, n, text, sizeof text, nullptr) < 0)
    return VPERROR_SET(err, VERR_FAIL, "tls_fingerprint: the server sent no certificate"), -1;
  char plain[65];
  ssl_fingerprint_norm(text, plain, sizeof plain);
  if (strcmp(plain, pin) != 0) {
    LOGD("tls_fingerprint mismatch: server certificate %s\n", text);
    return VPERROR_SET(err, VERR_FAIL, "tls_fingerprint mismatch: the server certificate is %s", text), -1;
  }
  return 0;
}

int libssl_init()
{
  /* The client configuration comes with the first TLS connection (ssl_cli_connect2): a run over
   * plain TCP never sets up the TLS library, which costs milliseconds and a megabyte. */
  net_set_ssl_proc(&g_net_proc);
  return 0;
}

void ssl_cli_exit()
{
  for (const ssl_backend *const *b = g_backends; *b; b++)
    (*b)->cli_exit();
}

int ssl_backend_select(const char *name)
{
  for (const ssl_backend *const *b = g_backends; *b; b++)
    if (name && strcmp((*b)->name, name) == 0) {
      g_default.store(*b);
      return 0;
    }
  return -1;
}

const ssl_backend *ssl_backend_default()
{
  return g_default.load();
}

const ssl_backend *const *ssl_backend_list()
{
  return g_backends;
}

int ssl_cli_connect2(net *c, const char *, const char *fingerprint, vperror *err)
{
  return ssl_cli_connect3(c, nullptr, fingerprint, err);
}

int ssl_cli_connect3(net *c, const char *peer, const char *fingerprint, vperror *err)
{
  char pin[65] = "";
  if (fingerprint && *fingerprint && ssl_fingerprint_norm(fingerprint, pin, sizeof pin) < 0)
    return VPERROR_SET(err, VERR_PARAM, "tls_fingerprint [%.200s] is not 64 hex digits", fingerprint), VERR_PARAM;
  const ssl_backend *be = g_default.load();
  if (be->cli_init() < 0)
    return VPERROR_SET(err, VERR_FAIL, "ssl_cli_conf_new failed"), -1;
  return be->cli_connect(c, peer, pin, err);
}

void ssl_session_info(net *c, char *version, size_t vsize, char *suite, size_t ssize)
{
  if (vsize)
    version[0] = 0;
  if (ssize)
    suite[0] = 0;
  if (!c || !c->tls || !c->ops)
    return;
  for (const ssl_backend *const *b = g_backends; *b; b++)
    if ((*b)->name == c->ops->name || strcmp((*b)->name, c->ops->name) == 0)
      (*b)->session_info(c, version, vsize, suite, ssize);
}

ssl_srv *ssl_srv_init(const ssl_srv_param *p, vperror *err)
{
  const ssl_backend *be = g_default.load();
  if (p && p->backend) {
    be = nullptr;
    for (const ssl_backend *const *b = g_backends; *b; b++)
      if (strcmp((*b)->name, p->backend) == 0)
        be = *b;
    if (!be)
      return VPERROR_SET(err, VERR_NOTSUP, "TLS backend [%s] is not built", p->backend), nullptr;
  }
  std::string cert, key;
  bool files = p && (p->cert_file || p->key_file);
  bool texts = !files && p && (p->cert_pem || p->key_pem);
  if (files) {
    if (!p->cert_file || !p->key_file)
      return VPERROR_SET(err, VERR_PARAM, "a certificate needs its key file and the key its certificate"), nullptr;
    if (!read_file(p->cert_file, &cert, err) || !read_file(p->key_file, &key, err)) {
      wipe(&key);
      return nullptr;
    }
  } else if (texts && (!p->cert_pem || !p->key_pem)) {
    return VPERROR_SET(err, VERR_PARAM, "a certificate needs its key and the key its certificate"), nullptr;
  }
  ssl_srv *s = static_cast<ssl_srv *>(calloc(1, sizeof(ssl_srv)));
  if (!s) {
    wipe(&key);
    return VPERROR_SET(err, VERR_NOMEM, nullptr), nullptr;
  }
  s->be = be;
  const char *cert_pem = files ? cert.c_str() : texts ? p->cert_pem : nullptr;
  const char *key_pem = files ? key.c_str() : texts ? p->key_pem : nullptr;
  int rc = be->srv_new(s, cert_pem, key_pem, err);
  wipe(&key);
  if (rc < 0) {
    be->srv_free(s);
    free(s->cert_pem);
    ssl_srv_key_forget(s);
    free(s);
    return nullptr;
  }
  str_hex_encode_sep(s->der_sha256, sizeof s->der_sha256, ':', s->fingerprint, sizeof s->fingerprint);
  LOG2(LOG2_INFO, "tls server (%s) certificate sha256 fingerprint %s\n", be->name, s->fingerprint);
  return s;
}

void ssl_srv_key_forget(ssl_srv *s)
{
  if (!s || !s->key_pem)
    return;
  explicit_bzero(s->key_pem, strlen(s->key_pem));
  free(s->key_pem);
  s->key_pem = nullptr;
}

void ssl_srv_exit(ssl_srv *s)
{
  if (!s)
    return;
  s->be->srv_free(s);
  free(s->cert_pem);
  ssl_srv_key_forget(s);
  free(s);
}

int ssl_srv_accept(ssl_srv *s, net *conn, vperror *err)
{
  if (!s || !conn || conn->fd < 0 || !conn->ops)
    return VPERROR_SET(err, VERR_PARAM, "ssl_srv_accept: no server or no open connection"), -1;
  return s->be->srv_accept(s, conn, err);
}
