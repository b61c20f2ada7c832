/* What the engine promises about the data it leaves behind: a file that is not complete never
 * looks complete, data seen through names the input does not link is never changed, a change of
 * attributes alone still travels, and a run that did not succeed says so in its status and on one
 * "error:" line. */
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "helpers/run_cmd.h"
#include "helpers/tree_cmp.h"

namespace {

constexpr long T0 = 1600000000;

std::string random_bytes(size_t n, unsigned seed)
{
  std::mt19937 g(seed);
  std::string s(n, '\0');
  for (auto &c : s)
    c = static_cast<char>(g());
  return s;
}

run_result qvcp(const std::vector<std::string> &args, const std::vector<std::string> &env = {})
{
  std::vector<std::string> e = {"QV_SH_DBG", "QV_LOG_LEVEL", "NO_COLOR=1"};
  e.insert(e.end(), env.begin(), env.end());
  return run_cmd(QVCP_BIN, args, e);
}

struct stat_of {
  struct stat st {};
  bool ok = false;
  explicit stat_of(const std::string &p) { ok = lstat(p.c_str(), &st) == 0; }
};

class safety_fixture : public ::testing::Test {
protected:
  std::string top, in, out;
  void SetUp() override
  {
    top = tree_tmpdir("qvcp_safety");
    ASSERT_FALSE(top.empty());
    in = top + "/in";
    out = top + "/out";
    tree_mkdir(in);
    tree_mkdir(out);
  }
  void TearDown() override { tree_rm(top); }
};

/* A run cut short by a stop request or a kill at a chosen byte of its data leaves a file that the
 * next comparison takes up again, and that one run repairs. */
TEST_F(safety_fixture, an_interrupted_update_is_never_taken_for_a_complete_one)
{
#ifndef QV_TEST_HOOKS
  GTEST_SKIP() << "needs QV_TEST_SIGNAL_AT, which only a build with QV_TEST_HOOKS=ON has";
#endif
  const size_t size = 4u << 20;
  const std::string want = random_bytes(size, 7);
  static const struct {
    const char *mode;  /* the interrupted run */
    const char *rerun; /* the run that must repair it */
  } modes[] = {
      {"mode=sync", "mode=sync"},                       /* block update in place */
      {"mode=cp", "mode=copy_diff_size_date"},          /* whole copy over an existing file */
      {"mode=copy_diff_size_date", "mode=copy_diff_size_date"},
  };
  for (const auto &m : modes)
    for (int sig : {SIGINT, SIGKILL})
      for (long at : {1L << 20, 3L << 20}) {
        std::string what = std::string(m.mode) + " signal " + std::to_string(sig) + " at " + std::to_string(at);
        tree_put(in + "/f", want, 0644, T0);
        /* The output has the input's size but other data and an older time. */
        tree_put(out + "/f", random_bytes(size, 8), 0644, T0 - 1000);
        run_result r = qvcp({m.mode, "if=" + in, "of=" + out, "bs=64k"},
                            {"QV_TEST_SIGNAL_AT=" + std::to_string(sig) + ":" + std::to_string(at)});
        /* The stop request travels through the signal thread: one that lands as the run ends finds
         * the data complete, and the run may end with 0 then. */
        if (sig == SIGINT && r.status == 0) {
          EXPECT_TRUE(tree_read(out + "/f") == want) << what << ": status 0 with incomplete data";
        } else {
          EXPECT_EQ(r.status, sig == SIGINT ? 7 : 128 + SIGKILL) << what << r.err;
        }
        stat_of o(out + "/f");
        ASSERT_TRUE(o.ok) << what;
        bool looks_current = o.st.st_size == static_cast<off_t>(size) && o.st.st_mtime >= T0 - 2 &&
                             o.st.st_mtime <= T0 + 2;
        /* A stop request may be seen only after the file is done: then it is complete. */
        if (looks_current) {
          EXPECT_TRUE(tree_read(out + "/f") == want) << what << ": looks complete and is not";
        }
        r = qvcp({m.rerun, "if=" + in, "of=" + out, "bs=64k"});
        EXPECT_EQ(r.status, 0) << what << r.err;
        EXPECT_TRUE(tree_read(out + "/f") == want) << what;
        EXPECT_EQ(stat_of(out + "/f").st.st_mtime, T0) << what;
      }
}

/* The input grows while it is copied: the run warns, counts it, and leaves the copy marked so that
 * the next run takes it again. The copy stops itself (SIGSTOP) part way so that the test can
 * change the input at a known point. */
TEST_F(safety_fixture, an_input_changed_during_its_copy_is_counted_and_copied_again)
{
#ifndef QV_TEST_HOOKS
  GTEST_SKIP() << "needs QV_TEST_SIGNAL_AT, which only a build with QV_TEST_HOOKS=ON has";
#endif
  const std::string data = random_bytes(2u << 20, 9);
  tree_put(in + "/f", data, 0644, T0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    run_cmd_apply_env({"QV_TEST_SIGNAL_AT=" + std::to_string(SIGSTOP) + ":65536", "QV_SH_DBG", "NO_COLOR=1"});
    int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 1);
    dup2(devnull, 2);
    execl(QVCP_BIN, QVCP_BIN, "mode=cp", ("if=" + in).c_str(), ("of=" + out).c_str(), "bs=64k",
          static_cast<char *>(nullptr));
    _exit(127);
  }
  int st = 0;
  ASSERT_EQ(waitpid(pid, &st, WUNTRACED), pid);
  ASSERT_TRUE(WIFSTOPPED(st)) << st;
  tree_put(in + "/f", data + "appended", 0644, T0 + 50);
  kill(pid, SIGCONT);
  ASSERT_EQ(waitpid(pid, &st, 0), pid);
  ASSERT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), 2);
  stat_of o(out + "/f");
  ASSERT_TRUE(o.ok);
  EXPECT_NE(o.st.st_mtime, T0 + 50);
  run_result r = qvcp({"mode=copy_diff_size_date", "if=" + in, "of=" + out});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(tree_read(out + "/f") == data + "appended");
}

TEST_F(safety_fixture, a_link_retargeted_to_a_target_of_the_same_length_is_updated)
{
  for (const char *mode : {"mode=sync", "mode=copy_diff_size_date"}) {
    tree_rm(in);
    tree_rm(out);
    tree_mkdir(in);
    tree_link("aaa", in + "/l");
    ASSERT_EQ(qvcp({"mode=cp", "if=" + in, "of=" + out}).status, 0);
    struct timespec ts[2];
    ASSERT_EQ(unlink((in + "/l").c_str()), 0);
    tree_link("bbb", in + "/l");
    stat_of o(out + "/l");
    ts[0] = o.st.st_atim;
    ts[1] = o.st.st_mtim;
    ASSERT_EQ(utimensat(AT_FDCWD, (in + "/l").c_str(), ts, AT_SYMLINK_NOFOLLOW), 0);
    run_result r = qvcp({mode, "if=" + in, "of=" + out, "flag=file_ops"});
    EXPECT_EQ(r.status, 0) << mode << r.err;
    EXPECT_EQ(r.out, "K " + out + "/l\n") << mode;
    char buf[16] = {};
    EXPECT_EQ(readlink((out + "/l").c_str(), buf, sizeof buf - 1), 3);
    EXPECT_STREQ(buf, "bbb") << mode;
  }
}

TEST_F(safety_fixture, a_change_of_mode_or_owner_alone_is_carried_over)
{
  tree_put(in + "/secret", "s", 0644, T0);
  tree_mkdir(in + "/d", 0755);
  for (const char *mode : {"mode=sync", "mode=copy_diff_size_date"}) {
    ASSERT_EQ(chmod((in + "/secret").c_str(), 0644), 0);
    ASSERT_EQ(chmod((in + "/d").c_str(), 0755), 0);
    ASSERT_EQ(qvcp({"mode=cp", "if=" + in, "of=" + out}).status, 0);
    ASSERT_EQ(chmod((in + "/secret").c_str(), 0600), 0);
    ASSERT_EQ(chmod((in + "/d").c_str(), 0700), 0);
    bool root = geteuid() == 0;
    if (root) {
      ASSERT_EQ(lchown((in + "/secret").c_str(), 65534, 65534), 0);
    }
    run_result r = qvcp({mode, "if=" + in, "of=" + out, "flag=file_ops"});
    EXPECT_EQ(r.status, 0) << mode << r.err;
    EXPECT_NE(r.out.find("A " + out + "/secret\n"), std::string::npos) << mode << r.out;
    EXPECT_EQ(stat_of(out + "/secret").st.st_mode & 07777, 0600u) << mode;
    EXPECT_EQ(stat_of(out + "/d").st.st_mode & 07777, 0700u) << mode;
    if (root) {
      EXPECT_EQ(stat_of(out + "/secret").st.st_uid, 65534u) << mode;
    }
    EXPECT_TRUE(tree_diff(in, out, {.dir_times = false, .owners = root}).empty()) << mode;
    /* Nothing is left to do. */
    r = qvcp({mode, "if=" + in, "of=" + out, "flag=file_ops"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "") << mode;
    if (root) {
      ASSERT_EQ(lchown((in + "/secret").c_str(), 0, 0), 0);
    }
  }
}

/* A snapshot made with hard links (cp -al) keeps its data whatever the mirror run does. */
TEST_F(safety_fixture, data_seen_through_names_the_input_does_not_link_is_never_changed)
{
  for (const char *mode : {"mode=sync", "mode=cp", "mode=copy_diff_size_date", "mode=sync_diff_size_date_bin"})
    for (const char *flag : {"--", "flag=hardlinks"}) {
      std::string what = std::string(mode) + " " + flag;
      tree_rm(top + "/snap");
      tree_put(in + "/f", "new content, longer", 0644, T0 + 100);
      tree_put(in + "/g", "same size", 0644, T0 + 100);
      tree_put(out + "/f", "old content", 0644, T0);
      tree_put(out + "/g", "other one", 0644, T0);
      tree_mkdir(top + "/snap");
      ASSERT_EQ(link((out + "/f").c_str(), (top + "/snap/f").c_str()), 0);
      ASSERT_EQ(link((out + "/g").c_str(), (top + "/snap/g").c_str()), 0);
      run_result r = qvcp({mode, "if=" + in, "of=" + out, flag});
      EXPECT_EQ(r.status, 0) << what << r.err;
      EXPECT_EQ(tree_read(out + "/f"), "new content, longer") << what;
      EXPECT_EQ(tree_read(out + "/g"), "same size") << what;
      EXPECT_EQ(tree_read(top + "/snap/f"), "old content") << what;
      EXPECT_EQ(tree_read(top + "/snap/g"), "other one") << what;
    }
}

/* The input broke a group up: the output's names stop sharing their data too. */
TEST_F(safety_fixture, a_group_the_input_split_is_split_on_the_output)
{
  tree_put(in + "/a", "one", 0644, T0);
  ASSERT_EQ(link((in + "/a").c_str(), (in + "/b").c_str()), 0);
  ASSERT_EQ(qvcp({"mode=sync", "if=" + in, "of=" + out, "flag=hardlinks"}).status, 0);
  ASSERT_EQ(stat_of(out + "/a").st.st_ino, stat_of(out + "/b").st.st_ino);
  ASSERT_EQ(unlink((in + "/b").c_str()), 0);
  tree_put(in + "/b", "one", 0644, T0);
  run_result r = qvcp({"mode=sync", "if=" + in, "of=" + out, "flag=hardlinks"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(stat_of(out + "/a").st.st_ino, stat_of(out + "/b").st.st_ino);
  /* Each name now has its own data: a later change of one leaves the other. */
  tree_put(in + "/a", "two", 0644, T0 + 10);
  ASSERT_EQ(qvcp({"mode=sync", "if=" + in, "of=" + out, "flag=hardlinks"}).status, 0);
  EXPECT_EQ(tree_read(out + "/a"), "two");
  EXPECT_EQ(tree_read(out + "/b"), "one");
}

TEST_F(safety_fixture, holes_of_a_sparse_input_stay_holes)
{
  const off_t size = 64 << 20;
  std::string path = in + "/sparse";
  int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, "head", 4, 0), 4);
  ASSERT_EQ(pwrite(fd, "middle", 6, 20 << 20), 6);
  ASSERT_EQ(ftruncate(fd, size), 0);
  close(fd);
  if (stat_of(path).st.st_blocks * 512 >= size)
    GTEST_SKIP() << "this file system keeps no holes";
  for (const char *mode : {"mode=cp", "mode=sync"}) {
    tree_rm(out);
    run_result r = qvcp({mode, "if=" + in, "of=" + out});
    ASSERT_EQ(r.status, 0) << mode << r.err;
    stat_of o(out + "/sparse");
    EXPECT_EQ(o.st.st_size, size) << mode;
    EXPECT_LT(o.st.st_blocks * 512, 1 << 20) << mode;
    EXPECT_TRUE(tree_read(out + "/sparse") == tree_read(path)) << mode;
  }
}

/* Counted failures end with status 2 whether or not the summary is shown, and every run that did
 * not succeed names its cause on one "error:" line. */
TEST_F(safety_fixture, counted_failures_and_their_cause_are_reported)
{
  if (geteuid() != 0)
    GTEST_SKIP() << "needs root to run the copy as another user";
  tree_put(in + "/readable", "r", 0644, T0);
  tree_put(in + "/closed", "c", 0000, T0);
  ASSERT_EQ(chmod(top.c_str(), 0777), 0);
  tree_rm(out);
  for (const char *flag : {"--", "flag=summary"}) {
    run_result r = run_cmd_as(65534, QVCP_BIN, {"mode=cp", "if=" + in, "of=" + out, flag},
                              {"QV_SH_DBG", "NO_COLOR=1"});
    EXPECT_EQ(r.status, 2) << flag << r.err;
    EXPECT_NE(r.err.find("error: open [" + in + "/closed] error: Permission denied\n"), std::string::npos)
        << flag << r.err;
    if (std::string(flag) == "flag=summary") {
      EXPECT_NE(r.err.find("last_errno=2 err: open [" + in + "/closed] error: Permission denied"),
                std::string::npos)
          << r.err;
    }
    EXPECT_EQ(tree_read(out + "/readable"), "r");
  }
}

/* A full disk stops the run with status 5 and says where and why. The volume is a small tmpfs in a
 * mount namespace of its own, so nothing outlives the test. */
TEST_F(safety_fixture, a_full_disk_ends_the_run_with_status_5_and_its_error_line)
{
  std::string probe = "unshare -m sh -c 'mount -t tmpfs -o size=1m tmpfs \"" + out + "\"' >/dev/null 2>&1";
  if (geteuid() != 0 || system(probe.c_str()) != 0)
    GTEST_SKIP() << "needs root, mount namespaces and tmpfs mounts";
  tree_put(in + "/big", random_bytes(3u << 20, 3), 0644, T0);
  std::string script = "mount -t tmpfs -o size=1m tmpfs '" + out + "' && exec '" QVCP_BIN "' mode=cp 'if=" +
                       in + "' 'of=" + out + "/o'";
  run_result r = run_cmd("/usr/bin/unshare", {"-m", "sh", "-c", script}, {"QV_SH_DBG", "NO_COLOR=1"});
  EXPECT_EQ(r.status, 5) << r.err;
  EXPECT_NE(r.err.find("error: write [" + out + "/o/big] error: No space left on device\n"), std::string::npos)
      << r.err;
}

} // namespace

namespace {

/* copy_no_overwrite creates what is missing and leaves everything that was there as it was;
 * copy_newer replaces only what the input has newer by more than 2 seconds. */
TEST_F(safety_fixture, the_careful_copy_modes_keep_what_they_promise_to_keep)
{
  tree_put(in + "/same_name", "input", 0644, T0 + 100);
  tree_put(in + "/older_in", "input", 0644, T0 - 100);
  tree_put(in + "/close_in_time", "input", 0644, T0 + 2);
  tree_put(in + "/new_file", "input", 0644, T0);
  tree_mkdir(in + "/d");
  tree_put(in + "/d/inner", "input", 0644, T0);
  tree_link("target", in + "/new_link");
  tree_put(out + "/same_name", "output", 0644, T0);
  tree_put(out + "/older_in", "output", 0644, T0);
  tree_put(out + "/close_in_time", "output", 0644, T0);
  tree_put(out + "/only_out", "output", 0644, T0);
  tree_mkdir(out + "/d", 0700);

  run_result r = qvcp({"mode=copy_no_overwrite", "if=" + in, "of=" + out, "flag=file_ops"});
  EXPECT_EQ(r.status, 0) << r.err;
  for (const char *kept : {"same_name", "older_in", "close_in_time", "only_out"})
    EXPECT_EQ(tree_read(out + "/" + kept), "output") << kept;
  EXPECT_EQ(tree_read(out + "/new_file"), "input");
  EXPECT_EQ(tree_read(out + "/d/inner"), "input");
  EXPECT_EQ(stat_of(out + "/d").st.st_mode & 07777, 0700u);
  EXPECT_TRUE(S_ISLNK(stat_of(out + "/new_link").st.st_mode));
  EXPECT_EQ(r.out.find("same_name"), std::string::npos) << r.out;

  r = qvcp({"mode=copy_newer", "if=" + in, "of=" + out});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(tree_read(out + "/same_name"), "input");
  EXPECT_EQ(tree_read(out + "/older_in"), "output");
  EXPECT_EQ(tree_read(out + "/close_in_time"), "output");
  /* The listed copy modes still remove what the input lacks. */
  EXPECT_NE(access((out + "/only_out").c_str(), F_OK), 0);
}

} // namespace

namespace {

/* A single-file job takes a link as a link, as a tree copy does, and a dry run creates nothing,
 * not even the directory named by a trailing slash. */
TEST_F(safety_fixture, a_single_file_job_recreates_a_link_and_a_dry_run_creates_nothing)
{
  tree_put(in + "/target", "content", 0644, T0);
  tree_link("target", in + "/lnk");
  run_result r = qvcp({"mode=cp", "if=" + in + "/lnk", "of=" + out + "/copy"});
  EXPECT_EQ(r.status, 0) << r.err;
  char buf[32] = {};
  EXPECT_EQ(readlink((out + "/copy").c_str(), buf, sizeof buf - 1), 6);
  EXPECT_STREQ(buf, "target");
  r = qvcp({"mode=cp", "if=" + in + "/target", "of=" + out + "/newdir/", "flag=dry_run,file_ops"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "+ " + out + "/newdir/target\n");
  EXPECT_FALSE(stat_of(out + "/newdir").ok);
}

/* Device nodes and sockets are made as what they are where the run may, and skipped with a warning
 * and a count where it may not; never an empty regular file in their place. */
TEST_F(safety_fixture, device_nodes_and_sockets_are_recreated_or_skipped)
{
  if (geteuid() != 0)
    GTEST_SKIP() << "needs root to make a device node";
  if (mknod((in + "/null").c_str(), S_IFCHR | 0644, makedev(1, 3)) != 0)
    GTEST_SKIP() << "this root may not make device nodes";
  ASSERT_EQ(mknod((in + "/sock").c_str(), S_IFSOCK | 0644, 0), 0);
  run_result r = qvcp({"mode=cp", "if=" + in, "of=" + out});
  EXPECT_EQ(r.status, 0) << r.err;
  stat_of dev(out + "/null"), sock(out + "/sock");
  EXPECT_TRUE(S_ISCHR(dev.st.st_mode));
  EXPECT_EQ(dev.st.st_rdev, makedev(1, 3));
  EXPECT_TRUE(S_ISSOCK(sock.st.st_mode));

  /* As another user, the device node cannot be made. */
  std::string out2 = top + "/out2";
  ASSERT_EQ(chmod(top.c_str(), 0777), 0);
  r = run_cmd_as(65534, QVCP_BIN, {"mode=cp", "if=" + in, "of=" + out2, "flag=summary"}, {"QV_SH_DBG", "NO_COLOR=1"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("qvcp: warning: [" + in + "/null] is a device node or socket: skipped"), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("skip_special_count=1"), std::string::npos) << r.err;
  EXPECT_FALSE(stat_of(out2 + "/null").ok);
  EXPECT_TRUE(S_ISSOCK(stat_of(out2 + "/sock").st.st_mode));
}

} // namespace

namespace {

/* A further name of a group is linked over whatever is in its place; what cannot be replaced (a
 * directory with entries) is a counted, reported failure. */
TEST_F(safety_fixture, a_hard_link_replaces_what_is_in_its_way_or_fails_visibly)
{
  tree_put(in + "/a", "data", 0644, T0);
  ASSERT_EQ(link((in + "/a").c_str(), (in + "/b").c_str()), 0);
  ASSERT_EQ(link((in + "/a").c_str(), (in + "/c").c_str()), 0);
  tree_mkdir(out + "/b");
  tree_mkdir(out + "/c");
  tree_put(out + "/c/inside", "x", 0644, T0);
  run_result r = qvcp({"mode=cp", "if=" + in, "of=" + out, "flag=hardlinks"});
  EXPECT_EQ(r.status, 2) << r.err;
  /* Which name comes first is the directory's order: the empty directory gives way to the file or
   * to the link, whichever it meets; the one with an entry stays. */
  EXPECT_NE(r.err.find("error: "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("[" + out + "/c] error: "), std::string::npos) << r.err;
  EXPECT_EQ(stat_of(out + "/a").st.st_ino, stat_of(out + "/b").st.st_ino);
  EXPECT_EQ(tree_read(out + "/a"), "data");
  EXPECT_EQ(tree_read(out + "/c/inside"), "x");
}

} // namespace
