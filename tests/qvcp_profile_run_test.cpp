/* Connection profiles from the command line: a local profile runs a job end to end, a profile
 * that does not exist or names a remote service gives a clear error and changes nothing. */
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

#include "helpers/run_cmd.h"
#include "helpers/tree_cmp.h"

namespace {

TEST(qvcp_profile_run, a_local_profile_runs_the_job_and_bad_ones_are_refused)
{
  std::string top = tree_tmpdir("qvcp_profile");
  ASSERT_FALSE(top.empty());
  std::string conf = top + "/conf";
  tree_mkdir(conf);
  tree_put(conf + "/qv_client.ini",
           "[session/localhost]\nprot=loc\n\n[session/far]\nprot=qvp\nip=127.0.0.1\nport=1\nuser=u\npwd=S3cretPw\n",
           0600);
  tree_mkdir(top + "/in");
  tree_put(top + "/in/a", "data", 0644, 1600000000);
  std::vector<std::string> env = {"QV_ENV_CONF_DIR=" + conf, "QV_SH_DBG=1", "QV_LOG_LEVEL=dbg", "NO_COLOR=1"};

  run_result r = run_cmd(QVCP_BIN, {"mode=cp", "if=///localhost" + top + "/in", "of=///localhost" + top + "/out"}, env);
  EXPECT_EQ(r.status, 0) << r.err.substr(0, 3000);
  EXPECT_TRUE(tree_diff(top + "/in", top + "/out", {.dir_times = false}).empty());

  r = run_cmd(QVCP_BIN, {"mode=cp", "if=///nosuch" + top + "/in", "of=" + top + "/out2"}, env);
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("error: "), std::string::npos) << r.err;
  struct stat st;
  EXPECT_NE(lstat((top + "/out2").c_str(), &st), 0);

  /* A remote profile resolves; its password reaches no line of the log or the error. */
  r = run_cmd(QVCP_BIN, {"mode=cp", "if=" + top + "/in", "of=///far/x"}, env);
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(r.err.find("S3cretPw"), std::string::npos) << r.err.substr(0, 3000);
  EXPECT_EQ(r.out.find("S3cretPw"), std::string::npos);
  tree_rm(top);
}

} // namespace
