#include <gtest/gtest.h>

#include <sys/mount.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "helpers/qvsd_run.h"
#include "helpers/run_cmd.h"
#include "helpers/tree_cmp.h"

namespace {

run_result qvcp(const std::vector<std::string> &args, const std::vector<std::string> &env = {})
{
  std::vector<std::string> e = {"QV_SH_DBG", "QV_LOG_LEVEL"};
  e.insert(e.end(), env.begin(), env.end());
  return run_cmd(QVCP_BIN, args, e);
}

std::string joined(const std::vector<std::string> &v)
{
  std::string s;
  for (const auto &x : v)
    s += x + "\n";
  return s;
}

constexpr long T0 = 1600000000;

class copy_fixture : public ::testing::Test {
protected:
  std::string top, in, out;

  void SetUp() override
  {
    top = tree_tmpdir("qvcp_copy");
    ASSERT_FALSE(top.empty());
    in = top + "/in";
    out = top + "/out";
    tree_mkdir(in);
    tree_put(in + "/plain.txt", "hello world\n", 0644, T0);
    tree_put(in + "/script.sh", "#!/bin/sh\necho hi\n", 0755, T0 + 10);
    tree_put(in + "/empty", "", 0600, T0 + 20);
    tree_put(in + "/big.bin", std::string(3 * 1024 * 1024 + 17, 'b'), 0640, T0 + 30);
    tree_link("plain.txt", in + "/rel_link");
    tree_link("/nonexistent/target", in + "/dangling");
    tree_mkdir(in + "/emptydir", 0700);
    tree_mkdir(in + "/sub");
    tree_put(in + "/sub/inner.txt", "inner", 0600, T0 + 40);
    tree_mkdir(in + "/sub/deeper");
    tree_put(in + "/sub/deeper/leaf", "leaf", 0644, T0 + 50);
    set_dir_time(in + "/sub/deeper", T0 + 100);
    set_dir_time(in + "/sub", T0 + 200);
    set_dir_time(in + "/emptydir", T0 + 300);
  }
  void TearDown() override { tree_rm(top); }
  static void set_dir_time(const std::string &p, long t)
  {
    struct timespec ts[2] = {{t, 0}, {t, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, p.c_str(), ts, AT_SYMLINK_NOFOLLOW), 0);
  }
  /* The root directories differ in time by design; everything below must agree. */
  std::vector<std::string> diff(const tree_cmp_opt &o = {}) const { return tree_diff(in, out, o); }
};

class copy_sides : public copy_fixture, public ::testing::WithParamInterface<int> {
protected:
  qvsd_run srv;
  std::string I, O, ip, op;
  void SetUp() override
  {
    copy_fixture::SetUp();
    if (GetParam() != SIDE_LOCAL) {
      ASSERT_TRUE(srv.start(QVSD_BIN, top, {}, (GetParam() & SIDE_TLS) != 0)) << srv.log();
    }
    qvsd_side_words w = qvsd_side_words_of(srv, top, in, out, GetParam());
    I = w.I, O = w.O, ip = w.ip, op = w.op;
  }
};

TEST_P(copy_sides, copy_is_faithful_and_a_second_run_copies_nothing)
{
  run_result r = qvcp({"mode=copy_diff_size_date", "if=" + I, "of=" + O});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(joined(diff()), "");
  /* The second run traces nothing and writes no byte. */
  r = qvcp({"mode=copy_diff_size_date", "if=" + I, "of=" + O, "flag=file_ops"}, {"QV_SH_DBG=1"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("total_write=0 (0)"), std::string::npos);
  EXPECT_NE(r.err.find("total_open=0\n"), std::string::npos);
}

TEST_P(copy_sides, every_copy_mode_on_the_same_prepared_output)
{
  /* The output before each run: an extra file and directory, a file equal in size whose time is
   * 2 s off (with other content, so a copy would show), one 3 s off, one of another size. */
  auto prepare = [&] {
    tree_rm(out);
    tree_mkdir(out);
    tree_put(out + "/extra.txt", "x");
    tree_mkdir(out + "/extra_dir");
    tree_put(out + "/extra_dir/f", "y");
    tree_put(out + "/plain.txt", "HELLO WORLD\n", 0644, T0 + 2);
    tree_put(out + "/script.sh", "#!/bin/sh\necho HI\n", 0755, T0 + 10 + 3);
    tree_put(out + "/empty", "not empty", 0600, T0 + 20);
  };
  /* Every output file here is as new as its input or newer: copy_newer replaces none of them, and
   * copy_no_overwrite never replaces anything. */
  static const struct {
    const char *mode;
    bool deletes;    /* extras removed */
    bool copies_2s;  /* the file 2 s off is rewritten */
    bool copies_3s;  /* the file 3 s off is rewritten */
    bool copies_len; /* the file of another size is rewritten */
  } cases[] = {
      {"cp", false, true, true, true},
      {"copy_overwrite", false, true, true, true},
      {"copy_no_overwrite", false, false, false, false},
      {"copy_diff_size_date", true, false, true, true},
      {"copy_newer", true, false, false, false},
  };
  for (const auto &c : cases) {
    prepare();
    run_result r = qvcp({std::string("mode=") + c.mode, "if=" + I, "of=" + O});
    ASSERT_EQ(r.status, 0) << c.mode << r.err;
    EXPECT_EQ(access((out + "/extra.txt").c_str(), F_OK) == 0, !c.deletes) << c.mode;
    EXPECT_EQ(access((out + "/extra_dir").c_str(), F_OK) == 0, !c.deletes) << c.mode;
    EXPECT_EQ(tree_read(out + "/plain.txt") == "hello world\n", c.copies_2s) << c.mode;
    EXPECT_EQ(tree_read(out + "/script.sh") == "#!/bin/sh\necho hi\n", c.copies_3s) << c.mode;
    EXPECT_EQ(tree_read(out + "/empty") == "", c.copies_len) << c.mode;
    EXPECT_EQ(tree_read(out + "/sub/deeper/leaf"), "leaf") << c.mode;
  }
}

TEST_P(copy_sides, dry_run_traces_and_changes_nothing)
{
  tree_mkdir(out);
  tree_put(out + "/extra.txt", "x");
  run_result r = qvcp({"mode=copy_diff_size_date", "if=" + I, "of=" + O, "flag=dry_run"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("- " + op + "/extra.txt\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("+ " + op + "/sub/\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("+ " + op + "/plain.txt\n"), std::string::npos) << r.out;
  EXPECT_EQ(joined(tree_diff(out, out)), "");
  std::vector<std::string> left = tree_diff(in, out);
  EXPECT_EQ(access((out + "/extra.txt").c_str(), F_OK), 0);
  EXPECT_EQ(access((out + "/plain.txt").c_str(), F_OK), -1);

  /* A changed file is traced with its reason: L for the size. */
  ASSERT_EQ(qvcp({"mode=cp", "if=" + I, "of=" + O}).status, 0);
  tree_put(in + "/plain.txt", "longer content now\n", 0644, T0);
  r = qvcp({"mode=copy_diff_size_date", "if=" + I, "of=" + O, "flag=dry_run"});
  EXPECT_EQ(r.out, "- " + op + "/extra.txt\nL " + op + "/plain.txt\n");
}

/* The second lane's worker, held busy for the whole run, never takes a list: the executor copies
 * every file alone and the lane's tasks are still queued when the run ends. The run is complete and
 * ends with status 0; a task dropped with its job still allocated ends a sanitizer build with the
 * leak report's status 1. */
TEST_F(copy_fixture, a_lane_that_never_runs_leaves_the_run_whole)
{
#ifndef QV_TEST_HOOKS
  GTEST_SKIP() << "needs QV_TEST_LANE_HELD, which only a build with QV_TEST_HOOKS=ON has";
#endif
  for (const char *mode : {"mode=cp", "mode=copy_diff_size_date"}) {
    tree_rm(out);
    run_result r = qvcp({mode, "if=" + in, "of=" + out}, {"QV_TEST_LANE_HELD=1"});
    EXPECT_EQ(r.status, 0) << mode << r.err;
    EXPECT_EQ(joined(diff()), "") << mode;
  }
}

TEST_P(copy_sides, output_links_are_replaced_never_written_through)
{
  std::string outside = top + "/outside";
  tree_mkdir(outside);
  tree_put(outside + "/victim", "precious", 0644, T0);
  for (const char *mode : {"cp", "copy_diff_size_date"}) {
    tree_rm(out);
    tree_mkdir(out);
    /* Where the input has a file and a directory, the output has links leading outside. */
    tree_link(outside + "/victim", out + "/plain.txt");
    tree_link(outside, out + "/sub");
    run_result r = qvcp({std::string("mode=") + mode, "if=" + I, "of=" + O});
    EXPECT_EQ(r.status, 0) << mode << r.err;
    EXPECT_EQ(tree_read(outside + "/victim"), "precious") << mode;
    EXPECT_EQ(access((outside + "/inner.txt").c_str(), F_OK), -1) << mode;
    struct stat st;
    ASSERT_EQ(lstat((out + "/plain.txt").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode)) << mode;
    ASSERT_EQ(lstat((out + "/sub").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode)) << mode;
    EXPECT_EQ(joined(diff()), "") << mode;
  }
}

TEST_P(copy_sides, extended_attributes_keep_their_values)
{
  if (setxattr((in + "/plain.txt").c_str(), "user.probe", "v", 1, 0) != 0)
    GTEST_SKIP() << "the file system of /tmp takes no user extended attributes";
  std::string big(3000, 'v');
  ASSERT_EQ(setxattr((in + "/plain.txt").c_str(), "user.comment", "a value", 7, 0), 0);
  ASSERT_EQ(setxattr((in + "/big.bin").c_str(), "user.big", big.data(), big.size(), 0), 0);
  ASSERT_EQ(setxattr((in + "/sub").c_str(), "user.dirattr", "on a dir", 8, 0), 0);
  run_result r = qvcp({"mode=cp", "if=" + I, "of=" + O, "flag=xattr"});
  ASSERT_EQ(r.status, 0) << r.err;
  tree_cmp_opt o;
  o.xattrs = true;
  EXPECT_EQ(joined(diff(o)), "");
  char v[8] = {};
  EXPECT_EQ(getxattr((out + "/plain.txt").c_str(), "user.comment", v, sizeof v), 7);
  EXPECT_STREQ(v, "a value");
}

TEST_P(copy_sides, single_file_jobs)
{
  tree_mkdir(out);
  /* Into an existing directory, under the input's name. */
  ASSERT_EQ(qvcp({"mode=cp", "if=" + I + "/plain.txt", "of=" + O}).status, 0);
  EXPECT_EQ(tree_read(out + "/plain.txt"), "hello world\n");
  /* A path ending in "/" names a directory that need not exist. */
  ASSERT_EQ(qvcp({"mode=cp", "if=" + I + "/script.sh", "of=" + O + "/new/"}).status, 0);
  EXPECT_EQ(tree_read(out + "/new/script.sh"), "#!/bin/sh\necho hi\n");
  /* Otherwise the output path itself. */
  ASSERT_EQ(qvcp({"mode=cp", "if=" + I + "/big.bin", "of=" + O + "/renamed"}).status, 0);
  EXPECT_EQ(tree_read(out + "/renamed"), tree_read(in + "/big.bin"));
  struct stat st;
  ASSERT_EQ(stat((out + "/renamed").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, T0 + 30);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(copy_fixture, refusals)
{
  tree_put(top + "/afile", "x");
  run_result r = qvcp({"mode=cp", "if=" + in, "of=" + top + "/afile"});
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_NE(r.err.find("is_file"), std::string::npos) << r.err;
  r = qvcp({"mode=cp", "if=" + in, "of=" + in});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("cannot be the same"), std::string::npos) << r.err;
  r = qvcp({"mode=cp", "if=" + in, "of=" + in + "/sub/x"});
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_EQ(access((in + "/sub/x").c_str(), F_OK), -1);
  /* An output that holds the input: a sync would prune the input as an extra entry of its own. */
  std::string before = tree_read(in);
  for (const char *mode : {"mode=sync", "mode=copy_diff_size_date", "mode=cp"}) {
    r = qvcp({mode, "if=" + in + "/sub", "of=" + in});
    EXPECT_EQ(r.status, 2) << mode << r.err;
    EXPECT_NE(r.err.find("contains the input"), std::string::npos) << r.err;
    r = qvcp({mode, "if=" + in + "/sub", "of=" + in + "/sub/../."});
    EXPECT_EQ(r.status, 2) << mode << " the same output written another way";
  }
  EXPECT_EQ(tree_read(in), before) << "nothing of the input changed";
}

TEST_F(copy_fixture, a_second_run_into_the_same_output_is_refused)
{
  ASSERT_EQ(qvcp({"mode=cp", "if=" + in, "of=" + out}).status, 0);
  std::string before = tree_read(out);
  tree_put(in + "/later.txt", "later");
  /* Another run holds the output tree. */
  int fd = open(out.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
  for (const char *mode : {"mode=sync", "mode=cp"}) {
    run_result r = qvcp({mode, "if=" + in, "of=" + out});
    EXPECT_NE(r.status, 0) << mode;
    EXPECT_NE(r.err.find("in use by another run"), std::string::npos) << r.err;
  }
  EXPECT_EQ(tree_read(out), before) << "nothing written while the other run holds the tree";
  close(fd);
  EXPECT_EQ(qvcp({"mode=sync", "if=" + in, "of=" + out}).status, 0) << "free again";
  EXPECT_EQ(tree_read(out), tree_read(in));
}

TEST_F(copy_fixture, unreadable_files_are_counted_and_the_rest_copied)
{
  if (geteuid() != 0)
    GTEST_SKIP() << "needs root to run the copy as another user";
  tree_put(in + "/secret", "no", 0600, T0);
  tree_mkdir(out);
  ASSERT_EQ(chown(out.c_str(), 65534, 65534), 0);
  ASSERT_EQ(chmod((in + "/sub").c_str(), 0755), 0);
  ASSERT_EQ(chmod((in + "/sub/inner.txt").c_str(), 0644), 0);
  run_result r = run_cmd_as(65534, QVCP_BIN, {"mode=cp", "if=" + in, "of=" + out, "flag=summary"},
                            {"QV_SH_DBG", "QV_LOG_LEVEL"});
  /* secret and big.bin (0640) cannot be read, emptydir (0700) cannot be listed: counted, and with
   * the summary on the run ends with status 2; the readable files are all there. */
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_NE(r.err.find("\ni_fail_count=2\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("\nopen_dir_fail_count=1\n"), std::string::npos) << r.err;
  EXPECT_EQ(tree_read(out + "/plain.txt"), "hello world\n");
  EXPECT_EQ(tree_read(out + "/sub/deeper/leaf"), "leaf");
}

TEST_F(copy_fixture, a_full_file_system_stops_the_run_with_status_5)
{
  tree_mkdir(out);
  if (mount("tmpfs", out.c_str(), "tmpfs", 0, "size=1m") != 0)
    GTEST_SKIP() << "cannot mount a small file system here: " << strerror(errno);
  run_result r = qvcp({"mode=cp", "if=" + in, "of=" + out});
  umount2(out.c_str(), MNT_DETACH);
  EXPECT_EQ(r.status, 5) << r.err;
}

INSTANTIATE_TEST_SUITE_P(sides, copy_sides, ::testing::Values(SIDE_LOCAL, SIDE_PUSH, SIDE_PULL, SIDE_REMOTE, SIDE_PUSH | SIDE_TLS,
                                                            SIDE_PULL | SIDE_TLS),
                         [](const ::testing::TestParamInfo<int> &i) { return std::string(qvsd_side_name(i.param)); });

} // namespace
