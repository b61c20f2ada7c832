/* The endpoint layer's own logic, apart from the local branches: the read loops of vrdir and
 * vmfile driven through fake operation tables that return what a test scripts (data, nothing, a
 * failure, too much), so every exit of the loops is reached without a listing engine or a batch
 * service; and the probing record when it is probed again. A fake table also shows that another
 * implementation (the remote one to come) slots in under the same calls. */
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "libcdir/cdir_ctx.h"
#include "libcdir/cdir_url.h"
#include "libcdir/vbfile.h"
#include "libcdir/vmfile.h"
#include "libcdir/vrdir.h"

namespace {

/* What one read of the fake returns: a count (the fake writes that many 'x' bytes, even past
 * what it was allowed, to stand for a broken table) or a failure. */
struct fake_script {
  std::deque<int> returns; /* when empty: 0 (nothing yet) forever */
  std::vector<uint32_t> lens; /* the len each read was given */
  std::vector<std::string> dirs; /* enum_dir arguments */
  int stops = 0;
  int closes = 0;
};

fake_script *g_script = nullptr;

int fake_next(char *buf, uint32_t len)
{
  g_script->lens.push_back(len);
  if (g_script->returns.empty())
    return 0;
  int n = g_script->returns.front();
  g_script->returns.pop_front();
  if (n > 0)
    memset(buf, 'x', static_cast<size_t>(n));
  return n;
}

int fake_enum_dir(ep_list *, const char *dir)
{
  g_script->dirs.push_back(dir);
  return 0;
}
int fake_rdir_read(ep_list *, char *buf, uint32_t len)
{
  return fake_next(buf, len);
}
void fake_rdir_stop(ep_list *)
{
  g_script->stops++;
}
void fake_rdir_close(ep_list *)
{
  g_script->closes++;
}
int fake_call(ep_batch *, int, const char *dir, const char *, uint32_t, vperror *)
{
  g_script->dirs.push_back(dir);
  return 0;
}
int fake_list_ret(ep_batch *, char *buf, uint32_t len, vperror *)
{
  return fake_next(buf, len);
}
void fake_mfile_stop(ep_batch *)
{
  g_script->stops++;
}
void fake_mfile_close(ep_batch *)
{
  g_script->closes++;
}
/* An endpoint kind with the listing and batch slots only: the loops never look further. */
const ep_ops fake_ops = {
    .name = "fake",
    .caps = EP_CAP_LOCAL, /* polled every millisecond, as a local listing is */
    .match = nullptr,
    .open = nullptr,
    .close = nullptr,
    .lookup_ids = nullptr,
    .lock_root = nullptr,
    .list_open = nullptr,
    .list_enum = fake_enum_dir,
    .list_read = fake_rdir_read,
    .list_stop = fake_rdir_stop,
    .list_close = fake_rdir_close,
    .list_drop_long_dirs = nullptr,
    .file_open = nullptr,
    .file_pread = nullptr,
    .file_pwrite = nullptr,
    .file_truncate = nullptr,
    .file_stat = nullptr,
    .file_next_data = nullptr,
    .file_copy_range = nullptr,
    .file_close = nullptr,
    .file_digest = nullptr,
    .hash_open = nullptr,
    .hash_get = nullptr,
    .hash_get2 = nullptr,
    .hash_get_bin = nullptr,
    .hash_close = nullptr,
    .create = nullptr,
    .set_attr = nullptr,
    .lutime = nullptr,
    .remove = nullptr,
    .remove_tree = nullptr,
    .hard_link = nullptr,
    .mkdirs = nullptr,
    .stat = nullptr,
    .rename = nullptr,
    .xattr_get = nullptr,
    .xattr_set = nullptr,
    .batch_open = nullptr,
    .batch_call = fake_call,
    .batch_ret = fake_list_ret,
    .batch_stop = fake_mfile_stop,
    .batch_close = fake_mfile_close,
};

class loop_fixture : public ::testing::Test {
protected:
  vperror err{};
  cdir_ctx ctx;
  fake_script script;
  /* A buffer larger than the len handed to the loops, so that writes past len are seen. */
  std::vector<char> buf = std::vector<char>(64, '#');

  void SetUp() override
  {
    ctx.err = &err;
    /* Only the time-out tests wait out a short budget; the others must never reach it, however
     * slowly a loaded machine runs their scripted empty reads. */
    ctx.max_read_timeout = 60000;
    g_script = &script;
  }
  void TearDown() override { g_script = nullptr; }

  ep fake_ep{&fake_ops, nullptr};
  ep_list fake_list{&fake_ep, nullptr};
  ep_batch fake_batch{&fake_ep, nullptr};

  vrdir *fake_rdir()
  {
    auto *v = new vrdir;
    v->l = &fake_list;
    v->ctx = &ctx;
    v->path = "/fake/root";
    return v;
  }
  vmfile *fake_mfile()
  {
    auto *m = new vmfile;
    m->b = &fake_batch;
    m->ctx = &ctx;
    return m;
  }
};

TEST_F(loop_fixture, vrdir_read_returns_the_first_data_nul_terminated_and_asks_for_len_minus_one)
{
  static const struct {
    int data;      /* what the table returns after two empty reads */
    uint32_t len;  /* the caller's buffer length */
  } cases[] = {
      {1, 16},
      {15, 16}, /* the largest count that leaves room for the NUL */
      {2, 3},   /* the smallest buffer the loop takes */
  };
  for (const auto &c : cases) {
    script = fake_script{};
    script.returns = {0, 0, c.data};
    std::fill(buf.begin(), buf.end(), '#');
    err = vperror{};
    vrdir *v = fake_rdir();
    EXPECT_EQ(vrdir_read_item_list(v, buf.data(), c.len), c.data) << c.len;
    EXPECT_EQ(buf[c.data], 0) << c.len;
    EXPECT_EQ(buf[c.data + 1], '#') << "nothing written after the NUL, len " << c.len;
    ASSERT_EQ(script.lens.size(), 3u) << "two empty reads are waited out";
    for (uint32_t l : script.lens)
      EXPECT_EQ(l, c.len - 1);
    EXPECT_EQ(err.code, 0) << err.msg;
    vrdir_close(v);
    EXPECT_EQ(script.closes, 1) << "close goes through the table";
  }
}

TEST_F(loop_fixture, vrdir_read_failures_set_the_engine_error)
{
  static const struct {
    int ret;       /* what the table returns */
    int code;      /* the engine error afterwards */
    const char *text;
  } cases[] = {
      {-1, VERR_FAIL, "listing read failed"},
      {-40, VERR_FAIL, "listing read failed"}, /* any failure of the table reads as -1 */
      /* A table that returns more than len - 1 bytes is broken; reported, never NUL-written past len. */
      {16, VERR_OVERFLOW, "returned 16 bytes"},
  };
  for (const auto &c : cases) {
    script = fake_script{};
    script.returns = {c.ret};
    err = vperror{};
    vrdir *v = fake_rdir();
    EXPECT_EQ(vrdir_read_item_list(v, buf.data(), 16), -1) << c.ret;
    EXPECT_EQ(err.code, c.code) << c.ret;
    EXPECT_NE(strstr(err.msg, c.text), nullptr) << err.msg;
    EXPECT_NE(strstr(err.msg, "/fake/root"), nullptr) << err.msg;
    vrdir_close(v);
  }
}

TEST_F(loop_fixture, vrdir_read_times_out_after_the_longest_read_time_out_with_minus_40)
{
  ctx.max_read_timeout = 40;
  vrdir *v = fake_rdir();
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(vrdir_read_item_list(v, buf.data(), 16), -1);
  auto us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count();
  /* The loop counts whole milliseconds, so its 40 may be 39 and a fraction of the test's clock. */
  EXPECT_GE(us, 39000);
  EXPECT_EQ(err.code, VERR_TIMEOUT);
  EXPECT_NE(strstr(err.msg, "max_read_timeout=40"), nullptr) << err.msg;
  EXPECT_GE(script.lens.size(), 2u) << "the table is polled, not read once";
  vrdir_close(v);
}

TEST_F(loop_fixture, vrdir_read_ends_at_once_when_the_run_stops_and_keeps_the_engine_error)
{
  ctx.max_read_timeout = 60000;
  for (int which = 0; which < 2; ++which) {
    ctx.user_stop.store(which == 0);
    ctx.err_stop.store(which == 1);
    script = fake_script{};
    err = vperror{};
    vrdir *v = fake_rdir();
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(vrdir_read_item_list(v, buf.data(), 16), -1) << which;
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5)) << which;
    EXPECT_EQ(err.code, 0) << "a stop is not an error of the read: " << err.msg;
    EXPECT_EQ(script.lens.size(), 1u) << which;
    vrdir_close(v);
  }
}

TEST_F(loop_fixture, vrdir_calls_go_through_the_table)
{
  vrdir *v = fake_rdir();
  EXPECT_EQ(vrdir_enum_dir(v, "/fake/root/sub"), 0);
  EXPECT_EQ(vrdir_enum_dir(v, nullptr), VERR_PARAM);
  ASSERT_EQ(script.dirs.size(), 1u);
  EXPECT_EQ(script.dirs[0], "/fake/root/sub") << "the full path of the side is passed on unchanged";
  vrdir_stop(v);
  EXPECT_EQ(script.stops, 1);
  /* Arguments the loop refuses before asking the table. */
  EXPECT_EQ(vrdir_read_item_list(v, buf.data(), 2), -1);
  EXPECT_EQ(vrdir_read_item_list(v, nullptr, 16), -1);
  EXPECT_EQ(vrdir_read_item_list(nullptr, buf.data(), 16), -1);
  EXPECT_TRUE(script.lens.empty());
  vrdir_close(v);
  EXPECT_EQ(script.closes, 1);
  vrdir_close(nullptr);
  vrdir_stop(nullptr);
}

TEST_F(loop_fixture, vmfile_list_ret_may_fill_the_whole_buffer)
{
  static const struct {
    int data;
    uint32_t len;
    bool nul; /* a NUL follows the data (only when there is room) */
  } cases[] = {
      {15, 16, true},
      {16, 16, false}, /* the count may equal len: nothing is written at buf[len] */
      {1, 2, true},
  };
  for (const auto &c : cases) {
    script = fake_script{};
    script.returns = {0, c.data};
    std::fill(buf.begin(), buf.end(), '#');
    err = vperror{};
    vmfile *m = fake_mfile();
    EXPECT_EQ(vmfile_list_ret(m, buf.data(), c.len, "pfx"), c.data) << c.len;
    EXPECT_EQ(buf[c.data], c.nul ? 0 : '#') << c.len;
    for (uint32_t l : script.lens)
      EXPECT_EQ(l, c.len) << "the batch result read is given the whole buffer";
    EXPECT_EQ(err.code, 0) << err.msg;
    vmfile_close(m);
  }
}

TEST_F(loop_fixture, vmfile_list_ret_failures_and_time_out_name_the_prefix)
{
  static const struct {
    std::deque<int> returns;
    int code;
    const char *text;
  } cases[] = {
      {{-1}, VERR_FAIL, "init_sync_list [/o] batch result read failed"},
      {{17}, VERR_OVERFLOW, "init_sync_list [/o] batch result read returned 17 bytes"},
      {{}, VERR_TIMEOUT, "init_sync_list [/o] read_timeout max_timeout=40"},
  };
  ctx.max_read_timeout = 40;
  for (const auto &c : cases) {
    script = fake_script{};
    script.returns = c.returns;
    err = vperror{};
    vmfile *m = fake_mfile();
    EXPECT_EQ(vmfile_list_ret(m, buf.data(), 16, "init_sync_list [/o]"), -1) << c.text;
    EXPECT_EQ(err.code, c.code) << c.text;
    EXPECT_NE(strstr(err.msg, c.text), nullptr) << err.msg;
    vmfile_close(m);
  }
  /* A stop ends the wait without an error of its own. */
  ctx.max_read_timeout = 60000;
  ctx.user_stop.store(1);
  script = fake_script{};
  err = vperror{};
  vmfile *m = fake_mfile();
  EXPECT_EQ(vmfile_list_ret(m, buf.data(), 16, "x"), -1);
  EXPECT_EQ(err.code, 0) << err.msg;
  EXPECT_EQ(vmfile_call(m, 8, "/o", "D a\n", 4), 0);
  ASSERT_EQ(script.dirs.size(), 1u);
  EXPECT_EQ(script.dirs[0], "/o");
  EXPECT_EQ(vmfile_call(m, 8, "/o", nullptr, 4), VERR_PARAM) << "a length without a list";
  vmfile_stop(m);
  EXPECT_EQ(script.stops, 1);
  vmfile_close(m);
  EXPECT_EQ(script.closes, 1);
}

/* Probing again with the same record, as a retried open does. */
class reprobe_fixture : public ::testing::Test {
protected:
  std::string root;
  vperror err{};
  cdir_ctx ctx;

  void SetUp() override
  {
    char tmpl[] = "/tmp/cdir_reprobe.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root = tmpl;
    ctx.err = &err;
    FILE *f = fopen((root + "/file").c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("abc", f);
    fclose(f);
  }
  void TearDown() override
  {
    std::string cmd = "rm -rf '" + root + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
  }
  int probe(const std::string &url, url_info *info)
  {
    err = vperror{};
    return url_init_and_get_info(&ctx, url.c_str(), 0, info, false, &err);
  }
};

TEST_F(reprobe_fixture, a_record_probed_again_keeps_nothing_of_the_earlier_root)
{
  url_info info;
  ASSERT_EQ(probe(root, &info), 0) << err.msg;
  ASSERT_TRUE(info.is_dir);
  ASSERT_NE(info.root.st_ino, 0u);

  /* existing directory -> missing path */
  ASSERT_EQ(probe(root + "/missing", &info), 0) << err.msg;
  EXPECT_TRUE(info.not_exist);
  EXPECT_FALSE(info.is_dir) << "a missing root is no directory";
  EXPECT_EQ(info.root.st_ino, 0u);
  EXPECT_EQ(info.root.type, 0u);

  /* missing -> file */
  ASSERT_EQ(probe(root + "/file", &info), 0) << err.msg;
  EXPECT_FALSE(info.not_exist);
  EXPECT_FALSE(info.is_dir);
  EXPECT_EQ(info.root.size, 3);

  /* file -> refused remote URL: the record says remote, holds no path and no volume */
  EXPECT_EQ(probe("qvp://127.0.0.1:9/x", &info), -1);
  EXPECT_FALSE(info.is_local);
  EXPECT_FALSE(info.posix_host);
  EXPECT_TRUE(info.path.empty());
  EXPECT_TRUE(info.fs.fs_name.empty());
  EXPECT_EQ(info.root.size, 0);
}

TEST_F(reprobe_fixture, null_arguments_are_refused_with_a_message)
{
  url_info info;
  EXPECT_EQ(url_init_and_get_info(&ctx, nullptr, 0, &info, false, &err), -1);
  EXPECT_EQ(err.code, VERR_PARAM);
  EXPECT_NE(strstr(err.msg, "url is null"), nullptr) << err.msg;
  err = vperror{};
  EXPECT_EQ(url_init_and_get_info(nullptr, root.c_str(), 0, &info, false, &err), -1);
  EXPECT_NE(strstr(err.msg, "ctx is null"), nullptr) << err.msg;
  EXPECT_EQ(url_init_and_get_info(&ctx, root.c_str(), 0, nullptr, false, nullptr), -1) << "a null record too";
}

/* The local vbfile branches the endpoint test does not reach: streams, FIFOs, output never
 * written through a link, a missing parent. */
TEST_F(reprobe_fixture, vbfile_creates_streams_and_fifos_and_replaces_links_on_output)
{
  url_info info;
  ASSERT_EQ(probe(root, &info), 0);
  vbfile *f = vbfile_init(&ctx, &info);
  ASSERT_NE(f, nullptr);
  file_attr a;
  a.type = TYPE_FILE;
  a.attrib_mode = 0644;
  a.uid = getuid();
  a.gid = getgid();

  /* zz paths: one part is a plain path, three a stream, anything else is refused. */
  std::string plain = root + "/zz_plain";
  std::string zz1 = plain + std::string("\0", 1);
  EXPECT_EQ(vbfile_create_file_or_dir(f, &a, zz1.c_str(), true), 0);
  EXPECT_EQ(access(plain.c_str(), F_OK), 0);
  std::string zz_s = plain + std::string("\0S\0ads\0", 7);
  EXPECT_EQ(vbfile_create_file_or_dir(f, &a, zz_s.c_str(), true), VERR_NOTSUP) << "no data streams here";
  EXPECT_EQ(err.code, VERR_NOTSUP);
  std::string zz_q = plain + std::string("\0Q\0odd\0", 7);
  EXPECT_EQ(vbfile_create_file_or_dir(f, &a, zz_q.c_str(), true), VERR_PARAM) << "unknown stream kind";
  std::string zz2 = plain + std::string("\0X\0", 3);
  EXPECT_EQ(vbfile_create_file_or_dir(f, &a, zz2.c_str(), true), VERR_PARAM) << "two parts";
  std::string zz_x = plain + std::string("\0X\0user.qv_test\0", 16);
  int rc = vbfile_create_file_or_dir(f, &a, zz_x.c_str(), true);
  if (rc == VERR_NOTSUP) {
    GTEST_LOG_(INFO) << "the file system of /tmp keeps no user extended attributes";
  } else {
    EXPECT_EQ(rc, 0) << err.msg;
    EXPECT_EQ(lgetxattr(plain.c_str(), "user.qv_test", nullptr, 0), 0) << "set with an empty value";
  }

  /* A FIFO is made, never opened (an open would block). */
  file_attr fifo = a;
  fifo.type = TYPE_DEV;
  fifo.attrib_mode = S_IFIFO | 0600;
  EXPECT_EQ(vbfile_create_file_or_dir(f, &fifo, (root + "/fifo").c_str()), 0) << err.msg;
  struct stat st;
  ASSERT_EQ(lstat((root + "/fifo").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));

  /* Opening for output where a link stands replaces the link; its target is untouched. */
  ASSERT_EQ(symlink("file", (root + "/to_file").c_str()), 0);
  ASSERT_EQ(vbfile_open_write(f, (root + "/to_file").c_str(), false, true), 0) << err.msg;
  EXPECT_EQ(vbfile_pwrite(f, "new", 3, 0), 3);
  EXPECT_EQ(vbfile_close(f, nullptr), 0);
  ASSERT_EQ(lstat((root + "/to_file").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  ASSERT_EQ(stat((root + "/file").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 3);

  /* A missing parent directory: ENOENT, -102 as the engine error, with the path. */
  err = vperror{};
  EXPECT_EQ(vbfile_open_write(f, (root + "/no/such").c_str(), true, true), VERR_FILE_NOT_FOUND);
  EXPECT_EQ(err.code, VERR_FILE_NOT_FOUND);
  EXPECT_NE(strstr(err.msg, "/no/such"), nullptr) << err.msg;
  vbfile_exit(f);
}

} // namespace
