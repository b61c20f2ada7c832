#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "libcdir/cdir_ctx.h"
#include "libcdir/cdir_work.h"
#include "librdir/librdir.h"
#include "librdir/mstat.h"

namespace {

/* The generation-2 stream of a small tree, as the listing engine writes it. */
std::string gen2_stream(std::string *root_out, uint32_t batch = 0)
{
  char tmpl[] = "/tmp/cdir_rdir.XXXXXX";
  if (!mkdtemp(tmpl))
    return "";
  std::string root = tmpl;
  mkdir((root + "/d1").c_str(), 0755);
  mkdir((root + "/d1/d2").c_str(), 0755);
  for (const char *f : {"/f1", "/d1/f2", "/d1/d2/f3", "/d1/d2/f4"}) {
    FILE *fp = fopen((root + f).c_str(), "w");
    fputs("x", fp);
    fclose(fp);
  }
  librdir_param p;
  p.flag = LIBRDIR_F_GEN2;
  p.batch = batch;
  librdir *h = librdir_open(root.c_str(), &p);
  std::string all;
  std::vector<char> buf(65536);
  while (h) {
    int n = librdir_read_item_list(h, buf.data(), static_cast<uint32_t>(buf.size()));
    if (n <= 0)
      break;
    all.append(buf.data(), static_cast<size_t>(n));
    if (all.size() >= 2 && all.compare(all.size() - 2, 2, "\r\r") == 0)
      break;
  }
  librdir_close(h);
  *root_out = root;
  return all;
}

struct parse_fixture {
  vperror err{};
  cdir_ctx ctx;
  parse_fixture()
  {
    ctx.err = &err;
    ctx.i_side.rdir2 = std::make_unique<rdir2_side>();
  }
  ~parse_fixture()
  {
    for (auto &kv : ctx.i_side.rdir2->dict) {
      mstat_free(kv.second.files);
      mstat_free(kv.second.dirs);
    }
  }
  /* Directory key -> (code, file count, directory count). */
  std::map<std::string, std::vector<uint64_t>> summary()
  {
    std::map<std::string, std::vector<uint64_t>> out;
    for (auto &kv : ctx.i_side.rdir2->dict) {
      uint64_t nf = 0, nd = 0;
      mstat_get_item(kv.second.files, &nf);
      mstat_get_item(kv.second.dirs, &nd);
      out[kv.first] = {static_cast<uint64_t>(static_cast<uint32_t>(kv.second.code)), nf, nd};
    }
    return out;
  }
};

TEST(rdir2_feed_chunk, records_split_anywhere_across_chunks_parse_the_same)
{
  for (uint32_t batch : {0u, 0x10000u}) {
  std::string root;
  std::string stream = gen2_stream(&root, batch);
  ASSERT_GT(stream.size(), 20u);
  std::map<std::string, std::vector<uint64_t>> want = {
      {"/", {0, 1, 1}}, {"/d1", {0, 1, 1}}, {"/d1/d2", {0, 2, 0}}};
  for (size_t cut = 1; cut < stream.size(); ++cut) {
    parse_fixture f;
    std::string builder;
    std::string a = stream.substr(0, cut), b = stream.substr(cut);
    int r1 = rdir2_feed_chunk(&f.ctx, true, &builder, a.data(), a.size());
    int r2 = b.empty() ? 1 : rdir2_feed_chunk(&f.ctx, true, &builder, b.data(), b.size());
    /* Only the end of the stream is final; a lone last "\r" chunk is final by itself. */
    EXPECT_EQ(r1, 0) << cut;
    EXPECT_EQ(r2, 1) << cut;
    EXPECT_EQ(f.summary(), want) << "cut at " << cut;
    EXPECT_EQ(f.err.code, 0) << cut;
  }
  std::string cmd = "rm -rf '" + root + "'";
  ASSERT_EQ(system(cmd.c_str()), 0);
  }
}

TEST(rdir2_parse_record, error_lines_finish_lines_and_invalid_records)
{
  parse_fixture f;
  std::string rec = "O /gone\nR -102";
  EXPECT_EQ(rdir2_parse_record(&f.ctx, true, rec.data()), 0);
  rec = "X 3";
  EXPECT_EQ(rdir2_parse_record(&f.ctx, true, rec.data()), 0);
  EXPECT_EQ(f.ctx.i_side.rdir2->drop_long_dirs.load(), 3);
  auto s = f.summary();
  ASSERT_EQ(s.count("/gone"), 1u);
  EXPECT_EQ(static_cast<int>(s["/gone"][0]), -102);

  /* A single line that is not a finish record is invalid data and sets the engine error. */
  rec = "E 0";
  EXPECT_EQ(rdir2_parse_record(&f.ctx, true, rec.data()), -1);
  EXPECT_EQ(f.err.code, VERR_FAIL);
}

/* A record that cannot be trusted whole is kept with an error code, never as a complete listing
 * (a sync deletes what a complete listing of the input lacks); one without a key is dropped. */
TEST(rdir2_parse_record, a_record_not_read_whole_carries_an_error_code)
{
  const std::string line = "f\t\t2\t81a4\t80\t1\t0\t0\t0\t0\t0\t1\t0\t1\t1\t";
  const std::string good = "O /x\nF " + line + "\nD " + line + "\nE 0";
  static const struct {
    std::string rec;
    bool kept; /* stored under "/x" (with an error code), else not stored at all */
  } cases[] = {
      {"O /x\nO /y\nE 0", true},          /* a second open line */
      {"O /x\nD " + line + "\nR -102", true}, /* an error line that is not second */
      {"O /x\nQ what\nE 0", true},        /* an unknown tag */
      {"O /x\nF short\tline\nE 0", true}, /* a listing line with too few fields */
      {"O /x\nF " + line, true},          /* no end line */
      {"O /x\nF " + line + "\n", true},   /* no end line, a stray line feed */
      {"O /x\n\nF " + line + "\nE 0", true}, /* an empty line */
      {"O /x\nE", true},                  /* an end line without its code */
      {"O /x\nE 0x", true},               /* an end line with a code that is not a number */
      {"O /x\nE 0\nF " + line, true},     /* lines after the end line */
      {"O /x\nE 99999999999", true},      /* a code beyond 32 bits */
      {"F " + line + "\nO /x\nE 0", false}, /* entries before the open line: no key */
      {"O \nE 0", false},                 /* an empty path */
      {"O /x\\0y\nE 0", false},           /* a path with a NUL byte in it */
  };
  for (const auto &c : cases) {
    parse_fixture f;
    std::string rec = c.rec;
    EXPECT_EQ(rdir2_parse_record(&f.ctx, true, rec.data()), -1) << c.rec;
    EXPECT_NE(f.err.code, 0) << c.rec;
    auto s = f.summary();
    if (!c.kept) {
      EXPECT_TRUE(s.empty()) << c.rec;
      continue;
    }
    ASSERT_EQ(s.size(), 1u) << c.rec;
    ASSERT_EQ(s.count("/x"), 1u) << c.rec;
    EXPECT_NE(static_cast<int>(s["/x"][0]), 0) << c.rec << ": stored as a complete listing";
  }
  /* An error line always means that the directory was not read, whatever code came with it. */
  {
    parse_fixture f;
    std::string rec = "O /x\nR 0";
    EXPECT_EQ(rdir2_parse_record(&f.ctx, true, rec.data()), 0);
    EXPECT_NE(static_cast<int>(f.summary()["/x"][0]), 0);
  }
  /* The well-formed record these break is complete. */
  parse_fixture f;
  std::string rec = good;
  EXPECT_EQ(rdir2_parse_record(&f.ctx, true, rec.data()), 0);
  EXPECT_EQ(f.err.code, 0);
  auto want = std::map<std::string, std::vector<uint64_t>>{{"/x", {0, 1, 1}}};
  EXPECT_EQ(f.summary(), want);
}

TEST(rdir2_parse_record, a_finish_line_needs_a_count)
{
  for (const char *bad : {"X", "X ", "X abc", "X 3z", "X -1"}) {
    parse_fixture f;
    std::string rec = bad;
    EXPECT_EQ(rdir2_parse_record(&f.ctx, true, rec.data()), -1) << bad;
    EXPECT_EQ(f.ctx.i_side.rdir2->drop_long_dirs.load(), 0) << bad;
  }
}

/* The directory path of an open line is escaped as names are, so every byte of it comes back. */
TEST(rdir2_parse_record, open_line_paths_are_unescaped_to_their_exact_bytes)
{
  static const struct {
    const char *rec;
    std::string key;
  } cases[] = {
      {"O /\nE 0", "/"},
      {"O /a\\\\b\nE 0", "/a\\b"},
      {"O /a\\nb\nE 0", "/a\nb"},
      {"O /c\\rd/e\nE 0", "/c\rd/e"},
      {"O /t\\tb\nE 0", "/t\tb"},
  };
  for (const auto &c : cases) {
    parse_fixture f;
    std::string rec = c.rec;
    EXPECT_EQ(rdir2_parse_record(&f.ctx, true, rec.data()), 0) << c.rec;
    auto s = f.summary();
    ASSERT_EQ(s.size(), 1u) << c.rec;
    EXPECT_EQ(s.begin()->first, c.key) << c.rec;
    EXPECT_EQ(f.ctx.i_side.parse.dir, c.key == "/" ? "" : c.key) << c.rec;
  }
}

/* What the walker gets for a directory of a generation-2 side: a listing in error is a counted
 * failure of its side; a directory the stream never walked is a length drop while the stream's
 * finish record accounts for one, and a failure of the walk after that. */
TEST(rdir2_walker, listings_in_error_and_directories_never_walked)
{
  parse_fixture f;
  f.ctx.i_info.path = "/r";
  f.ctx.o_info.path = "/o";
  f.ctx.o_side.rdir2 = std::make_unique<rdir2_side>();
  f.ctx.max_read_timeout = 50;
  const std::string line = "f\t\t2\t81a4\t80\t1\t0\t0\t0\t0\t0\t1\t0\t1\t1\t";
  const std::vector<std::string> recs = {"O /bad\nF " + line + "\nF short", "O /err\nE -250",
                                         "O /ok\nF " + line + "\nE 0", "X 1"};
  for (std::string rec : recs)
    rdir2_parse_record(&f.ctx, true, rec.data());
  f.ctx.i_side.rdir2->ended.store(1);

  auto input = [&](const char *dir) {
    cdir_task *t = cdir_task_alloc();
    t->idir = std::string("/r") + dir;
    int rc = rdir_get_idir_list(&f.ctx, t);
    if (rc == 0)
      cdir_task_free(t);
    return rc;
  };
  /* The input listing cut by a bad line and the one ended by a read error: skipped and counted. */
  EXPECT_EQ(input("/bad"), 1);
  EXPECT_EQ(input("/err"), 1);
  EXPECT_EQ(f.ctx.stat.open_dir_fail_count.load(), 2);
  EXPECT_EQ(input("/ok"), 0);
  /* Never walked: the first is the one drop the stream reported, the second is a failure. */
  EXPECT_EQ(input("/long"), 1);
  EXPECT_EQ(f.ctx.stat.i_drop_name_too_long.load(), 1);
  EXPECT_EQ(input("/lost"), -1);
  EXPECT_EQ(f.ctx.stat.i_drop_name_too_long.load(), 1);

  /* The output side: a listing in error is counted and handed over as it is, so that nothing is
   * deleted beyond what it names; a directory never walked is paired as an empty one. */
  std::string rec = "O /bad\nF " + line + "\nQ junk";
  rdir2_parse_record(&f.ctx, false, rec.data());
  rec = "X 1";
  rdir2_parse_record(&f.ctx, false, rec.data());
  f.ctx.o_side.rdir2->ended.store(1);
  for (const char *dir : {"/bad", "/long"}) {
    cdir_task t;
    t.odir = std::string("/o") + dir;
    ASSERT_EQ(rdir_get_odir_stat(&f.ctx, &t), 0) << dir;
    ASSERT_NE(t.o_files, nullptr) << dir;
    ASSERT_NE(t.o_dirs, nullptr) << dir;
    uint64_t n = 0;
    mstat_get_item(t.o_files, &n);
    EXPECT_EQ(n, dir == std::string("/bad") ? 1u : 0u) << dir;
    mstat_free(t.o_files);
    mstat_free(t.o_dirs);
    t.o_files = t.o_dirs = nullptr;
  }
  EXPECT_EQ(f.ctx.stat.o_dir_fail_count.load(), 1);
  EXPECT_EQ(f.ctx.stat.o_drop_name_too_long.load(), 1);
  for (auto &kv : f.ctx.o_side.rdir2->dict) {
    mstat_free(kv.second.files);
    mstat_free(kv.second.dirs);
  }
}

/* Directories whose names hold a backslash, a line feed, a carriage return or a TAB come through
 * the listing engine's stream under their own paths, each record whole; "d5\x" and "d5/x" stay
 * apart. */
TEST(rdir2_feed_chunk, directories_with_odd_names_arrive_under_their_exact_paths)
{
  char tmpl[] = "/tmp/cdir_rdir_odd.XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  std::string root = tmpl;
  static const char *const dirs[] = {"/d5", "/d5/x", "/d5\\x", "/a\nb", "/a\nb/c\rd", "/t\tb", "/e\\"};
  for (const char *d : dirs) {
    ASSERT_EQ(mkdir((root + d).c_str(), 0755), 0) << d;
    FILE *fp = fopen((root + d + "/f").c_str(), "w");
    ASSERT_NE(fp, nullptr);
    fclose(fp);
  }
  librdir_param p;
  p.flag = LIBRDIR_F_GEN2;
  librdir *h = librdir_open(root.c_str(), &p);
  ASSERT_NE(h, nullptr);
  parse_fixture f;
  std::string builder;
  std::vector<char> buf(4096);
  int fin = 0;
  while (fin == 0) {
    int n = librdir_read_item_list(h, buf.data(), static_cast<uint32_t>(buf.size()));
    ASSERT_GT(n, 0) << "the stream ended early";
    fin = rdir2_feed_chunk(&f.ctx, true, &builder, buf.data(), static_cast<size_t>(n));
  }
  librdir_close(h);
  std::map<std::string, std::vector<uint64_t>> want = {
      {"/", {0, 0, 5}},        {"/d5", {0, 1, 1}},  {"/d5/x", {0, 1, 0}}, {"/d5\\x", {0, 1, 0}},
      {"/a\nb", {0, 1, 1}}, {"/a\nb/c\rd", {0, 1, 0}}, {"/t\tb", {0, 1, 0}}, {"/e\\", {0, 1, 0}}};
  EXPECT_EQ(f.summary(), want);
  EXPECT_EQ(f.err.code, 0);
  std::string cmd = "rm -rf '" + root + "'";
  ASSERT_EQ(system(cmd.c_str()), 0);
}

} // namespace
