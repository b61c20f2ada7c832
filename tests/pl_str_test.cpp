#include <gtest/gtest.h>

#include <string>

#include "libpal/string/pl_str.h"

TEST(str_size_parse, units_and_refusals)
{
  static const struct {
    const char *in;
    uint64_t want;
  } cases[] = {
      /* unit table, decimal and binary units */
      {"4M", 4194304}, {"64k", 65536}, {"1MB", 1000000}, {"2Mc", 2097152}, {"1.5k", 1536},
      {"12", 12}, {"1b", 512}, {"3w", 6}, {"1kB", 1000}, {"1KD", 1000}, {"1G", 1073741824},
      {"1T", 1099511627776ull}, {"1PB", 1000000000000000ull}, {"2e3", 2000}, {"0.5K", 512},
      /* refusals give 0 */
      {"", 0}, {" 4M", 0}, {"\t4", 0}, {"-1", 0}, {"+1", 0}, {"4MBc", 0}, {"M", 0}, {"abc", 0},
      /* a unit pair that matches no unit ends the parse with 0 */
      {"4x", 0}, {"4Mx", 0},
      /* truncation toward zero */
      {"1.9", 1},
  };
  for (const auto &c : cases)
    EXPECT_EQ(c.want, str_size_parse(c.in)) << "[" << c.in << "]";
}

TEST(str_size_parse, long_and_odd_texts)
{
  EXPECT_EQ(0u, str_size_parse(nullptr));
  std::string t256(255, '0');
  t256 += "1";
  EXPECT_EQ(1u, str_size_parse(t256.c_str())); /* exactly 256 characters is still read */
  std::string t257 = "0" + t256;
  EXPECT_EQ(0u, str_size_parse(t257.c_str()));
  EXPECT_EQ(0u, str_size_parse(std::string(100000, '9').c_str()));
  EXPECT_EQ(0u, str_size_parse("1e999"));         /* overflows */
  EXPECT_EQ(4u, str_size_parse("4=5"));           /* reading stops at the first misfit */
  EXPECT_EQ(0u, str_size_parse("\xc3\xa9"));       /* non-ASCII bytes are no digits */
}

TEST(str_octal_parse, cases)
{
  static const struct {
    const char *in;
    uint32_t want;
  } cases[] = {
      {"644", 0644}, {"0755", 0755}, {"  600", 0600}, {"+17", 017}, {"678", 067}, {"8", 0},
      {"", 0}, {"abc", 0}, {"7777777", 07777777},
  };
  for (const auto &c : cases)
    EXPECT_EQ(c.want, str_octal_parse(c.in)) << "[" << c.in << "]";
}

TEST(str_path_normalize, cases)
{
  static const struct {
    const char *in;
    const char *want;
  } cases[] = {
      {"  a//b\\\\c  ", "a/b/c"}, {"file:///x/y", "/x/y"}, {"-tmp/", "-tmp/"}, {"", ""},
      {"\\abs\\dir\\", "/abs/dir/"},
  };
  for (const auto &c : cases) {
    char out[64];
    ASSERT_GE(str_path_normalize(c.in, out, sizeof out), 0) << c.in;
    EXPECT_STREQ(c.want, out) << c.in;
  }
  char small[4];
  EXPECT_EQ(-1, str_path_normalize("abcdef", small, sizeof small));
}
