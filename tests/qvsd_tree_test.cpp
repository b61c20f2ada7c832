#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "libqvsd/qvsd_tree.h"

TEST(qvsd_next_data_parse, a_data_range_must_move_past_the_offset)
{
  static const struct {
    const char *text;
    uint64_t off;
    int want; /* the flag, or -1 */
    uint64_t start, end;
  } cases[] = {
      {"4096\t8192\t0", 4000, 0, 4096, 8192},
      {"4000\t4001\t0", 4000, 0, 4000, 4001}, /* one byte at the offset itself */
      {"0\t0\t1", 65536, 1, 0, 0},            /* only a hole follows: start and end unused */
      /* A range that the copy loop would ask for again and again, or go back to: */
      {"0\t0\t0", 65536, -1, 0, 0},
      {"4096\t4096\t0", 4096, -1, 0, 0},      /* empty at the offset */
      {"3999\t8192\t0", 4000, -1, 0, 0},      /* begins before the offset */
      {"8192\t4096\t0", 0, -1, 0, 0},         /* ends before it begins */
      /* Not the reply's form: */
      {"4096\t8192\t2", 0, -1, 0, 0},
      {"4096\t8192", 0, -1, 0, 0},
      {"", 0, -1, 0, 0},
  };
  for (const auto &c : cases) {
    uint64_t a = 7, b = 7;
    int got = qvsd_next_data_parse(c.text, c.off, &a, &b);
    EXPECT_EQ(c.want, got) << c.text << " at " << c.off;
    if (got == 0) {
      EXPECT_EQ(c.start, a) << c.text;
      EXPECT_EQ(c.end, b) << c.text;
    }
  }
}

TEST(qvsd_rdir_dropped_parse, only_a_plain_count_is_a_count)
{
  static const struct {
    const char *text;
    int64_t want;
  } cases[] = {
      {"0", 0},
      {"3", 3},
      {"9223372036854775807", INT64_MAX},
      /* Each of these came back negative, as a failure with nothing in the error record: */
      {"-9", -1},
      {"-1", -1},
      {"9223372036854775808", -1},  /* INT64_MAX + 1 */
      {"18446744073709551615", -1},
      /* Not a count: */
      {"", -1},
      {" 3", -1},
      {"+3", -1},
      {"3\n", -1},
      {"3x", -1},
  };
  for (const auto &c : cases)
    EXPECT_EQ(c.want, qvsd_rdir_dropped_parse(c.text)) << "[" << c.text << "]";
}

TEST(qvsd_lookup_ids_parse, ids_are_minus_one_or_32_bit)
{
  static const struct {
    const char *text;
    int want;
    int64_t uid, gid;
  } cases[] = {
      {"1000\t-1", 0, 1000, -1},
      {"4294967295\t0", 0, 4294967295LL, 0},
      {"4294967296\t0", -1, 0, 0},
      {"-2\t0", -1, 0, 0},
      {"1000", -1, 0, 0},
  };
  for (const auto &c : cases) {
    int64_t u = 7, g = 7;
    EXPECT_EQ(c.want, qvsd_lookup_ids_parse(c.text, &u, &g)) << c.text;
    if (c.want == 0) {
      EXPECT_EQ(c.uid, u) << c.text;
      EXPECT_EQ(c.gid, g) << c.text;
    }
  }
}

TEST(qvsd_file_digest_parse, exactly_the_hex_of_the_digest)
{
  const uint8_t want[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef,
                            0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
  uint8_t out[16];
  const std::string good = "0123456789abcdef0123456789ABCDEF";
  ASSERT_EQ(0, qvsd_file_digest_parse(good.data(), good.size(), out, sizeof out));
  EXPECT_EQ(0, memcmp(want, out, sizeof out));
  /* Trailing line feeds and NULs are the text's end, not part of the digest. */
  const std::string tail = good + std::string("\n\0\0", 3);
  ASSERT_EQ(0, qvsd_file_digest_parse(tail.data(), tail.size(), out, sizeof out));
  EXPECT_EQ(0, memcmp(want, out, sizeof out));
  for (const std::string &bad : {good.substr(1), good + "0", "x" + good.substr(1), good.substr(0, 31) + " ",
                                 std::string("0x") + good.substr(2)})
    EXPECT_EQ(-1, qvsd_file_digest_parse(bad.data(), bad.size(), out, sizeof out)) << bad;
}
