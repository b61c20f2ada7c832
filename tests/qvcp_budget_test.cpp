/* The deletion budget: an empty input never wipes a mirror, and max_delete= bounds what one run
 * deletes. */
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "helpers/run_cmd.h"
#include "helpers/tree_cmp.h"

namespace {

long long counter(const std::string &log, const std::string &name)
{
  size_t at = log.find(name + "=");
  return at == std::string::npos ? -1 : atoll(log.c_str() + at + name.size() + 1);
}

size_t count_lines(const std::string &text, const std::string &part)
{
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++n;
  return n;
}

bool exists(const std::string &p)
{
  struct stat st;
  return lstat(p.c_str(), &st) == 0;
}

class budget_fixture : public ::testing::Test {
protected:
  std::string top, in, out;
  void SetUp() override
  {
    top = tree_tmpdir("qvcp_budget");
    ASSERT_FALSE(top.empty());
    in = top + "/in";
    out = top + "/out";
  }
  void TearDown() override { tree_rm(top); }
  /* The output holds five entries the input lacks: three files, a link and a directory with a
   * file in it. A populated input adds one file of its own. */
  void prepare(bool populated)
  {
    tree_rm(in);
    tree_rm(out);
    tree_mkdir(in);
    tree_mkdir(out);
    if (populated)
      tree_put(in + "/keep", "k");
    for (const char *n : {"x1", "x2", "x3"})
      tree_put(out + "/" + n, n);
    tree_link("x1", out + "/xl");
    tree_mkdir(out + "/xd");
    tree_put(out + "/xd/inner", "i");
  }
  int left_of_extras() const
  {
    int n = 0;
    for (const char *e : {"x1", "x2", "x3", "xl", "xd"})
      n += exists(out + "/" + e);
    return n;
  }
};

TEST_F(budget_fixture, an_empty_input_and_max_delete_hold_deletions_back)
{
  static const struct {
    bool populated;
    bool allow_empty;
    int max_delete; /* -1: not given */
    int deleted;    /* of the five extras */
    int status;
  } cases[] = {
      {false, false, -1, 0, 9}, /* the guard */
      {false, true, -1, 5, 0},  /* the user means it */
      {false, true, 0, 0, 9},   {false, true, 3, 3, 9},
      {true, false, -1, 5, 0},  /* a populated input deletes as ever */
      {true, false, 0, 0, 9},   {true, false, 1, 1, 9}, {true, false, 3, 3, 9},
      {true, false, 5, 5, 0},   /* a budget that suffices is no failure */
  };
  for (const char *mode : {"mode=sync", "mode=copy_diff_size_date"})
    for (const auto &c : cases)
      for (bool dry : {false, true}) {
        prepare(c.populated);
        std::string flags = "flag=file_ops";
        if (c.allow_empty)
          flags += ",allow_empty_input";
        if (dry)
          flags += ",dry_run";
        std::vector<std::string> args = {mode, "if=" + in, "of=" + out, flags};
        if (c.max_delete >= 0)
          args.push_back("param=max_delete=" + std::to_string(c.max_delete));
        std::string what = std::string(mode) + (c.populated ? " populated" : " empty") +
                           (c.allow_empty ? " allow_empty" : "") + " max_delete=" + std::to_string(c.max_delete) +
                           (dry ? " dry_run" : "");
        run_result r = run_cmd(QVCP_BIN, args, {"QV_SH_DBG=1", "QV_LOG_LEVEL", "NO_COLOR=1"});
        EXPECT_EQ(r.status, c.status) << what << r.err;
        EXPECT_EQ(left_of_extras(), dry ? 5 : 5 - c.deleted) << what;
        if (c.populated) {
          EXPECT_EQ(exists(out + "/keep"), !dry) << what;
        }
        /* The trace shows each deletion, made or held back, once. */
        EXPECT_EQ(count_lines(r.out, "- "), 5u) << what << r.out;
        if (c.status == 9) {
          std::string why = c.max_delete >= 0 ? "(kept: max_delete=" + std::to_string(c.max_delete) + ")"
                                               : std::string("(kept: the input is empty)");
          EXPECT_EQ(count_lines(r.out, why), static_cast<size_t>(5 - c.deleted)) << what << r.out;
        }
        long long skipped = counter(r.err, "skip_delete_count");
        if (c.status == 9) {
          EXPECT_EQ(skipped, 5 - c.deleted) << what;
          EXPECT_EQ(count_lines(r.err, "error: "), 1u) << what << r.err;
        }
        if (!c.populated && !c.allow_empty) {
          EXPECT_NE(r.err.find("error: the input [" + in + "] is empty: 5 output entries would have been deleted"),
                    std::string::npos)
              << what << r.err;
        }
      }
}

TEST_F(budget_fixture, a_missing_input_root_is_refused_before_anything_is_deleted)
{
  prepare(true);
  for (const char *mode : {"mode=sync", "mode=copy_diff_size_date"}) {
    run_result r = run_cmd(QVCP_BIN, {mode, "if=" + top + "/no_such_dir", "of=" + out}, {"QV_SH_DBG", "NO_COLOR=1"});
    EXPECT_NE(r.status, 0) << mode;
    EXPECT_NE(r.err.find("error: "), std::string::npos) << mode << r.err;
    EXPECT_EQ(left_of_extras(), 5) << mode;
  }
}

} // namespace
