#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "helpers/fake_qvsd.h"
#include "liblog/log2.h"
#include "libpwd/libpwd.h"
#include "libqvsd/qvsd_cli.h"
#include "libqvsd/qvsd_codes.h"

namespace {

std::mutex g_log_lock;
std::vector<std::string> g_lines;

void capture(int, const char *, const char *, int, const char *, const char *fmt, va_list ap)
{
  char buf[8192];
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

class qvsd_cli_t : public ::testing::Test {
protected:
  void SetUp() override
  {
    {
      std::lock_guard<std::mutex> g(g_log_lock);
      g_lines.clear();
    }
    int v = LOG2_VERB;
    log2_ioctl(nullptr, LOG2_IOC_LEVEL, &v, sizeof v);
    log2_set_forward(capture);
    qvsd_cli_cleanup(); /* every test measures its server afresh */
    qvsd_cli_init();
    unsetenv("QVCP_PASSWORD");
  }
  void TearDown() override
  {
    log2_set_forward(nullptr);
    unsetenv("QVCP_PASSWORD");
  }
  vperror err{};
};

/* Answers from the model. */
fake_qvsd::handler model_of(const fake_model &m)
{
  return [m](const fake_req &r) { return m.answer(r); };
}

std::vector<uint8_t> cmds_of(fake_qvsd &s)
{
  std::vector<uint8_t> v;
  for (const fake_req &r : s.requests())
    v.push_back(r.cmd);
  return v;
}

} // namespace

TEST_F(qvsd_cli_t, login_variants)
{
  struct row {
    const char *what;
    uint8_t proto;
    bool accept_probe;
    std::string userinfo;
    std::string server_pwd;
    std::vector<uint8_t> want_cmds; /* up to the compression switch */
    int want_err;                   /* 0: connected */
  };
  const std::vector<row> rows = {
      {"probe accepted: no credentials sent", 1, true, "alice:s3cret", "s3cret", {1, 20}, 0},
      {"password login", 1, false, "alice:s3cret", "s3cret", {1, 1, 20}, 0},
      {"empty password", 1, false, "alice", "", {1, 1, 20}, 0},
      {"wrong password", 1, false, "alice:nope", "s3cret", {1, 1}, -38},
      {"key login", 2, false, "alice:s3cret", "s3cret", {1, 90, 91, 20}, 0},
      {"key login, wrong password", 2, false, "alice:nope", "s3cret", {1, 90, 91}, -38},
      {"key login, unknown user", 2, false, "bob:s3cret", "s3cret", {1, 90}, -38},
  };
  for (const row &r : rows) {
    fake_model m;
    m.proto = r.proto;
    m.accept_probe = r.accept_probe;
    m.password = r.server_pwd;
    fake_qvsd srv(model_of(m));
    qvsd_cli *c = qvsd_cli_connect(srv.url(r.userinfo).c_str(), &err);
    std::vector<uint8_t> got = cmds_of(srv);
    got.resize(std::min(got.size(), r.want_cmds.size()));
    EXPECT_EQ(r.want_cmds, got) << r.what;
    if (r.want_err == 0) {
      ASSERT_NE(nullptr, c) << r.what << ": " << vperror_str(&err);
      EXPECT_EQ(r.proto, c->proto) << r.what;
      EXPECT_STREQ("1.9.0", c->ver) << r.what;
      EXPECT_TRUE(c->ver_185) << r.what;
    } else {
      EXPECT_EQ(nullptr, c) << r.what;
      EXPECT_EQ(r.want_err, err.code) << r.what;
      EXPECT_STREQ(r.proto == 2 && r.userinfo[0] == 'b' ? "unknown user" : "login failed", err.msg) << r.what;
    }
    std::vector<fake_req> reqs = srv.requests();
    if (r.want_cmds.size() >= 2 && r.want_cmds[1] == 1) {
      std::string want = r.server_pwd.empty() ? "" : "{SHA}";
      EXPECT_EQ(0u, reqs[1].str("passwd").find(want)) << r.what;
      if (r.server_pwd.empty()) {
        EXPECT_EQ("", reqs[1].str("passwd")) << r.what;
      }
    }
    qvsd_cli_exit(c);
  }
}

TEST_F(qvsd_cli_t, no_secret_reaches_the_log)
{
  for (uint8_t proto : {1, 2}) {
    fake_model m;
    m.proto = proto;
    fake_qvsd srv(model_of(m));
    qvsd_cli *c = qvsd_cli_connect(srv.url("alice:s3cret").c_str(), &err);
    ASSERT_NE(nullptr, c) << vperror_str(&err);
    char lkey[LIBPWD_KEY_LEN + 1];
    libpwd_build_key("alice", "s3cret", m.cert.c_str(), lkey, sizeof lkey);
    char digest[64];
    qvsd_passwd_digest("s3cret", digest, sizeof digest);
    qvsd_cli_exit(c);
    EXPECT_TRUE(logged("block_size=")) << "verbose lines are captured";
    std::lock_guard<std::mutex> g(g_log_lock);
    for (const std::string &l : g_lines) {
      EXPECT_EQ(std::string::npos, l.find("s3cret")) << l;
      EXPECT_EQ(std::string::npos, l.find(lkey)) << l;
      EXPECT_EQ(std::string::npos, l.find(digest + 5)) << l;
    }
  }
}

TEST_F(qvsd_cli_t, password_from_environment_and_file)
{
  fake_model m;
  fake_qvsd srv(model_of(m));
  setenv("QVCP_PASSWORD", "s3cret", 1);
  qvsd_cli *c = qvsd_cli_connect(srv.url("alice").c_str(), &err);
  EXPECT_NE(nullptr, c) << vperror_str(&err);
  qvsd_cli_exit(c);
  unsetenv("QVCP_PASSWORD");

  char dir[] = "/tmp/qvsd_pwd_XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(dir));
  std::string file = std::string(dir) + "/pw";
  int fd = open(file.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(7, write(fd, "s3cret\n", 7));
  close(fd);
  c = qvsd_cli_connect(srv.url("alice", "password_file=" + file).c_str(), &err);
  EXPECT_NE(nullptr, c) << vperror_str(&err);
  qvsd_cli_exit(c);

  /* readable by others: refused before anything is sent */
  chmod(file.c_str(), 0644);
  int before = srv.connections();
  c = qvsd_cli_connect(srv.url("alice", "password_file=" + file).c_str(), &err);
  EXPECT_EQ(nullptr, c);
  EXPECT_EQ(VERR_ACCESS, err.code);
  EXPECT_EQ(before, srv.connections());
  unlink(file.c_str());
  rmdir(dir);
}

TEST_F(qvsd_cli_t, query_ranges_and_default_port)
{
  fake_model m;
  fake_qvsd srv(model_of(m));
  qvsd_cli *c = qvsd_cli_connect(srv.url("alice:s3cret", "connect_timeout=0&read_timeout=601&write_timeout=9").c_str(), &err);
  ASSERT_NE(nullptr, c) << vperror_str(&err);
  EXPECT_TRUE(logged("[conn_timeout]=0 < min=1 fix=6"));
  EXPECT_TRUE(logged("[read_timeout]=601 > max=600 fix=15"));
  EXPECT_EQ(6000, c->connect_timeout_ms);
  EXPECT_EQ(15000, c->read_timeout_ms);
  EXPECT_EQ(9000, c->write_timeout_ms);
  EXPECT_STREQ("lz4", c->pack);
  EXPECT_EQ(std::string::npos, c->url.find("s3cret"));
  qvsd_cli_exit(c);
}

TEST_F(qvsd_cli_t, ping_unsupported_still_connects_other_errors_do_not)
{
  fake_model m;
  m.ping_error = "ioctl 10002 unsupported";
  {
    fake_qvsd srv(model_of(m));
    qvsd_cli *c = qvsd_cli_connect(srv.url("alice:s3cret").c_str(), &err);
    EXPECT_NE(nullptr, c) << vperror_str(&err);
    qvsd_cli_exit(c);
  }
  qvsd_cli_cleanup();
  m.ping_error = "busy";
  fake_qvsd srv(model_of(m));
  EXPECT_EQ(nullptr, qvsd_cli_connect(srv.url("alice:s3cret").c_str(), &err));
  EXPECT_EQ(-37, err.code);
  EXPECT_STREQ("busy", err.msg);
}

TEST_F(qvsd_cli_t, round_trip_measured_once_per_server)
{
  fake_model m;
  fake_qvsd srv(model_of(m));
  auto pings = [&] {
    int n = 0;
    for (const fake_req &r : srv.requests())
      n += r.cmd == QVSD_CMD_IOCTL && r.num("cmd") == QVSD_IOCTL_PING;
    return n;
  };
  qvsd_cli *a = qvsd_cli_connect(srv.url("alice:s3cret").c_str(), &err);
  ASSERT_NE(nullptr, a);
  EXPECT_EQ(3, pings());
  uint32_t bs = a->block_size;
  qvsd_cli_exit(a);
  qvsd_cli *b = qvsd_cli_connect(srv.url("alice:s3cret").c_str(), &err);
  ASSERT_NE(nullptr, b);
  EXPECT_EQ(3, pings());
  EXPECT_EQ(bs, b->block_size);
  qvsd_cli_exit(b);
}

/* Faults of the reply to the information request (the first request after the compression
 * switch). */
TEST_F(qvsd_cli_t, broken_replies)
{
  const std::string full = fake_frame(1, 4, 0, "", [](qvsd_msg *m) { qvsd_msg_add_str(m, "info", "ver=[1.9.0]"); });
  struct row {
    const char *what;
    fake_reply reply;
    std::string query;
    int want_code;
    const char *want_text;
  };
  const std::vector<row> rows = {
      {"closed before the header", {"", true}, "", NET_ERR_CLOSED, nullptr},
      {"5 header bytes, then closed", {full.substr(0, 5), true}, "", VERR_PROTO, "read data content error"},
      {"bad magic", {std::string("\x51\x00", 2) + full.substr(2), false}, "", VERR_PROTO, "read data content error"},
      {"body cut short, then closed", {full.substr(0, full.size() - 3), true}, "", VERR_PROTO, "read data content error"},
      {"length beyond what info can have", {std::string("\x51\x56\x01\x04\x02\xff\xff\xff", 8), false}, "", VERR_PROTO,
       "read data content error"},
      {"root is no table", {std::string("\x51\x56\x01\x04\x03\x00\x00\x04", 8), false}, "", VERR_PROTO,
       "read data content error"},
      {"errno 0 without info", {fake_frame(1, 4, 0, ""), false}, "", VERR_PROTO, "read data content error"},
      {"server error", {fake_frame(1, 4, -102, "no such file"), false}, "", -102, "no such file"},
      {"silence", {"", false}, "read_timeout=1", VERR_TIMEOUT, "read data timeout"},
  };
  for (const row &r : rows) {
    fake_model m;
    fake_reply rep = r.reply;
    fake_qvsd srv([m, rep](const fake_req &q) { return q.cmd == QVSD_CMD_INFO ? rep : m.answer(q); });
    EXPECT_EQ(nullptr, qvsd_cli_connect(srv.url("alice:s3cret", r.query).c_str(), &err)) << r.what;
    EXPECT_EQ(r.want_code, err.code) << r.what << ": " << vperror_str(&err);
    if (r.want_text) {
      EXPECT_STREQ(r.want_text, err.msg) << r.what;
    }
  }
  EXPECT_TRUE(logged("magic error 51 00"));
  EXPECT_TRUE(logged("net_read head len=5 need=8"));
  EXPECT_TRUE(logged("reply root len=16777216"));
}

TEST_F(qvsd_cli_t, every_gate_sends_nothing)
{
  fake_model m;
  m.ver = "1.5.0";
  fake_qvsd srv(model_of(m));
  qvsd_cli *c = qvsd_cli_connect(srv.url("alice:s3cret").c_str(), &err);
  ASSERT_NE(nullptr, c) << vperror_str(&err);
  size_t before = srv.requests().size();
  uint64_t sent = c->cmd_count;
  int gates = 0;
  for (const qvsd_ioctl_desc &d : qvsd_ioctl_table) {
    if (!d.min_ver)
      continue;
    gates++;
    char out[16];
    int n = 0;
    int rc = d.carrier == QVSD_CMD_IOCTL ? qvsd_cli_ioctl(c, d.code, "x", -1)
                                         : qvsd_cli_ioctl2(c, d.code, "x", -1, out, sizeof out, &n);
    EXPECT_EQ(-1, rc) << d.name;
    EXPECT_EQ(VERR_NOIMPL, qvsd_cli_last_errno(c)) << d.name;
    EXPECT_STREQ(QVSD_ERR_GATE_TEXT, qvsd_cli_last_errstr(c)) << d.name;
  }
  for (const qvsd_cmd_desc &d : qvsd_cmd_table) {
    if (!d.min_ver)
      continue;
    gates++;
    qvsd_msg_reset(&c->req);
    const void *slots[20];
    EXPECT_EQ(-1, qvsd_exchange(c, d.code, d.reply, d.nreply, slots, 0)) << d.name;
    EXPECT_EQ(VERR_NOIMPL, qvsd_cli_last_errno(c)) << d.name;
  }
  char path[64];
  EXPECT_EQ(-1, qvsd_cli_log_path(c, path, sizeof path));
  EXPECT_GT(gates, 20);
  EXPECT_EQ(sent, c->cmd_count);
  EXPECT_EQ(before, srv.requests().size());
  /* the same codes pass on a server that has them */
  c->ver_value = qvsd_version_parse("1.9.0");
  char out[16];
  int n = -1;
  EXPECT_EQ(0, qvsd_cli_ioctl2(c, QVSD_IOCTL2_LOOKUP_IDS, "root\troot", -1, out, sizeof out, &n));
  EXPECT_EQ(0, n);
  EXPECT_EQ(before + 1, srv.requests().size());
  qvsd_cli_exit(c);
}

TEST_F(qvsd_cli_t, ioctl2_olen_cuts_the_reply)
{
  fake_model m;
  fake_qvsd srv([m](const fake_req &r) {
    if (r.cmd == QVSD_CMD_IOCTL2 && r.num("cmd") == QVSD_IOCTL2_QUERY)
      return fake_reply{fake_frame(1, 8, 0, "", [](qvsd_msg *mm) { qvsd_msg_add_raw(mm, "data", "abcdef", 6); })};
    return m.answer(r);
  });
  qvsd_cli *c = qvsd_cli_connect(srv.url("alice:s3cret").c_str(), &err);
  ASSERT_NE(nullptr, c);
  char out[8] = {};
  int n = -1;
  EXPECT_EQ(0, qvsd_cli_ioctl2(c, QVSD_IOCTL2_QUERY, "a\tb", -1, out, 4, &n));
  EXPECT_EQ(4, n);
  EXPECT_EQ(std::string("abcd"), std::string(out, 4));
  EXPECT_EQ(0, qvsd_cli_ioctl2(c, QVSD_IOCTL2_QUERY, "a\tb", -1, out, 0, &n));
  EXPECT_EQ(0, n);
  std::vector<fake_req> reqs = srv.requests();
  EXPECT_EQ(std::string("a\tb", 4), reqs.back().raw("data")); /* a text goes with its NUL */
  EXPECT_EQ(0, reqs.back().num("olen"));
  qvsd_cli_exit(c);
}

TEST_F(qvsd_cli_t, exit_closes_handles_and_skips_a_dead_connection)
{
  fake_model m;
  fake_qvsd srv(model_of(m));
  qvsd_cli *c = qvsd_cli_connect(srv.url("alice:s3cret").c_str(), &err);
  ASSERT_NE(nullptr, c);
  qvsd_file *f = new qvsd_file;
  f->cli = c;
  f->fd = 33;
  c->files.push_back(f);
  EXPECT_EQ(0, qvsd_cli_exit(c));
  for (int i = 0; i < 1000 && srv.count(QVSD_CMD_EXIT) == 0; i++)
    usleep(10000); /* the exit frame is not answered: wait until the server has read it */
  std::vector<fake_req> reqs = srv.requests();
  ASSERT_GE(reqs.size(), 2u);
  EXPECT_EQ(QVSD_CMD_CLOSE, reqs[reqs.size() - 2].cmd);
  EXPECT_EQ(33, reqs[reqs.size() - 2].num("fd"));
  EXPECT_EQ(QVSD_CMD_EXIT, reqs.back().cmd);

  c = qvsd_cli_connect(srv.url("alice:s3cret").c_str(), &err);
  ASSERT_NE(nullptr, c);
  f = new qvsd_file;
  f->cli = c;
  c->files.push_back(f);
  net_close(&c->conn);
  size_t before = srv.requests().size();
  EXPECT_EQ(0, qvsd_cli_exit(c));
  EXPECT_EQ(before, srv.requests().size());
}

namespace {

/* A server for the resume procedure: context id 77; the first QUERY on the first connection
 * is lost with the connection; `received` says whether the server got that request. */
struct resume_server {
  bool received = true;
  bool login_fails_later = false;
  const char *run_status = "0";
  int conn0 = 0; /* requests of the first connection (server thread only) */
  fake_model m;
  fake_reply operator()(const fake_req &r)
  {
    auto text = [&](const std::string &t) {
      return fake_reply{fake_frame(1, 8, 0, "", [&](qvsd_msg *mm) { qvsd_msg_add_raw(mm, "data", t.data(), (uint32_t)t.size()); })};
    };
    if (r.conn == 0)
      conn0++;
    if (r.conn > 0 && r.cmd == QVSD_CMD_LOGIN && login_fails_later)
      return fake_reply{fake_frame(1, 1, -38, "login failed")};
    if (r.cmd != QVSD_CMD_IOCTL2)
      return m.answer(r);
    std::string arg = r.raw("data");
    switch (r.num("cmd")) {
    case QVSD_IOCTL2_CTX_ID:
      return text("77");
    case QVSD_IOCTL2_QUERY:
      if (r.conn == 0)
        return fake_reply{"", true};
      return text("answer:" + arg.substr(0, arg.size() - 1));
    case QVSD_IOCTL2_CTX_RUN_STATUS:
      return text(run_status);
    case QVSD_IOCTL2_GET_LAST_CMD_IDX:
      if (arg == std::string("77", 3))
        return text(std::to_string(received ? conn0 : conn0 - 1));
      return text("41");
    case QVSD_IOCTL2_ATTACH_CTX_REPLY:
      return text("answer:pending");
    default:
      return m.answer(r);
    }
  }
};

} // namespace

TEST_F(qvsd_cli_t, resume_branches)
{
  for (bool received : {true, false}) {
    resume_server rs;
    rs.received = received;
    fake_qvsd srv(rs);
    qvsd_cli *c = qvsd_cli_connect(srv.url("alice:s3cret").c_str(), &err);
    ASSERT_NE(nullptr, c);
    c->resume_settle_ms = 0;
    ASSERT_EQ(0, qvsd_cli_resume_enable(c));
    EXPECT_EQ(77u, c->ctx_id);
    char out[64] = {};
    int n = 0;
    ASSERT_EQ(0, qvsd_cli_ioctl2(c, QVSD_IOCTL2_QUERY, "q1", -1, out, sizeof out - 1, &n)) << qvsd_cli_last_errstr(c);
    EXPECT_EQ(received ? "answer:pending" : "answer:q1", std::string(out, (size_t)n));
    EXPECT_EQ(42u, c->cmd_count);
    std::vector<int32_t> codes;
    for (const fake_req &r : srv.requests())
      if (r.conn == 1 && r.cmd == QVSD_CMD_IOCTL2)
        codes.push_back((int32_t)r.num("cmd"));
    if (received)
      EXPECT_EQ((std::vector<int32_t>{107, 106, 103, 105, 103}), codes);
    else
      EXPECT_EQ((std::vector<int32_t>{107, 106, 103, 104, 12, 103}), codes);
    qvsd_cli_exit(c);
  }
}

TEST_F(qvsd_cli_t, resume_failure_latches)
{
  struct row {
    const char *what;
    bool login_fails;
    const char *run_status;
  };
  for (const row &r : {row{"login refused on reconnect", true, "0"}, row{"old context still running", false, "1"}}) {
    resume_server rs;
    rs.received = true;
    rs.login_fails_later = r.login_fails;
    rs.run_status = r.run_status;
    fake_qvsd srv(rs);
    qvsd_cli *c = qvsd_cli_connect(srv.url("alice:s3cret").c_str(), &err);
    ASSERT_NE(nullptr, c);
    c->resume_settle_ms = 0;
    ASSERT_EQ(0, qvsd_cli_resume_enable(c));
    char out[64];
    int n = 0;
    EXPECT_EQ(-1, qvsd_cli_ioctl2(c, QVSD_IOCTL2_QUERY, "q1", -1, out, sizeof out, &n)) << r.what;
    EXPECT_TRUE(c->fix_failed) << r.what;
    EXPECT_EQ(VERR_TIMEOUT, qvsd_cli_last_errno(c)) << r.what;
    size_t before = srv.requests().size();
    uint64_t sent = c->cmd_count;
    EXPECT_EQ(-1, qvsd_cli_ioctl(c, QVSD_IOCTL_PING, nullptr, 0)) << r.what;
    EXPECT_STREQ("read data timeout", qvsd_cli_last_errstr(c)) << r.what;
    EXPECT_EQ(before, srv.requests().size()) << r.what;
    EXPECT_EQ(sent, c->cmd_count) << r.what;
    qvsd_cli_exit(c);
  }
}

TEST_F(qvsd_cli_t, stop_ends_a_blocked_read_without_resume)
{
  fake_model m;
  fake_qvsd srv([m](const fake_req &r) {
    if (r.cmd == QVSD_CMD_IOCTL2 && r.num("cmd") == QVSD_IOCTL2_QUERY)
      return fake_reply{}; /* never answers */
    if (r.cmd == QVSD_CMD_IOCTL2 && r.num("cmd") == QVSD_IOCTL2_CTX_ID)
      return fake_reply{fake_frame(1, 8, 0, "", [](qvsd_msg *mm) { qvsd_msg_add_raw(mm, "data", "5", 1); })};
    return m.answer(r);
  });
  qvsd_cli *c = qvsd_cli_connect(srv.url("alice:s3cret", "read_timeout=600").c_str(), &err);
  ASSERT_NE(nullptr, c);
  ASSERT_EQ(0, qvsd_cli_resume_enable(c));
  std::thread stopper([c] { qvsd_cli_stop(c); });
  char out[8];
  int n = 0;
  /* the stop may land before or during the exchange; either way it ends, cancelled, and the
   * resume procedure does not reconnect */
  EXPECT_EQ(-1, qvsd_cli_ioctl2(c, QVSD_IOCTL2_QUERY, "q", -1, out, sizeof out, &n));
  stopper.join();
  EXPECT_EQ(VERR_CANCELLED, qvsd_cli_last_errno(c));
  EXPECT_EQ(1, srv.connections());
  qvsd_cli_exit(c);
}

TEST(qvsd_cli, rtt_thresholds)
{
  static const struct {
    double ms;
    uint32_t bs;
  } cases[] = {{0.0, 0x200000}, {1.99, 0x200000}, {2.0, 0x10000},  {50.0, 0x10000},
               {100.0, 0x10000}, {100.01, 0x4000}, {1000.0, 0x4000}};
  for (const auto &c : cases)
    EXPECT_EQ(c.bs, qvsd_rtt_block_size(c.ms)) << c.ms;
}

TEST(qvsd_cli, password_digest)
{
  char out[64];
  ASSERT_EQ(0, qvsd_passwd_digest("", out, sizeof out));
  EXPECT_STREQ("", out);
  /* SHA-1("abc") = a9993e36 4706816a ba3e2571 7850c26c 9cd0d89d */
  ASSERT_EQ(0, qvsd_passwd_digest("abc", out, sizeof out));
  EXPECT_STREQ("{SHA}qZk+NkcGgWq6PiVxeFDCbJzQ2J0=", out);
  char small[16];
  EXPECT_EQ(-1, qvsd_passwd_digest("abc", small, sizeof small));
}

