#define LOG_TAG "pal"
#include "libnet/net.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <memory>
#include <string>
#include <strings.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "liblog/log2.h"
#include "libpal/os/os_time.h"

namespace {

constexpr int SLICE_CONNECT_MS = 200;
constexpr int SLICE_READ_MS = 300;
constexpr int SLICE_WRITE_MS = 500;
constexpr size_t MEM_INITIAL = 4096;

std::atomic<const net_ssl_proc *> g_ssl_proc{nullptr};

bool is_known_scheme(const char *p)
{
  static const char *const k[] = {"tcp", "tcps", "http", "https", "qvp", "qvps"};
  for (const char *s : k)
    if (strcmp(p, s) == 0)
      return true;
  return false;
}

bool is_tls_scheme(const char *p)
{
  return strcmp(p, "tcps") == 0 || strcmp(p, "https") == 0 || strcmp(p, "qvps") == 0;
}

int remaining_ms(uint64_t start, int timeout)
{
  if (timeout < 0)
    return -1;
  uint64_t spent = os_time_ms() - start;
  return spent >= (uint64_t)timeout ? 0 : (int)((uint64_t)timeout - spent);
}

int set_nonblock(int fd)
{
  int fl = fcntl(fd, F_GETFL);
  return fl < 0 ? -1 : fcntl(fd, F_SETFL, fl | O_NONBLOCK);
}

} // namespace

/* ---- in-memory stream ---- */

struct net_mem_buf {
  char *data;
  size_t cap;
  size_t begin; /* reads consume from here */
  size_t end;   /* writes append here */
  bool last_read;
};

static int mem_read(net *c, void *buf, int n)
{
  net_mem_buf *m = c->mem;
  size_t avail = m->end - m->begin;
  size_t k = (size_t)n < avail ? (size_t)n : avail;
  memcpy(buf, m->data + m->begin, k);
  m->begin += k;
  m->last_read = true;
  return (int)k;
}

static int mem_write(net *c, const void *buf, int n)
{
  net_mem_buf *m = c->mem;
  /* A write after a read starts a new message: what the reader left is dropped. */
  if (m->last_read) {
    m->begin = m->end = 0;
    m->last_read = false;
  }
  if (m->end + (size_t)n > m->cap) {
    size_t cap = m->cap;
    while (cap < m->end + (size_t)n)
      cap *= 2;
    char *d = static_cast<char *>(realloc(m->data, cap));
    if (!d)
      return VPERROR_SET(&c->error, VERR_NOMEM, nullptr), -1;
    m->data = d;
    m->cap = cap;
  }
  memcpy(m->data + m->end, buf, (size_t)n);
  m->end += (size_t)n;
  return n;
}

static void mem_close(net *c)
{
  if (c->mem) {
    free(c->mem->data);
    delete c->mem;
    c->mem = nullptr;
  }
}

static const net_ops net_mem_ops = {
    .name = "mem",
    .read = mem_read,
    .write = mem_write,
    .close = mem_close,
};

/* ---- plain TCP ---- */

bool net_aborted(net *c, int timeout_ms)
{
  if (!c)
    return false;
  if (c->abort.load(std::memory_order_relaxed))
    return true;
  const net_abort_check *a = c->abort_check;
  if (a && a->flag && a->flag->load(std::memory_order_relaxed))
    return true;
  return a && a->proc && a->proc(a->arg, timeout_ms) != 0;
}

int net_wait_fd(net *c, int fd, short events, int timeout_ms, int slice_ms)
{
  uint64_t start = os_time_ms();
  for (;;) {
    if (net_aborted(c, timeout_ms))
      return VERR_CANCELLED;
    int left = remaining_ms(start, timeout_ms);
    if (left == 0)
      return 0;
    int wait = left < 0 || left > slice_ms ? slice_ms : left;
    pollfd p{fd, events, 0};
    int r = poll(&p, 1, wait);
    if (r > 0)
      return 1;
    if (r < 0 && errno != EINTR)
      return -1;
  }
}

int net_sock_read(net *c, void *buf, int n)
{
  if (c->closed)
    return VPERROR_SET(&c->error, NET_ERR_CLOSED, nullptr), -1;
  uint64_t start = os_time_ms();
  char *p = static_cast<char *>(buf);
  int got = 0;
  while (got < n) {
    ssize_t r = recv(c->fd, p + got, (size_t)(n - got), 0);
    if (r > 0) {
      got += (int)r;
      continue;
    }
    if (r == 0) {
      c->closed = 1;
      if (got == 0)
        VPERROR_SET(&c->error, NET_ERR_CLOSED, nullptr);
      return got;
    }
    if (errno == EINTR)
      continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      int eno = errno;
      VPERROR_SET(&c->error, os_verr_get(eno), "%s", os_strerror(eno));
      LOGV("socket_recv error [%d] [%s]\n", eno, os_strerror(eno));
      return -1;
    }
    if (net_aborted(c, c->io_timeout)) {
      os_errno_set_verr(VERR_CANCELLED);
      return VPERROR_SET(&c->error, VERR_CANCELLED, nullptr), -1;
    }
    int left = remaining_ms(start, c->io_timeout);
    if (left == 0)
      return VPERROR_SET(&c->error, VERR_TIMEOUT, nullptr), got;
    int slice = left < 0 || left > SLICE_READ_MS ? SLICE_READ_MS : left;
    pollfd pf{c->fd, POLLIN, 0};
    if (poll(&pf, 1, slice) < 0 && errno != EINTR) {
      int eno = errno;
      VPERROR_SET(&c->error, os_verr_get(eno), "%s", os_strerror(eno));
      LOGV("socket_wait error [%d] [%s]\n", eno, os_strerror(eno));
      return got;
    }
  }
  return n;
}

int net_sock_write(net *c, const void *buf, int n)
{
  if (c->closed)
    return VPERROR_SET(&c->error, NET_ERR_CLOSED, nullptr), -1;
  uint64_t start = os_time_ms();
  const char *p = static_cast<const char *>(buf);
  int sent = 0;
  while (sent < n) {
    ssize_t r = send(c->fd, p + sent, (size_t)(n - sent), MSG_NOSIGNAL);
    if (r > 0) {
      sent += (int)r;
      continue;
    }
    if (r < 0 && errno == EINTR)
      continue;
    if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      int eno = errno;
      VPERROR_SET(&c->error, os_verr_get(eno), "%s", os_strerror(eno));
      LOGV("socket_send error [%d] [%s]\n", eno, os_strerror(eno));
      if (eno == EPIPE || eno == ECONNRESET)
        c->closed = 1;
      return -1;
    }
    if (c->abort.load(std::memory_order_relaxed) ||
        (c->abort_check && c->abort_check->flag && c->abort_check->flag->load(std::memory_order_relaxed))) {
      os_errno_set_verr(VERR_CANCELLED);
      return VPERROR_SET(&c->error, VERR_CANCELLED, nullptr), -1;
    }
    int left = remaining_ms(start, c->io_timeout);
    if (left == 0)
      return VPERROR_SET(&c->error, VERR_TIMEOUT, nullptr), sent;
    int slice = left < 0 || left > SLICE_WRITE_MS ? SLICE_WRITE_MS : left;
    pollfd pf{c->fd, POLLOUT, 0};
    if (poll(&pf, 1, slice) < 0 && errno != EINTR) {
      int eno = errno;
      VPERROR_SET(&c->error, os_verr_get(eno), "%s", os_strerror(eno));
      return -1;
    }
  }
  return n;
}

static void tcp_close(net *c)
{
  if (c->fd >= 0)
    close(c->fd);
  c->fd = -1;
}

const net_ops net_tcp_ops = {
    .name = "tcp",
    .read = net_sock_read,
    .write = net_sock_write,
    .close = tcp_close,
};

/* ---- connect, listen, accept ---- */

/* One name lookup on a helper thread. The resolver has no time limit of its own, so the caller
 * waits for it in slices and may leave; the job is shared, and whichever side finishes last
 * frees it. */
struct resolve_job {
  std::mutex lock;
  std::condition_variable cv;
  bool done = false;
  int rc = 0;
  addrinfo *res = nullptr;
  std::string host;
  std::string port;
  ~resolve_job()
  {
    if (res)
      freeaddrinfo(res);
  }
};

static bool copy_first(const addrinfo *res, sockaddr_storage *sa, socklen_t *len)
{
  if (!res || res->ai_addrlen > sizeof *sa)
    return false;
  memcpy(sa, res->ai_addr, res->ai_addrlen);
  *len = res->ai_addrlen;
  return true;
}

int sock_resolve(const char *host, int port, int family, int timeout_ms, const net_abort_check *abort,
                 sockaddr_storage *sa, socklen_t *len, vperror *errp)
{
  char ps[16];
  snprintf(ps, sizeof ps, "%d", port);
  addrinfo hints{};
  hints.ai_family = family;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | AI_NUMERICHOST;
  addrinfo *res = nullptr;
  /* An address literal needs no lookup and no thread. */
  if (getaddrinfo(host, ps, &hints, &res) == 0) {
    bool ok = copy_first(res, sa, len);
    freeaddrinfo(res);
    if (ok)
      return 0;
    return VPERROR_SET(errp, VERR_PARAM, "addrinfo_addr %s failed", host), -1;
  }
  auto job = std::make_shared<resolve_job>();
  job->host = host;
  job->port = ps;
  try {
    std::thread([job, family] {
      addrinfo h{};
      h.ai_family = family;
      h.ai_socktype = SOCK_STREAM;
      h.ai_flags = AI_NUMERICSERV;
      addrinfo *r = nullptr;
      int rc = getaddrinfo(job->host.c_str(), job->port.c_str(), &h, &r);
      std::lock_guard<std::mutex> g(job->lock);
      job->rc = rc;
      job->res = r;
      job->done = true;
      job->cv.notify_all();
    }).detach();
  } catch (...) {
    return VPERROR_SET(errp, VERR_NOMEM, "addrinfo_addr %s: no thread for the lookup", host), -1;
  }
  uint64_t start = os_time_ms();
  std::unique_lock<std::mutex> g(job->lock);
  while (!job->done) {
    int left = remaining_ms(start, timeout_ms);
    if (left == 0)
      return VPERROR_SET(errp, VERR_TIMEOUT, "addrinfo_addr %s timed out", host), -1;
    if (abort && ((abort->flag && abort->flag->load(std::memory_order_relaxed)) ||
                  (abort->proc && abort->proc(abort->arg, left))))
      return VPERROR_SET(errp, VERR_ABORTED, "connection aborted"), -1;
    int wait = left < 0 || left > SLICE_CONNECT_MS ? SLICE_CONNECT_MS : left;
    job->cv.wait_for(g, std::chrono::milliseconds(wait));
  }
  if (job->rc != 0 || !copy_first(job->res, sa, len))
    return VPERROR_SET(errp, VERR_PARAM, "addrinfo_addr %s failed", host), -1;
  return 0;
}

static int connect_direct(const char *host, int port, net_params *p, vperror *errp)
{
  sockaddr_storage sa{};
  socklen_t salen = 0;
  if (sock_resolve(host, port, AF_UNSPEC, p->connect_timeout, p->abort_check, &sa, &salen, errp) < 0)
    return -1;
  int fd = socket(sa.ss_family, SOCK_STREAM | SOCK_CLOEXEC | (p->blocking ? 0 : SOCK_NONBLOCK), 0);
  if (fd < 0) {
    int eno = errno;
    LOG2(LOG2_ERR | LOG2_ERRNO, "os_socket_init failed: ");
    return VPERROR_SET(errp, os_verr_get(eno), "%s", os_strerror(eno)), -1;
  }
  if (p->buf_size) {
    int sz = p->buf_size;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &sz, sizeof sz) < 0)
      LOGW("OS_SOCKET_CTRL_SET_RECV_BUFF_SIZE %d error\n", sz);
    if (setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sz, sizeof sz) < 0)
      LOGW("OS_SOCKET_CTRL_SET_SEND_BUFF_SIZE %d error\n", sz);
  }
  int one = 1;
  if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) < 0)
    LOGW("OS_SOCKET_CTRL_SET_TCP_NODELAY error\n");

  char where[1100];
  snprintf(where, sizeof where, "%s:%d", host, port);
  uint64_t start = os_time_ms();
  for (;;) {
    if (connect(fd, reinterpret_cast<sockaddr *>(&sa), salen) == 0 || errno == EISCONN)
      break;
    int eno = errno;
    if (eno == EINTR)
      continue;
    if (eno != EINPROGRESS && eno != EALREADY) {
      LOG2(LOG2_ERR | LOG2_ERRNO, "os_socket_connect %s error: ", where);
      VPERROR_SET(errp, os_verr_get(eno), "%s", os_strerror(eno));
      close(fd);
      return -1;
    }
    int rc = 0;
    for (;;) {
      int left = remaining_ms(start, p->connect_timeout);
      if (left == 0) {
        rc = VERR_TIMEOUT;
        VPERROR_SET(errp, rc, "connection timeout");
        break;
      }
      const net_abort_check *a = p->abort_check;
      if (a && ((a->flag && a->flag->load(std::memory_order_relaxed)) || (a->proc && a->proc(a->arg, left)))) {
        rc = VERR_ABORTED;
        VPERROR_SET(errp, rc, "connection aborted");
        break;
      }
      pollfd pf{fd, POLLOUT, 0};
      int r = poll(&pf, 1, left < 0 || left > SLICE_CONNECT_MS ? SLICE_CONNECT_MS : left);
      if (r < 0 && errno != EINTR) {
        eno = errno;
        LOG2(LOG2_ERR | LOG2_ERRNO, "os_socket_wait %s error: ", where);
        rc = os_verr_get(eno);
        VPERROR_SET(errp, rc, "%s", os_strerror(eno));
        break;
      }
      if (r > 0) {
        int soerr = 0;
        socklen_t sl = sizeof soerr;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &sl);
        if (soerr == ECONNREFUSED) {
          rc = VERR_CONN_REFUSED;
          VPERROR_SET(errp, rc, "connection refused");
        } else if (soerr) {
          LOGE("os_socket_wait %s error: %s\n", where, os_strerror(soerr));
          rc = os_verr_get(soerr);
          VPERROR_SET(errp, rc, "%s", os_strerror(soerr));
        }
        break;
      }
    }
    if (rc) {
      close(fd);
      return -1;
    }
  }
  if (p->blocking && set_nonblock(fd) < 0) {
    int eno = errno;
    close(fd);
    return VPERROR_SET(errp, os_verr_get(eno), "%s", os_strerror(eno)), -1;
  }
  return fd;
}

int sock_tcp_connect(const char *host, int port, net_params *p, vperror *errp)
{
  if (p->proxy.type != PROXY_NONE)
    return proxy_tcp_connect(host, port, p, errp);
  return connect_direct(host, port, p, errp);
}

int sock_tcp_listen(const char *host, int port, int backlog, int *port_out, vperror *errp)
{
  sockaddr_storage sa{};
  socklen_t salen = 0;
  if (sock_resolve(host, port, AF_UNSPEC, NET_CONNECT_TIMEOUT_DEFAULT_S * 1000, nullptr, &sa, &salen, errp) < 0)
    return -1;
  int fd = socket(sa.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0)
    return VPERROR_SET(errp, os_verr_last(), "socket: %s", os_strerror_last()), -1;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(fd, reinterpret_cast<sockaddr *>(&sa), salen) < 0 || listen(fd, backlog > 0 ? backlog : 16) < 0) {
    int eno = errno;
    close(fd);
    return VPERROR_SET(errp, os_verr_get(eno), "listen %s:%d: %s", host, port, os_strerror(eno)), -1;
  }
  salen = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &salen);
  if (port_out)
    *port_out = ntohs(sa.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&sa)->sin6_port
                                               : reinterpret_cast<sockaddr_in *>(&sa)->sin_port);
  return fd;
}

int sock_tcp_accept(int listen_fd, int timeout_ms, const std::atomic<int> *abort, vperror *errp)
{
  uint64_t start = os_time_ms();
  for (;;) {
    int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd >= 0) {
      int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      return fd;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED)
      return VPERROR_SET(errp, os_verr_last(), "accept: %s", os_strerror_last()), -1;
    if (abort && abort->load(std::memory_order_relaxed))
      return VPERROR_SET(errp, VERR_CANCELLED, nullptr), -1;
    int left = remaining_ms(start, timeout_ms);
    if (left == 0)
      return VPERROR_SET(errp, VERR_TIMEOUT, nullptr), -1;
    pollfd pf{listen_fd, POLLIN, 0};
    poll(&pf, 1, left < 0 || left > SLICE_READ_MS ? SLICE_READ_MS : left);
  }
}

/* ---- connection record ---- */

void net_set_ssl_proc(const net_ssl_proc *p)
{
  g_ssl_proc.store(p);
}

int net_attach_fd(net *c, int fd)
{
  if (set_nonblock(fd) < 0)
    return VPERROR_SET(&c->error, os_verr_last(), "%s", os_strerror_last()), -1;
  c->type = NET_TYPE_TCP;
  c->fd = fd;
  c->tls = nullptr;
  c->ops = &net_tcp_ops;
  c->closed = 0;
  if (c->io_timeout == 0)
    c->io_timeout = NET_IO_TIMEOUT_DEFAULT_S * 1000;
  if (c->chunk == 0)
    c->chunk = NET_CHUNK_DEFAULT;
  return 0;
}

int net_open3(net *c, const char *url_text, net_params *params, vperror *errp)
{
  pl_assert(errp != NULL);
  char masked[URL_BUF_SIZE];
  url_text_mask(url_text, masked, sizeof masked);
  auto buf = std::make_unique<char[]>(URL_BUF_SIZE);
  url u;
  if (!url_text || url_parser(&u, url_text, buf.get(), URL_BUF_SIZE) < 0) {
    LOGE("url [%s] syntax error\n", masked);
    return VPERROR_SET(errp, VERR_PARAM, "url syntax error"), -1;
  }
  if (c->ops)
    net_close(c);
  c->closed = 0;
  c->abort.store(0);
  c->error = vperror{};
  if (c->chunk == 0)
    c->chunk = NET_CHUNK_DEFAULT;
  if (strcmp(u.protocol, "net") == 0 && strcmp(u.host, "mem") == 0) {
    c->mem = new net_mem_buf{static_cast<char *>(malloc(MEM_INITIAL)), MEM_INITIAL, 0, 0, false};
    if (!c->mem->data) {
      delete c->mem;
      c->mem = nullptr;
      return VPERROR_SET(errp, VERR_NOMEM, nullptr), -1;
    }
    c->type = NET_TYPE_MEM;
    c->ops = &net_mem_ops;
    return 0;
  }
  if (c->io_timeout == 0)
    c->io_timeout = url_get_query_range(&u, "read_timeout", NET_IO_TIMEOUT_DEFAULT_S, 1, 600) * 1000;
  if (!is_known_scheme(u.protocol)) {
    LOGE("unkouwn protocol [%s]\n", u.protocol);
    return VPERROR_SET(errp, VERR_NOTSUP, "unkouwn protocol"), -1;
  }
  auto own = std::make_unique<net_params>();
  net_params *p = params;
  if (!p) {
    p = own.get();
    *p = net_params{};
    p->connect_timeout = url_get_query_range(&u, "connect_timeout", NET_CONNECT_TIMEOUT_DEFAULT_S, 1, 600) * 1000;
    p->abort_check = c->abort_check;
    char proxy_name[256], proxy_url[256];
    url_get_query(&u, "proxy", "", proxy_name, sizeof proxy_name);
    url_get_query(&u, "proxy_url", "", proxy_url, sizeof proxy_url);
    errp->code = 0;
    int pr = conf_proxy_get(proxy_url, proxy_name, &p->proxy, errp);
    if (pr < 0) {
      LOGE("conf_proxy_get [%s] error: %s", masked, vperror_str(errp));
      if (errp->code == 0)
        VPERROR_SET(errp, VERR_FAIL, "proxy failed");
      return pr;
    }
  }
  int port = (int)u.port;
  if (port == 0) {
    if (strcasecmp(u.protocol, "http") == 0)
      port = 80;
    else if (strcasecmp(u.protocol, "https") == 0)
      port = 443;
  }
  if (port == 0) {
    LOGE("needs to specify the port\n");
    return VPERROR_SET(errp, VERR_PARAM, "needs to specify the port"), -1;
  }
  char fingerprint[160];
  if (url_get_query(&u, "tls_fingerprint", "", fingerprint, sizeof fingerprint) < 0)
    return VPERROR_SET(errp, VERR_PARAM, "tls_fingerprint too long"), -1;
  bool tls = is_tls_scheme(u.protocol);
  for (int attempt = 0;; attempt++) {
    int fd = sock_tcp_connect(u.host, port, p, errp);
    if (fd < 0) {
      LOGD("tcp_connect %s error: %s\n", masked, vperror_str(errp));
      return -1;
    }
    c->type = NET_TYPE_TCP;
    c->fd = fd;
    c->tls = nullptr;
    c->ops = &net_tcp_ops;
    if (!tls)
      return 0;
    const net_ssl_proc *sp = g_ssl_proc.load();
    if (!chk_assert(sp != NULL)) {
      net_close(c);
      return VPERROR_SET(errp, VERR_FAIL, "ssl connection failed"), -1;
    }
    vperror serr{};
    std::string peer = std::string(u.host) + ":" + std::to_string(port);
    int rc = sp->cli_connect(c, peer.c_str(), p->connect_timeout, fingerprint, &serr);
    if (rc == 0)
      return 0;
    LOGD("ssl_cli_connect failed");
    net_close(c);
    if (rc == VERR_RETRY && attempt == 0) {
      LOGD("ssl_cli_connect aggin ...");
      continue;
    }
    if (serr.code != 0 && serr.code != VERR_RETRY && serr.code != VERR_FAIL)
      vperror_copy(errp, &serr);
    else
      VPERROR_SET(errp, VERR_FAIL, "ssl connection failed: %s", vperror_str(&serr));
    return -1;
  }
}

int net_open(net *c, const char *url_text, vperror *errp)
{
  return net_open3(c, url_text, nullptr, errp);
}

int net_read(net *c, void *buf, int n)
{
  if (!c->ops)
    return VPERROR_SET(&c->error, VERR_HANDLE, "connection not open"), -1;
  if (n <= 0)
    return 0;
  return c->ops->read(c, buf, n);
}

int net_write(net *c, const void *buf, int n)
{
  if (!c->ops)
    return VPERROR_SET(&c->error, VERR_HANDLE, "connection not open"), -1;
  if (n <= 0)
    return 0;
  return c->ops->write(c, buf, n);
}

int net_read_all(net *c, void *buf, int n)
{
  char *p = static_cast<char *>(buf);
  int done = 0;
  int chunk = c->chunk ? (int)c->chunk : (int)NET_CHUNK_DEFAULT;
  while (done < n) {
    int k = n - done < chunk ? n - done : chunk;
    int r = net_read(c, p + done, k);
    if (r < 1)
      return -1;
    done += r;
  }
  return n;
}

int net_write_all(net *c, const void *buf, int n)
{
  const char *p = static_cast<const char *>(buf);
  int done = 0;
  int chunk = c->chunk ? (int)c->chunk : (int)NET_CHUNK_DEFAULT;
  while (done < n) {
    int k = n - done < chunk ? n - done : chunk;
    int r = net_write(c, p + done, k);
    if (r < 1)
      return -1;
    done += r;
  }
  return n;
}

void net_abort(net *c)
{
  c->abort.store(1);
}

void net_close(net *c)
{
  if (c->ops)
    c->ops->close(c);
  else if (c->fd >= 0)
    close(c->fd);
  c->fd = -1;
  c->tls = nullptr;
  c->ops = nullptr;
  c->closed = 0;
  c->abort.store(0);
}

const char *net_errstr(const net *c)
{
  return vperror_str(&c->error);
}
