/* The local endpoint reaches only its own tree: paths are resolved beneath the root without
 * following a symbolic link in any component, so a directory swapped for a link to somewhere else
 * is never read, written or emptied through, on kernels with openat2 and on the component walk
 * that kernels without it use. Also the slots the engine relies on for safe changes: create
 * without replacing, hard links over what is in the way, rename without replacing, the root lock,
 * holes. */
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "libep/ep.h"
#include "libep/ep_beneath.h"

namespace {

std::string slurp(const std::string &path)
{
  std::ifstream f(path);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

void put(const std::string &path, const std::string &data)
{
  FILE *f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path;
  fwrite(data.data(), 1, data.size(), f);
  fclose(f);
}

/* top/tree is the endpoint's root, top/victim a directory outside it that must stay untouched. */
class ep_local_fixture : public ::testing::TestWithParam<bool> {
protected:
  std::string top, root, victim;
  vperror err{};
  ep_info info;
  ep *e = nullptr;

  void SetUp() override
  {
    ep_beneath_force_walk(GetParam());
    char tmpl[] = "/tmp/ep_local.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    top = tmpl;
    root = top + "/tree";
    victim = top + "/victim";
    ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root + "/d").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root + "/d/sub").c_str(), 0755), 0);
    put(root + "/d/f", "inside");
    ASSERT_EQ(mkdir(victim.c_str(), 0755), 0);
    put(victim + "/secret", "victim data");
    ASSERT_EQ(mkdir((victim + "/sub").c_str(), 0755), 0);
    e = ep_open(root.c_str(), nullptr, &info, &err);
    ASSERT_NE(e, nullptr) << err.msg;
  }
  void TearDown() override
  {
    ep_close(e);
    ep_beneath_force_walk(false);
    std::string cmd = "rm -rf '" + top + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
  }
  /* Replaces root/d by a link to the victim directory, as a hostile user of the tree may do in
   * the middle of a run. */
  void swap_d_for_link()
  {
    ASSERT_EQ(rename((root + "/d").c_str(), (top + "/d.moved").c_str()), 0);
    ASSERT_EQ(symlink(victim.c_str(), (root + "/d").c_str()), 0);
  }
  void expect_victim_intact()
  {
    EXPECT_EQ(slurp(victim + "/secret"), "victim data");
    struct stat st;
    EXPECT_EQ(stat((victim + "/sub").c_str(), &st), 0);
    EXPECT_NE(access((victim + "/new").c_str(), F_OK), 0) << "nothing created in the victim";
  }
};

TEST_P(ep_local_fixture, probing_fills_the_record_and_refuses_paths_outside_the_tree)
{
  EXPECT_STREQ(ep_name(e), "local");
  EXPECT_TRUE(ep_has_cap(e, EP_CAP_LOCAL));
  EXPECT_TRUE(info.is_local);
  EXPECT_TRUE(info.is_dir);
  EXPECT_EQ(info.path, root);
  os_dirent d;
  EXPECT_EQ(ep_stat(e, (root + "/d/f").c_str(), &d, &err), 0) << err.msg;
  EXPECT_EQ(d.size, 6);
  EXPECT_STREQ(d.name, "f");
  for (std::string bad : {victim + "/secret", top + "/tree2/x", root + "/../victim/secret", std::string("/etc/passwd")}) {
    err = vperror{};
    EXPECT_LT(ep_stat(e, bad.c_str(), &d, &err), 0) << bad;
    EXPECT_NE(err.code, 0) << bad;
    EXPECT_EQ(ep_file_open(e, bad.c_str(), EP_O_READ, &err), nullptr) << bad;
  }
}

TEST_P(ep_local_fixture, a_directory_swapped_for_a_link_is_never_followed)
{
  /* Resolve the parent once before the swap, so a cached descriptor is in play too. */
  os_dirent d;
  ASSERT_EQ(ep_stat(e, (root + "/d/f").c_str(), &d, &err), 0) << err.msg;
  swap_d_for_link();
  file_attr fa;
  fa.type = TYPE_FILE;
  fa.attrib_mode = S_IFREG | 0644;
  file_attr da = fa;
  da.type = TYPE_DIR;
  da.attrib_mode = S_IFDIR | 0755;
  /* The removal of a directory elsewhere drops cached parents, as a run's own changes do. */
  ASSERT_EQ(mkdir((root + "/e").c_str(), 0755), 0);
  ASSERT_EQ(ep_remove(e, (root + "/e").c_str(), 0, &err), 0) << err.msg;

  const std::string in = root + "/d";
  struct {
    const char *what;
    int rc;
  } calls[] = {
      {"create", ep_create(e, (in + "/new").c_str(), &fa, 0, &err)},
      {"mkdir", ep_create(e, (in + "/new").c_str(), &da, 0, &err)},
      {"mkdirs", ep_mkdirs(e, (in + "/new/deeper").c_str(), 0755, &err)},
      {"remove", ep_remove(e, (in + "/secret").c_str(), 0, &err)},
      {"remove_tree", ep_remove_tree(e, (in + "/sub").c_str(), &err)},
      {"set_attr", ep_set_attr(e, (in + "/secret").c_str(), &fa, &err)},
      {"lutime", ep_lutime(e, (in + "/secret").c_str(), 1, 1, &err)},
      {"stat", ep_stat(e, (in + "/secret").c_str(), &d, &err)},
      {"hard_link", ep_hard_link(e, (in + "/secret").c_str(), (root + "/stolen").c_str(), &err)},
      {"rename", ep_rename(e, (in + "/secret").c_str(), (root + "/stolen").c_str(), false, &err)},
  };
  for (const auto &c : calls)
    EXPECT_LT(c.rc, 0) << c.what;
  for (int how : {EP_O_READ, EP_O_WRITE, EP_O_SYNC}) {
    err = vperror{};
    EXPECT_EQ(ep_file_open(e, (in + "/secret").c_str(), how, &err), nullptr) << how;
    EXPECT_EQ(err.code, VERR_LOOP) << how << " " << err.msg;
  }
  expect_victim_intact();
  EXPECT_NE(access((root + "/stolen").c_str(), F_OK), 0);
  /* The link itself is an entry of the tree: it can be removed like any other. */
  EXPECT_EQ(ep_remove(e, in.c_str(), 0, &err), 0) << err.msg;
  expect_victim_intact();
}

TEST_P(ep_local_fixture, a_file_swapped_for_a_link_is_neither_read_nor_written_through)
{
  ASSERT_EQ(unlink((root + "/d/f").c_str()), 0);
  ASSERT_EQ(symlink((victim + "/secret").c_str(), (root + "/d/f").c_str()), 0);
  EXPECT_EQ(ep_file_open(e, (root + "/d/f").c_str(), EP_O_READ, &err), nullptr) << "a link is not read through";
  /* Output replaces the link by a file of its own. */
  ep_file *f = ep_file_open(e, (root + "/d/f").c_str(), EP_O_WRITE, &err);
  ASSERT_NE(f, nullptr) << err.msg;
  EXPECT_EQ(ep_file_pwrite(f, "mine", 4, 0, &err), 4);
  EXPECT_EQ(ep_file_close(f, nullptr, &err), 0);
  EXPECT_EQ(slurp(root + "/d/f"), "mine");
  expect_victim_intact();
  /* A FIFO where a file was listed is refused at once, not waited on. */
  ASSERT_EQ(mkfifo((root + "/d/fifo").c_str(), 0600), 0);
  EXPECT_EQ(ep_file_open(e, (root + "/d/fifo").c_str(), EP_O_READ, &err), nullptr);
}

TEST_P(ep_local_fixture, safe_changes_create_without_replacing_link_over_what_is_in_the_way_rename)
{
  file_attr fa;
  fa.type = TYPE_FILE;
  fa.attrib_mode = S_IFREG | 0600;
  fa.uid = getuid();
  fa.gid = getgid();
  fa.time_write = 1000000000;
  fa.time_access = 1000000000;
  /* Without replacing: an existing file keeps its content. */
  EXPECT_EQ(ep_create(e, (root + "/d/f").c_str(), &fa, EP_C_NOREPLACE, &err), VERR_EXISTS);
  EXPECT_EQ(slurp(root + "/d/f"), "inside");
  ASSERT_EQ(ep_create(e, (root + "/d/g").c_str(), &fa, EP_C_NOREPLACE, &err), 0) << err.msg;
  struct stat st;
  ASSERT_EQ(lstat((root + "/d/g").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(st.st_mtime, 1000000000);

  /* A hard link replaces an empty directory, a file and a link that stand in its place. */
  ASSERT_EQ(mkdir((root + "/d/l1").c_str(), 0755), 0);
  put(root + "/d/l2", "other");
  ASSERT_EQ(symlink("f", (root + "/d/l3").c_str()), 0);
  struct stat fst;
  ASSERT_EQ(stat((root + "/d/f").c_str(), &fst), 0);
  for (const char *n : {"l1", "l2", "l3", "l4"}) {
    std::string p = root + "/d/" + n;
    EXPECT_EQ(ep_hard_link(e, (root + "/d/f").c_str(), p.c_str(), &err), 0) << n << " " << err.msg;
    ASSERT_EQ(lstat(p.c_str(), &st), 0) << n;
    EXPECT_EQ(st.st_ino, fst.st_ino) << n;
  }
  EXPECT_EQ(ep_hard_link(e, (root + "/d/f").c_str(), (root + "/d/l2").c_str(), &err), 0) << "already that file";

  /* Rename without replacing refuses; with replacing it replaces. */
  EXPECT_EQ(ep_rename(e, (root + "/d/g").c_str(), (root + "/d/f").c_str(), true, &err), VERR_EXISTS);
  EXPECT_EQ(ep_rename(e, (root + "/d/g").c_str(), (root + "/d/h").c_str(), true, &err), 0) << err.msg;
  EXPECT_EQ(ep_rename(e, (root + "/d/h").c_str(), (root + "/d/f").c_str(), false, &err), 0) << err.msg;
  EXPECT_EQ(slurp(root + "/d/f"), "");

  /* remove_tree takes a directory with what is in it, and never what a link in it points to. */
  ASSERT_EQ(symlink(victim.c_str(), (root + "/d/sub/out").c_str()), 0);
  put(root + "/d/sub/x", "x");
  EXPECT_EQ(ep_remove_tree(e, (root + "/d/sub").c_str(), &err), 0) << err.msg;
  EXPECT_NE(access((root + "/d/sub").c_str(), F_OK), 0);
  expect_victim_intact();
  EXPECT_LT(ep_remove(e, root.c_str(), 0, &err), 0) << "the root is never removed";
}

TEST_P(ep_local_fixture, the_root_lock_admits_one_run_and_holes_are_found)
{
  ASSERT_EQ(ep_lock_root(e, &err), 0) << err.msg;
  ep_info other_info;
  ep *other = ep_open(root.c_str(), nullptr, &other_info, &err);
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(ep_lock_root(other, &err), VERR_LOCK);
  EXPECT_NE(strstr(err.msg, "in use by another run"), nullptr) << err.msg;
  ep_close(e);
  e = nullptr;
  EXPECT_EQ(ep_lock_root(other, &err), 0) << "free once the first run closed its endpoint";
  e = other;

  /* A file with data at 0 and at 1 MiB and a hole between (where the file system keeps holes). */
  std::string sparse = root + "/sparse";
  int fd = open(sparse.c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, "a", 1, 0), 1);
  ASSERT_EQ(pwrite(fd, "b", 1, 1 << 20), 1);
  close(fd);
  ep_file *f = ep_file_open(e, sparse.c_str(), EP_O_READ, &err);
  ASSERT_NE(f, nullptr) << err.msg;
  uint64_t a = 0, b = 0;
  ASSERT_EQ(ep_file_next_data(f, 0, &a, &b, &err), 0);
  EXPECT_EQ(a, 0u);
  ASSERT_EQ(ep_file_next_data(f, b, &a, &b, &err), 0);
  EXPECT_LE(a, 1u << 20);
  EXPECT_EQ(b, (1u << 20) + 1);
  EXPECT_EQ(ep_file_next_data(f, b, &a, &b, &err), 1) << "no data after the end";
  os_dirent d;
  EXPECT_EQ(ep_file_stat(f, &d, &err), 0);
  EXPECT_EQ(d.size, (1 << 20) + 1);
  EXPECT_EQ(ep_file_close(f, nullptr, &err), 0);
  /* The batch slots are filled: a job opens on the tree and closes. */
  ep_batch *job = ep_batch_open(e, &err);
  EXPECT_NE(job, nullptr) << err.msg;
  ep_batch_close(job);
}

INSTANTIATE_TEST_SUITE_P(resolution, ep_local_fixture, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &p) { return p.param ? "walk" : "openat2"; });

} // namespace
