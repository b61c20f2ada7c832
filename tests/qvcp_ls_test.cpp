#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "helpers/run_cmd.h"

namespace {

run_result qvcp(const std::vector<std::string> &args, const std::vector<std::string> &env = {})
{
  std::vector<std::string> e = {"QV_SH_DBG", "QV_LOG_LEVEL"};
  e.insert(e.end(), env.begin(), env.end());
  return run_cmd(QVCP_BIN, args, e);
}

std::string slurp(const std::string &path)
{
  std::ifstream f(path);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

/* A small tree:
 *   a.txt  link -> a.txt  empty/  sub/c.txt  sub/deep/d.txt  (plus what a test adds) */
class ls_fixture : public ::testing::Test {
protected:
  std::string root;

  void SetUp() override
  {
    char tmpl[] = "/tmp/qvcp_ls.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root = tmpl;
    ASSERT_EQ(chmod(tmpl, 0755), 0);
    put("a.txt", "hello");
    ASSERT_EQ(symlink("a.txt", (root + "/link").c_str()), 0);
    mk("empty");
    mk("sub");
    put("sub/c.txt", "cc");
    mk("sub/deep");
    put("sub/deep/d.txt", "ddd");
  }
  void TearDown() override
  {
    std::string cmd = "chmod -R u+rwx '" + root + "' 2>/dev/null; rm -rf '" + root + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
  }
  void mk(const std::string &rel) { ASSERT_EQ(mkdir((root + "/" + rel).c_str(), 0755), 0); }
  void put(const std::string &rel, const std::string &data)
  {
    FILE *f = fopen((root + "/" + rel).c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(data.data(), 1, data.size(), f);
    fclose(f);
  }
  /* The listing as the tree above gives it: each directory's sub-directories are announced when
   * they are read, before the files of the directory. */
  std::string expected() const
  {
    const std::string &r = root;
    return r + "/empty/\n" + r + "/sub/\n" + r + "/a.txt\n" + r + "/link -> a.txt [link]\n" + r + "/sub/deep/\n" +
           r + "/sub/c.txt\n" + r + "/sub/deep/d.txt\n";
  }
};

TEST_F(ls_fixture, lists_the_tree_in_both_listing_generations)
{
  for (const char *flag : {"--", "flag=i_rdir"}) {
    run_result r = qvcp({"mode=ls", "if=" + root, flag});
    EXPECT_EQ(r.status, 0) << flag << r.err;
    EXPECT_EQ(r.out, expected()) << flag;
    /* A trailing "/" on the input changes nothing. */
    r = qvcp({"mode=ls", "if=" + root + "/", flag});
    EXPECT_EQ(r.out, expected()) << flag;
  }
}

TEST_F(ls_fixture, filters_select_files_and_prune_directories)
{
  run_result r = qvcp({"mode=ls", "if=" + root, "filter=-deep/"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, root + "/empty/\n" + root + "/sub/\n" + root + "/a.txt\n" + root + "/link -> a.txt [link]\n" +
                       root + "/sub/c.txt\n");
  r = qvcp({"mode=ls", "if=" + root, "filter=*.txt"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.find("link"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(root + "/sub/deep/d.txt\n"), std::string::npos) << r.out;
}

TEST_F(ls_fixture, olist_sends_the_listing_elsewhere)
{
  std::string file = root + ".list";
  run_result r = qvcp({"mode=ls", "if=" + root, "olist=" + file});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(slurp(file), expected());
  unlink(file.c_str());

  r = qvcp({"mode=ls", "if=" + root, "olist=none"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  r = qvcp({"mode=ls", "if=" + root, "olist=stdout"});
  EXPECT_EQ(r.out, expected());

  /* An output file that cannot be opened is logged; the run goes on without output. */
  r = qvcp({"mode=ls", "if=" + root, "olist=/nonexistent/dir/list", "level=err"}, {"QV_SH_DBG=1"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("open [/nonexistent/dir/list] error: "), std::string::npos) << r.err;
}

TEST_F(ls_fixture, statistics_report_goes_to_the_log)
{
  run_result r = qvcp({"mode=ls", "if=" + root, "olist=none"}, {"QV_SH_DBG=1"});
  EXPECT_EQ(r.status, 0);
  for (const char *line : {"enum_file_count=4\n", "enum_file_size=10 (10)\n", "enum_dir_count=3\n",
                           "open_dir_fail_count=0\n", "i_drop_name_too_long_count=0\n", "total_time="})
    EXPECT_NE(r.err.find(line), std::string::npos) << line;
  EXPECT_EQ(r.err.find("total_open="), std::string::npos) << "copy counters are not part of a listing";
}

TEST_F(ls_fixture, refusals_and_their_exit_statuses)
{
  run_result r = qvcp({"mode=ls", "if=" + root + "/missing"});
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_NE(r.err.find("error: i_dir=[" + root + "/missing] error: not exist"), std::string::npos) << r.err;

  /* A listing needs a directory. */
  r = qvcp({"mode=ls", "if=" + root + "/a.txt"});
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_NE(r.err.find("not supported"), std::string::npos) << r.err;

  /* mode=ls does not compare if= and of=. */
  r = qvcp({"mode=ls", "if=" + root, "of=" + root, "olist=none"});
  EXPECT_EQ(r.status, 0) << r.err;

  /* Copying a tree into itself is refused before anything is written. */
  for (const std::string &out : {root, root + "/", root + "/sub/new", root + "/./sub"}) {
    r = qvcp({"mode=cp", "if=" + root, "of=" + out});
    EXPECT_EQ(r.status, 2) << out << r.err;
    EXPECT_EQ(access((root + "/sub/new").c_str(), F_OK), -1) << out;
  }
  r = qvcp({"mode=ls", "if=qvp://127.0.0.1:1/x"});
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(r.err.find("usage:"), std::string::npos);
}

TEST_F(ls_fixture, statfs_prints_the_volume_block)
{
  run_result r = qvcp({"mode=statfs", "if=" + root});
  EXPECT_EQ(r.status, 0) << r.err;
  std::regex block("fs=\\[[^\\]\n]+\\]\n"
                   "vol_name=\\[[^\\]\n]*\\]\n"
                   "name_len=[1-9][0-9]*\n"
                   "flags=0x[0-9a-f]+ \\(([a-z_]+(,[a-z_]+)*)?\\)\n"
                   "avail_bytes=[0-9]+\\([0-9.]+[KMGTPEZY]?\\)\n"
                   "free_bytes=[0-9]+ \\([0-9.]+[KMGTPEZY]?\\)\n"
                   "total_bytes=[1-9][0-9]* \\([0-9.]+[KMGTPEZY]?\\)\n");
  EXPECT_TRUE(std::regex_match(r.out, block)) << r.out;
  /* statfs does not need the path to be a directory, nor to exist. */
  EXPECT_EQ(qvcp({"mode=statfs", "if=" + root + "/a.txt"}).status, 0);
}

/* Runs qvcp with standard output to a pipe that is not read until the test says so; optionally
 * as another user (for directories that user cannot open), or with its warnings on a second pipe
 * (err_pipe). */
struct child_run {
  pid_t pid = -1;
  int out = -1;
  int err = -1;
};

child_run spawn(const std::vector<std::string> &args, uid_t uid = 0, bool err_pipe = false)
{
  int p[2], e[2] = {-1, -1};
  child_run c;
  if (pipe(p) != 0 || (err_pipe && pipe(e) != 0))
    return c;
  c.pid = fork();
  if (c.pid == 0) {
    dup2(p[1], 1);
    int dn = open("/dev/null", O_RDWR);
    dup2(dn, 0);
    dup2(err_pipe ? e[1] : dn, 2);
    close(p[0]);
    close(p[1]);
    if (err_pipe) {
      close(e[0]);
      close(e[1]);
      setenv("QV_SH_DBG", "1", 1);
      setenv("QV_LOG_LEVEL", "warn", 1);
    } else {
      unsetenv("QV_SH_DBG");
    }
    if (uid != 0 && (setgid(uid) != 0 || setuid(uid) != 0))
      _exit(120);
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(QVCP_BIN));
    for (const auto &a : args)
      argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(QVCP_BIN, argv.data());
    _exit(127);
  }
  close(p[1]);
  c.out = p[0];
  if (err_pipe) {
    close(e[1]);
    c.err = e[0];
  }
  return c;
}

/* Reads the child's warnings until one contains text; false when they end without it or nothing
 * comes for 30 s. */
bool wait_for_line(int fd, const std::string &text)
{
  std::string got;
  char buf[4096];
  for (;;) {
    pollfd pf{fd, POLLIN, 0};
    if (poll(&pf, 1, 30000) != 1)
      return false;
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0)
      return false;
    got.append(buf, static_cast<size_t>(n));
    if (got.find(text) != std::string::npos)
      return true;
  }
}

/* Reads the child's output to its end and returns its exit status. */
int finish(child_run &c, std::string *out)
{
  char buf[65536];
  ssize_t n;
  while ((n = read(c.out, buf, sizeof buf)) > 0)
    if (out)
      out->append(buf, static_cast<size_t>(n));
  close(c.out);
  int st = 0;
  waitpid(c.pid, &st, 0);
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

TEST_F(ls_fixture, a_signal_stops_the_run_with_status_7)
{
  /* Enough listing text to fill the pipe, so the run waits for the reader. */
  mk("many");
  std::string name(120, 'n');
  for (int i = 0; i < 3000; ++i)
    put("many/" + name + std::to_string(i), "");
  for (int sig : {SIGTERM, SIGINT, SIGQUIT}) {
    child_run c = spawn({"mode=ls", "if=" + root}, 0, true);
    ASSERT_GT(c.pid, 0);
    pollfd pf{c.out, POLLIN, 0};
    ASSERT_EQ(poll(&pf, 1, 30000), 1) << "no listing output";
    kill(c.pid, sig);
    /* The listing is held by the full pipe until the run has taken the stop in: only then is
     * the pipe drained, so the run cannot reach its end first however the threads are scheduled. */
    EXPECT_TRUE(wait_for_line(c.err, "stop requested")) << sig;
    close(c.err);
    std::string out;
    EXPECT_EQ(finish(c, &out), 7) << sig;
    EXPECT_LT(out.size(), 3000 * 120u) << "the listing went on to its end";
  }
}

TEST_F(ls_fixture, an_unreadable_directory_is_counted_and_the_rest_listed)
{
  if (geteuid() != 0)
    GTEST_SKIP() << "needs root to run the listing as another user";
  mk("sub/closed");
  put("sub/closed/hidden", "x");
  ASSERT_EQ(chmod((root + "/sub/closed").c_str(), 0), 0);
  for (const char *flag : {"--", "flag=i_rdir"}) {
    child_run c = spawn({"mode=ls", "if=" + root, flag}, 65534);
    std::string out;
    int st = finish(c, &out);
    /* A listing with a hole in it is no success. */
    EXPECT_EQ(st, 2) << flag;
    EXPECT_EQ(out.find("hidden"), std::string::npos) << flag;
    EXPECT_NE(out.find(root + "/sub/deep/d.txt\n"), std::string::npos) << flag << out;
  }
  /* With the terminal summary on, counted failures make the run end with status 2. */
  child_run c = spawn({"mode=ls", "if=" + root, "flag=summary"}, 65534);
  EXPECT_EQ(finish(c, nullptr), 2);
}

TEST_F(ls_fixture, terminal_summary_on_request)
{
  run_result r = qvcp({"mode=ls", "if=" + root, "olist=none", "flag=summary"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("\nenum_file_count=4\n"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("last_errno="), std::string::npos);
  r = qvcp({"mode=ls", "if=" + root, "olist=none"});
  EXPECT_EQ(r.err, "") << "no summary unless asked for";
}

TEST_F(ls_fixture, a_path_of_4096_bytes_is_dropped_and_its_siblings_listed)
{
  /* Nest directories until the joined path of the innermost one passes the limit. */
  std::string name(250, 'x');
  std::string rel = "sub";
  while (root.size() + 1 + rel.size() < 4096 + 300) {
    rel += "/" + name;
    std::string full = root + "/" + rel;
    /* mkdir on a path near PATH_MAX: go through the parent. */
    int fd = open((root + "/" + rel.substr(0, rel.rfind('/'))).c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0)
      break;
    mkdirat(fd, name.c_str(), 0755);
    close(fd);
  }
  run_result r = qvcp({"mode=ls", "if=" + root, "level=err"}, {"QV_SH_DBG=1"});
  EXPECT_EQ(r.status, 2) << r.err.substr(0, 2000);
  EXPECT_NE(r.out.find(root + "/sub/deep/d.txt\n"), std::string::npos);
  EXPECT_NE(r.err.find("too long"), std::string::npos) << r.err.substr(0, 2000);
  size_t longest = 0;
  for (size_t start = 0; start < r.out.size();) {
    size_t end = r.out.find('\n', start);
    longest = std::max(longest, end - start);
    start = end + 1;
  }
  EXPECT_LT(longest, 4096u);
}

} // namespace
