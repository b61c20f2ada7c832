#define LOG_TAG "qvsd"
#include "qvsd_state.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "liblog/log2.h"
#include "libpal/hash/pl_hash.h"
#include "libssl/ssl.h"

namespace {

constexpr size_t PEM_MAX = 64 * 1024; /* a stored key or certificate larger than this is not ours */

/* An open descriptor that closes itself. */
struct fd_guard {
  int fd = -1;
  explicit fd_guard(int f) : fd(f) {}
  fd_guard(const fd_guard &) = delete;
  fd_guard &operator=(const fd_guard &) = delete;
  ~fd_guard()
  {
    if (fd >= 0)
      close(fd);
  }
};

/* Overwrites a key text before its memory goes back to the heap. */
void wipe(std::string *s)
{
  if (!s->empty())
    explicit_bzero(s->data(), s->size());
  s->clear();
}

/* Reads all of fd into out, at most PEM_MAX bytes. 0, or -1 with errno set (EFBIG when larger). */
int read_all(int fd, std::string *out)
{
  char buf[4096];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      break;
    if (n == 0) {
      explicit_bzero(buf, sizeof buf);
      return 0;
    }
    if (out->size() + (size_t)n > PEM_MAX) {
      errno = EFBIG;
      break;
    }
    out->append(buf, (size_t)n);
  }
  int eno = errno;
  explicit_bzero(buf, sizeof buf);
  errno = eno;
  return -1;
}

int write_all(int fd, const char *p, size_t n)
{
  while (n > 0) {
    ssize_t k = write(fd, p, n);
    if (k < 0 && errno == EINTR)
      continue;
    if (k <= 0)
      return -1;
    p += k;
    n -= (size_t)k;
  }
  return 0;
}

/* Writes text as name in the directory dfd: a temporary file of mode (less the umask), synced,
 * then renamed over name. 0, or -1 with errno set and no temporary file left. */
int store(int dfd, const char *name, const char *text, mode_t mode)
{
  uint8_t rnd[8];
  if (getrandom(rnd, sizeof rnd, 0) != (ssize_t)sizeof rnd)
    return -1;
  std::string tmp = std::string(".") + name + "." + pl_hex(rnd, sizeof rnd);
  int fd = openat(dfd, tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0)
    return -1;
  int rc = write_all(fd, text, strlen(text));
  if (rc == 0)
    rc = fsync(fd);
  int eno = errno;
  if (close(fd) < 0 && rc == 0) {
    rc = -1;
    eno = errno;
  }
  if (rc == 0 && renameat(dfd, tmp.c_str(), dfd, name) < 0) {
    rc = -1;
    eno = errno;
  }
  if (rc < 0) {
    unlinkat(dfd, tmp.c_str(), 0);
    errno = eno;
  }
  return rc;
}

/* Opens a stored file without following a link: its descriptor, -1 with errno ENOENT when it is
 * not there, -2 with err filled for anything else. */
int open_stored(int dfd, const char *dir, const char *name, bool secret, vperror *err)
{
  int fd = openat(dfd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT)
      return -1;
    VPERROR_SET(err, os_verr_last(), "state dir [%s]: %s: %s", dir, name,
                errno == ELOOP ? "is a symbolic link" : os_strerror_last());
    return -2;
  }
  struct stat st;
  if (fstat(fd, &st) < 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    VPERROR_SET(err, VERR_PARAM, "state dir [%s]: %s is not a regular file", dir, name);
    return -2;
  }
  if (secret && (st.st_mode & (S_IRWXG | S_IRWXO))) {
    close(fd);
    VPERROR_SET(err, VERR_ACCESS, "stored key [%s/%s] may be read by group or others (chmod 600 it)", dir, name);
    return -2;
  }
  return fd;
}

ssl_srv *load(int dfd, int key_fd, const char *dir, const char *backend, vperror *err)
{
  std::string key, cert;
  {
    fd_guard k(key_fd);
    if (read_all(k.fd, &key) < 0) {
      wipe(&key);
      VPERROR_SET(err, os_verr_last(), "stored key [%s/%s]: %s", dir, QVSD_STATE_KEY, os_strerror_last());
      return nullptr;
    }
  }
  int cfd = open_stored(dfd, dir, QVSD_STATE_CERT, false, err);
  if (cfd == -1)
    VPERROR_SET(err, VERR_FILE_NOT_FOUND, "stored key [%s/%s] has no certificate %s beside it", dir, QVSD_STATE_KEY,
                QVSD_STATE_CERT);
  if (cfd < 0) {
    wipe(&key);
    return nullptr;
  }
  fd_guard c(cfd);
  if (read_all(c.fd, &cert) < 0) {
    wipe(&key);
    VPERROR_SET(err, os_verr_last(), "stored certificate [%s/%s]: %s", dir, QVSD_STATE_CERT, os_strerror_last());
    return nullptr;
  }
  ssl_srv_param p{nullptr, nullptr, backend};
  p.cert_pem = cert.c_str();
  p.key_pem = key.c_str();
  vperror e{};
  ssl_srv *s = ssl_srv_init(&p, &e);
  wipe(&key);
  if (!s)
    VPERROR_SET(err, e.code, "stored key and certificate under [%s]: %s", dir, e.msg);
  else
    LOGI("TLS key and certificate loaded from [%s]\n", dir);
  return s;
}

ssl_srv *make(int dfd, const char *dir, const char *backend, vperror *err)
{
  ssl_srv_param p{nullptr, nullptr, backend};
  ssl_srv *s = ssl_srv_init(&p, err);
  if (!s)
    return nullptr;
  if (!s->key_pem) {
    ssl_srv_exit(s);
    VPERROR_SET(err, VERR_FAIL, "state dir [%s]: the TLS layer did not hand back the key it made", dir);
    return nullptr;
  }
  /* The certificate goes first: a key alone would be a start-up error, a certificate alone is
   * replaced by the next start. */
  const char *what = QVSD_STATE_CERT;
  int rc = store(dfd, QVSD_STATE_CERT, s->cert_pem, 0644);
  if (rc == 0) {
    what = QVSD_STATE_KEY;
    rc = store(dfd, QVSD_STATE_KEY, s->key_pem, 0600);
  }
  if (rc == 0) {
    what = ".";
    rc = fsync(dfd);
  }
  ssl_srv_key_forget(s);
  if (rc < 0) {
    VPERROR_SET(err, os_verr_last(), "state dir [%s]: %s cannot be stored: %s", dir, what, os_strerror_last());
    ssl_srv_exit(s);
    return nullptr;
  }
  LOGI("new TLS key and certificate stored in [%s]\n", dir);
  return s;
}

} // namespace

ssl_srv *qvsd_state_tls(const char *dir, const char *backend, vperror *err)
{
  if (!dir || !*dir || strlen(dir) >= 4096) {
    VPERROR_SET(err, VERR_PARAM, "state dir: not a path");
    return nullptr;
  }
  fd_guard d(open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (d.fd < 0) {
    VPERROR_SET(err, os_verr_last(), "state dir [%s]: %s", dir, os_strerror_last());
    return nullptr;
  }
  struct stat st;
  if (fstat(d.fd, &st) < 0) {
    VPERROR_SET(err, os_verr_last(), "state dir [%s]: %s", dir, os_strerror_last());
    return nullptr;
  }
  /* Whoever may write the directory may put a key of their own in place of the server's. */
  if (st.st_mode & (S_IWGRP | S_IWOTH)) {
    VPERROR_SET(err, VERR_ACCESS, "state dir [%s] may be written by group or others (chmod go-w it)", dir);
    return nullptr;
  }
  int kfd = open_stored(d.fd, dir, QVSD_STATE_KEY, true, err);
  if (kfd >= 0)
    return load(d.fd, kfd, dir, backend, err);
  if (kfd == -1)
    return make(d.fd, dir, backend, err);
  return nullptr;
}
