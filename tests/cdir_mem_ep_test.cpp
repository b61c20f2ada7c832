/* Whole runs of the engine over the in-memory endpoint kind: a copy and a sync between two memory
 * trees, a listing that fails part way, and a local input copied and synced into memory. The engine
 * reaches both trees only through the endpoint table, so these runs hold for any kind that keeps
 * the slots' contracts. */
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "helpers/mem_ep.h"
#include "helpers/tree_cmp.h"
#include "libcdir/cdir_ctx.h"
#include "libcdir/libcdir.h"

namespace {

constexpr uint32_t BLOCK = 0x10000;            /* the engine's default block of a sync */
constexpr size_t BIG = 3 * 1024 * 1024 + 1234; /* above the 2 MiB read-ahead of the digests */

std::string pattern(size_t n, unsigned seed)
{
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    s[i] = static_cast<char>(x >> 24);
  }
  return s;
}

struct run_result {
  int status = -1;
  int64_t total_write = 0;
  std::string err;
};

/* One run, driven as the program drives it; a null kind is the one the URL names. */
run_result run(const char *mode, const std::string &in, const std::string &out, const ep_ops *i_kind,
               const ep_ops *o_kind)
{
  run_result r;
  libcdir_param p;
  libcdir_param_init(&p);
  EXPECT_EQ(libcdir_set_param_mode(&p, mode), 0) << mode;
  p.i_url = in;
  p.o_url = out;
  p.i_kind = i_kind;
  p.o_kind = o_kind;
  cdir_ctx *ctx = libcdir_open(&p);
  if (!ctx) {
    r.err = vperror_str(&p.err);
    libcdir_param_free(&p);
    return r;
  }
  r.status = libcdir_wait_stop(ctx);
  r.total_write = cdir_stat_get(ctx->stat.total_write);
  r.err = p.err.code ? vperror_str(&p.err) : "";
  libcdir_close(ctx);
  libcdir_param_free(&p);
  return r;
}

run_result run_mem(const char *mode)
{
  return run(mode, "mem:/in", "mem:/out", &mem_ep_ops, &mem_ep_ops);
}

std::string joined(const std::vector<std::string> &v)
{
  std::string s;
  for (const auto &x : v)
    s += x + "\n";
  return s;
}

/* Nested directories with modes and times of their own, files from empty to beyond 2 MiB, a link
 * to a file, a link to a directory and a dangling one. */
void build_input()
{
  ASSERT_EQ(mem_ep_mkdir("/in", 0755, 1600000100), 0);
  ASSERT_EQ(mem_ep_put("/in/empty.txt", "", 0640, 1600000001), 0);
  ASSERT_EQ(mem_ep_put("/in/small.txt", "hello\n", 0644, 1600000002), 0);
  ASSERT_EQ(mem_ep_put("/in/sub/mid.bin", pattern(100000, 1), 0600, 1600000003), 0);
  ASSERT_EQ(mem_ep_put("/in/sub/deeper/big.bin", pattern(BIG, 2), 0644, 1600000004), 0);
  ASSERT_EQ(mem_ep_put("/in/sub/deeper/tail.txt", "tail", 0444, 1600000005), 0);
  ASSERT_EQ(mem_ep_put("/in/gone/x.txt", "x", 0644, 1600000006), 0);
  ASSERT_EQ(mem_ep_mkdir("/in/emptydir", 0700, 1600000007), 0);
  ASSERT_EQ(mem_ep_link("sub/mid.bin", "/in/link"), 0);
  ASSERT_EQ(mem_ep_link("sub", "/in/dirlink"), 0);
  ASSERT_EQ(mem_ep_link("nowhere", "/in/sub/dangling"), 0);
  /* Directory times last: the builders leave them alone, the engine sets them at the end. */
  ASSERT_EQ(mem_ep_mkdir("/in/sub", 0750, 1600000008), 0);
  ASSERT_EQ(mem_ep_mkdir("/in/sub/deeper", 0755, 1600000009), 0);
  ASSERT_EQ(mem_ep_mkdir("/in/gone", 0755, 1600000010), 0);
}

class mem_ep_run : public ::testing::Test {
protected:
  void SetUp() override
  {
    mem_ep_reset();
    build_input();
  }
  void TearDown() override { mem_ep_reset(); }
};

TEST_F(mem_ep_run, copy_gives_an_identical_tree)
{
  run_result r = run_mem("cp");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(joined(mem_ep_diff(mem_ep_entries("/in"), mem_ep_entries("/out"))), "");
  /* Every data byte went through the write slot once, and the engine counted what it wrote. */
  size_t data = 6 + 100000 + BIG + 4 + 1;
  mem_ep_counters c = mem_ep_get_counters();
  EXPECT_EQ(c.pwrite_bytes, data);
  EXPECT_EQ(r.total_write, static_cast<int64_t>(data));
  EXPECT_EQ(c.removed, 0u);
}

TEST_F(mem_ep_run, sync_brings_the_output_back_and_rewrites_only_changed_blocks)
{
  ASSERT_EQ(run_mem("cp").status, 0);
  /* Input changes: one block of the big file, a file that grows, a new file, a mode, a link's
   * target; a file and a directory with content removed. */
  const uint64_t at = 16 * BLOCK + 5;
  ASSERT_EQ(mem_ep_patch("/in/sub/deeper/big.bin", at, "0123456789"), 0);
  ASSERT_EQ(mem_ep_set_mtime("/in/sub/deeper/big.bin", 1600000104), 0);
  ASSERT_EQ(mem_ep_put("/in/small.txt", "hello, world\n", 0644, 1600000102), 0);
  ASSERT_EQ(mem_ep_put("/in/sub/new.txt", "new", 0600, 1600000111), 0);
  ASSERT_EQ(mem_ep_chmod("/in/sub/mid.bin", 0640), 0);
  ASSERT_EQ(mem_ep_remove("/in/link"), 0);
  ASSERT_EQ(mem_ep_link("small.txt", "/in/link"), 0);
  ASSERT_EQ(mem_ep_remove("/in/sub/deeper/tail.txt"), 0);
  ASSERT_EQ(mem_ep_remove("/in/gone"), 0);
  /* Output extras: a file, and a directory with content, that the input never had. */
  ASSERT_EQ(mem_ep_put("/out/extra.txt", "extra"), 0);
  ASSERT_EQ(mem_ep_put("/out/sub/extra_dir/f", "f"), 0);
  mem_ep_reset_counters();

  run_result r = run_mem("sync");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(joined(mem_ep_diff(mem_ep_entries("/in"), mem_ep_entries("/out"))), "");
  mem_ep_counters c = mem_ep_get_counters();
  /* The big file got exactly its one changed block; the file whose mode alone changed got none. */
  EXPECT_EQ(c.written["/out/sub/deeper/big.bin"], BLOCK);
  EXPECT_EQ(c.written.count("/out/sub/mid.bin"), 0u);
  EXPECT_EQ(c.written["/out/sub/new.txt"], 3u);
  EXPECT_EQ(c.pwrite_bytes, static_cast<uint64_t>(r.total_write));
  EXPECT_LT(c.pwrite_bytes, 2 * BLOCK);
  /* tail.txt, gone/ with x.txt, extra.txt, extra_dir/ with f. */
  EXPECT_EQ(c.removed, 6u);

  /* Equal trees: a second sync finds nothing to write or delete, links to directories included. */
  mem_ep_reset_counters();
  r = run_mem("sync");
  ASSERT_EQ(r.status, 0) << r.err;
  c = mem_ep_get_counters();
  EXPECT_EQ(c.pwrite_calls, 0u);
  EXPECT_EQ(c.removed, 0u);
  EXPECT_EQ(joined(mem_ep_diff(mem_ep_entries("/in"), mem_ep_entries("/out"))), "");
}

TEST_F(mem_ep_run, a_listing_that_fails_part_way_fails_the_run_and_deletes_nothing_there)
{
  static const struct {
    const char *dir;     /* input directory whose listing fails */
    size_t entries;      /* entries it delivers first */
    const char *out_dir; /* its output directory */
    bool breaks;         /* the listing stream breaks instead of ending with an error code */
  } cases[] = {
      {"/in/sub", 1, "/out/sub", false},
      {"/in/sub", 0, "/out/sub", false}, /* failed before the first entry: not an empty directory */
      {"/in", 2, "/out", false},         /* the root itself */
      {"/in/sub", 0, "/out/sub", true},  /* the walk ends early: never a success */
      {"/in", 0, "/out", true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.dir) + " after " + std::to_string(c.entries) + (c.breaks ? ", broken" : ""));
    mem_ep_reset();
    build_input();
    ASSERT_EQ(run_mem("cp").status, 0);
    /* An entry that the input no longer has: the only one a complete listing would delete. */
    ASSERT_EQ(mem_ep_put(std::string(c.out_dir) + "/stale.txt", "stale"), 0);
    std::vector<std::string> before = mem_ep_names(c.out_dir);
    mem_ep_fault f;
    f.list_dir = c.dir;
    f.list_entries = c.entries;
    f.list_breaks = c.breaks;
    mem_ep_set_fault(f);
    mem_ep_reset_counters();

    run_result r = run_mem("sync");
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(mem_ep_names(c.out_dir), before);
    std::string data;
    EXPECT_EQ(mem_ep_read(std::string(c.out_dir) + "/stale.txt", &data), 0);
  }
}

TEST_F(mem_ep_run, a_write_that_fails_part_way_leaves_a_file_the_next_sync_repairs)
{
  static const struct {
    int code;
    int status;
    bool goes_on; /* the run copies the other entries */
  } cases[] = {
      {VERR_DEV_IO, 2, true},     /* counted: the run goes on */
      {VERR_DISK_FULL, 5, false}, /* stops the run */
  };
  const std::string big = "/out/sub/deeper/big.bin";
  for (const auto &c : cases) {
    SCOPED_TRACE(verr2str(c.code));
    mem_ep_reset();
    build_input();
    mem_ep_fault f;
    f.write_path = big;
    f.write_after = BIG / 2;
    f.write_code = c.code;
    mem_ep_set_fault(f);
    run_result r = run_mem("cp");
    EXPECT_EQ(r.status, c.status) << r.err;
    /* The part-written file never carries the input's time: nothing takes it for complete. */
    std::string d = joined(mem_ep_diff(mem_ep_entries("/in"), mem_ep_entries("/out")));
    EXPECT_NE(d.find("sub/deeper/big.bin: mtime"), std::string::npos) << d;
    if (c.goes_on) {
      for (size_t pos = 0; pos < d.size(); pos = d.find('\n', pos) + 1)
        EXPECT_EQ(d.compare(pos, 20, "sub/deeper/big.bin: "), 0) << d;
    }

    mem_ep_set_fault(mem_ep_fault{});
    r = run_mem("sync");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(joined(mem_ep_diff(mem_ep_entries("/in"), mem_ep_entries("/out"))), "");
  }
}

TEST_F(mem_ep_run, local_input_copies_and_syncs_into_memory)
{
  std::string in = tree_tmpdir("mem_ep_in");
  ASSERT_FALSE(in.empty());
  ASSERT_NO_FATAL_FAILURE(tree_mkdir(in + "/a", 0750));
  ASSERT_NO_FATAL_FAILURE(tree_mkdir(in + "/a/b", 0700));
  ASSERT_NO_FATAL_FAILURE(tree_put(in + "/a/b/big.bin", pattern(BIG, 3), 0644, 1600000200));
  ASSERT_NO_FATAL_FAILURE(tree_put(in + "/a/empty", "", 0600, 1600000201));
  ASSERT_NO_FATAL_FAILURE(tree_put(in + "/top.txt", "top", 0664, 1600000202));
  ASSERT_NO_FATAL_FAILURE(tree_link("a/b/big.bin", in + "/link"));

  run_result r = run("cp", in, "mem:/out", nullptr, &mem_ep_ops);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(joined(mem_ep_diff(mem_ep_local_entries(in), mem_ep_entries("/out"))), "");

  /* A block sync digests the local file and the memory one with the same service: one changed
   * block travels. */
  FILE *fp = fopen((in + "/a/b/big.bin").c_str(), "r+b");
  ASSERT_NE(fp, nullptr);
  ASSERT_EQ(fseek(fp, 2 * BLOCK + 7, SEEK_SET), 0);
  ASSERT_EQ(fwrite("XYZ", 1, 3, fp), 3u);
  fclose(fp);
  ASSERT_NO_FATAL_FAILURE(tree_put(in + "/a/b/big2.bin", "second", 0644, 1600000203));
  ASSERT_EQ(unlink((in + "/top.txt").c_str()), 0);
  struct timespec ts[2] = {{1600000300, 0}, {1600000300, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, (in + "/a/b/big.bin").c_str(), ts, 0), 0);
  mem_ep_reset_counters();

  r = run("sync", in, "mem:/out", nullptr, &mem_ep_ops);
  EXPECT_EQ(r.status, 0) << r.err;
  mem_ep_counters c = mem_ep_get_counters();
  EXPECT_EQ(c.written["/out/a/b/big.bin"], BLOCK);
  EXPECT_EQ(c.removed, 1u);
  /* Directory times of the local input moved with the changes; the sync keeps the output's. */
  std::vector<mem_ep_entry> want = mem_ep_local_entries(in), got = mem_ep_entries("/out");
  for (auto *v : {&want, &got})
    for (mem_ep_entry &x : *v)
      if (x.kind == 'd')
        x.mtime = 0;
  EXPECT_EQ(joined(mem_ep_diff(want, got)), "");
  tree_rm(in);
}

} // namespace

namespace {

/* A copy into a root that does not exist yet creates it on its own side, whatever kind of tree
 * that is, also when the input has no sub-directory whose creation would make it on the way. */
TEST(mem_ep_root, a_copy_creates_a_missing_output_root)
{
  mem_ep_reset();
  ASSERT_EQ(mem_ep_mkdir("/flat", 0755, 1600000100), 0);
  ASSERT_EQ(mem_ep_put("/flat/a.txt", "a", 0644, 1600000001), 0);
  ASSERT_EQ(mem_ep_put("/flat/b.txt", "bb", 0644, 1600000002), 0);
  for (const char *mode : {"cp", "copy_diff_size_date", "sync"}) {
    std::string out = std::string("/o_") + mode;
    run_result r = run(mode, "mem:/flat", "mem:" + out, &mem_ep_ops, &mem_ep_ops);
    EXPECT_EQ(r.status, 0) << mode << r.err;
    std::string data;
    EXPECT_EQ(mem_ep_read(out + "/b.txt", &data), 0) << mode;
    EXPECT_EQ(data, "bb") << mode;
  }
  mem_ep_reset();
}

} // namespace
