/* Batch jobs on a qvsd server: the parameters a client opens a job with reach the job, a job
 * opened for checked lists refuses a list whose digest does not match before any of it is done,
 * and a call the remote endpoint sent behind reports its failure at the next use of the job. */
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <csignal>

#include "helpers/qvsd_run.h"
#include "helpers/tree_cmp.h"
#include "libep/ep.h"
#include "libpal/hash/pl_hash.h"
#include "libpal/string/pl_escape.h"
#include "libqvsd/qvsd_cli.h"
#include "libqvsd/qvsd_codes.h"

namespace {

class batch_t : public ::testing::Test {
protected:
  std::string top;
  qvsd_run srv;
  qvsd_cli *c = nullptr;
  vperror cerr{}; /* the client's error record: it keeps writing there */
  void SetUp() override
  {
    top = tree_tmpdir("qvsd_batch");
    ASSERT_FALSE(top.empty());
    ASSERT_TRUE(srv.start(QVSD_BIN, top)) << srv.log();
    qvsd_cli_init();
    c = qvsd_cli_connect(srv.url("/").c_str(), &cerr);
    ASSERT_NE(c, nullptr) << cerr.msg;
  }
  void TearDown() override
  {
    if (c)
      qvsd_cli_exit(c);
    tree_rm(top);
  }
  /* Results of the job until want bytes came or a read gave nothing. */
  std::string results(size_t want)
  {
    std::string got;
    char buf[4096];
    for (int i = 0; i < 20 && got.size() < want; i++) {
      int n = qvsd_cli_mfile_result(c, "test", buf, sizeof buf);
      if (n <= 0)
        break;
      got.append(buf, (size_t)n);
    }
    return got;
  }
};

TEST_F(batch_t, the_directory_mode_of_a_job_reaches_its_sync_list)
{
  qvsd_mfile_param p;
  p.max_mfile_size = 0x10000;
  p.dir_mode = 0710;
  ASSERT_EQ(qvsd_cli_mfile_open(c, &p), 0) << c->err->msg;
  const std::string list = "C made";
  ASSERT_EQ(qvsd_cli_mfile_call(c, 8, "/", list.data(), list.size()), 0);
  EXPECT_EQ(results(2), "0\t");
  struct stat st {};
  ASSERT_EQ(lstat((top + "/made").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0710u & ~(mode_t)022 & 07777) << std::oct << st.st_mode;
  /* Set-ID bits asked for a directory are dropped by a server without keep_special. */
  p.dir_mode = 02750;
  ASSERT_EQ(qvsd_cli_mfile_open(c, &p), 0);
  const std::string l2 = "C sgid";
  ASSERT_EQ(qvsd_cli_mfile_call(c, 8, "/", l2.data(), l2.size()), 0);
  EXPECT_EQ(results(2), "0\t");
  ASSERT_EQ(lstat((top + "/sgid").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 02000, 0u);
  /* A flag the server does not know refuses the job. */
  p.flags = 0x80;
  EXPECT_LT(qvsd_cli_mfile_open(c, &p), 0);
}

TEST_F(batch_t, a_checked_job_refuses_a_damaged_list_and_takes_a_whole_one)
{
  qvsd_mfile_param p;
  p.max_mfile_size = 0x10000;
  p.flags = QVSD_MFILE_F_DIGESTS;
  ASSERT_EQ(qvsd_cli_mfile_open(c, &p), 0) << c->err->msg;
  const std::string list = "f1\t\t2\t81a4\t80\t0\t4b000000\t4b000000\t0\t0\taGVsbG8=";
  /* The digest of another list: nothing of this one may be done. */
  uint8_t d[16];
  pl_hash_once(PL_HASH_XXH3, "other", 5, d);
  std::string arg = "/\t";
  str_escape_tab_append(list.data(), list.size(), &arg);
  arg += "\t" + pl_hex(d, sizeof d);
  int n = 0;
  EXPECT_LT(qvsd_cli_ioctl2(c, QVSD_IOCTL2_MFILE_CALL_FIRST + 2, arg.c_str(), -1, nullptr, 0, &n), 0);
  EXPECT_EQ(c->err->code, VERR_PROTO) << c->err->msg;
  struct stat st {};
  EXPECT_NE(lstat((top + "/f1").c_str(), &st), 0) << "a damaged list wrote a file";
  /* A list without its digest is refused as well. */
  std::string bare = "/\t";
  str_escape_tab_append(list.data(), list.size(), &bare);
  EXPECT_LT(qvsd_cli_ioctl2(c, QVSD_IOCTL2_MFILE_CALL_FIRST + 2, bare.c_str(), -1, nullptr, 0, &n), 0);
  /* The whole list, with its digest, is written and answered with the digest of its line. */
  ASSERT_EQ(qvsd_cli_mfile_call_checked(c, 3, "/", list.data(), list.size()), 0) << c->err->msg;
  pl_hash_once(PL_HASH_XXH3, list.data(), list.size(), d);
  EXPECT_EQ(results(40), "0\t5\t" + pl_hex(d, sizeof d) + "\n");
  EXPECT_EQ(tree_read(top + "/f1"), "hello");

  /* Sent in two halves: a refusal as damaged is told apart from other failures, and the text the
   * connection keeps goes once more. */
  const std::string l2 = "f2\t\t2\t81a4\t80\t0\t4b000000\t4b000000\t0\t0\taGVsbG8=";
  ASSERT_EQ(qvsd_cli_mfile_prepare(c, 3, "/", l2.data(), l2.size(), true), 0);
  std::string kept = c->list_arg;
  c->list_arg.back() = c->list_arg.back() == '0' ? '1' : '0';
  EXPECT_EQ(qvsd_cli_mfile_send(c), QVSD_MFILE_DAMAGED);
  EXPECT_NE(lstat((top + "/f2").c_str(), &st), 0) << "a refused list wrote a file";
  c->list_arg = kept;
  ASSERT_EQ(qvsd_cli_mfile_send(c), 0) << c->err->msg;
  EXPECT_EQ(results(40).substr(0, 4), "0\t5\t");
  EXPECT_EQ(tree_read(top + "/f2"), "hello");
}

/* The remote endpoint returns from a call before the server answered it. A call that then fails
 * (here the server is gone) fails the job's next use, naming that call's directory, so that the
 * engine never takes its files for written. */
TEST_F(batch_t, a_call_sent_behind_reports_its_failure_at_the_next_use)
{
  ep_info info;
  vperror err{};
  ep *e = ep_open(srv.url("/").c_str(), nullptr, &info, &err);
  ASSERT_NE(e, nullptr) << err.msg;
  ep_batch_param p;
  p.flags = EP_BATCH_DIGESTS;
  ep_batch *b = ep_batch_open(e, &err, &p);
  ASSERT_NE(b, nullptr) << err.msg;
  const std::string list = "f1\t\t2\t81a4\t80\t0\t4b000000\t4b000000\t0\t0\taGVsbG8=";
  ASSERT_EQ(ep_batch_call(b, 3, "/", list.data(), (uint32_t)list.size(), &err), 0) << err.msg;
  std::string got;
  char buf[256];
  for (int i = 0; i < 20 && got.find('\n') == std::string::npos; i++) {
    int n = ep_batch_ret(b, buf, sizeof buf, &err);
    ASSERT_GE(n, 0) << err.msg;
    got.append(buf, (size_t)n);
  }
  EXPECT_EQ(got.substr(0, 4), "0\t5\t") << got;
  EXPECT_EQ(tree_read(top + "/f1"), "hello");

  ASSERT_EQ(srv.stop(SIGKILL), 128 + SIGKILL);
  const std::string l2 = "f2\t\t2\t81a4\t80\t0\t4b000000\t4b000000\t0\t0\taGVsbG8=";
  int rc = ep_batch_call(b, 3, "/sub", l2.data(), (uint32_t)l2.size(), &err);
  if (rc == 0) /* sent behind: the failure comes with the next use */
    rc = ep_batch_ret(b, buf, sizeof buf, &err);
  EXPECT_LT(rc, 0);
  EXPECT_NE(std::string(err.msg).find("[/sub]"), std::string::npos) << err.msg;
  ep_batch_close(b);
  ep_close(e);
}

/* A result read that timed out leaves its reply on the way: the job fails, and closing it drops
 * the connection, so that the next request of the endpoint never reads a reply that is not its
 * own. */
TEST_F(batch_t, a_result_read_that_timed_out_does_not_put_its_connection_back)
{
  ep_info info;
  vperror err{};
  ep *e = ep_open((srv.url("/") + "?read_timeout=1").c_str(), nullptr, &info, &err);
  ASSERT_NE(e, nullptr) << err.msg;
  ep_batch_param p;
  p.timeout = 100;
  ep_batch *b = ep_batch_open(e, &err, &p);
  ASSERT_NE(b, nullptr) << err.msg;
  char buf[256];
  srv.signal(SIGSTOP);
  EXPECT_LT(ep_batch_ret(b, buf, sizeof buf, &err), 0);
  srv.signal(SIGCONT);
  usleep(500000); /* the late reply arrives */
  ep_batch_close(b);
  tree_put(top + "/probe", "12345", 0644, 1600000000);
  os_dirent d;
  ASSERT_EQ(ep_stat(e, "/probe", &d, &err), 0) << err.msg;
  EXPECT_EQ(d.size, 5);
  EXPECT_EQ(d.time_write, 1600000000);
  ep_close(e);
}

} // namespace
