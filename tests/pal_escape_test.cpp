#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "liblog/log2.h"
#include "libpal/string/pl_escape.h"
#include "libpal/string/pl_scanf.h"

namespace {

std::vector<std::string> g_lines;

void capture(int, const char *, const char *, int, const char *, const char *fmt, va_list ap)
{
  char b[512];
  vsnprintf(b, sizeof b, fmt, ap);
  g_lines.emplace_back(b);
}

/* Collects the log lines of one test instead of printing them. */
struct log_capture {
  log_capture()
  {
    g_lines.clear();
    log2_set_forward(capture);
  }
  ~log_capture() { log2_set_forward(nullptr); }
};

std::string esc(const std::string &in)
{
  std::string out;
  EXPECT_GE(str_escape_tab_append(in.data(), in.size(), &out), 0);
  return out;
}

std::string unesc(const std::string &in, int *rc = nullptr)
{
  std::string out;
  int r = str_unescape_cstr_append(in.data(), in.size(), &out);
  if (rc)
    *rc = r;
  return out;
}

} // namespace

TEST(str_escape_tab, forms)
{
  static const struct {
    std::string in;
    std::string want;
  } cases[] = {
      {"plain name.txt", "plain name.txt"},
      {"a\tb", "a\\tb"},
      {"\\", "\\\\"},
      {std::string("\0", 1), "\\0"},
      {"\b\t\n\f\r", "\\b\\t\\n\\f\\r"},
      /* other control bytes: a backslash and the byte itself */
      {"\x01", "\\\x01"},
      {"\x1f", "\\\x1f"},
      {"\x07\x0b\x1b", "\\\x07\\\x0b\\\x1b"},
      /* 127 and bytes above are copied */
      {"\x7f\x80\xff", "\x7f\x80\xff"},
      {"\xc3\xa9t\xc3\xa9", "\xc3\xa9t\xc3\xa9"},
      /* a NUL before an octal digit takes three digits, so the digit stays text */
      {std::string("a\0" "7", 3), "a\\0007"},
      {std::string("a\0" "8", 3), "a\\08"},
      {"", ""},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(c.want, esc(c.in)) << c.in;
    EXPECT_EQ(c.want.size(), str_escape_tab_len(c.in.data(), c.in.size())) << c.in;
  }
}

TEST(str_escape_tab, tab_becomes_backslash_t_never_a_tab_byte)
{
  std::string out = esc("x\ty\nz");
  EXPECT_EQ(std::string::npos, out.find('\t'));
  EXPECT_EQ(std::string::npos, out.find('\n'));
  EXPECT_NE(std::string::npos, out.find("\\t"));
}

TEST(str_escape_tab, every_byte_value_round_trips)
{
  log_capture lc;
  /* every single byte and every pair of bytes */
  for (int a = 0; a < 256; a++) {
    std::string one(1, static_cast<char>(a));
    std::string e = esc(one);
    EXPECT_EQ(std::string::npos, e.find_first_of(std::string("\t\n\0", 3))) << a;
    EXPECT_EQ(one, unesc(e)) << a;
    for (int b = 0; b < 256; b++) {
      std::string two{static_cast<char>(a), static_cast<char>(b)};
      ASSERT_EQ(two, unesc(esc(two))) << a << "," << b;
    }
  }
  /* random strings over all byte values, long enough to mix every form */
  std::mt19937 rng(12345);
  for (int i = 0; i < 2000; i++) {
    std::string s(rng() % 64, '\0');
    for (auto &ch : s)
      ch = static_cast<char>(rng() & 0xff);
    ASSERT_EQ(s, unesc(esc(s))) << i;
  }
}

TEST(str_escape_tab, buffer_bounds)
{
  char buf[8];
  EXPECT_EQ(7, str_escape_tab_buf("abc\tde", 6, buf, sizeof buf));
  EXPECT_STREQ("abc\\tde", buf);
  /* one byte short of the NUL: refused, never cut */
  EXPECT_EQ(-42, str_escape_tab_buf("abc\tdef", 7, buf, sizeof buf));
  EXPECT_STREQ("", buf);
  EXPECT_EQ(-42, str_escape_tab_buf("a", 1, buf, 1));
  EXPECT_EQ(0, str_escape_tab_buf("", 0, buf, 1));
}

TEST(str_escape_tab_zz, always_ends_in_two_escaped_nuls)
{
  char buf[64];
  EXPECT_EQ(4, str_escape_tab_zz_buf("", buf, sizeof buf));
  EXPECT_STREQ("\\0\\0", buf);
  EXPECT_EQ(5, str_escape_tab_zz_buf("a\0", buf, sizeof buf));
  EXPECT_STREQ("a\\0\\0", buf);
  EXPECT_GT(str_escape_tab_zz_buf("f\0X\0user.k\0", buf, sizeof buf), 0);
  EXPECT_STREQ("f\\0X\\0user.k\\0\\0", buf);
  EXPECT_EQ(1u, str_zz_len(""));
  EXPECT_EQ(3u, str_zz_len("a\0"));
  EXPECT_EQ(5u, str_zz_len("a\0b\0"));

  /* unescaping gives the zz-string back, NULs included */
  const char zz[] = "d\tir\0X\0" "7x\0";
  std::string e;
  ASSERT_GT(str_escape_tab_zz_append(zz, &e), 0);
  std::string back = unesc(e);
  EXPECT_EQ(std::string(zz, str_zz_len(zz)), back);
  EXPECT_EQ(-42, str_escape_tab_zz_buf("abc\0", buf, 7));
}

TEST(str_unescape_cstr, accepted_forms)
{
  log_capture lc;
  static const struct {
    std::string in;
    std::string want;
  } cases[] = {
      {"\\a\\b\\t\\n\\v\\f\\r\\e", "\a\b\t\n\v\f\r\x1b"},
      {"\\\\\\\"\\'\\?", "\\\"'?"},
      {"\\101\\60\\0", std::string("A0\0", 3)},
      {"\\1011", "A1"},         /* at most three octal digits */
      {"\\400", std::string("\x20" "0", 2)}, /* a digit that would pass 255 stays text */
      {"\\x41\\x4a\\x4Ag", "AJJg"},
      {"\\x414", "A4"},         /* two hex digits at most */
      {"\\u00e9", "\xc3\xa9"},
      {"\\u20ac", "\xe2\x82\xac"},
      {"\\U0001F600", "\xf0\x9f\x98\x80"},
      {"\\uD800", "uD800"},     /* a surrogate is no character */
      {"\\q", "q"},             /* unknown: the character itself */
      {"\\xg", "xg"},           /* \x without digits */
      {"no escapes", "no escapes"},
  };
  for (const auto &c : cases) {
    int rc = 0;
    EXPECT_EQ(c.want, unesc(c.in, &rc)) << c.in;
    EXPECT_EQ(static_cast<int>(c.want.size()), rc) << c.in;
  }
}

TEST(str_unescape_cstr, unknown_escape_is_logged)
{
  log_capture lc;
  EXPECT_EQ("q", unesc("\\q"));
  ASSERT_EQ(1u, g_lines.size());
  EXPECT_EQ("unknown escape sequence: '\\q'\n", g_lines[0]);
  g_lines.clear();
  EXPECT_EQ("\x01", unesc("\\\x01"));
  ASSERT_EQ(1u, g_lines.size());
  EXPECT_EQ("unknown escape sequence: '\\x1'", g_lines[0]);
}

TEST(str_unescape_cstr, lone_final_backslash_is_an_error)
{
  log_capture lc;
  std::string out = "keep";
  EXPECT_EQ(-2, str_unescape_cstr_append("abc\\", 4, &out));
  EXPECT_EQ("keep", out);
  char buf[16];
  EXPECT_EQ(-2, str_unescape_cstr_buf("\\", 1, buf, sizeof buf));
  EXPECT_STREQ("", buf);
  /* an escaped backslash at the end is fine */
  EXPECT_EQ(1, str_unescape_cstr_buf("\\\\", 2, buf, sizeof buf));
  EXPECT_STREQ("\\", buf);
}

TEST(str_unescape_cstr, buffer_bounds)
{
  char buf[4];
  EXPECT_EQ(3, str_unescape_cstr_buf("a\\tb", 4, buf, sizeof buf));
  EXPECT_EQ(-42, str_unescape_cstr_buf("abcd", 4, buf, sizeof buf));
  EXPECT_EQ(-42, str_unescape_cstr_buf("\\u20ac", 6, buf, 3)); /* 3 bytes of UTF-8 need 4 */
  EXPECT_EQ(3, str_unescape_cstr_buf("\\u20ac", 6, buf, 4));
}

TEST(str_scanf_sep_val, typed_fields)
{
  char line[] = "n\\tame\t1f\tFFFFFFFF\t18446744073709551615\tffffffffffffffff\t-2147483648\t-9\ta\\tb";
  char *name = nullptr;
  uint32_t x = 0, x2 = 0;
  uint64_t u = 0, x64 = 0;
  int32_t i = 0;
  int64_t i64 = 0;
  std::string e;
  int ret = str_scanf_sep_val(line, '\t', "str|x32|x32|u64|x64|int|i64|estr", &name, &x, &x2, &u, &x64, &i, &i64, &e);
  EXPECT_EQ(8, ret);
  EXPECT_STREQ("n\\tame", name); /* "str" stays escaped, pointing into the line */
  EXPECT_GE(name, line);
  EXPECT_LT(name, line + sizeof line);
  EXPECT_EQ(0x1fu, x);
  EXPECT_EQ(0xffffffffu, x2);
  EXPECT_EQ(UINT64_MAX, u);
  EXPECT_EQ(UINT64_MAX, x64);
  EXPECT_EQ(INT32_MIN, i);
  EXPECT_EQ(-9, i64);
  EXPECT_EQ("a\tb", e);
}

TEST(str_scanf_sep_val, count_stops_at_first_bad_field)
{
  static const struct {
    const char *line;
    int want;
  } cases[] = {
      {"a\t10\t20", 3},
      {"a\t10", 2},             /* missing field */
      {"a", 1},
      {"", 1},                  /* one empty text field */
      {"a\t10\t20\t30\textra", 3}, /* extra fields ignored */
      {"a\t4294967296\t1", 1},  /* u32 overflow */
      {"a\t-1\t1", 1},          /* no sign on unsigned */
      {"a\t 1\t1", 1},          /* no blanks */
      {"a\t1x\t1", 1},          /* trailing garbage */
      {"a\t\t1", 1},            /* empty number */
      {"a\t1\t10000000000000000", 2}, /* x64 with 17 digits */
      {"a\t1\t0000000000000000001", 3}, /* leading zeros are fine */
      {"a\t1\t\xff", 2},        /* non-ASCII */
  };
  for (const auto &c : cases) {
    std::string buf(c.line);
    char *s = nullptr;
    uint32_t v = 0;
    uint64_t h = 0;
    EXPECT_EQ(c.want, str_scanf_sep_val(buf.data(), '\t', "str|u32|x64", &s, &v, &h)) << c.line;
  }
}

TEST(str_scanf_sep_val, int_range)
{
  static const struct {
    const char *in;
    int want;
  } cases[] = {{"2147483647", 1}, {"2147483648", 0}, {"-2147483648", 1}, {"-2147483649", 0}, {"-", 0}, {"+1", 0}};
  for (const auto &c : cases) {
    std::string buf(c.in);
    int32_t v;
    EXPECT_EQ(c.want, str_scanf_sep_val(buf.data(), '\t', "int", &v)) << c.in;
  }
}

TEST(str_scanf_sep_val, bad_estr_stops_the_count)
{
  log_capture lc;
  char line[] = "a\tbad\\";
  char *s;
  std::string e;
  EXPECT_EQ(1, str_scanf_sep_val(line, '\t', "str|estr", &s, &e));
}

TEST(str_scanf_sep_val, signature_must_match_outputs)
{
  log_capture lc;
  char line[] = "1\t2";
  uint32_t a = 0;
  uint64_t b = 0;
  EXPECT_EQ(-2, str_scanf_sep_val(line, '\t', "u32|u32", &a, &b)); /* u64 output for a u32 field */
  EXPECT_EQ(-2, str_scanf_sep_val(line, '\t', "u32", &a, &b));     /* too few fields */
  EXPECT_EQ(-2, str_scanf_sep_val(line, '\t', "u32|x99", &a, &b)); /* unknown word */
  EXPECT_STREQ("1\t2", line);                                      /* line untouched */
  EXPECT_EQ(2, str_scanf_sep_val(line, '\t', "u32|u64", &a, &b));
}

TEST(str_scanf_sep_val, long_line)
{
  std::string big(100000, 'x');
  big += "\t7";
  char *s;
  uint32_t v = 0;
  EXPECT_EQ(2, str_scanf_sep_val(big.data(), '\t', "str|u32", &s, &v));
  EXPECT_EQ(100000u, strlen(s));
  EXPECT_EQ(7u, v);
}
