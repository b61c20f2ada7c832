#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "libpal/string/pl_glob.h"
#include "librdir/rdir_filter.h"

TEST(pl_glob_match, cases)
{
  static const struct {
    const char *pat;
    const char *text;
    int nocase;
    int want;
  } cases[] = {
      /* star and question mark, "/" is an ordinary character for both */
      {"*", "", 0, 1}, {"*", "/a/b", 0, 1}, {"*/*.log", "/d/x.log", 0, 1}, {"*/*.log", "/x.log", 0, 1},
      {"*/*.log", "x.log", 0, 0}, {"a*b*c", "aXbYbZc", 0, 1}, {"a*b*c", "aXbYbZ", 0, 0},
      {"?", "", 0, 0}, {"?", "/", 0, 1}, {"a?c", "abc", 0, 1}, {"a?c", "ac", 0, 0},
      {"*x", "xxxx", 0, 1}, {"*ab", "aab", 0, 1}, {"a**b", "ab", 0, 1},
      /* classes, ranges, negation, "]" first, unterminated class */
      {"[a-c]x", "bx", 0, 1}, {"[a-c]x", "dx", 0, 0}, {"[!a-c]", "d", 0, 1}, {"[!a-c]", "B", 1, 0},
      {"[!a-c]", "B", 0, 1}, {"[]]", "]", 0, 1}, {"[a-]", "-", 0, 1}, {"[ab", "[ab", 0, 1},
      {"[ab", "a", 0, 0}, {"x[", "x", 0, 0}, {"[a-c]", "", 0, 0},
      /* quoting and case */
      {"\\*", "*", 0, 1}, {"\\*", "a", 0, 0}, {"a\\", "a\\", 0, 1}, {"ABC", "abc", 1, 1},
      {"ABC", "abc", 0, 0}, {"*/*.tmp", "/d/x.TMP", 1, 1},
      /* exact and empty */
      {"", "", 0, 1}, {"", "a", 0, 0}, {"abc", "abcd", 0, 0}, {"abcd", "abc", 0, 0},
  };
  for (const auto &c : cases)
    EXPECT_EQ(c.want, pl_glob_match(c.pat, c.text, c.nocase, 0))
        << "[" << c.pat << "] vs [" << c.text << "] nocase=" << c.nocase;
}

TEST(pl_glob_match, alternatives_and_long_inputs)
{
  EXPECT_EQ(1, pl_glob_match_multi("a", "a|b", 0, 0));
  EXPECT_EQ(1, pl_glob_match_multi("b", "a|b", 0, 0));
  EXPECT_EQ(0, pl_glob_match_multi("c", "a|b", 0, 0));
  EXPECT_EQ(1, pl_glob_match_multi("", "a|", 0, 0)); /* an empty alternative matches the empty text */
  /* a pathological pattern over a long text ends (one pass with backtracking, no recursion) */
  std::string text(20000, 'a');
  std::string pat;
  for (int i = 0; i < 50; i++)
    pat += "*a";
  pat += "b";
  EXPECT_EQ(0, pl_glob_match(pat.c_str(), text.c_str(), 1, 0));
  EXPECT_EQ(1, pl_glob_match(("*" + std::string(1000, '?')).c_str(), text.c_str(), 0, 0));
}

namespace {
struct filter_del {
  void operator()(rdir_filter *f) const { rdir_filter_free(f); }
};
using filter_ptr = std::unique_ptr<rdir_filter, filter_del>;
} // namespace

TEST(rdir_filter, admission)
{
  static const struct {
    const char *fi, *fe, *di, *de;
    const char *path;
    bool dir;
    int want;
  } cases[] = {
      /* no patterns: everything */
      {"", "", "", "", "/x/", true, 1},
      {nullptr, nullptr, nullptr, nullptr, "/x/f", false, 1},
      /* directory include only: parents by the prefix rule, the tree itself, nothing else */
      {"", "", "/a/b/*", "", "/a/", true, 1},
      {"", "", "/a/b/*", "", "/A/", true, 1},
      {"", "", "/a/b/*", "", "/a/b/", true, 1},
      {"", "", "/a/b/*", "", "/a/b/c/", true, 1},
      {"", "", "/a/b/*", "", "/x/", true, 0},
      {"", "", "/a/b/*", "", "/x/f", false, 0},
      {"", "", "/a/b/*", "", "/a/b/f", false, 1},
      /* files in a parent are not admitted by the prefix rule */
      {"", "", "/a/b/*", "", "/a/f", false, 0},
      /* file exclude only, case-insensitive */
      {"", "*/*.tmp", "", "", "/d/x.TMP", false, 0},
      {"", "*/*.tmp", "", "", "/d/x.txt", false, 1},
      {"", "*/*.tmp", "", "", "/d.tmp/", true, 1}, /* directories are not judged by file lists */
      /* both in the directory group: no prefix rule */
      {"", "", "/a/b/*", "*/tmp/*", "/a/", true, 0},
      {"", "", "/a/b/*", "*/tmp/*", "/a/b/c/", true, 1},
      {"", "", "/a/b/*", "*/tmp/*", "/a/b/tmp/", true, 0},
      /* file include with directory exclude: a reject of the directory group is final */
      {"*/*.log", "", "", "*/tmp/*", "/tmp/a.log", false, 0},
      {"*/*.log", "", "", "*/tmp/*", "/var/a.log", false, 1},
      {"*/*.log", "", "", "*/tmp/*", "/var/a.txt", false, 0},
      /* lists of several patterns and alternatives */
      {"*/*.log\t/data/keep.txt", "", "", "", "/data/keep.txt", false, 1},
      {"*/*.c|*/*.h", "", "", "", "/src/x.h", false, 1},
      {"*/*.c|*/*.h", "", "", "", "/src/x.o", false, 0},
  };
  for (const auto &c : cases) {
    filter_ptr f(rdir_filter_init(c.fi, c.fe, c.di, c.de, "ignored"));
    ASSERT_TRUE(f);
    EXPECT_EQ(c.want, rdir_filter_admit(f.get(), c.path, c.dir))
        << "fi=" << (c.fi ? c.fi : "-") << " fe=" << (c.fe ? c.fe : "-") << " di=" << (c.di ? c.di : "-")
        << " de=" << (c.de ? c.de : "-") << " path=" << c.path;
  }
}

TEST(rdir_filter, prefix_rule)
{
  EXPECT_TRUE(rdir_filter_dir_prefix("/a/b/*", "/a/"));
  EXPECT_TRUE(rdir_filter_dir_prefix("/a/b/*", "/a/b/"));
  EXPECT_TRUE(rdir_filter_dir_prefix("/a/", "/a/"));
  EXPECT_FALSE(rdir_filter_dir_prefix("/a/b/*", "/a/c/"));
  /* folding applies to letters only: "/" and "\x0f" differ by the 0x20 bit */
  EXPECT_FALSE(rdir_filter_dir_prefix("/a/", "\x0f"));
  /* a space in the pattern ends the walk */
  EXPECT_FALSE(rdir_filter_dir_prefix("/a b/", "/a b/"));
  EXPECT_TRUE(rdir_filter_dir_prefix("/a b/", "/a"));
}
