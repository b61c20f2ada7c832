/* The server-side walk of qvsd holds a bounded amount of listing text for a client that does not
 * read: the walk pauses at the bound, goes on when the client reads, and ends with the session or
 * the server. The bound is made small through the test hook QV_TEST_WALK_QUEUE_MAX, and the
 * server's debug log tells the queued byte counts. */
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "helpers/qvsd_run.h"
#include "helpers/tree_cmp.h"
#include "libqvsd/qvsd_cli.h"
#include "librdir/librdir.h"

namespace {

constexpr int WAIT_MS = 60000; /* sanitizer builds are slow on a busy machine */
constexpr size_t BOUND = 16384;
constexpr int FILES = 1200;
const char *const PAUSED = R"(listing paused: ([0-9]+) bytes queued)";
const char *const CLOSED = R"(walk \[[^\]]*\] closed: at most ([0-9]+) bytes of its listing were queued)";

std::vector<uint64_t> numbers_of(const std::string &log, const char *pattern)
{
  std::vector<uint64_t> out;
  std::regex re(pattern);
  for (std::sregex_iterator it(log.begin(), log.end(), re), end; it != end; ++it)
    out.push_back(std::stoull((*it)[1].str()));
  return out;
}

class qvsd_walk_t : public ::testing::Test {
protected:
  void SetUp() override
  {
#ifndef QV_TEST_HOOKS
    GTEST_SKIP() << "needs QV_TEST_WALK_QUEUE_MAX, which only a build with QV_TEST_HOOKS=ON has";
#endif
    qvsd_cli_init();
    top = tree_tmpdir("qvsd_walk");
    /* Far more listing text than the bound, in two directories. */
    tree_mkdir(top + "/a");
    tree_mkdir(top + "/b");
    for (int i = 0; i < FILES; i++)
      tree_put(top + (i % 2 ? "/a/" : "/b/") + "a_file_with_a_name_long_enough_to_matter_" + std::to_string(i), "x");
    setenv("QV_TEST_WALK_QUEUE_MAX", std::to_string(BOUND).c_str(), 1);
    ASSERT_TRUE(srv.start(QVSD_BIN, top, {"level=dbg"})) << srv.log();
  }
  void TearDown() override
  {
    unsetenv("QV_TEST_WALK_QUEUE_MAX");
    if (!top.empty())
      tree_rm(top);
  }
  qvsd_cli *connect()
  {
    vperror err{};
    qvsd_cli *c = qvsd_cli_connect(srv.url("/").c_str(), &err);
    EXPECT_NE(nullptr, c) << vperror_str(&err);
    return c;
  }
  /* Opens a generation-2 walk of the export and waits until the server says it paused. */
  bool open_paused(qvsd_cli *c, size_t pauses_before)
  {
    qvsd_rdir_param p;
    p.flag = LIBRDIR_F_GEN2;
    p.timeout_ms = 2000;
    if (qvsd_cli_rdir_open(c, "/", &p) < 0) {
      ADD_FAILURE() << qvsd_cli_last_errstr(c);
      return false;
    }
    for (int waited = 0; waited < WAIT_MS; waited += 50) {
      if (numbers_of(srv.log(), PAUSED).size() > pauses_before)
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ADD_FAILURE() << "the walk never paused: " << srv.log().substr(0, 4000);
    return false;
  }

  std::string top;
  qvsd_run srv;
};

TEST_F(qvsd_walk_t, a_walk_nobody_reads_waits_at_its_bound_and_then_lists_everything)
{
  qvsd_cli *c = connect();
  ASSERT_NE(nullptr, c);
  ASSERT_TRUE(open_paused(c, 0));
  /* Nobody reads for a while: the walk stays paused, nothing more piles up. */
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  for (uint64_t q : numbers_of(srv.log(), PAUSED))
    EXPECT_LE(q, BOUND);

  /* Now everything is read, and all of it is there. */
  std::string all;
  std::vector<char> buf(8192);
  for (int i = 0; i < 100000; i++) {
    int n = qvsd_cli_rdir_read(c, buf.data(), (uint32_t)buf.size());
    ASSERT_GE(n, 0) << qvsd_cli_last_errstr(c);
    ASSERT_GT(n, 0) << "the walk stopped before its end";
    all.append(buf.data(), (size_t)n);
    if (all.size() >= 2 && all.compare(all.size() - 2, 2, "\r\r") == 0)
      break;
  }
  std::set<std::string> names;
  size_t pos = 0;
  while ((pos = all.find("F a_file_with", pos)) != std::string::npos) {
    names.insert(all.substr(pos + 2, all.find('\t', pos) - pos - 2));
    pos++;
  }
  EXPECT_EQ((size_t)FILES, names.size());
  EXPECT_NE(std::string::npos, all.find("X 0\r\r"));
  ASSERT_EQ(0, qvsd_cli_rdir_close(c)) << qvsd_cli_last_errstr(c);

  /* The most the walk ever held queued, as the server counted it at the close. */
  ASSERT_TRUE(srv.wait_log({CLOSED}, WAIT_MS)) << srv.log().substr(0, 4000);
  std::vector<uint64_t> peak = numbers_of(srv.log(), CLOSED);
  ASSERT_EQ(1u, peak.size());
  EXPECT_GT(peak[0], BOUND / 2);
  EXPECT_LE(peak[0], BOUND);
  EXPECT_GT(all.size(), 4 * BOUND) << "the listing is larger than the bound many times over";
  qvsd_cli_exit(c);
  EXPECT_EQ(0, srv.stop(SIGTERM)) << srv.log().substr(0, 4000);
}

TEST_F(qvsd_walk_t, a_paused_walk_ends_with_its_session_and_with_the_server)
{
  /* The client goes away in the middle of a walk: its session ends and closes the walk. */
  qvsd_cli *c = connect();
  ASSERT_NE(nullptr, c);
  ASSERT_TRUE(open_paused(c, 0));
  qvsd_cli_exit(c);
  EXPECT_TRUE(srv.wait_log({CLOSED, R"(session of [^\n]* requests=)"}, WAIT_MS)) << srv.log().substr(0, 4000);

  /* The server stops while another walk waits for its reader: it ends as usual. */
  c = connect();
  ASSERT_NE(nullptr, c);
  ASSERT_TRUE(open_paused(c, numbers_of(srv.log(), PAUSED).size()));
  EXPECT_EQ(0, srv.stop(SIGTERM)) << srv.log().substr(0, 4000);
  EXPECT_EQ(2u, numbers_of(srv.log(), CLOSED).size());
  qvsd_cli_exit(c);
}

} // namespace
