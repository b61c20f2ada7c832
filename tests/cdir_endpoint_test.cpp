#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "libcdir/cdir_ctx.h"
#include "libcdir/cdir_url.h"
#include "libcdir/vbfile.h"
#include "libcdir/vmfile.h"
#include "libcdir/vrdir.h"
#include "librdir/librdir.h"

namespace {

class endpoint_fixture : public ::testing::Test {
protected:
  std::string root;
  vperror err{};
  cdir_ctx ctx;

  void SetUp() override
  {
    char tmpl[] = "/tmp/cdir_ep.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root = tmpl;
    ctx.err = &err;
    ctx.max_read_timeout = 200;
    FILE *f = fopen((root + "/file").c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("12345", f);
    fclose(f);
    ASSERT_EQ(mkdir((root + "/dir").c_str(), 0755), 0);
    ASSERT_EQ(symlink("dir", (root + "/dirlink").c_str()), 0);
  }
  void TearDown() override
  {
    std::string cmd = "rm -rf '" + root + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
  }
  int probe(const std::string &url, url_info *info, bool is_output = false)
  {
    err = vperror{};
    return url_init_and_get_info(&ctx, url.c_str(), 0, info, is_output, &err);
  }
};

TEST_F(endpoint_fixture, probing_local_paths)
{
  static const struct {
    const char *rel;     /* appended to the root */
    int rc;
    bool not_exist, is_dir;
    const char *path_rel; /* the normalised path, relative to the root */
  } cases[] = {
      {"", 0, false, true, ""},
      {"/", 0, false, true, ""},
      {"//dir///", 0, false, true, "/dir"},
      {"\\dir\\", 0, false, true, "/dir"},
      {"/file", 0, false, false, "/file"},
      {"/dirlink", 0, false, true, "/dirlink"}, /* a root given as a link to a directory is a directory */
      {"/missing/deeper", 0, true, false, "/missing/deeper"},
  };
  for (const auto &c : cases) {
    url_info info;
    EXPECT_EQ(probe(root + c.rel, &info), c.rc) << c.rel << " " << err.msg;
    EXPECT_EQ(info.not_exist, c.not_exist) << c.rel;
    EXPECT_EQ(info.is_dir, c.is_dir) << c.rel;
    EXPECT_EQ(info.path, root + c.path_rel) << c.rel;
    EXPECT_TRUE(info.is_local);
    EXPECT_TRUE(info.posix_host) << c.rel;
    /* Even a missing root gets the volume it is going to be created on. */
    EXPECT_FALSE(info.fs.fs_name.empty()) << c.rel;
    EXPECT_GT(info.fs.name_len, 0u);
    EXPECT_GE(info.fs.total_bytes, info.fs.free_bytes);
    EXPECT_GE(info.fs.free_bytes, info.fs.avail_bytes);
    EXPECT_FALSE(info.fs.flags & VOL_F_WINDOWS);
  }
  url_info info;
  EXPECT_EQ(probe("loc://" + root + "/file", &info), 0);
  EXPECT_EQ(info.path, root + "/file");
  EXPECT_EQ(probe("file://" + root, &info), 0);
  EXPECT_TRUE(info.is_dir);
}

TEST_F(endpoint_fixture, probing_refusals_say_why)
{
  static const struct {
    std::string url;
    int code;
    const char *text;
  } cases[] = {
      /* A server that is not there is named with its port (the code is the transport's). */
      {"qvp://127.0.0.1:9/x", 0, "127.0.0.1:9"},
      {"qvps://no-such-host.invalid/x", 0, "no-such-host.invalid:6686"},
      {"///no_such_profile_qv/x", VERR_FILE_NOT_FOUND, "no connection profiles here"},
      {"/" + std::string(5000, 'a'), VERR_NAME_TOO_LONG, "too long"},
      {std::string(9000, 'b'), VERR_NAME_TOO_LONG, "too long"},
      {"   ", VERR_PARAM, "empty path"},
  };
  for (const auto &c : cases) {
    url_info info;
    EXPECT_EQ(probe(c.url, &info), -1) << c.url.substr(0, 40);
    if (c.code)
      EXPECT_EQ(err.code, c.code) << c.url.substr(0, 40);
    else
      EXPECT_LT(err.code, 0) << c.url.substr(0, 40);
    EXPECT_NE(strstr(err.msg, c.text), nullptr) << err.msg;
  }
}

TEST_F(endpoint_fixture, output_side_resolves_default_owner_and_group)
{
  url_info info;
  ctx.p.user_name = "root";
  ctx.p.group_name = "0";
  EXPECT_EQ(probe(root, &info, true), 0) << err.msg;
  EXPECT_EQ(ctx.default_uid, 0u);
  EXPECT_EQ(ctx.default_gid, 0u);

  ctx.p.user_name = "no_such_user_qv";
  EXPECT_EQ(probe(root, &info, true), -1);
  EXPECT_NE(strstr(err.msg, "uid name=[no_such_user_qv] not exist"), nullptr) << err.msg;
  ctx.p.user_name.clear();
  ctx.p.group_name = "no_such_group_qv";
  EXPECT_EQ(probe(root, &info, true), -1);
  EXPECT_NE(strstr(err.msg, "no_such_group_qv"), nullptr) << err.msg;
  /* The input side does not look owners up. */
  EXPECT_EQ(probe(root, &info, false), 0);
}

TEST_F(endpoint_fixture, vbfile_reads_writes_truncates_and_closes_with_attributes)
{
  url_info info;
  ASSERT_EQ(probe(root, &info), 0);
  vbfile *f = vbfile_init(&ctx, &info);
  ASSERT_NE(f, nullptr);
  std::string path = root + "/out";
  ASSERT_EQ(vbfile_open_write(f, path.c_str(), false, true), 0);
  std::string data(300000, 'x');
  for (size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<char>('a' + i % 26);
  EXPECT_EQ(vbfile_pwrite(f, data.data(), data.size(), 0), static_cast<int64_t>(data.size()));
  EXPECT_EQ(vbfile_pwrite(f, "ZZ", 2, 10), 2);
  EXPECT_EQ(vbfile_truncate(f, 200000), 0);
  file_attr a;
  a.type = TYPE_FILE;
  a.attrib_mode = 0640;
  a.uid = getuid();
  a.gid = getgid();
  a.time_access = 1000000000;
  a.time_write = 1100000000;
  EXPECT_EQ(vbfile_close(f, &a), 0);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 200000);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(st.st_mtime, 1100000000);

  /* Block sync keeps the content; reads stop short only at the end. */
  ASSERT_EQ(vbfile_open_write(f, path.c_str(), true, true), 0);
  std::vector<char> buf(1000);
  EXPECT_EQ(vbfile_pread(f, buf.data(), 12, 0), 12);
  EXPECT_EQ(std::string(buf.data(), 12), "abcdefghijZZ");
  EXPECT_EQ(vbfile_pread(f, buf.data(), 1000, 199990), 10);
  EXPECT_EQ(vbfile_close(f, nullptr), 0);
  EXPECT_EQ(vbfile_close(f, nullptr), 0) << "closing twice is harmless";
  EXPECT_EQ(vbfile_mread(f), 0);

  /* Failures become the engine error, with the path. */
  EXPECT_EQ(vbfile_open_read(f, (root + "/none").c_str()), VERR_FILE_NOT_FOUND);
  EXPECT_EQ(err.code, VERR_FILE_NOT_FOUND);
  EXPECT_NE(strstr(err.msg, "/none"), nullptr) << err.msg;
  EXPECT_EQ(vbfile_pread(f, buf.data(), 10, 0), VERR_HANDLE) << "no file is open";
  vbfile_exit(f);
}

TEST_F(endpoint_fixture, vbfile_creates_entries_and_sets_times_without_following_links)
{
  url_info info;
  ASSERT_EQ(probe(root, &info), 0);
  vbfile *f = vbfile_init(&ctx, &info);
  ASSERT_NE(f, nullptr);
  file_attr d;
  d.type = TYPE_DIR;
  d.attrib_mode = 0750;
  d.time_write = 1200000000;
  d.time_access = 1200000000;
  EXPECT_EQ(vbfile_create_file_or_dir(f, &d, (root + "/n1/n2").c_str()), 0);
  struct stat st;
  ASSERT_EQ(stat((root + "/n1/n2").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0750u);
  EXPECT_EQ(st.st_mtime, 1200000000);

  file_attr l;
  l.type = TYPE_FILE | TYPE_F_SYMLINK;
  l.link_name = "file";
  EXPECT_EQ(vbfile_create_file_or_dir(f, &l, (root + "/ln").c_str()), 0);
  /* An existing entry is replaced by the link. */
  l.link_name = "dir";
  EXPECT_EQ(vbfile_create_file_or_dir(f, &l, (root + "/ln").c_str()), 0);
  char target[64] = {};
  ASSERT_GT(readlink((root + "/ln").c_str(), target, sizeof target - 1), 0);
  EXPECT_STREQ(target, "dir");

  file_attr e;
  e.type = TYPE_FILE;
  e.attrib_mode = 0600;
  EXPECT_EQ(vbfile_create_file_or_dir(f, &e, (root + "/empty").c_str()), 0);
  ASSERT_EQ(stat((root + "/empty").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 0);

  file_attr t;
  t.time_access = 1300000000;
  t.time_write = 1300000001;
  EXPECT_EQ(vbfile_lutime(f, &t, (root + "/ln").c_str()), 0);
  ASSERT_EQ(lstat((root + "/ln").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1300000001);
  ASSERT_EQ(stat((root + "/dir").c_str(), &st), 0);
  EXPECT_NE(st.st_mtime, 1300000001) << "the link's target is untouched";

  e.type = TYPE_FILE | TYPE_F_JUNCTION;
  EXPECT_EQ(vbfile_create_file_or_dir(f, &e, (root + "/j").c_str()), VERR_NOTSUP);
  vbfile_exit(f);
}

TEST_F(endpoint_fixture, vrdir_lists_creates_a_missing_output_root_and_times_out)
{
  url_info out;
  ASSERT_EQ(probe(root + "/new/out", &out, true), 0);
  ASSERT_TRUE(out.not_exist);
  vrdir_param p;
  p.mkdirs = true;
  vrdir *v = vrdir_open(&ctx, &out, true, &p);
  ASSERT_NE(v, nullptr) << err.msg;
  EXPECT_FALSE(out.not_exist);
  struct stat st;
  EXPECT_EQ(stat((root + "/new/out").c_str(), &st), 0);
  std::vector<char> buf(1 << 20);
  /* The empty root: each of the two chunks carries only its end message. */
  int n = vrdir_read_item_list(v, buf.data(), static_cast<uint32_t>(buf.size()));
  ASSERT_GT(n, 0);
  EXPECT_EQ(static_cast<size_t>(n), strlen(buf.data()));
  n = vrdir_read_item_list(v, buf.data(), static_cast<uint32_t>(buf.size()));
  ASSERT_GT(n, 0);
  /* Nothing more was asked for: after the longest read time-out the engine error is -40. */
  err = vperror{};
  EXPECT_EQ(vrdir_read_item_list(v, buf.data(), static_cast<uint32_t>(buf.size())), -1);
  EXPECT_EQ(err.code, VERR_TIMEOUT);
  /* A stop request ends a read at once. */
  ctx.max_read_timeout = 60000;
  ctx.user_stop.store(1);
  EXPECT_EQ(vrdir_read_item_list(v, buf.data(), static_cast<uint32_t>(buf.size())), -1);
  ctx.user_stop.store(0);
  vrdir_close(v);

  /* Both generations list the input root with its entries. */
  url_info in;
  ASSERT_EQ(probe(root, &in), 0);
  for (uint32_t flag : {0u, static_cast<uint32_t>(LIBRDIR_F_GEN2)}) {
    vrdir_param ip;
    ip.flag = flag;
    v = vrdir_open(&ctx, &in, false, &ip);
    ASSERT_NE(v, nullptr);
    std::string all;
    /* Chunks hold whatever the engine had queued: read until the entry shows up. */
    for (int i = 0; i < 100 && all.find("file\t") == std::string::npos; ++i) {
      n = vrdir_read_item_list(v, buf.data(), static_cast<uint32_t>(buf.size()));
      if (n > 0)
        all += buf.data();
      else
        ADD_FAILURE() << "read " << i << " gave " << n << " " << err.msg;
    }
    EXPECT_NE(all.find("file\t"), std::string::npos) << flag;
    vrdir_close(v);
  }

  /* A side that is not there is not listed, and the output side without mkdirs is not created. */
  url_info gone;
  ASSERT_EQ(probe(root + "/gone", &gone, true), 0);
  vrdir_param np;
  EXPECT_EQ(vrdir_open(&ctx, &gone, true, &np), nullptr);
  EXPECT_EQ(access((root + "/gone").c_str(), F_OK), -1);
}

TEST_F(endpoint_fixture, batch_lists_open_on_a_local_side)
{
  libcdir_mfile_opt o;
  url_info info;
  ASSERT_EQ(probe(root, &info), 0) << err.msg;
  vmfile *m = vmfile_open(&ctx, &info, &o);
  EXPECT_NE(m, nullptr) << err.msg;
  vmfile_close(m);
}

} // namespace
