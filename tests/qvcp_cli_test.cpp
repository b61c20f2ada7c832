#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "helpers/pty.h"
#include "helpers/run_cmd.h"
#include "helpers/tree_cmp.h"

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
  std::vector<std::string> e = {"QV_SH_DBG", "QV_LOG_LEVEL", "NO_COLOR"};
  e.insert(e.end(), env.begin(), env.end());
  return run_cmd(QVCP_BIN, args, e);
}

bool exists(const std::string &path)
{
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

/* Runs qvcp with its standard error on a pseudo-terminal in raw mode (standard output goes to
 * /dev/null) and returns what it wrote there; status as run_cmd's. */
run_result qvcp_on_terminal(const std::vector<std::string> &args, const std::vector<std::string> &env)
{
  run_result r;
  int master = -1, slave = -1;
  if (open_raw_pty(&master, &slave) != 0) {
    ADD_FAILURE() << "no pseudo-terminal: " << strerror(errno);
    return r;
  }
  pid_t pid = fork();
  if (pid == 0) {
    run_cmd_apply_env({"QV_SH_DBG", "QV_LOG_LEVEL", "NO_COLOR"});
    run_cmd_apply_env(env);
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(slave, 2);
    std::vector<char *> argv = {const_cast<char *>(QVCP_BIN)};
    for (const auto &a : args)
      argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(QVCP_BIN, argv.data());
    _exit(127);
  }
  close(slave);
  /* Read until every holder of the slave side is gone (EIO), with a generous stop for a hang. */
  for (int idle_ms = 0; pid > 0 && idle_ms < 60000;) {
    struct pollfd pfd = {master, POLLIN, 0};
    int n = poll(&pfd, 1, 200);
    if (n == 0) {
      idle_ms += 200;
      continue;
    }
    char buf[4096];
    ssize_t got = read(master, buf, sizeof buf);
    if (got > 0)
      r.err.append(buf, static_cast<size_t>(got));
    else if (got == 0 || errno != EINTR)
      break;
  }
  if (pid > 0) {
    kill(pid, SIGKILL); /* a no-op once it has ended; reaps a hang */
    int ws = 0;
    waitpid(pid, &ws, 0);
    r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
  }
  close(master);
  return r;
}

/* A small input tree and room for outputs, removed at the end. */
class cli_tree : public ::testing::Test {
protected:
  std::string top, in;
  std::string data;

  void SetUp() override
  {
    top = tree_tmpdir("qvcp_cli");
    ASSERT_FALSE(top.empty());
    in = top + "/in";
    tree_mkdir(in);
    /* several 64 KiB blocks and a tail, so block sizes change how the file is cut */
    for (size_t i = 0; i < 5 * 65536 + 123; i++)
      data += static_cast<char>('a' + (i * 7 + i / 65536) % 26);
    tree_put(in + "/f.bin", data, 0644, 1600000000);
    tree_mkdir(in + "/sub");
    tree_put(in + "/sub/g.txt", "g\n", 0644, 1600000000);
  }
  void TearDown() override { tree_rm(top); }
};

const char *const k_bs_refusal = "]: the block size must be a multiple of 64K between 64K and 8M\n";

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
  /* the unknown parameter name is pointed out first; the refusal is the last line */
  const std::string warned = "qvcp: warning: unknown param key [colour] ignored\n";
  ASSERT_EQ(0u, r.err.find(warned + "error: ")) << r.err;
  EXPECT_EQ(r.err.size() - 1, r.err.find('\n', warned.size())) << r.err;
}

TEST(qvcp_cli, odd_values_do_not_crash)
{
  std::string huge(100000, 'a');
  std::string eqs(1000, '=');
  const std::string odd_values[] = {huge, eqs, std::string(), std::string("\xff\xfe\xc3\xa9\x01")};
  static const char *const keys[] = {"if", "of", "filter", "olist", "param", "level"};
  for (const char *k : keys) {
    for (const std::string &v : odd_values) {
      std::vector<std::string> args = {std::string(k) + "=" + v, "ls_mode=cp"};
      run_result r = qvcp(args);
      EXPECT_EQ(0, r.status) << k << " value of " << v.size() << " bytes";
      EXPECT_EQ("supprots_mode:\ncopy_overwrite\ncopy_diff_size_date\n", r.out) << k;
    }
  }
  /* a block size is checked where it is read: none of these is one */
  for (const std::string &v : odd_values) {
    run_result r = qvcp({"bs=" + v, "ls_mode=cp"});
    EXPECT_EQ(1, r.status) << "bs value of " << v.size() << " bytes";
    EXPECT_EQ("", r.out);
    EXPECT_EQ(0u, r.err.find("qvcp: bs=[")) << v.size();
  }
  /* mode and flag values are checked: odd ones are usage errors */
  for (const char *k : {"mode", "flag"}) {
    run_result r = qvcp({std::string(k) + "=" + huge, "if=/a"});
    EXPECT_EQ(1, r.status) << k;
    EXPECT_EQ(k_usage, r.err) << k;
  }
}

TEST_F(cli_tree, bad_block_sizes_are_usage_errors_before_anything_is_made)
{
  static const char *const bad[] = {
      "0", "-1", "abc", "", "1", "65535", "65537", "96k", "100000", "1MB", /* not whole 64 KiB blocks */
      "9M", "16M", "1T", "4G", "16E", "1P", "1e999",                      /* too large, or no unit */
      "4294967296", "4294967296c",                                        /* 4 GiB: 0 in 32 bits */
      "99999999999999999999", "18446744073709551616", "10000000000000000000", /* 20 digits */
      "65536x1", "64k ", " 64k", "64kk", "64K64",                          /* trailing or leading junk */
  };
  int i = 0;
  for (const char *bs : bad) {
    for (const char *mode : {"mode=sync", "mode=cp"}) {
      std::string out = top + "/out" + std::to_string(i++);
      run_result r = qvcp({mode, "if=" + in, "of=" + out, std::string("bs=") + bs});
      EXPECT_EQ(1, r.status) << "[" << bs << "] " << mode;
      EXPECT_EQ(std::string("qvcp: bs=[") + bs + k_bs_refusal, r.err) << "[" << bs << "] " << mode;
      EXPECT_EQ("", r.out) << "[" << bs << "]";
      EXPECT_FALSE(exists(out)) << "[" << bs << "] " << mode << " created the output";
    }
  }
}

TEST_F(cli_tree, good_block_sizes_copy_and_sync)
{
  int i = 0;
  for (const char *bs : {"64k", "2M", "8M", "1.5M", "131072"}) {
    std::string out = top + "/out" + std::to_string(i++);
    run_result cp = qvcp({"mode=cp", "if=" + in, "of=" + out, std::string("bs=") + bs});
    EXPECT_EQ(0, cp.status) << bs << ": " << cp.err;
    EXPECT_EQ("", cp.err) << bs;
    EXPECT_EQ(data, tree_read(out + "/f.bin")) << bs;
    EXPECT_EQ("g\n", tree_read(out + "/sub/g.txt")) << bs;

    /* the same size, other bytes in the second and the last block: sync must rewrite them */
    std::string changed = data;
    changed[65536 + 5] ^= 0x20;
    changed[changed.size() - 2] ^= 0x20;
    tree_put(out + "/f.bin", changed, 0644, 1600000500);
    run_result sy = qvcp({"mode=sync", "if=" + in, "of=" + out, std::string("bs=") + bs});
    EXPECT_EQ(0, sy.status) << bs << ": " << sy.err;
    EXPECT_EQ(data, tree_read(out + "/f.bin")) << bs;
  }
}

TEST_F(cli_tree, unknown_param_names_are_warned_about_and_the_run_goes_on)
{
  static const struct {
    const char *param;
    const char *err;
  } cases[] = {
      {"param=max_delet=0", "qvcp: warning: unknown param key [max_delet] ignored\n"},
      {"param=file_mode=600&colour=red&max_delete=3&Dir_mode=700",
       "qvcp: warning: unknown param key [colour] ignored\n"
       "qvcp: warning: unknown param key [Dir_mode] ignored\n"},
      {"param==5&user_name", "qvcp: warning: unknown param key [] ignored\n"
                            "qvcp: warning: param [user_name] is not name=value, ignored\n"},
      /* known names only: nothing to say */
      {"param=max_delete=0&file_mode=644&max_rate=1M", ""},
  };
  int i = 0;
  for (const auto &c : cases) {
    std::string out = top + "/out" + std::to_string(i++);
    run_result r = qvcp({"mode=cp", "if=" + in, "of=" + out, c.param});
    EXPECT_EQ(0, r.status) << c.param << ": " << r.err;
    EXPECT_EQ(c.err, r.err) << c.param;
    EXPECT_EQ(data, tree_read(out + "/f.bin")) << c.param;
  }
}

TEST_F(cli_tree, max_delete_takes_a_non_negative_integer)
{
  static const char *const bad[] = {"-1", "abc", "", "1.5", "10k", " 1", "1 ", "+1", "0x10", "1e3",
                                    "9223372036854775808", "99999999999999999999"};
  int i = 0;
  for (const char *v : bad) {
    std::string out = top + "/out" + std::to_string(i++);
    run_result r = qvcp({"mode=sync", "if=" + in, "of=" + out, std::string("param=max_delete=") + v});
    EXPECT_EQ(1, r.status) << "[" << v << "]";
    EXPECT_EQ(std::string("qvcp: param max_delete=[") + v + "]: the limit must be a non-negative integer\n", r.err)
        << "[" << v << "]";
    EXPECT_FALSE(exists(out)) << "[" << v << "]";
  }
  for (const char *v : {"0", "7", "9223372036854775807"}) {
    std::string out = top + "/out" + std::to_string(i++);
    run_result r = qvcp({"mode=sync", "if=" + in, "of=" + out, std::string("param=max_delete=") + v});
    EXPECT_EQ(0, r.status) << v << ": " << r.err;
    EXPECT_EQ("", r.err) << v;
    EXPECT_EQ(data, tree_read(out + "/f.bin")) << v;
  }
}

TEST_F(cli_tree, allow_empty_input_is_a_flag_word)
{
  run_result r = qvcp({"mode=cp", "if=" + in, "of=" + top + "/out", "flag=allow_empty_input,summary"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(data, tree_read(top + "/out/f.bin"));
}

/* What qvcp writes to a pipe carries no terminal escapes: the summary, the log echo, the error. */
TEST_F(cli_tree, no_colour_escapes_into_a_pipe)
{
  static const struct {
    const char *what;
    bool ok;
    std::vector<std::string> env;
    const char *shown; /* a text the run must have written to standard error */
  } cases[] = {
      {"summary", true, {}, "\ntotal_open=2\n"},
      {"summary with the log echoed", true, {"QV_SH_DBG=1"}, "\nenum_file_count=2\n"},
      {"refused run with the log echoed", false, {"QV_SH_DBG=1"}, "\nerror: "},
      {"refused run", false, {}, "error: "},
  };
  int i = 0;
  for (const auto &c : cases) {
    std::string out = top + "/out" + std::to_string(i++);
    std::string src = c.ok ? in : top + "/missing";
    run_result r = qvcp({"mode=cp", "if=" + src, "of=" + out, "flag=summary"}, c.env);
    EXPECT_EQ(c.ok, r.status == 0) << c.what << ": " << r.status;
    std::string both = r.out + r.err;
    EXPECT_NE(std::string::npos, r.err.find(c.shown)) << c.what << ": " << r.err;
    EXPECT_EQ(std::string::npos, both.find('\033')) << c.what << ": " << both;
  }
}

TEST_F(cli_tree, colour_on_a_terminal_unless_no_color_is_set)
{
  static const struct {
    std::vector<std::string> env;
    bool ok;
    const char *coloured; /* text that must be there when colour is on */
    bool colour;
  } cases[] = {
      {{}, true, "\033[37mtotal_time=", true},
      {{"NO_COLOR="}, true, "\033[37mtotal_time=", true}, /* empty: as if unset */
      {{"NO_COLOR=1"}, true, "total_time=", false},
      {{"QV_SH_DBG=1"}, false, "\033[01;31merror: ", true},
      {{"QV_SH_DBG=1", "NO_COLOR=yes"}, false, "error: ", false},
  };
  int i = 0;
  for (const auto &c : cases) {
    std::string out = top + "/out" + std::to_string(i++);
    std::string src = c.ok ? in : top + "/missing";
    run_result r = qvcp_on_terminal({"mode=cp", "if=" + src, "of=" + out, "flag=summary"}, c.env);
    std::string shown = c.env.empty() ? "(no env)" : c.env.back();
    EXPECT_EQ(c.ok, r.status == 0) << shown << ": " << r.status;
    EXPECT_NE(std::string::npos, r.err.find(c.coloured)) << shown << ": " << r.err;
    EXPECT_EQ(c.colour, r.err.find('\033') != std::string::npos) << shown << ": " << r.err;
  }
}
