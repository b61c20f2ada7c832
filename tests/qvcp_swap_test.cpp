/* Paths swapped for links in the middle of a run: nothing outside the trees is read, written or
 * deleted through them. The run stops itself (QV_TEST_STOP_AT) at a chosen path, the test swaps
 * the path, and the run goes on. */
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "helpers/run_cmd.h"
#include "helpers/tree_cmp.h"

namespace {

constexpr long T0 = 1600000000;

std::vector<std::string> names_in(const std::string &dir)
{
  std::vector<std::string> v;
  for (const char *n : {"f1", "f2", "f3", "x1", "x2", "secret", "listed"})
    if (access((dir + "/" + n).c_str(), F_OK) == 0)
      v.push_back(n);
  return v;
}

class swap_fixture : public ::testing::Test {
protected:
  std::string top, in, out, victim;
  void SetUp() override
  {
#ifndef QV_TEST_HOOKS
    GTEST_SKIP() << "needs QV_TEST_STOP_AT, which only a build with QV_TEST_HOOKS=ON has";
#endif
    top = tree_tmpdir("qvcp_swap");
    ASSERT_FALSE(top.empty());
    in = top + "/in";
    out = top + "/out";
    victim = top + "/victim";
    tree_mkdir(in);
    tree_mkdir(out);
    tree_mkdir(victim);
  }
  void TearDown() override
  {
    if (!top.empty())
      tree_rm(top);
  }
  /* Runs qvcp until it stops itself at a path ending in stop_at, calls swap, lets it finish and
   * returns its exit status (-1 when it never stopped). */
  template <typename F> int run_with_swap(const std::vector<std::string> &args, const std::string &stop_at, F swap)
  {
    pid_t pid = fork();
    if (pid < 0)
      return -2;
    if (pid == 0) {
      run_cmd_apply_env({"QV_TEST_STOP_AT=" + stop_at, "QV_SH_DBG", "NO_COLOR=1"});
      int devnull = open("/dev/null", O_WRONLY);
      int listing = open((top + "/stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(listing, 1);
      dup2(devnull, 2);
      std::vector<char *> argv;
      argv.push_back(const_cast<char *>(QVCP_BIN));
      for (const auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
      argv.push_back(nullptr);
      execv(QVCP_BIN, argv.data());
      _exit(127);
    }
    int st = 0;
    if (waitpid(pid, &st, WUNTRACED) != pid)
      return -2;
    bool stopped = WIFSTOPPED(st);
    if (stopped) {
      swap();
      kill(pid, SIGCONT);
      if (waitpid(pid, &st, 0) != pid)
        return -2;
    }
    if (!stopped)
      return -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  }
};

TEST_F(swap_fixture, an_output_directory_swapped_for_a_link_is_never_written_through)
{
  tree_mkdir(in + "/d");
  /* Copied in size order: f1 first. */
  tree_put(in + "/d/f1", "1", 0644, T0);
  tree_put(in + "/d/f2", "22", 0644, T0);
  tree_put(in + "/d/f3", "333", 0644, T0);
  tree_mkdir(out + "/d");
  int st = run_with_swap({"mode=cp", "if=" + in, "of=" + out}, "/out/d/f1", [&] {
    ASSERT_EQ(rename((out + "/d").c_str(), (top + "/moved").c_str()), 0);
    ASSERT_EQ(symlink(victim.c_str(), (out + "/d").c_str()), 0);
  });
  EXPECT_EQ(st, 2);
  EXPECT_TRUE(names_in(victim).empty());
}

TEST_F(swap_fixture, an_output_directory_swapped_for_a_link_loses_nothing_to_deletion)
{
  tree_mkdir(in + "/d");
  tree_put(in + "/d/f1", "1", 0644, T0);
  tree_mkdir(out + "/d");
  for (const char *n : {"x1", "x2"}) {
    tree_put(out + "/d/" + n, "extra", 0644, T0);
    tree_put(victim + "/" + n, "precious", 0644, T0);
  }
  int st = run_with_swap({"mode=sync", "if=" + in, "of=" + out}, "/out/d", [&] {
    ASSERT_EQ(rename((out + "/d").c_str(), (top + "/moved").c_str()), 0);
    ASSERT_EQ(symlink(victim.c_str(), (out + "/d").c_str()), 0);
  });
  EXPECT_EQ(st, 2);
  EXPECT_EQ(names_in(victim), (std::vector<std::string>{"x1", "x2"}));
  EXPECT_EQ(tree_read(victim + "/x1"), "precious");
}

TEST_F(swap_fixture, an_input_file_swapped_for_a_link_to_a_secret_is_not_copied)
{
  tree_put(victim + "/secret", "the secret", 0600, T0);
  tree_put(in + "/f", "public", 0644, T0);
  int st = run_with_swap({"mode=cp", "if=" + in, "of=" + out}, "/out/f", [&] {
    ASSERT_EQ(unlink((in + "/f").c_str()), 0);
    ASSERT_EQ(symlink((victim + "/secret").c_str(), (in + "/f").c_str()), 0);
  });
  EXPECT_EQ(st, 2);
  struct stat s;
  if (lstat((out + "/f").c_str(), &s) == 0 && S_ISREG(s.st_mode)) {
    EXPECT_NE(tree_read(out + "/f"), "the secret");
  }
}

TEST_F(swap_fixture, an_input_directory_swapped_before_its_listing_is_not_listed_through_the_link)
{
  tree_mkdir(in + "/d");
  tree_put(in + "/d/listed", "l", 0644, T0);
  tree_put(victim + "/secret", "the secret", 0600, T0);
  /* The walker asks for in/d's listing only when it reaches in/d. */
  for (const char *mode : {"mode=ls", "mode=cp"}) {
    tree_rm(out);
    int st = run_with_swap({mode, "if=" + in, "of=" + out}, "/in/d", [&] {
      ASSERT_EQ(rename((in + "/d").c_str(), (top + "/moved").c_str()), 0);
      ASSERT_EQ(symlink(victim.c_str(), (in + "/d").c_str()), 0);
    });
    EXPECT_EQ(st, 2) << mode;
    EXPECT_EQ(tree_read(top + "/stdout").find("secret"), std::string::npos) << mode;
    EXPECT_NE(access((out + "/d/secret").c_str(), F_OK), 0) << mode;
    ASSERT_EQ(unlink((in + "/d").c_str()), 0);
    ASSERT_EQ(rename((top + "/moved").c_str(), (in + "/d").c_str()), 0);
  }
}

} // namespace
