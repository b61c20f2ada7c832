/* qvsd's state_dir=: the TLS key and certificate it makes are stored there and used again, so the
 * fingerprint clients pin survives a restart; a state directory or stored key that others could
 * use or change stops the start. */
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "helpers/qvsd_run.h"
#include "helpers/tree_cmp.h"
#include "libqvsd/qvsd_cli.h"

namespace {

constexpr int START_MS = 60000; /* sanitizer builds start slowly on a busy machine */
const char *const KEY = "tls_key.pem";
const char *const CERT = "tls_cert.pem";

class qvsd_state_t : public ::testing::Test {
protected:
  void SetUp() override
  {
    qvsd_cli_init();
    top = tree_tmpdir("qvsd_state");
    exp = top + "/export";
    tree_mkdir(exp);
  }
  void TearDown() override { tree_rm(top); }

  /* Starts a server with TLS and the extra words; "" when it did not come up, else its
   * fingerprint. */
  std::string start(qvsd_run *srv, const std::vector<std::string> &extra)
  {
    std::vector<std::string> argv{QVSD_BIN, "root=" + exp, "anonymous=yes", "port=0", "tls_port=0"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    if (!srv->launch(argv) || !srv->wait_ready(true, true, START_MS))
      return "";
    return srv->fingerprint;
  }

  /* A state directory of mode 0700. */
  std::string state(const std::string &name)
  {
    std::string d = top + "/" + name;
    tree_mkdir(d, 0700);
    return d;
  }

  std::string top, exp;
};

std::set<std::string> names_in(const std::string &dir)
{
  std::set<std::string> out;
  for (const auto &e : std::filesystem::directory_iterator(dir))
    out.insert(e.path().filename().string());
  return out;
}

mode_t mode_of(const std::string &p)
{
  struct stat st {};
  return lstat(p.c_str(), &st) == 0 ? st.st_mode : 0;
}

TEST_F(qvsd_state_t, the_fingerprint_stays_across_restarts)
{
  const std::string st = state("state");
  std::string first;
  {
    qvsd_run srv;
    first = start(&srv, {"state_dir=" + st});
    ASSERT_NE("", first) << srv.log();
    EXPECT_EQ(0, srv.stop(SIGTERM)) << srv.log();
    EXPECT_EQ(std::string::npos, srv.log().find("PRIVATE KEY")) << srv.log();
  }
  /* The two files and nothing else (no temporary file left); the key for the owner alone. */
  EXPECT_EQ((std::set<std::string>{KEY, CERT}), names_in(st));
  EXPECT_EQ((mode_t)(S_IFREG | 0600), mode_of(st + "/" + KEY));
  EXPECT_TRUE(S_ISREG(mode_of(st + "/" + CERT)));
  const std::string key_text = tree_read(st + "/" + KEY);

  /* The next start serves the same certificate: a client pinned to the first fingerprint gets in. */
  {
    qvsd_run srv;
    EXPECT_EQ(first, start(&srv, {"state_dir=" + st})) << srv.log();
    vperror err{};
    qvsd_cli *c = qvsd_cli_connect((srv.url("/", true) + "?tls_fingerprint=" + first).c_str(), &err);
    EXPECT_NE(nullptr, c) << vperror_str(&err);
    qvsd_cli_exit(c);
    EXPECT_EQ(0, srv.stop(SIGTERM)) << srv.log();
  }
  EXPECT_EQ(key_text, tree_read(st + "/" + KEY)) << "the stored key is only read";

  /* Without state_dir= every start makes a new key: the stability above is the state's doing. */
  std::string a, b;
  {
    qvsd_run srv;
    a = start(&srv, {});
    EXPECT_EQ(0, srv.stop(SIGTERM));
  }
  {
    qvsd_run srv;
    b = start(&srv, {});
    EXPECT_EQ(0, srv.stop(SIGTERM));
  }
  EXPECT_NE("", a);
  EXPECT_NE(a, b);

  /* A certificate left alone (a start cut short before its key was stored) is replaced. */
  ASSERT_EQ(0, unlink((st + "/" + KEY).c_str()));
  {
    qvsd_run srv;
    std::string again = start(&srv, {"state_dir=" + st});
    EXPECT_NE("", again) << srv.log();
    EXPECT_NE(first, again);
    EXPECT_EQ(0, srv.stop(SIGTERM));
  }
  EXPECT_EQ((std::set<std::string>{KEY, CERT}), names_in(st));
}

TEST_F(qvsd_state_t, a_state_that_others_could_use_or_change_stops_the_start)
{
  /* A good pair to copy from. */
  const std::string good = state("good");
  {
    qvsd_run srv;
    ASSERT_NE("", start(&srv, {"state_dir=" + good})) << srv.log();
    EXPECT_EQ(0, srv.stop(SIGTERM));
  }
  const std::string other = state("other");
  {
    qvsd_run srv;
    ASSERT_NE("", start(&srv, {"state_dir=" + other})) << srv.log();
    EXPECT_EQ(0, srv.stop(SIGTERM));
  }
  auto copy_pair = [&](const std::string &d, mode_t key_mode) {
    tree_put(d + "/" + KEY, tree_read(good + "/" + KEY), key_mode);
    ASSERT_EQ(0, chmod((d + "/" + KEY).c_str(), key_mode));
    tree_put(d + "/" + CERT, tree_read(good + "/" + CERT));
  };
  struct row {
    const char *name;
    std::function<std::string()> prepare; /* the state_dir= value */
    int status;
    const char *text;
  } rows[] = {
      {"no value", [] { return std::string(); }, 1, "state_dir= needs a directory"},
      {"missing directory", [&] { return top + "/none"; }, 3, "No such file"},
      {"a file, not a directory", [&] {
         tree_put(top + "/plain", "x");
         return top + "/plain";
       }, 3, "state dir"},
      {"directory others may write", [&] {
         std::string d = state("open_dir");
         chmod(d.c_str(), 0777);
         return d;
       }, 3, "may be written by group or others"},
      {"directory a group may write", [&] {
         std::string d = state("group_dir");
         chmod(d.c_str(), 0770);
         return d;
       }, 3, "may be written by group or others"},
      {"key a group may read", [&] {
         std::string d = state("group_key");
         copy_pair(d, 0640);
         return d;
       }, 3, "may be read by group or others"},
      {"key others may read", [&] {
         std::string d = state("other_key");
         copy_pair(d, 0604);
         return d;
       }, 3, "may be read by group or others"},
      {"key is a link", [&] {
         std::string d = state("link_key");
         copy_pair(d, 0600);
         unlink((d + "/" + KEY).c_str());
         tree_link(good + "/" + KEY, d + "/" + KEY);
         return d;
       }, 3, "symbolic link"},
      {"key without its certificate", [&] {
         std::string d = state("lone_key");
         copy_pair(d, 0600);
         unlink((d + "/" + CERT).c_str());
         return d;
       }, 3, "no certificate"},
      {"key of another certificate", [&] {
         std::string d = state("mismatch");
         copy_pair(d, 0600);
         tree_put(d + "/" + CERT, tree_read(other + "/" + CERT));
         return d;
       }, 3, "stored key and certificate"},
      {"a directory nothing can be stored in", [] { return std::string("/proc/self/fdinfo"); }, 3,
       "cannot be stored"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    std::string dir = r.prepare();
    qvsd_run srv;
    ASSERT_TRUE(srv.launch({QVSD_BIN, "root=" + exp, "anonymous=yes", "port=0", "tls_port=0", "state_dir=" + dir}));
    EXPECT_EQ(r.status, srv.wait_exit()) << srv.log();
    std::string log = srv.log();
    size_t at = log.find("qvsd: error: ");
    EXPECT_NE(std::string::npos, at) << log;
    EXPECT_EQ(std::string::npos, log.find("qvsd: error: ", at + 1)) << "one error line: " << log;
    EXPECT_NE(std::string::npos, log.find(r.text)) << log;
    EXPECT_EQ(std::string::npos, log.find("listening on")) << log;
    EXPECT_EQ(std::string::npos, log.find("PRIVATE KEY")) << log;
  }
  /* Nothing was written where the start was refused. */
  EXPECT_EQ(std::set<std::string>{}, names_in(top + "/open_dir"));
}

} // namespace
