/* End-to-end runs of the real binary with the whole-tree listing (flag=i_rdir, o_rdir, a_rdir):
 * what a run with it copies, deletes, lists and counts must be what a run without it does. */
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "helpers/run_cmd.h"
#include "helpers/tree_cmp.h"

namespace {

constexpr long T0 = 1600000000;

run_result qvcp(std::vector<std::string> args, const std::string &flag, const std::vector<std::string> &env = {})
{
  if (!flag.empty())
    args.push_back(flag);
  /* QV_SH_DBG=1 puts the statistics report on standard error. */
  std::vector<std::string> e = {"QV_SH_DBG=1", "QV_LOG_LEVEL"};
  e.insert(e.end(), env.begin(), env.end());
  return run_cmd(QVCP_BIN, args, e);
}

long long counter(const std::string &log, const std::string &name)
{
  size_t at = log.find(" " + name + "=");
  return at == std::string::npos ? -1 : atoll(log.c_str() + at + name.size() + 2);
}

std::vector<std::string> sorted_lines(const std::string &text)
{
  std::vector<std::string> v;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos)
      end = text.size();
    v.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  std::sort(v.begin(), v.end());
  return v;
}

/* Names that the listing text escapes: a backslash, a line feed, a carriage return, a TAB, a
 * backslash that looks like an escape. "d5\x" sorts among d1..d9 so that a listing cut at it
 * loses the directories after it. */
const char *const ODD_DIRS[] = {"d5\\x", "a\nb", "a\nb/c\rd", "t\tb", "e\\", "x\\ny"};

class rdir2_fixture : public ::testing::Test {
protected:
  std::string top, in, out;

  void SetUp() override
  {
    top = tree_tmpdir("qvcp_rdir2");
    ASSERT_FALSE(top.empty());
    in = top + "/in";
    out = top + "/out";
    tree_mkdir(in);
    for (int i = 1; i <= 9; ++i) {
      std::string d = in + "/d" + std::to_string(i);
      tree_mkdir(d);
      tree_put(d + "/f", "f" + std::to_string(i), 0644, T0);
    }
    for (const char *d : ODD_DIRS) {
      tree_mkdir(in + "/" + d);
      tree_put(in + "/" + d + "/g\\\n", d, 0644, T0);
    }
  }
  void TearDown() override { tree_rm(top); }
};

TEST_F(rdir2_fixture, names_with_escaped_bytes_are_copied_and_synced_whole_in_every_listing_generation)
{
  tree_cmp_opt no_dir_times;
  no_dir_times.dir_times = false;
  for (const char *flag : {"", "flag=i_rdir", "flag=o_rdir", "flag=a_rdir"}) {
    run_result r = qvcp({"mode=cp", "if=" + in, "of=" + out}, flag);
    EXPECT_EQ(r.status, 0) << flag << r.err;
    EXPECT_EQ(counter(r.err, "open_dir_fail_count"), 0) << flag;
    EXPECT_EQ(tree_diff(in, out, no_dir_times), std::vector<std::string>{}) << flag;

    /* A sync removes what the input lacks, inside the odd directories too, and keeps the rest. */
    for (const char *d : ODD_DIRS)
      tree_put(out + "/" + d + "/extra", "x", 0644, T0);
    tree_mkdir(out + "/d5\\x/extra_dir");
    r = qvcp({"mode=sync", "if=" + in, "of=" + out}, flag);
    EXPECT_EQ(r.status, 0) << flag << r.err;
    EXPECT_EQ(counter(r.err, "open_dir_fail_count"), 0) << flag;
    EXPECT_EQ(counter(r.err, "o_dir_fail_count"), 0) << flag;
    EXPECT_EQ(tree_diff(in, out, no_dir_times), std::vector<std::string>{}) << flag;
    tree_rm(out);
  }
}

TEST_F(rdir2_fixture, a_listing_with_the_flag_names_every_entry_the_listing_without_it_names)
{
  run_result plain = qvcp({"mode=ls", "if=" + in}, "");
  ASSERT_EQ(plain.status, 0) << plain.err;
  std::vector<std::string> want = sorted_lines(plain.out);
  ASSERT_NE(std::find(want.begin(), want.end(), in + "/d9/f"), want.end());
  run_result gen2 = qvcp({"mode=ls", "if=" + in}, "flag=i_rdir");
  EXPECT_EQ(gen2.status, 0) << gen2.err;
  EXPECT_EQ(sorted_lines(gen2.out), want);
  EXPECT_EQ(counter(gen2.err, "enum_dir_count"), counter(plain.err, "enum_dir_count"));
  EXPECT_EQ(counter(gen2.err, "enum_file_count"), counter(plain.err, "enum_file_count"));
}

/* A directory whose input path reaches 4096 bytes is dropped with a count in both generations, and
 * its copy in an output with a shorter path survives a sync: it is still an entry of its parent. */
TEST(qvcp_rdir2, a_directory_too_long_to_enter_is_counted_and_its_copy_kept)
{
  std::string top = tree_tmpdir("qvcp_rdir2_long");
  ASSERT_FALSE(top.empty());
  /* in: a chain of 250-byte names that leaves in/d enterable and in/d/<250 bytes> too long. */
  std::string in = top;
  std::string name(250, 'n');
  while (in.size() + 2 + 1 + name.size() < 4096) {
    in += "/" + name;
    ASSERT_EQ(mkdir(in.c_str(), 0755), 0) << in.size();
  }
  ASSERT_LT(in.size() + 2, 4096u);
  tree_mkdir(in + "/d");
  tree_put(in + "/d/f", "f", 0644, T0);
  int fd = open((in + "/d").c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(mkdirat(fd, name.c_str(), 0755), 0);
  close(fd);
  std::string out = top + "/out";
  for (const char *flag : {"", "flag=i_rdir", "flag=a_rdir"}) {
    tree_mkdir(out);
    tree_mkdir(out + "/d");
    tree_mkdir(out + "/d/" + name);
    tree_put(out + "/d/" + name + "/precious", "p", 0644, T0);
    run_result r = qvcp({"mode=sync", "if=" + in, "of=" + out}, flag);
    /* A dropped path is a counted failure. */
    EXPECT_EQ(r.status, 2) << flag << r.err.substr(0, 3000);
    EXPECT_EQ(tree_read(out + "/d/f"), "f") << flag;
    EXPECT_EQ(access((out + "/d/" + name + "/precious").c_str(), F_OK), 0) << flag << ": deleted on a cut listing";
    EXPECT_EQ(counter(r.err, "i_drop_name_too_long_count"), 1) << flag;

    r = qvcp({"mode=ls", "if=" + in}, flag);
    EXPECT_EQ(r.status, 2) << flag;
    EXPECT_EQ(counter(r.err, "i_drop_name_too_long_count"), 1) << flag;
    EXPECT_NE(r.out.find(in + "/d/f\n"), std::string::npos) << flag;
    tree_rm(out);
  }
  tree_rm(top);
}

/* An output directory whose listing ends in a read error counts as an output directory failure in
 * both generations, and nothing of the input is lost for it. */
TEST(qvcp_rdir2, an_output_listing_in_error_is_counted_in_both_generations)
{
#ifndef QV_TEST_HOOKS
  GTEST_SKIP() << "needs QV_TEST_READDIR_FAIL, which only a build with QV_TEST_HOOKS=ON has";
#endif
  std::string top = tree_tmpdir("qvcp_rdir2_oerr");
  ASSERT_FALSE(top.empty());
  std::string in = top + "/in", out = top + "/out";
  tree_mkdir(in);
  tree_mkdir(in + "/d");
  tree_mkdir(out);
  tree_mkdir(out + "/d");
  for (const char *n : {"a", "b", "c"}) {
    tree_put(in + "/d/" + n, n, 0644, T0);
    tree_put(out + "/d/" + n, "old", 0644, T0 - 100);
  }
  for (const char *flag : {"", "flag=o_rdir", "flag=a_rdir"}) {
    /* Reading out/d fails after its first entry. */
    run_result r = qvcp({"mode=sync", "if=" + in, "of=" + out}, flag, {"QV_TEST_READDIR_FAIL=/out/d"});
    EXPECT_EQ(counter(r.err, "o_dir_fail_count"), 1) << flag << r.err;
    EXPECT_EQ(r.status, 2) << flag;
    for (const char *n : {"a", "b", "c"})
      EXPECT_EQ(tree_read(out + "/d/" + n), n) << flag;
    for (const char *n : {"a", "b", "c"})
      tree_put(out + "/d/" + n, "old", 0644, T0 - 100);
  }
  tree_rm(top);
}

} // namespace
