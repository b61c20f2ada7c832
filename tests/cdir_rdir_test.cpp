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

TEST(rdir2_parse_record, misplaced_open_and_error_lines_are_invalid_data_not_a_crash)
{
  static const char *const cases[] = {
      "F a\nO /x\nE 0",        /* entries before the open line: no key */
      "O /x\nO /y\nE 0",       /* a second open line */
      "O /x\nD d\nR -102",     /* an error line that is not second */
      "O /x\nQ what\nE 0",     /* an unknown tag */
      "O /x\nF short\tline\nE 0", /* a listing line with too few fields */
  };
  for (const char *c : cases) {
    parse_fixture f;
    std::string rec = c;
    rdir2_parse_record(&f.ctx, true, rec.data());
    auto s = f.summary();
    /* Whatever was kept, nothing was invented: no key other than the open line's. */
    for (const auto &kv : s)
      EXPECT_EQ(kv.first, "/x") << c;
    if (s.count("/x")) {
      EXPECT_EQ(s["/x"][1], 0u) << c;
    }
  }
}

} // namespace
