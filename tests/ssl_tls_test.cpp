#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "helpers/peer_fake.h"
#include "helpers/peer_proc.h"
#include "helpers/run_cmd.h"
#include "liblog/log2.h"
#include "libnet/net.h"
#include "libssl/ssl.h"

namespace {

std::mutex g_log_lock;
std::vector<std::string> g_lines;

void capture(int, const char *, const char *, int, const char *, const char *fmt, va_list ap)
{
  char buf[4096];
  vsnprintf(buf, sizeof buf, fmt, ap);
  std::lock_guard<std::mutex> g(g_log_lock);
  g_lines.push_back(buf);
}

bool logged(const std::string &text)
{
  std::lock_guard<std::mutex> g(g_log_lock);
  for (const std::string &l : g_lines)
    if (l.find(text) != std::string::npos)
      return true;
  return false;
}

/* What `openssl x509 -noout -fingerprint -sha256` prints for a certificate file. */
std::string openssl_fingerprint(const std::string &pem_file)
{
  run_result r = run_cmd("/usr/bin/openssl", {"x509", "-noout", "-fingerprint", "-sha256", "-in", pem_file});
  size_t eq = r.out.find('=');
  if (r.status != 0 || eq == std::string::npos)
    return "";
  std::string fp = r.out.substr(eq + 1);
  while (!fp.empty() && (fp.back() == '\n' || fp.back() == '\r'))
    fp.pop_back();
  return fp;
}

std::string lower_no_colons(const std::string &fp)
{
  std::string s;
  for (char ch : fp)
    if (ch != ':')
      s += (char)tolower((unsigned char)ch);
  return s;
}

/* The server role of libssl on a loopback port, on a thread: accepts connections one after
 * another, runs the handshake and hands each TLS connection to the handler. */
class tls_server {
public:
  tls_server(ssl_srv *srv, int connections, std::function<void(net *)> handler, int io_timeout_ms = 10000)
      : srv_(srv), handler_(std::move(handler))
  {
    vperror e{};
    lfd_ = sock_tcp_listen("127.0.0.1", 0, 8, &port_, &e);
    thread_ = std::thread([this, connections, io_timeout_ms] {
      for (int i = 0; i < connections && !stop_.load(); i++) {
        vperror err{};
        int fd = sock_tcp_accept(lfd_, 20000, &stop_, &err);
        if (fd < 0)
          return;
        net c;
        c.io_timeout = io_timeout_ms;
        net_attach_fd(&c, fd);
        if (ssl_srv_accept(srv_, &c, &err) == 0) {
          handshakes_.fetch_add(1);
          handler_(&c);
        } else {
          std::lock_guard<std::mutex> g(lock_);
          last_error_ = vperror_str(&err);
        }
        net_close(&c);
      }
    });
  }
  ~tls_server()
  {
    stop_.store(1);
    thread_.join();
    close(lfd_);
  }
  int port() const { return port_; }
  int handshakes() const { return handshakes_.load(); }
  std::string last_error()
  {
    std::lock_guard<std::mutex> g(lock_);
    return last_error_;
  }
  void stop() { stop_.store(1); }

private:
  ssl_srv *srv_;
  std::function<void(net *)> handler_;
  int lfd_ = -1;
  int port_ = 0;
  std::atomic<int> stop_{0};
  std::atomic<int> handshakes_{0};
  std::mutex lock_;
  std::string last_error_;
  std::thread thread_;
};

void echo_handler(net *c)
{
  std::vector<char> buf(65536);
  for (;;) {
    int n = net_read(c, buf.data(), 1);
    if (n != 1)
      return;
    if (net_write_all(c, buf.data(), 1) != 1)
      return;
  }
}

/* Every test runs once per built backend: both pass the same tests. */
class ssl_tls : public ::testing::TestWithParam<const char *> {
protected:
  void SetUp() override
  {
    g_lines.clear();
    log2_set_forward(capture);
    ASSERT_EQ(0, ssl_backend_select(GetParam()));
    libssl_init();
    dir = peer_tmpdir();
    ASSERT_TRUE(peer_make_cert(dir, false));
  }
  void TearDown() override
  {
    net_close(&c);
    ssl_cli_exit();
    log2_set_forward(nullptr);
    peer_rmdir(dir);
  }
  std::string url(int port, const std::string &query = "")
  {
    return "tcps://127.0.0.1:" + std::to_string(port) + "/?read_timeout=10" + (query.empty() ? "" : "&" + query);
  }
  bool is_openssl() const { return strcmp(GetParam(), "openssl") == 0; }
  net c;
  std::string dir;
};

TEST_P(ssl_tls, client_against_s_server)
{
  auto srv = peer_proc::s_server(dir + "/cert.pem", dir + "/key.pem", {"-rev"});
  ASSERT_TRUE(srv) << "s_server did not start";
  vperror e{};
  ASSERT_EQ(0, net_open(&c, url(srv->port()).c_str(), &e)) << vperror_str(&e);
  EXPECT_STREQ(GetParam(), c.ops->name);
  char ver[32], suite[128];
  ssl_session_info(&c, ver, sizeof ver, suite, sizeof suite);
  EXPECT_STREQ(is_openssl() ? "TLSv1.3" : "TLSv1.2", ver);
  std::string s(suite);
  EXPECT_TRUE(s.find("GCM") != std::string::npos || s.find("CHACHA20") != std::string::npos) << s;
  /* s_server -rev answers each line reversed */
  ASSERT_EQ(6, net_write_all(&c, "hello\n", 6));
  char buf[7] = {};
  ASSERT_EQ(6, net_read_all(&c, buf, 6)) << net_errstr(&c);
  EXPECT_STREQ("olleh\n", buf);
}

TEST_P(ssl_tls, fingerprint_pinning)
{
  auto srv = peer_proc::s_server(dir + "/cert.pem", dir + "/key.pem", {"-rev"});
  ASSERT_TRUE(srv);
  std::string fp = openssl_fingerprint(dir + "/cert.pem");
  ASSERT_EQ(95u, fp.size()) << fp;
  static const struct {
    int form; /* 0 as printed, 1 lower case without colons, 2 another certificate, 3 not a fingerprint */
    int rc;
  } cases[] = {{0, 0}, {1, 0}, {2, -1}, {3, -1}};
  for (const auto &k : cases) {
    std::string pin = k.form == 0 ? fp : k.form == 1 ? lower_no_colons(fp) : k.form == 2 ? std::string(64, '0') : "12:zz";
    vperror e{};
    EXPECT_EQ(k.rc, net_open(&c, url(srv->port(), "tls_fingerprint=" + pin).c_str(), &e)) << pin;
    if (k.form == 2) {
      EXPECT_EQ("ssl connection failed: tls_fingerprint mismatch: the server certificate is " + fp, vperror_str(&e));
    }
    if (k.form == 3) {
      EXPECT_EQ(VERR_PARAM, e.code) << vperror_str(&e);
    }
    if (k.rc == 0) {
      ASSERT_EQ(3, net_write_all(&c, "ab\n", 3));
      char buf[4] = {};
      EXPECT_EQ(3, net_read_all(&c, buf, 3));
      EXPECT_STREQ("ba\n", buf);
    }
    net_close(&c);
  }
}

TEST_P(ssl_tls, weak_servers_are_refused)
{
  ASSERT_TRUE(peer_make_cert(dir, true)); /* RSA: static-RSA suites need it */
  static const std::vector<std::string> servers[] = {
      {"-tls1_2", "-cipher", "AES128-SHA", "-rev"},              /* static RSA, CBC */
      {"-tls1_2", "-cipher", "NULL-SHA256:@SECLEVEL=0", "-rev"}, /* no encryption */
      {"-tls1_2", "-cipher", "ECDHE-RSA-AES128-SHA", "-rev"},    /* forward secret but not AEAD */
  };
  for (const auto &extra : servers) {
    auto srv = peer_proc::s_server(dir + "/cert.pem", dir + "/key.pem", extra);
    ASSERT_TRUE(srv) << extra[2];
    vperror e{};
    EXPECT_EQ(-1, net_open(&c, url(srv->port()).c_str(), &e)) << extra[2];
    std::string msg = vperror_str(&e);
    EXPECT_NE(std::string::npos, msg.find("ECDHE suite using AES-GCM or ChaCha20-Poly1305")) << extra[2] << ": " << msg;
    net_close(&c);
  }
}

TEST_P(ssl_tls, server_role_against_s_client)
{
  vperror e{};
  ssl_srv_param p{nullptr, nullptr, GetParam()};
  ssl_srv *srv = ssl_srv_init(&p, &e);
  ASSERT_NE(nullptr, srv) << vperror_str(&e);
  ASSERT_TRUE(peer_write_file(dir + "/srv.pem", srv->cert_pem));
  EXPECT_EQ(openssl_fingerprint(dir + "/srv.pem"), srv->fingerprint);
  EXPECT_TRUE(logged(std::string("certificate sha256 fingerprint ") + srv->fingerprint));
  {
    tls_server ts(srv, 2, echo_handler);
    std::string at = "127.0.0.1:" + std::to_string(ts.port());
    run_result r = run_cmd("/usr/bin/openssl", {"s_client", "-connect", at, "-brief"}, {}, 30);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.err.find(is_openssl() ? "Protocol version: TLSv1.3" : "Protocol version: TLSv1.2"))
        << r.err;
    bool aead = r.err.find("GCM") != std::string::npos || r.err.find("CHACHA20") != std::string::npos;
    EXPECT_TRUE(aead) << r.err;
    /* a client that offers only a static-RSA suite gets nothing */
    r = run_cmd("/usr/bin/openssl", {"s_client", "-connect", at, "-brief", "-tls1_2", "-cipher", "AES128-SHA"}, {}, 30);
    EXPECT_NE(0, r.status) << r.err;
    for (int i = 0; i < 1000 && ts.last_error().empty(); i++) /* the server records it after its alert left */
      usleep(10000);
    EXPECT_NE(std::string::npos, ts.last_error().find("tls handshake failed")) << ts.last_error();
    EXPECT_EQ(1, ts.handshakes());
  }
  ssl_srv_exit(srv);
}

TEST_P(ssl_tls, server_role_loads_pem)
{
  vperror e{};
  std::string cert = dir + "/cert.pem", key = dir + "/key.pem";
  ssl_srv_param p{cert.c_str(), key.c_str(), GetParam()};
  ssl_srv *srv = ssl_srv_init(&p, &e);
  ASSERT_NE(nullptr, srv) << vperror_str(&e);
  EXPECT_EQ(openssl_fingerprint(cert), srv->fingerprint);
  ssl_srv_exit(srv);

  /* a key that is not PEM, a missing file, a certificate without its key */
  ASSERT_TRUE(peer_write_file(dir + "/junk.pem", "not a key\n"));
  std::string junk = dir + "/junk.pem", none = dir + "/none.pem";
  const ssl_srv_param bad[] = {{cert.c_str(), junk.c_str(), GetParam()},
                               {none.c_str(), key.c_str(), GetParam()},
                               {cert.c_str(), nullptr, GetParam()}};
  for (const ssl_srv_param &b : bad) {
    e = vperror{};
    EXPECT_EQ(nullptr, ssl_srv_init(&b, &e)) << (b.key_file ? b.key_file : "no key");
    EXPECT_NE(0, e.code);
  }
}

/* A made key comes back as PEM with its certificate; the two load again (by either backend) as
 * the same server, which is what lets a server keep its fingerprint across restarts. */
TEST_P(ssl_tls, made_key_is_handed_back_and_loads_again)
{
  vperror e{};
  ssl_srv_param p{nullptr, nullptr, GetParam()};
  ssl_srv *made = ssl_srv_init(&p, &e);
  ASSERT_NE(nullptr, made) << vperror_str(&e);
  ASSERT_NE(nullptr, made->key_pem);
  const std::string cert = made->cert_pem, key = made->key_pem;
  EXPECT_NE(std::string::npos, key.find("PRIVATE KEY-----")) << "a PEM key";
  ssl_srv_key_forget(made);
  EXPECT_EQ(nullptr, made->key_pem);
  const std::string fp = made->fingerprint;
  ssl_srv_exit(made);

  for (const ssl_backend *const *b = ssl_backend_list(); *b; b++) {
    SCOPED_TRACE((*b)->name);
    ssl_srv_param again{nullptr, nullptr, (*b)->name};
    again.cert_pem = cert.c_str();
    again.key_pem = key.c_str();
    ssl_srv *srv = ssl_srv_init(&again, &e);
    ASSERT_NE(nullptr, srv) << vperror_str(&e);
    EXPECT_EQ(fp, srv->fingerprint);
    EXPECT_EQ(nullptr, srv->key_pem) << "a given key is not handed back";
    /* It serves with that key: a client pinned to the fingerprint gets through. */
    {
      tls_server ts(srv, 1, echo_handler);
      net c;
      ASSERT_EQ(0, net_open(&c, url(ts.port(), "tls_fingerprint=" + fp).c_str(), &e)) << vperror_str(&e);
      EXPECT_EQ(3, net_write_all(&c, "abc", 3));
      char back[3];
      EXPECT_EQ(3, net_read_all(&c, back, 3));
      net_close(&c);
    }
    ssl_srv_exit(srv);
  }

  /* A certificate with another key, or half of the pair, does not make a server. */
  ssl_srv *other = ssl_srv_init(&p, &e);
  ASSERT_NE(nullptr, other);
  const std::string other_key = other->key_pem;
  ssl_srv_exit(other);
  ssl_srv_param mismatch{nullptr, nullptr, GetParam()}, half{nullptr, nullptr, GetParam()};
  mismatch.cert_pem = cert.c_str();
  mismatch.key_pem = other_key.c_str();
  half.cert_pem = cert.c_str();
  for (const ssl_srv_param *b : {&mismatch, &half}) {
    e = vperror{};
    EXPECT_EQ(nullptr, ssl_srv_init(b, &e));
    EXPECT_NE(0, e.code);
  }
}

/* Both backends against each other, in both roles, pinned, with data both ways. */
TEST_P(ssl_tls, cross_backends)
{
  for (const ssl_backend *const *b = ssl_backend_list(); *b; b++) {
    vperror e{};
    ssl_srv_param p{nullptr, nullptr, (*b)->name};
    ssl_srv *srv = ssl_srv_init(&p, &e);
    ASSERT_NE(nullptr, srv) << (*b)->name << ": " << vperror_str(&e);
    std::string payload(1 << 20, '\0');
    for (size_t i = 0; i < payload.size(); i++)
      payload[i] = (char)(i * 31 + (i >> 12));
    {
      tls_server ts(srv, 1, [&](net *s) {
        std::string in(payload.size(), '\0');
        if (net_read_all(s, in.data(), (int)in.size()) == (int)in.size() && in == payload)
          net_write_all(s, in.data(), (int)in.size());
      });
      ASSERT_EQ(0, net_open(&c, url(ts.port(), std::string("tls_fingerprint=") + srv->fingerprint).c_str(), &e))
          << GetParam() << " to " << (*b)->name << ": " << vperror_str(&e);
      /* The server takes the whole payload before it answers, so one thread writes and then reads:
       * a connection is used by one thread at a time (two at once made OpenSSL fail a read now and
       * then). */
      ASSERT_EQ((int)payload.size(), net_write_all(&c, payload.data(), (int)payload.size())) << net_errstr(&c);
      std::string back(payload.size(), '\0');
      int n = net_read_all(&c, back.data(), (int)back.size());
      EXPECT_EQ((int)payload.size(), n) << net_errstr(&c);
      EXPECT_TRUE(back == payload) << GetParam() << " to " << (*b)->name;
      net_close(&c);
    }
    ssl_srv_exit(srv);
  }
}

TEST_P(ssl_tls, peer_closing_in_handshake_is_retried_once)
{
  /* both attempts closed at once: the retry happens, then the open fails */
  {
    peer_fake closer({}, peer_end::close, 2);
    vperror e{};
    EXPECT_EQ(-1, net_open(&c, url(closer.port()).c_str(), &e));
    EXPECT_EQ(2, closer.accepted());
    EXPECT_NE(std::string::npos, std::string(vperror_str(&e)).find("ssl connection failed")) << vperror_str(&e);
    EXPECT_TRUE(logged("ssl_cli_connect aggin ..."));
  }
  /* first attempt closed, second served: the open succeeds */
  vperror e{};
  ssl_srv_param p{nullptr, nullptr, GetParam()};
  ssl_srv *srv = ssl_srv_init(&p, &e);
  ASSERT_NE(nullptr, srv);
  {
    int port = 0;
    int lfd = sock_tcp_listen("127.0.0.1", 0, 4, &port, &e);
    ASSERT_GE(lfd, 0);
    std::thread server([&] {
      vperror err{};
      int first = sock_tcp_accept(lfd, 20000, nullptr, &err);
      if (first >= 0)
        close(first);
      int fd = sock_tcp_accept(lfd, 20000, nullptr, &err);
      if (fd < 0)
        return;
      net s;
      net_attach_fd(&s, fd);
      if (ssl_srv_accept(srv, &s, &err) == 0)
        net_write_all(&s, "ok", 2);
      char x;
      net_read(&s, &x, 1); /* until the client closes */
      net_close(&s);
    });
    ASSERT_EQ(0, net_open(&c, url(port).c_str(), &e)) << vperror_str(&e);
    char buf[3] = {};
    EXPECT_EQ(2, net_read_all(&c, buf, 2));
    EXPECT_STREQ("ok", buf);
    net_close(&c);
    server.join();
    close(lfd);
  }
  ssl_srv_exit(srv);
}

TEST_P(ssl_tls, silent_server_times_out_in_handshake)
{
  peer_fake silent({}, peer_end::hold);
  vperror e{};
  std::string u = "tcps://127.0.0.1:" + std::to_string(silent.port()) + "/?read_timeout=1";
  EXPECT_EQ(-1, net_open(&c, u.c_str(), &e));
  EXPECT_EQ(VERR_TIMEOUT, e.code) << vperror_str(&e);
}

TEST_P(ssl_tls, half_block_then_close_and_abort)
{
  vperror e{};
  ssl_srv_param p{nullptr, nullptr, GetParam()};
  ssl_srv *srv = ssl_srv_init(&p, &e);
  ASSERT_NE(nullptr, srv);
  std::atomic<int> release{0};
  std::atomic<int> round{0};
  {
    tls_server ts(srv, 2, [&](net *s) {
      if (round.fetch_add(1) == 0) {
        net_write_all(s, std::string(500, 'h').data(), 500); /* half of what the client asks, then close */
        return;
      }
      while (!release.load()) /* second connection: never a word until the client is done */
        usleep(1000);
    });
    ASSERT_EQ(0, net_open(&c, url(ts.port()).c_str(), &e)) << vperror_str(&e);
    std::vector<char> buf(1000);
    EXPECT_EQ(500, net_read(&c, buf.data(), 1000));
    EXPECT_EQ(1u, c.closed);
    EXPECT_EQ(-1, net_read(&c, buf.data(), 1000));
    EXPECT_EQ(NET_ERR_CLOSED, c.error.code);
    net_close(&c);

    ASSERT_EQ(0, net_open(&c, url(ts.port()).c_str(), &e)) << vperror_str(&e);
    std::thread stopper([&] {
      usleep(100000);
      net_abort(&c);
    });
    EXPECT_EQ(-1, net_read(&c, buf.data(), 10));
    stopper.join();
    EXPECT_EQ(VERR_CANCELLED, c.error.code);
    net_close(&c);
    release.store(1);
  }
  ssl_srv_exit(srv);
}

/* A later connection to the same server resumes the session of an earlier one (with OpenSSL,
 * which keeps sessions; mbedTLS makes a full handshake each time), but only under the same pin:
 * a session made under one fingerprint never lets a connection pinned to another certificate, or
 * to none, skip the certificate check. */
TEST_P(ssl_tls, a_later_connection_resumes_only_under_the_same_pin)
{
  vperror e{};
  std::string cert = dir + "/cert.pem", key = dir + "/key.pem";
  ssl_srv_param p{cert.c_str(), key.c_str(), GetParam()};
  ssl_srv *srv = ssl_srv_init(&p, &e);
  ASSERT_NE(nullptr, srv) << vperror_str(&e);
  {
    tls_server ts(srv, 5, echo_handler);
    std::string pin = std::string("tls_fingerprint=") + srv->fingerprint;
    std::string resumed = "tls session of 127.0.0.1:" + std::to_string(ts.port()) + " resumed";
    auto resumptions = [&] {
      std::lock_guard<std::mutex> g(g_log_lock);
      int n = 0;
      for (const std::string &l : g_lines)
        n += l.find(resumed) != std::string::npos;
      return n;
    };
    /* Each connection exchanges a byte: a TLS 1.3 ticket is read after the handshake. */
    auto round = [&](const std::string &query) {
      vperror err{};
      int rc = net_open(&c, url(ts.port(), query).c_str(), &err);
      if (rc == 0) {
        char b = 'x';
        EXPECT_EQ(1, net_write_all(&c, &b, 1));
        EXPECT_EQ(1, net_read_all(&c, &b, 1));
      }
      net_close(&c);
      return rc == 0 ? std::string() : std::string(vperror_str(&err));
    };
    ASSERT_EQ("", round(pin));
    EXPECT_EQ(0, resumptions());
    ASSERT_EQ("", round(pin));
    EXPECT_EQ(is_openssl() ? 1 : 0, resumptions());
    ASSERT_EQ("", round(""));
    EXPECT_EQ(is_openssl() ? 1 : 0, resumptions()) << "a connection without the pin resumed a pinned session";
    std::string other = round("tls_fingerprint=" + std::string(64, '0'));
    EXPECT_NE(std::string::npos, other.find("tls_fingerprint mismatch")) << other;
    EXPECT_EQ(is_openssl() ? 1 : 0, resumptions());
    ASSERT_EQ("", round(pin));
  }
  ssl_srv_exit(srv);
}

/* Writes of several MiB reach a peer that reads slowly whole and in order: the writer's socket
 * fills and drains many times over. A peer that stops reading leaves a write that ends with an
 * error when the writer is aborted, never one that hangs or reports success. */
TEST_P(ssl_tls, large_writes_to_a_slow_reader_arrive_whole)
{
  vperror e{};
  ssl_srv_param p{nullptr, nullptr, GetParam()};
  ssl_srv *srv = ssl_srv_init(&p, &e);
  ASSERT_NE(nullptr, srv) << vperror_str(&e);
  const size_t total = 6u << 20;
  std::string data(total, '\0');
  for (size_t i = 0; i < total; i++)
    data[i] = (char)((i * 2654435761u) >> 13);
  std::atomic<int> stall{0};
  std::string got;
  {
    tls_server ts(srv, 2, [&](net *s) {
      if (stall.load()) {
        while (stall.load() == 1) /* reads nothing until the client is done */
          usleep(1000);
        return;
      }
      std::vector<char> buf(40000);
      while (got.size() < total) {
        int n = net_read(s, buf.data(), (int)std::min(buf.size(), total - got.size()));
        if (n <= 0)
          return;
        got.append(buf.data(), (size_t)n);
        usleep(200);
      }
      net_write_all(s, "k", 1);
    });
    ASSERT_EQ(0, net_open(&c, url(ts.port()).c_str(), &e)) << vperror_str(&e);
    ASSERT_EQ((int)total, net_write_all(&c, data.data(), (int)total)) << net_errstr(&c);
    char k = 0;
    ASSERT_EQ(1, net_read_all(&c, &k, 1)) << net_errstr(&c);
    EXPECT_EQ('k', k);
    net_close(&c);
    EXPECT_TRUE(got == data) << "received " << got.size() << " bytes, not what was sent";

    stall.store(1);
    ASSERT_EQ(0, net_open(&c, url(ts.port()).c_str(), &e)) << vperror_str(&e);
    std::thread stopper([&] {
      usleep(300000);
      net_abort(&c);
    });
    /* The socket buffers take some MiB before a write has to wait. */
    int rc = 0;
    for (int i = 0; i < 64 && rc >= 0; i++)
      rc = net_write_all(&c, data.data(), (int)total);
    EXPECT_EQ(-1, rc);
    stopper.join();
    EXPECT_EQ(VERR_CANCELLED, c.error.code) << net_errstr(&c);
    net_close(&c);
    stall.store(2);
  }
  ssl_srv_exit(srv);
}

std::vector<const char *> built_backends()
{
  std::vector<const char *> v;
  for (const ssl_backend *const *b = ssl_backend_list(); *b; b++)
    v.push_back((*b)->name);
  return v;
}

INSTANTIATE_TEST_SUITE_P(backends, ssl_tls, ::testing::ValuesIn(built_backends()),
                         [](const ::testing::TestParamInfo<const char *> &i) { return std::string(i.param); });

TEST(ssl_fingerprint, forms)
{
  static const struct {
    const char *in;
    int rc;
  } cases[] = {
      {"9D:CF:C6:F7:B2:7F:FA:28:38:BA:1C:F8:BC:8E:5B:92:A7:95:A3:96:1D:F5:BD:A0:AA:AE:8A:8D:A3:49:0F:A7", 0},
      {"9dcfc6f7b27ffa2838ba1cf8bc8e5b92a795a3961df5bda0aaae8a8da3490fa7", 0},
      {"9dcfc6f7b27ffa2838ba1cf8bc8e5b92a795a3961df5bda0aaae8a8da3490fa", -1},   /* 63 digits */
      {"9dcfc6f7b27ffa2838ba1cf8bc8e5b92a795a3961df5bda0aaae8a8da3490fa70", -1}, /* 65 digits */
      {"9dcfc6f7b27ffa2838ba1cf8bc8e5b92a795a3961df5bda0aaae8a8da3490fg7", -1},  /* not hex */
      {"", -1},
  };
  for (const auto &k : cases) {
    char out[65];
    EXPECT_EQ(k.rc, ssl_fingerprint_norm(k.in, out, sizeof out)) << k.in;
    if (k.rc == 0) {
      EXPECT_STREQ("9DCFC6F7B27FFA2838BA1CF8BC8E5B92A795A3961DF5BDA0AAAE8A8DA3490FA7", out);
    }
  }
}

} // namespace
