#define LOG_TAG "qvsd"
/* qvsd: exports one directory tree to the file service's clients over plain TCP and TLS. Runs in
 * the foreground; SIGTERM or SIGINT stops accepting, ends the sessions and exits 0. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "libep/ep.h"
#include "liblog/log2.h"
#include "libnet/net.h"
#include "libqvsd/qvsd_cli.h"
#include "libssl/ssl.h"
#include "qvsd_srv.h"
#include "qvsd_state.h"

namespace {

constexpr const char *QVSD_PROG_VERSION = "0.1.0";
constexpr int ACCEPT_SLICE_MS = 300;
constexpr int HANDSHAKE_MS = 10000;
constexpr int IO_SLICE_MS = 1000; /* one read waits this long before the stop word is tested */

std::atomic<int> g_stop{0};

void on_signal(int)
{
  g_stop.store(1);
}

const char *const g_usage =
    "usage: qvsd root=DIR [key=value ...]\n"
    "\troot=DIR          the exported directory (required)\n"
    "\tlisten=ADDR       address to listen on (default ::)\n"
    "\tport=N|off        plain TCP port (default 6688; 0 picks a free port)\n"
    "\ttls_port=N|off    TLS port (default 6686; 0 picks a free port)\n"
    "\tusers=FILE        accounts, one name:password a line (mode 600)\n"
    "\tanonymous=yes     serve without accounts\n"
    "\tlogin=key|password\n"
    "\tcert=FILE key=FILE PEM certificate and key for TLS (default: self-signed, made at start)\n"
    "\tstate_dir=DIR     keep the self-signed key and certificate in DIR across restarts\n"
    "\tallow=CIDR[,...]  accept clients from these networks only (default: every address)\n"
    "\tread_only=yes     refuse every request that changes the tree\n"
    "\tkeep_special=yes  create device nodes and keep set-user/group-ID bits (default no)\n"
    "\tmax_clients=N     sessions served at once (default 64)\n"
    "\tidle_timeout=S    seconds a silent session is kept (default 600)\n"
    "\tlevel=LEVEL       log level: [verb, dbg, info, warn, err]\n"
    "\tlog=FILE          log to FILE instead of standard error\n"
    "\t-v                version\n";

[[noreturn]] void fail(int status, const char *fmt, const char *a = "", const char *b = "")
{
  fprintf(stderr, "qvsd: error: ");
  fprintf(stderr, fmt, a, b);
  fputc('\n', stderr);
  log2_exit();
  exit(status);
}

/* A port word: "off" (-1), or 0..65535. */
bool parse_port(const char *v, int *out)
{
  if (strcmp(v, "off") == 0) {
    *out = -1;
    return true;
  }
  char *end = nullptr;
  long n = strtol(v, &end, 10);
  if (!*v || *end || n < 0 || n > 65535)
    return false;
  *out = (int)n;
  return true;
}

/* A yes/no word. */
bool parse_yes_no(const char *v, bool *out)
{
  if (strcmp(v, "yes") != 0 && strcmp(v, "no") != 0)
    return false;
  *out = strcmp(v, "yes") == 0;
  return true;
}

/* One network clients may come from. A dual-stack listener sees IPv4 clients as IPv4-mapped IPv6
 * addresses; they are compared as IPv4. */
struct net_prefix {
  int family = AF_INET;
  uint8_t addr[16] = {};
  int bits = 0;
};

bool parse_prefix(const std::string &text, net_prefix *out)
{
  std::string host = text;
  int bits = -1;
  size_t slash = text.find('/');
  if (slash != std::string::npos) {
    host = text.substr(0, slash);
    std::string b = text.substr(slash + 1);
    if (b.empty() || b.size() > 3 || b.find_first_not_of("0123456789") != std::string::npos)
      return false;
    bits = std::stoi(b);
  }
  if (inet_pton(AF_INET, host.c_str(), out->addr) == 1) {
    out->family = AF_INET;
    out->bits = bits < 0 ? 32 : bits;
    return out->bits <= 32;
  }
  if (inet_pton(AF_INET6, host.c_str(), out->addr) == 1) {
    out->family = AF_INET6;
    out->bits = bits < 0 ? 128 : bits;
    in6_addr a6;
    memcpy(&a6, out->addr, sizeof a6);
    if (IN6_IS_ADDR_V4MAPPED(&a6) && out->bits >= 96 && out->bits <= 128) {
      /* Written as an IPv4-mapped network: compared as the IPv4 network it stands for. */
      memmove(out->addr, out->addr + 12, 4);
      memset(out->addr + 4, 0, 12);
      out->family = AF_INET;
      out->bits -= 96;
    }
    return out->bits <= 128;
  }
  return false;
}

/* "CIDR[,CIDR...]"; false for an empty item or one that is not a network. */
bool parse_allow(const char *v, std::vector<net_prefix> *out)
{
  std::string t = v;
  size_t pos = 0;
  for (;;) {
    size_t comma = t.find(',', pos);
    net_prefix p;
    if (!parse_prefix(t.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos), &p))
      return false;
    out->push_back(p);
    if (comma == std::string::npos)
      return true;
    pos = comma + 1;
  }
}

bool prefix_match(const net_prefix &p, int family, const uint8_t *addr)
{
  if (p.family != family)
    return false;
  int full = p.bits / 8, rest = p.bits % 8;
  if (memcmp(p.addr, addr, (size_t)full) != 0)
    return false;
  if (rest == 0)
    return true;
  uint8_t mask = (uint8_t)(0xff << (8 - rest));
  return (p.addr[full] & mask) == (addr[full] & mask);
}

/* Whether the peer of a connection lies in one of the allowed networks (every peer with none). */
bool peer_allowed(const std::vector<net_prefix> &allow, int fd)
{
  if (allow.empty())
    return true;
  sockaddr_storage sa{};
  socklen_t len = sizeof sa;
  if (getpeername(fd, reinterpret_cast<sockaddr *>(&sa), &len) < 0)
    return false;
  int family = AF_INET;
  uint8_t addr[16] = {};
  if (sa.ss_family == AF_INET) {
    memcpy(addr, &reinterpret_cast<sockaddr_in *>(&sa)->sin_addr, 4);
  } else if (sa.ss_family == AF_INET6) {
    const in6_addr &a6 = reinterpret_cast<sockaddr_in6 *>(&sa)->sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&a6)) {
      memcpy(addr, a6.s6_addr + 12, 4);
    } else {
      family = AF_INET6;
      memcpy(addr, a6.s6_addr, 16);
    }
  } else {
    return false;
  }
  for (const net_prefix &p : allow)
    if (prefix_match(p, family, addr))
      return true;
  return false;
}

bool parse_count(const char *v, long lo, long hi, long *out)
{
  char *end = nullptr;
  long n = strtol(v, &end, 10);
  if (!*v || *end || n < lo || n > hi)
    return false;
  *out = n;
  return true;
}

std::string peer_text(int fd)
{
  sockaddr_storage sa{};
  socklen_t len = sizeof sa;
  if (getpeername(fd, reinterpret_cast<sockaddr *>(&sa), &len) < 0)
    return "?";
  char host[INET6_ADDRSTRLEN] = "?";
  int port = 0;
  if (sa.ss_family == AF_INET) {
    auto *a = reinterpret_cast<sockaddr_in *>(&sa);
    inet_ntop(AF_INET, &a->sin_addr, host, sizeof host);
    port = ntohs(a->sin_port);
  } else if (sa.ss_family == AF_INET6) {
    auto *a = reinterpret_cast<sockaddr_in6 *>(&sa);
    inet_ntop(AF_INET6, &a->sin6_addr, host, sizeof host);
    port = ntohs(a->sin6_port);
  }
  return std::string(host) + ":" + std::to_string(port);
}

struct server {
  qvsd_srv_conf conf;
  ssl_srv *tls = nullptr;
  long max_clients = 64;
  std::vector<net_prefix> allow; /* empty: every address */
  std::atomic<long> active{0};
  std::mutex lock;
  struct worker {
    std::thread t;
    std::atomic<bool> done{false};
  };
  std::list<worker> workers;

  /* Joins the sessions that have ended, so threads do not pile up. */
  void reap()
  {
    std::lock_guard<std::mutex> g(lock);
    for (auto it = workers.begin(); it != workers.end();) {
      if (it->done.load()) {
        it->t.join();
        it = workers.erase(it);
      } else {
        ++it;
      }
    }
  }

  void join_all()
  {
    std::lock_guard<std::mutex> g(lock);
    for (auto &w : workers)
      w.t.join();
    workers.clear();
  }
};

void run_session(server *srv, int fd, bool tls, std::atomic<bool> *done)
{
  log2_thread_name_set(tls ? "qvsd_tls" : "qvsd_tcp");
  std::string peer = peer_text(fd);
  net conn;
  net_abort_check check{&g_stop, nullptr, nullptr};
  conn.abort_check = &check;
  if (net_attach_fd(&conn, fd) < 0) {
    LOGW("%s: %s\n", peer.c_str(), net_errstr(&conn));
    close(fd);
  } else {
    bool ok = true;
    if (tls) {
      conn.io_timeout = HANDSHAKE_MS;
      vperror err{};
      if (ssl_srv_accept(srv->tls, &conn, &err) < 0) {
        LOGW("%s: TLS handshake failed: %s\n", peer.c_str(), vperror_str(&err));
        ok = false;
      }
    }
    if (ok) {
      conn.io_timeout = IO_SLICE_MS;
      if (srv->active.fetch_add(1) >= srv->max_clients) {
        LOGW("%s refused: %ld sessions already\n", peer.c_str(), srv->max_clients);
        qvsd_srv_refuse(&srv->conf, &conn, peer.c_str(), VERR_BUSY, "too many clients", &g_stop);
      } else {
        qvsd_srv_session(&srv->conf, &conn, peer.c_str(), tls, &g_stop);
      }
      /* The last session gives back what the sessions' buffers held, so that an idle server
       * does not keep the peak of its busiest hour resident. */
      if (srv->active.fetch_sub(1) == 1)
        malloc_trim(0);
    }
    net_close(&conn);
  }
  done->store(true);
}

void accept_loop(server *srv, int lfd, bool tls)
{
  log2_thread_name_set(tls ? "qvsd_accept_tls" : "qvsd_accept");
  while (!g_stop.load()) {
    vperror err{};
    int fd = sock_tcp_accept(lfd, ACCEPT_SLICE_MS, &g_stop, &err);
    srv->reap();
    if (fd < 0) {
      if (err.code != VERR_TIMEOUT && err.code != VERR_CANCELLED) {
        LOGW("accept: %s\n", vperror_str(&err));
        std::this_thread::sleep_for(std::chrono::milliseconds(ACCEPT_SLICE_MS));
      }
      continue;
    }
    /* Refused before a byte is read: nothing of the protocol is offered to other networks. */
    if (!peer_allowed(srv->allow, fd)) {
      LOGW("%s refused: not in allow=\n", peer_text(fd).c_str());
      close(fd);
      continue;
    }
    std::lock_guard<std::mutex> g(srv->lock);
    srv->workers.emplace_back();
    server::worker &w = srv->workers.back();
    w.t = std::thread(run_session, srv, fd, tls, &w.done);
  }
}

} // namespace

int main(int argc, char **argv)
{
  /* One allocator arena. A trim gives back only what the main arena holds on its top: with an
   * arena per session thread, an idle server kept 12 MiB after one pull, and more after each.
   * Sessions mostly wait on their peers and small blocks come from each thread's own cache, so the
   * one arena costs no measurable speed (pushes of small files measured a little faster). */
  mallopt(M_ARENA_MAX, 1);
  int level = LOG2_INFO;
  log2_ioctl(nullptr, LOG2_IOC_LEVEL, &level, sizeof level);
  log2_ioctl(nullptr, LOG2_IOC_FLAGS_STR, "time|tid", 0);

  std::string root, listen_addr = "::", users_file, log_file, login = "key", cert_file, key_file, state_dir;
  std::vector<net_prefix> allow;
  int port = QVSD_PORT_TCP, tls_port = QVSD_PORT_TLS;
  bool anonymous = false, read_only = false, keep_special = false;
  long max_clients = 64, idle_s = 600;
  for (int i = 1; i < argc; i++) {
    const char *w = argv[i];
    if (strcmp(w, "-v") == 0) {
      printf("qvsd %s (announces %s)\n", QVSD_PROG_VERSION, QVSD_SRV_VERSION);
      return 0;
    }
    const char *eq = strchr(w, '=');
    if (!eq) {
      fputs(g_usage, stderr);
      fail(1, "unknown word [%s]", w);
    }
    std::string key(w, (size_t)(eq - w));
    const char *v = eq + 1;
    if (key == "root")
      root = v;
    else if (key == "listen")
      listen_addr = v;
    else if (key == "port" || key == "tls_port") {
      if (!parse_port(v, key == "port" ? &port : &tls_port))
        fail(1, "bad %s value [%s]", key.c_str(), v);
    } else if (key == "users")
      users_file = v;
    else if (key == "anonymous" || key == "read_only" || key == "keep_special") {
      bool *out = key == "anonymous" ? &anonymous : key == "read_only" ? &read_only : &keep_special;
      if (!parse_yes_no(v, out))
        fail(1, "%s= takes yes or no, not [%s]", key.c_str(), v);
    } else if (key == "login") {
      if (strcmp(v, "key") != 0 && strcmp(v, "password") != 0)
        fail(1, "login= takes key or password, not [%s]", v);
      login = v;
    } else if (key == "max_clients") {
      if (!parse_count(v, 1, 100000, &max_clients))
        fail(1, "bad max_clients value [%s]", v);
    } else if (key == "idle_timeout") {
      if (!parse_count(v, 1, 86400 * 7, &idle_s))
        fail(1, "bad idle_timeout value [%s]", v);
    } else if (key == "level") {
      if (log2_ioctl(nullptr, LOG2_IOC_LEVEL_STR, v, 0) < 0)
        fail(1, "bad level [%s]", v);
    } else if (key == "log") {
      log_file = v;
    } else if (key == "cert") {
      cert_file = v;
    } else if (key == "key") {
      key_file = v;
    } else if (key == "state_dir") {
      if (!*v)
        fail(1, "state_dir= needs a directory");
      state_dir = v;
    } else if (key == "allow") {
      allow.clear();
      if (!parse_allow(v, &allow))
        fail(1, "allow= takes networks like 192.0.2.0/24,2001:db8::/32, not [%s]", v);
    } else {
      fputs(g_usage, stderr);
      fail(1, "unknown word [%s]", w);
    }
  }
  if (root.empty())
    fail(1, "root= is required");
  if (port < 0 && tls_port < 0)
    fail(1, "port=off and tls_port=off leave nothing to listen on");
  if (anonymous && !users_file.empty())
    fail(1, "users= and anonymous=yes exclude each other");
  if (!anonymous && users_file.empty())
    fail(1, "users= is required (or anonymous=yes)");
  if (cert_file.empty() != key_file.empty())
    fail(1, "cert= and key= go together");

  if (!log_file.empty()) {
    if (log2_ioctl(nullptr, LOG2_IOC_FILE_OPEN, log_file.c_str(), 0) < 0)
      fail(3, "cannot open log file [%s]", log_file.c_str());
    int on = 1, off = 0;
    log2_ioctl(nullptr, LOG2_IOC_FILE_ON, &on, sizeof on);
    log2_ioctl(nullptr, LOG2_IOC_CONSOLE_ON, &off, sizeof off);
  }

  server srv;
  srv.max_clients = max_clients;
  srv.allow = allow;
  srv.conf.anonymous = anonymous;
  srv.conf.read_only = read_only;
  srv.conf.keep_special = keep_special;
  srv.conf.proto = login == "password" ? QVSD_SRV_LOGIN_PASSWORD : QVSD_SRV_LOGIN_KEY;
  srv.conf.idle_timeout_ms = (int)(idle_s * 1000);
  srv.conf.log_file = log_file;
  vperror err{};
  if (!users_file.empty() && qvsd_srv_users_load(users_file.c_str(), &srv.conf.users, &err) < 0)
    fail(3, "%s", vperror_str(&err));

  ep_info info;
  srv.conf.root = ep_open(root.c_str(), &ep_local_ops, &info, &err);
  if (!srv.conf.root)
    fail(3, "root [%s]: %s", root.c_str(), vperror_str(&err));
  if (info.not_exist || !info.is_dir || os_type_kind(info.root.type) != TYPE_DIR ||
      (info.root.type & TYPE_F_SYMLINK)) {
    ep_close(srv.conf.root);
    fail(3, "root [%s] is not a directory", root.c_str());
  }
  srv.conf.root_path = info.path;

  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  /* The TLS identity is settled before any port opens: a start that fails on it announces no
   * listener at all. */
  if (tls_port >= 0) {
    libssl_init();
    if (!key_file.empty()) {
      /* The key is the server's identity: a copy others may read is a copy others may use. */
      struct stat st;
      if (stat(key_file.c_str(), &st) < 0)
        fail(3, "key file [%s] cannot be read", key_file.c_str());
      if (st.st_mode & (S_IROTH | S_IWOTH))
        fail(3, "key file [%s] may be read by others (chmod o-rw it)", key_file.c_str());
    }
    if (cert_file.empty() && !state_dir.empty()) {
      /* The made key is kept, so clients that pinned the fingerprint still reach this server. */
      srv.tls = qvsd_state_tls(state_dir.c_str(), nullptr, &err);
      if (!srv.tls)
        fail(3, "%s", vperror_str(&err));
    } else {
      ssl_srv_param sp{cert_file.empty() ? nullptr : cert_file.c_str(),
                       key_file.empty() ? nullptr : key_file.c_str(), nullptr};
      srv.tls = ssl_srv_init(&sp, &err);
      if (!srv.tls)
        fail(3, "TLS set-up: %s", vperror_str(&err));
      ssl_srv_key_forget(srv.tls); /* without state_dir= a made key lives in the TLS layer only */
    }
  }
  int lfd = -1, tfd = -1, got = 0;
  if (port >= 0) {
    lfd = sock_tcp_listen(listen_addr.c_str(), port, 64, &got, &err);
    if (lfd < 0)
      fail(3, "listen on port %s: %s", std::to_string(port).c_str(), vperror_str(&err));
    fprintf(stderr, "qvsd: listening on %s:%d (tcp)\n", listen_addr.c_str(), got);
  }
  if (tls_port >= 0) {
    tfd = sock_tcp_listen(listen_addr.c_str(), tls_port, 64, &got, &err);
    if (tfd < 0)
      fail(3, "listen on port %s: %s", std::to_string(tls_port).c_str(), vperror_str(&err));
    fprintf(stderr, "qvsd: listening on %s:%d (tls, sha256 %s)\n", listen_addr.c_str(), got, srv.tls->fingerprint);
  }
  fflush(stderr);
  LOGI("exporting [%s]%s%s, %s login, up to %ld clients\n", srv.conf.root_path.c_str(), read_only ? " read-only" : "",
       keep_special ? " keeping special files" : "", login.c_str(), max_clients);

  std::thread a1, a2;
  if (lfd >= 0)
    a1 = std::thread(accept_loop, &srv, lfd, false);
  if (tfd >= 0)
    a2 = std::thread(accept_loop, &srv, tfd, true);
  while (!g_stop.load())
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  LOGI("stopping\n");
  if (a1.joinable())
    a1.join();
  if (a2.joinable())
    a2.join();
  if (lfd >= 0)
    close(lfd);
  if (tfd >= 0)
    close(tfd);
  srv.join_all();
  ep_close(srv.conf.root);
  if (srv.tls)
    ssl_srv_exit(srv.tls);
  ssl_cli_exit();
  LOGI("stopped\n");
  log2_exit();
  return 0;
}
