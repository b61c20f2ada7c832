#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "helpers/qvsd_run.h"
#include "helpers/run_cmd.h"
#include "helpers/tree_cmp.h"

namespace {

run_result qvcp(const std::vector<std::string> &args)
{
  /* The statistics report of the log, on standard error. */
  return run_cmd(QVCP_BIN, args, {"QV_SH_DBG=1", "QV_LOG_LEVEL"});
}

std::string random_bytes(size_t n, unsigned seed)
{
  std::mt19937 g(seed);
  std::string s(n, '\0');
  for (auto &c : s)
    c = static_cast<char>(g());
  return s;
}

long long counter(const std::string &log, const std::string &name)
{
  size_t at = log.find(name + "=");
  return at == std::string::npos ? -1 : atoll(log.c_str() + at + name.size() + 1);
}

constexpr long T0 = 1600000000;
constexpr size_t BLK = 65536;

class sync_fixture : public ::testing::Test {
protected:
  std::string top, in, out;
  void SetUp() override
  {
    top = tree_tmpdir("qvcp_sync");
    ASSERT_FALSE(top.empty());
    in = top + "/in";
    out = top + "/out";
    tree_mkdir(in);
    tree_mkdir(out);
  }
  void TearDown() override { tree_rm(top); }
};

class sync_sides : public sync_fixture, public ::testing::WithParamInterface<int> {
protected:
  qvsd_run srv;
  std::string I, O, ip, op;
  void SetUp() override
  {
    sync_fixture::SetUp();
    if (GetParam() != SIDE_LOCAL) {
      ASSERT_TRUE(srv.start(QVSD_BIN, top, {}, (GetParam() & SIDE_TLS) != 0)) << srv.log();
    }
    qvsd_side_words w = qvsd_side_words_of(srv, top, in, out, GetParam());
    I = w.I, O = w.O, ip = w.ip, op = w.op;
  }
};

TEST_P(sync_sides, only_differing_blocks_are_rewritten)
{
  std::string data = random_bytes(10 * 1024 * 1024, 1);
  tree_put(out + "/big", data, 0644, T0);
  data[5000000] ^= 0x5a;
  tree_put(in + "/big", data, 0644, T0 + 100);
  run_result r = qvcp({"mode=sync", "if=" + I, "of=" + O});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(tree_read(out + "/big"), data);
  EXPECT_EQ(counter(r.err, "total_write"), static_cast<long long>(BLK));
  EXPECT_EQ(counter(r.err, "total_open"), 1);
}

TEST_P(sync_sides, outputs_longer_shorter_and_with_swapped_blocks_end_identical)
{
  std::string a = random_bytes(5 * BLK + 123, 2);
  std::string swapped = a;
  /* Blocks 1 and 2 change places: a sum of block digests would not see it. */
  std::copy(a.begin() + BLK * 2, a.begin() + BLK * 3, swapped.begin() + BLK);
  std::copy(a.begin() + BLK, a.begin() + BLK * 2, swapped.begin() + BLK * 2);
  static const struct {
    const char *name;
    std::string (*out)(const std::string &, const std::string &);
  } cases[] = {
      {"longer", [](const std::string &x, const std::string &) { return x + random_bytes(3 * BLK, 3); }},
      {"shorter", [](const std::string &x, const std::string &) { return x.substr(0, 2 * BLK + 7); }},
      {"swapped", [](const std::string &, const std::string &s) { return s; }},
      {"identical", [](const std::string &x, const std::string &) { return x; }},
  };
  for (const auto &c : cases) {
    tree_put(in + "/" + c.name, a, 0644, T0 + 50);
    tree_put(out + "/" + c.name, c.out(a, swapped), 0644, T0);
  }
  run_result r = qvcp({"mode=sync", "if=" + I, "of=" + O});
  ASSERT_EQ(r.status, 0) << r.err;
  for (const auto &c : cases)
    EXPECT_EQ(tree_read(out + "/" + c.name), a) << c.name;
  tree_cmp_opt o;
  o.dir_times = false;
  EXPECT_TRUE(tree_diff(in, out, o).empty());
}

TEST_P(sync_sides, modes_6_to_9_reexamine_every_existing_file)
{
  /* Same size and time, different content: mode 5 trusts size and time, the others look. */
  tree_put(in + "/f", "aaaa", 0644, T0);
  for (const char *mode : {"sync", "sync_diff_size_date_bin", "sync_diff_size_date_hash",
                           "sync_diff_size_date_rsync", "sync_diff_size_date_auto_hash_rsync"}) {
    tree_put(out + "/f", "bbbb", 0644, T0);
    run_result r = qvcp({std::string("mode=") + mode, "if=" + I, "of=" + O});
    ASSERT_EQ(r.status, 0) << mode << r.err;
    EXPECT_EQ(tree_read(out + "/f"), std::string(mode) == "sync" ? "bbbb" : "aaaa") << mode;
  }
}

TEST_P(sync_sides, extras_are_deleted_and_traced_and_dry_run_changes_nothing)
{
  tree_put(in + "/keep", "k", 0644, T0);
  tree_mkdir(in + "/newdir");
  tree_put(out + "/keep", "k", 0644, T0);
  tree_put(out + "/x", "extra");
  tree_mkdir(out + "/d");
  tree_put(out + "/d/inside", "i");
  run_result r = qvcp({"mode=sync", "if=" + I, "of=" + O, "flag=dry_run"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "- " + op + "/d/\n- " + op + "/x\n+ " + op + "/newdir/\n");
  EXPECT_EQ(access((out + "/x").c_str(), F_OK), 0);
  EXPECT_EQ(access((out + "/d/inside").c_str(), F_OK), 0);
  EXPECT_EQ(access((out + "/newdir").c_str(), F_OK), -1);

  r = qvcp({"mode=sync", "if=" + I, "of=" + O, "flag=file_ops"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "- " + op + "/d/\n- " + op + "/x\n+ " + op + "/newdir/\n");
  EXPECT_EQ(access((out + "/x").c_str(), F_OK), -1);
  EXPECT_EQ(access((out + "/d").c_str(), F_OK), -1);
  EXPECT_EQ(access((out + "/newdir").c_str(), F_OK), 0);
  /* The file deletion is counted; the directory's is not. */
  EXPECT_EQ(counter(r.err, "sync_del_count"), 1);
  tree_cmp_opt o;
  o.dir_times = false;
  EXPECT_TRUE(tree_diff(in, out, o).empty());
}

TEST_P(sync_sides, directories_missing_on_the_output_leave_the_next_pairs_intact)
{
  /* a1 and a2 are new; b exists on both sides. The output listings asked for must be those read,
   * or b would be paired with the answer for a missing directory. */
  for (const char *mode : {"mode=sync", "mode=copy_diff_size_date"}) {
    tree_rm(in);
    tree_rm(out);
    tree_mkdir(in);
    tree_mkdir(out);
    for (const char *d : {"/a1", "/a2", "/b"})
      tree_mkdir(in + d);
    tree_put(in + "/a1/f", "1", 0644, T0);
    tree_put(in + "/a2/f", "2", 0644, T0);
    tree_put(in + "/b/g", "3", 0644, T0);
    tree_mkdir(out + "/b");
    tree_put(out + "/b/g", "3", 0644, T0);
    tree_put(out + "/b/extra", "x", 0644, T0);
    run_result r = qvcp({mode, "if=" + I, "of=" + O});
    ASSERT_EQ(r.status, 0) << mode << r.err;
    EXPECT_EQ(counter(r.err, "total_write"), 2) << mode << ": only a1/f and a2/f are written";
    EXPECT_EQ(counter(r.err, "o_dir_fail_count"), 0) << mode;
    EXPECT_EQ(access((out + "/b/extra").c_str(), F_OK), -1) << mode << ": b was paired with its own listing";
    EXPECT_EQ(tree_read(out + "/a2/f"), "2") << mode;
  }
}

TEST_F(sync_fixture, nothing_is_deleted_on_the_word_of_an_incomplete_listing)
{
#ifndef QV_TEST_HOOKS
  GTEST_SKIP() << "needs QV_TEST_READDIR_FAIL, which only a build with QV_TEST_HOOKS=ON has";
#endif
  tree_mkdir(in + "/d");
  tree_mkdir(out + "/d");
  for (const char *n : {"a", "b", "c"}) {
    tree_put(in + "/d/" + n, n, 0644, T0);
    tree_put(out + "/d/" + n, n, 0644, T0);
  }
  tree_put(out + "/d/extra", "x", 0644, T0);
  tree_put(out + "/extra_top", "x", 0644, T0);
  /* Reading in/d fails after its first entry. */
  for (const char *gen : {"--", "flag=i_rdir"}) {
    for (const char *mode : {"mode=sync", "mode=copy_diff_size_date"}) {
      run_result r = run_cmd(QVCP_BIN, {mode, "if=" + in, "of=" + out, gen},
                             {"QV_SH_DBG=1", "QV_LOG_LEVEL", "QV_TEST_READDIR_FAIL=/in/d"});
      EXPECT_EQ(r.status, 2) << mode << gen << r.err;
      EXPECT_NE(r.err.find("error: 1 directory could not be read"), std::string::npos) << r.err;
      for (const char *n : {"a", "b", "c", "extra"})
        EXPECT_EQ(access((out + "/d/" + n).c_str(), F_OK), 0) << mode << " " << gen << " lost " << n;
      EXPECT_EQ(counter(r.err, "open_dir_fail_count"), 1) << mode << gen;
      EXPECT_EQ(access((out + "/extra_top").c_str(), F_OK), -1) << mode << gen << ": the root listing was whole";
      tree_put(out + "/extra_top", "x", 0644, T0);
    }
  }
  /* Elsewhere, and without the fault, extras go. */
  run_result r = qvcp({"mode=sync", "if=" + in, "of=" + out});
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(access((out + "/d/extra").c_str(), F_OK), -1);
  EXPECT_EQ(access((out + "/extra_top").c_str(), F_OK), -1);
}

TEST_P(sync_sides, hard_links_are_reproduced_with_the_flag)
{
  tree_mkdir(in + "/a");
  tree_mkdir(in + "/b");
  tree_put(in + "/a/one", "shared content", 0644, T0);
  ASSERT_EQ(link((in + "/a/one").c_str(), (in + "/a/two").c_str()), 0);
  ASSERT_EQ(link((in + "/a/one").c_str(), (in + "/b/three").c_str()), 0);
  for (const char *mode : {"mode=cp", "mode=sync"}) {
    tree_rm(out);
    tree_mkdir(out);
    /* A different file where the second name goes is replaced by the link. */
    tree_mkdir(out + "/a");
    tree_put(out + "/a/two", "something else", 0644, T0 + 9);
    run_result r = qvcp({mode, "if=" + I, "of=" + O, "flag=hardlinks"});
    ASSERT_EQ(r.status, 0) << mode << r.err;
    struct stat s1, s2, s3;
    ASSERT_EQ(stat((out + "/a/one").c_str(), &s1), 0) << mode;
    ASSERT_EQ(stat((out + "/a/two").c_str(), &s2), 0) << mode;
    ASSERT_EQ(stat((out + "/b/three").c_str(), &s3), 0) << mode;
    EXPECT_EQ(s1.st_ino, s2.st_ino) << mode;
    EXPECT_EQ(s1.st_ino, s3.st_ino) << mode;
    EXPECT_EQ(tree_read(out + "/b/three"), "shared content");
  }
  /* Without the flag each name is a file of its own. */
  tree_rm(out);
  tree_mkdir(out);
  ASSERT_EQ(qvcp({"mode=cp", "if=" + I, "of=" + O}).status, 0);
  struct stat s1, s2;
  ASSERT_EQ(stat((out + "/a/one").c_str(), &s1), 0);
  ASSERT_EQ(stat((out + "/a/two").c_str(), &s2), 0);
  EXPECT_NE(s1.st_ino, s2.st_ino);
}

INSTANTIATE_TEST_SUITE_P(sides, sync_sides, ::testing::Values(SIDE_LOCAL, SIDE_PUSH, SIDE_PULL, SIDE_REMOTE, SIDE_PUSH | SIDE_TLS,
                                                            SIDE_PULL | SIDE_TLS),
                         [](const ::testing::TestParamInfo<int> &i) { return std::string(qvsd_side_name(i.param)); });

} // namespace
