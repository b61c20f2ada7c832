#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "helpers/run_cmd.h"

namespace {

const char *const k_usage =
    "qvcp v1.0.8.0 (2025-12-6) [little] - Quickly copy synced files\n"
    "\n"
    "usage: qvcp [mode=..] [if=dir] [of=dir] [filter=..] [bs=N]\n"
    "\tmode=[mode=cp|sync|ls|rm|...] Specifying the working mode\n"
    "\tls_mode=[cp|sync] Enumerate available modes\n"
    "\tflag=[acl,alt_stream,sync_reason,file_ops,dry_run]\n"
    "\tbs=BYTES    read and write BYTES bytes at a time\n"
    "\tlevel=LEVEL    set log level: [verb, dbg, info, warn, err]\n";

run_result qvcp(const std::vector<std::string> &args, const std::vector<std::string> &env = {})
{
  std::vector<std::string> e = {"QV_SH_DBG", "QV_LOG_LEVEL"};
  e.insert(e.end(), env.begin(), env.end());
  return run_cmd(QVCP_BIN, args, e);
}

} // namespace

TEST(qvcp_cli, version)
{
  run_result r = qvcp({"-v"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("1.0.8.0\n", r.out);
  EXPECT_EQ("", r.err);
}

TEST(qvcp_cli, usage_errors)
{
  static const std::vector<std::vector<std::string>> cases = {
      {},                               /* no if= */
      {"-v", "mode=cp"},                /* -v is only special alone */
      {"mode=cp", "-v"},
      {"of=/b"},                        /* every word valid, still no if= */
      {"if="},                          /* an empty input is no input */
      {"mode=rm", "if=/a"},             /* advertised but not a mode */
      {"mode=CP", "if=/a"},
      {"flag=acl,bogus", "if=/a"},
      {"if=/a", "colour=red"},          /* unknown key */
      {"If=/a"},                        /* keys are case-sensitive */
      {"if"},                           /* no "=" */
      {"=x", "if=/a"},                  /* empty key */
      {"-", "if=/a"},
      {"---", "if=/a"},
  };
  for (const auto &args : cases) {
    run_result r = qvcp(args);
    std::string shown;
    for (const auto &a : args)
      shown += "[" + a + "]";
    EXPECT_EQ(1, r.status) << shown;
    EXPECT_EQ(k_usage, r.err) << shown;
    EXPECT_EQ("", r.out) << shown;
  }
}

TEST(qvcp_cli, ls_mode)
{
  static const struct {
    std::vector<std::string> args;
    const char *out;
  } cases[] = {
      {{"ls_mode=cp"}, "supprots_mode:\ncopy_overwrite\ncopy_diff_size_date\n"},
      {{"ls_mode=copy_o"}, "supprots_mode:\ncopy_overwrite\n"},
      {{"ls_mode=sync"}, "supprots_mode:\nsync_diff_size_date\n"},
      {{"ls_mode="}, "supprots_mode:\ncopy_overwrite\ncopy_diff_size_date\nsync_diff_size_date\n"},
      {{"ls_mode=zzz"}, "supprots_mode:\n"},
      {{"ls_mode=Copy"}, "supprots_mode:\n"},
      /* words after ls_mode are not looked at, not even bad ones */
      {{"ls_mode=sync", "bogus", "mode=rm"}, "supprots_mode:\nsync_diff_size_date\n"},
      /* earlier words are applied first: a bad one is still a usage error */
      {{"--", "ls_mode=cp"}, "supprots_mode:\ncopy_overwrite\ncopy_diff_size_date\n"},
  };
  for (const auto &c : cases) {
    run_result r = qvcp(c.args);
    EXPECT_EQ(0, r.status) << c.args[0];
    EXPECT_EQ(c.out, r.out) << c.args[0];
  }
  run_result bad = qvcp({"mode=nope", "ls_mode=cp"});
  EXPECT_EQ(1, bad.status);
  EXPECT_EQ("", bad.out);
}

TEST(qvcp_cli, level_words)
{
  /* an unknown level is reported and silences the log, but is not a usage error */
  run_result r = qvcp({"level=loud", "ls_mode=sync"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("error: invalid level [loud]\n", r.err);
  for (const char *lv : {"verb", "dbg", "info", "noti", "warn", "err", "crit"}) {
    run_result ok = qvcp({std::string("level=") + lv, "ls_mode=cp"});
    EXPECT_EQ(0, ok.status) << lv;
    EXPECT_EQ("", ok.err) << lv;
  }
}

TEST(qvcp_cli, valid_job_never_ends_silently_with_success)
{
  run_result r = qvcp({"--", "mode=copy_diff_size_date", "if=/nonexistent/in", "of=/nonexistent/out",
                       "flag=file_ops,summary", "param=file_mode=644&colour=red", "bs=1M",
                       "filter=*.log,-tmp/"});
  EXPECT_NE(0, r.status);
  EXPECT_EQ(std::string::npos, r.err.find("usage:")) << "a valid command line is not a usage error";
  EXPECT_EQ(0u, r.err.find("\033[01;31merror: ")) << r.err;
  EXPECT_EQ("\n\033[0m", r.err.substr(r.err.size() - 5)) << r.err;
}

TEST(qvcp_cli, odd_values_do_not_crash)
{
  std::string huge(100000, 'a');
  std::string eqs(1000, '=');
  static const char *const keys[] = {"if", "of", "bs", "filter", "olist", "param", "level"};
  for (const char *k : keys) {
    for (const std::string &v : {huge, eqs, std::string(), std::string("\xff\xfe\xc3\xa9\x01")}) {
      std::vector<std::string> args = {std::string(k) + "=" + v, "ls_mode=cp"};
      run_result r = qvcp(args);
      EXPECT_EQ(0, r.status) << k << " value of " << v.size() << " bytes";
      EXPECT_EQ("supprots_mode:\ncopy_overwrite\ncopy_diff_size_date\n", r.out) << k;
    }
  }
  /* mode and flag values are checked: odd ones are usage errors */
  for (const char *k : {"mode", "flag"}) {
    run_result r = qvcp({std::string(k) + "=" + huge, "if=/a"});
    EXPECT_EQ(1, r.status) << k;
    EXPECT_EQ(k_usage, r.err) << k;
  }
}
