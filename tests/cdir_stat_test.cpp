#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "libcdir/cdir_stat.h"
#include "liblog/log2.h"
#include "libpal/string/pl_size_text.h"

namespace {

/* Collects what a FILE* writer produced. */
struct mem_out {
  char *buf = nullptr;
  size_t len = 0;
  FILE *fp = open_memstream(&buf, &len);
  std::string text()
  {
    fflush(fp);
    return std::string(buf, len);
  }
  ~mem_out()
  {
    fclose(fp);
    free(buf);
  }
};

void set(std::atomic<int64_t> &c, int64_t v)
{
  c.store(v, std::memory_order_relaxed);
}

std::string joined(const cdir_stat_line *lines, int n)
{
  std::string s;
  for (int i = 0; i < n; i++)
    s += lines[i].text;
  return s;
}

/* Names of the lines flagged as alarms, in order. */
std::string alarms(const cdir_stat_line *lines, int n)
{
  std::string s;
  for (int i = 0; i < n; i++) {
    if (!lines[i].alarm)
      continue;
    std::string t = lines[i].text;
    s += t.substr(0, t.find('=')) + " ";
  }
  return s;
}

/* Every counter gets its own value, so that a line that prints the wrong field shows. */
void fill_distinct(cdir_stat *st)
{
  cdir_stat_kind &pl = st->kind[CDIR_PATH_PLAIN];
  cdir_stat_kind &sx = st->kind[CDIR_PATH_STREAM_XATTR];
  cdir_stat_kind &acl = st->kind[CDIR_PATH_ACL];
  set(pl.open_count, 11);
  set(st->total_read, 3145728);  /* 3.0M */
  set(st->total_write, 2097152); /* 2.0M */
  set(st->o_dir_fail_count, 2);
  set(pl.i_fail, 3);
  set(pl.o_fail, 4);
  set(pl.file_count, 12);
  set(pl.file_size, 1536);
  set(st->enum_dir_count, 5);
  set(st->open_dir_fail_count, 6);
  set(st->i_drop_name_too_long, 7);
  set(st->o_drop_name_too_long, 8);
  set(st->o_unsupport_files, 9);
  set(st->o_unsupport_dirs, 10);
  set(pl.del_count, 13);
  set(pl.del_fail, 14);
  set(sx.del_count, 15);
  set(sx.del_fail, 16);
  set(sx.i_fail, 17);
  set(sx.o_fail, 18);
  set(sx.file_count, 19);
  set(sx.file_size, 1048576);
  set(sx.open_count, 20);
  set(st->enum_size, 999999);
  /* the ACL block is counted but never shown */
  set(acl.file_count, 901);
  set(acl.i_fail, 902);
  set(acl.del_fail, 903);
}

} // namespace

TEST(str_size_text, table)
{
  static const struct {
    uint64_t in;
    const char *want;
  } cases[] = {
      /* below 1024: plain integers */
      {0, "0"}, {1, "1"}, {1023, "1023"},
      /* first division */
      {1024, "1.0K"}, {1535, "1.5K"}, {1536, "1.5K"},
      /* rounding of the tenth: remainder 51 rounds down, 52 up; 972 gives 9, 973 carries */
      {1024 + 51, "1.0K"}, {1024 + 52, "1.1K"}, {1024 + 972, "1.9K"}, {1024 + 973, "2.0K"},
      /* the carry can reach 1024 without another division */
      {1048575, "1024.0K"}, {1048576, "1.0M"},
      /* only the remainder of the last division counts */
      {1048576 + 1023, "1.0M"}, {1572864, "1.5M"},
      /* every unit letter reachable with 64 bits */
      {1ull << 30, "1.0G"}, {1ull << 40, "1.0T"}, {1ull << 50, "1.0P"}, {1ull << 60, "1.0E"},
      {3ull << 61, "6.0E"}, {UINT64_MAX, "16.0E"},
  };
  for (const auto &c : cases) {
    char buf[STR_SIZE_TEXT_SIZE];
    int n = str_size_text(c.in, buf, sizeof buf);
    EXPECT_STREQ(c.want, buf) << c.in;
    EXPECT_EQ(static_cast<int>(strlen(c.want)), n) << c.in;
  }
}

TEST(str_size_text, buffer_limits)
{
  char buf[8];
  EXPECT_EQ(7, str_size_text(1048575, buf, 8)); /* "1024.0K" and its NUL fit exactly */
  EXPECT_STREQ("1024.0K", buf);
  EXPECT_EQ(-42, str_size_text(1048575, buf, 7));
  EXPECT_STREQ("", buf);
  EXPECT_EQ(-42, str_size_text(0, buf, 1));
  EXPECT_EQ(-42, str_size_text(5, buf, 0));
  EXPECT_EQ(-2, str_size_text(5, nullptr, 8));
}

TEST(str_time_span_text, table)
{
  static const struct {
    int64_t ms;
    const char *want;
  } cases[] = {
      {0, "00:00:00.000"}, {1, "00:00:00.001"}, {1250, "00:00:01.250"}, {59999, "00:00:59.999"},
      {60000, "00:01:00.000"}, {3600000, "01:00:00.000"}, {86399999, "23:59:59.999"},
      /* days from 24 hours on, singular and plural */
      {86400000, "1 day 00:00:00.000"}, {2 * 86400000LL + 3 * 3600000LL, "2 days 03:00:00.000"},
      {INT64_MAX, "106751991167 days 07:12:55.807"},
      /* a negative span is 0 */
      {-5, "00:00:00.000"},
  };
  for (const auto &c : cases) {
    char buf[STR_TIME_SPAN_TEXT_SIZE];
    int n = str_time_span_text(c.ms, buf, sizeof buf);
    EXPECT_STREQ(c.want, buf) << c.ms;
    EXPECT_EQ(static_cast<int>(strlen(c.want)), n) << c.ms;
  }
  char small[12];
  EXPECT_EQ(-42, str_time_span_text(0, small, sizeof small)); /* 12 characters need 13 bytes */
  EXPECT_STREQ("", small);
}

TEST(cdir_path_kind, table)
{
  static const struct {
    bool zz;
    const char *path;
    int want;
  } cases[] = {
      /* not a zz path: always plain, whatever it holds */
      {false, "/a/b", CDIR_PATH_PLAIN},
      {false, R"(/a/b\0X\0user.k\0\0)", CDIR_PATH_PLAIN},
      {true, nullptr, CDIR_PATH_PLAIN},
      /* zz paths by kind */
      {true, R"(/a/b\0\0)", CDIR_PATH_PLAIN},
      {true, R"(/a/b\0X\0user.k\0\0)", CDIR_PATH_STREAM_XATTR},
      {true, R"(/a/b\0S\0:s:$DATA\0\0)", CDIR_PATH_STREAM_XATTR},
      {true, R"(/a/b\0A\0\0)", CDIR_PATH_ACL},
      /* a stream name beginning with a digit follows its separator as "\000" */
      {true, R"(/a/b\0X\0001k\0\0)", CDIR_PATH_STREAM_XATTR},
      /* an escaped backslash before "0" is part of the name, not a separator */
      {true, R"(/a\\0X\0k\0\0)", CDIR_PATH_PLAIN},
      {true, R"(/a\\\0X\0k\0\0)", CDIR_PATH_STREAM_XATTR},
      /* escapes in the base name do not end it */
      {true, R"(/a\tb\n\0S\0s\0\0)", CDIR_PATH_STREAM_XATTR},
      /* unknown or malformed kinds count with the plain files */
      {true, R"(/a\0Q\0k\0\0)", CDIR_PATH_PLAIN},
      {true, R"(/a\0XA\0k\0\0)", CDIR_PATH_PLAIN},
      {true, R"(/a\0X)", CDIR_PATH_PLAIN},
      {true, "/a/b", CDIR_PATH_PLAIN},
      {true, "", CDIR_PATH_PLAIN},
  };
  for (const auto &c : cases)
    EXPECT_EQ(c.want, cdir_path_kind(c.zz, c.path)) << c.zz << " [" << (c.path ? c.path : "(null)") << "]";
}

TEST(cdir_stat, updates_pick_the_block_of_the_path_kind)
{
  const char *plain = R"(/d/f\0\0)";
  const char *xattr = R"(/d/f\0X\0user.k\0\0)";
  const char *acl = R"(/d/f\0A\0\0)";
  static const struct {
    uint32_t i_flags;
    int plain_block, xattr_block, acl_block;
  } cases[] = {
      /* without the stream and ACL bits everything is plain */
      {CDIR_EP_BASE | CDIR_EP_HARDLINKS, CDIR_PATH_PLAIN, CDIR_PATH_PLAIN, CDIR_PATH_PLAIN},
      {CDIR_EP_BASE | CDIR_EP_STREAM, CDIR_PATH_PLAIN, CDIR_PATH_STREAM_XATTR, CDIR_PATH_ACL},
      /* the ACL bit alone also tells the kinds apart */
      {CDIR_EP_BASE | CDIR_EP_ACL, CDIR_PATH_PLAIN, CDIR_PATH_STREAM_XATTR, CDIR_PATH_ACL},
  };
  for (const auto &c : cases) {
    cdir_stat st;
    cdir_stat_init(&st, c.i_flags);
    cdir_stat_file_add(&st, true, plain, 100);
    cdir_stat_file_add(&st, true, xattr, 20);
    cdir_stat_file_add(&st, true, xattr, 20);
    cdir_stat_file_add(&st, true, acl, 3);
    cdir_stat_open_inc(&st, true, xattr);
    cdir_stat_i_fail_inc(&st, true, acl);
    cdir_stat_o_fail_inc(&st, true, xattr);
    cdir_stat_del_inc(&st, true, plain);
    cdir_stat_del_fail_inc(&st, true, acl);

    int64_t count[CDIR_PATH_KINDS] = {}, size[CDIR_PATH_KINDS] = {}, open[CDIR_PATH_KINDS] = {};
    int64_t ifail[CDIR_PATH_KINDS] = {}, ofail[CDIR_PATH_KINDS] = {}, del[CDIR_PATH_KINDS] = {};
    int64_t delf[CDIR_PATH_KINDS] = {};
    count[c.plain_block] += 1, size[c.plain_block] += 100, del[c.plain_block] += 1;
    count[c.xattr_block] += 2, size[c.xattr_block] += 40, open[c.xattr_block] += 1, ofail[c.xattr_block] += 1;
    count[c.acl_block] += 1, size[c.acl_block] += 3, ifail[c.acl_block] += 1, delf[c.acl_block] += 1;
    for (int k = 0; k < CDIR_PATH_KINDS; k++) {
      const cdir_stat_kind &b = st.kind[k];
      EXPECT_EQ(count[k], cdir_stat_get(b.file_count)) << c.i_flags << " block " << k;
      EXPECT_EQ(size[k], cdir_stat_get(b.file_size)) << c.i_flags << " block " << k;
      EXPECT_EQ(open[k], cdir_stat_get(b.open_count)) << c.i_flags << " block " << k;
      EXPECT_EQ(ifail[k], cdir_stat_get(b.i_fail)) << c.i_flags << " block " << k;
      EXPECT_EQ(ofail[k], cdir_stat_get(b.o_fail)) << c.i_flags << " block " << k;
      EXPECT_EQ(del[k], cdir_stat_get(b.del_count)) << c.i_flags << " block " << k;
      EXPECT_EQ(delf[k], cdir_stat_get(b.del_fail)) << c.i_flags << " block " << k;
    }
    /* the enumerated size covers every kind */
    EXPECT_EQ(143, cdir_stat_get(st.enum_size)) << c.i_flags;
  }
}

TEST(cdir_stat, init_clears_every_counter)
{
  cdir_stat st;
  cdir_stat_init(&st, CDIR_EP_BASE);
  fill_distinct(&st);
  cdir_stat_init(&st, CDIR_EP_BASE | CDIR_EP_STREAM);
  cdir_stat_line lines[CDIR_STAT_LINES_MAX];
  int n = cdir_stat_lines(CDIR_OP_SYNC, st.i_flags, &st, 1000, lines, CDIR_STAT_LINES_MAX);
  ASSERT_GT(n, 0);
  for (int i = 0; i < n - 1; i++) /* the last line is the time */
    EXPECT_NE(nullptr, strstr(lines[i].text, "=0")) << lines[i].text;
  EXPECT_EQ(0, cdir_stat_get(st.enum_size));
  EXPECT_EQ(0, cdir_stat_get(st.kind[CDIR_PATH_ACL].file_count));
  EXPECT_EQ(CDIR_EP_BASE | CDIR_EP_STREAM, st.i_flags);
}

TEST(cdir_stat, concurrent_updates_are_not_lost)
{
  cdir_stat st;
  cdir_stat_init(&st, CDIR_EP_BASE);
  std::vector<std::thread> th;
  for (int t = 0; t < 4; t++)
    th.emplace_back([&st] {
      for (int i = 0; i < 20000; i++) {
        cdir_stat_file_add(&st, false, "/f", 2);
        cdir_stat_add(&st.total_write, 3);
      }
    });
  for (auto &t : th)
    t.join();
  EXPECT_EQ(80000, cdir_stat_get(st.kind[CDIR_PATH_PLAIN].file_count));
  EXPECT_EQ(160000, cdir_stat_get(st.enum_size));
  EXPECT_EQ(240000, cdir_stat_get(st.total_write));
}

TEST(cdir_stat_lines, copy_report)
{
  cdir_stat st;
  cdir_stat_init(&st, CDIR_EP_BASE);
  fill_distinct(&st);
  cdir_stat_line lines[CDIR_STAT_LINES_MAX];
  int n = cdir_stat_lines(CDIR_OP_COPY, CDIR_EP_BASE, &st, 2000, lines, CDIR_STAT_LINES_MAX);
  ASSERT_GT(n, 0);
  EXPECT_EQ("total_open=11\n"
            "total_read=3145728 (3.0M)\n"
            "total_write=2097152 (2.0M)\n"
            "trans_rate=1.0M\n"
            "file_rate=5.50\n"
            "o_dir_fail_count=2\n"
            "i_fail_count=3\n"
            "o_fail_count=4\n"
            "enum_file_count=12\n"
            "enum_file_size=1536 (1.5K)\n"
            "enum_dir_count=5\n"
            "open_dir_fail_count=6\n"
            "i_drop_name_too_long_count=7\n"
            "o_drop_name_too_long_count=8\n"
            "o_drop_name_unsupport_count=19\n"
            "total_time=00:00:02.000\n",
            joined(lines, n));
  EXPECT_EQ("o_dir_fail_count i_fail_count o_fail_count open_dir_fail_count i_drop_name_too_long_count "
            "o_drop_name_too_long_count o_drop_name_unsupport_count ",
            alarms(lines, n));
}

TEST(cdir_stat_lines, sync_report_with_stream_bit)
{
  const uint32_t flags = CDIR_EP_BASE | CDIR_EP_STREAM;
  cdir_stat st;
  cdir_stat_init(&st, flags);
  fill_distinct(&st);
  set(st.kind[CDIR_PATH_PLAIN].i_fail, 0); /* a zero failure line is no alarm */
  cdir_stat_line lines[CDIR_STAT_LINES_MAX];
  int n = cdir_stat_lines(CDIR_OP_SYNC, flags, &st, 90061001, lines, CDIR_STAT_LINES_MAX);
  ASSERT_GT(n, 0);
  EXPECT_EQ("total_open=11\n"
            "total_read=3145728 (3.0M)\n"
            "total_write=2097152 (2.0M)\n"
            "sync_del_count=13\n"
            "sync_del_fail_count=14\n"
            "sync_del_stream_xattr_count=15\n"
            "sync_del_stream_xattr_fail_count=16\n"
            "o_dir_fail_count=2\n"
            "i_fail_count=0\n"
            "o_fail_count=4\n"
            "i_stream_xattr_fail_count=17\n"
            "o_stream_xattr_fail_count=18\n"
            "enum_file_count=12\n"
            "enum_file_size=1536 (1.5K)\n"
            "enum_stream_xattr_count=19\n"
            "enum_stream_xattr_size=1048576 (1.0M)\n"
            "enum_dir_count=5\n"
            "open_dir_fail_count=6\n"
            "i_drop_name_too_long_count=7\n"
            "o_drop_name_too_long_count=8\n"
            "o_drop_name_unsupport_count=19\n"
            "total_time=1 day 01:01:01.001\n",
            joined(lines, n));
  EXPECT_EQ("sync_del_fail_count sync_del_stream_xattr_fail_count o_dir_fail_count o_fail_count "
            "i_stream_xattr_fail_count o_stream_xattr_fail_count open_dir_fail_count i_drop_name_too_long_count "
            "o_drop_name_too_long_count o_drop_name_unsupport_count ",
            alarms(lines, n));
}

TEST(cdir_stat_lines, list_report_shows_no_transfer_lines)
{
  cdir_stat st;
  cdir_stat_init(&st, CDIR_EP_BASE);
  fill_distinct(&st);
  cdir_stat_line lines[CDIR_STAT_LINES_MAX];
  int n = cdir_stat_lines(CDIR_OP_LS, CDIR_EP_BASE, &st, 61500, lines, CDIR_STAT_LINES_MAX);
  ASSERT_GT(n, 0);
  EXPECT_EQ("enum_file_count=12\n"
            "enum_file_size=1536 (1.5K)\n"
            "enum_dir_count=5\n"
            "open_dir_fail_count=6\n"
            "i_drop_name_too_long_count=7\n"
            "o_drop_name_too_long_count=8\n"
            "o_drop_name_unsupport_count=19\n"
            "total_time=00:01:01.500\n",
            joined(lines, n));
  /* the stream lines of a list need the stream bit too */
  n = cdir_stat_lines(CDIR_OP_LS, CDIR_EP_BASE | CDIR_EP_STREAM, &st, 61500, lines, CDIR_STAT_LINES_MAX);
  ASSERT_GT(n, 2);
  EXPECT_STREQ("enum_stream_xattr_count=19\n", lines[2].text);
  EXPECT_STREQ("enum_stream_xattr_size=1048576 (1.0M)\n", lines[3].text);
}

TEST(cdir_stat_lines, zero_elapsed_and_zero_counters)
{
  cdir_stat st;
  cdir_stat_init(&st, CDIR_EP_BASE);
  cdir_stat_line lines[CDIR_STAT_LINES_MAX];
  int n = cdir_stat_lines(CDIR_OP_COPY, CDIR_EP_BASE, &st, 0, lines, CDIR_STAT_LINES_MAX);
  ASSERT_GT(n, 0);
  EXPECT_EQ("total_open=0\n"
            "total_read=0 (0)\n"
            "total_write=0 (0)\n"
            "trans_rate=0\n"
            "file_rate=0.00\n"
            "o_dir_fail_count=0\n"
            "i_fail_count=0\n"
            "o_fail_count=0\n"
            "enum_file_count=0\n"
            "enum_file_size=0 (0)\n"
            "enum_dir_count=0\n"
            "open_dir_fail_count=0\n"
            "i_drop_name_too_long_count=0\n"
            "o_drop_name_too_long_count=0\n"
            "o_drop_name_unsupport_count=0\n"
            "total_time=00:00:00.001\n",
            joined(lines, n));
  EXPECT_EQ("", alarms(lines, n));

  /* an elapsed time of 0 counts as 1 ms in the rates */
  set(st.total_write, 1024);
  set(st.kind[CDIR_PATH_PLAIN].open_count, 3);
  n = cdir_stat_lines(CDIR_OP_COPY, CDIR_EP_BASE, &st, 0, lines, CDIR_STAT_LINES_MAX);
  ASSERT_GT(n, 4);
  EXPECT_STREQ("trans_rate=1000.0K\n", lines[3].text);
  EXPECT_STREQ("file_rate=3000.00\n", lines[4].text);
}

TEST(cdir_stat_lines, too_few_lines_is_an_error)
{
  cdir_stat st;
  cdir_stat_init(&st, CDIR_EP_BASE | CDIR_EP_STREAM);
  cdir_stat_line lines[CDIR_STAT_LINES_MAX];
  int full = cdir_stat_lines(CDIR_OP_SYNC, st.i_flags, &st, 5, lines, CDIR_STAT_LINES_MAX);
  ASSERT_GT(full, 0);
  EXPECT_EQ(full, cdir_stat_lines(CDIR_OP_SYNC, st.i_flags, &st, 5, lines, full));
  EXPECT_EQ(-42, cdir_stat_lines(CDIR_OP_SYNC, st.i_flags, &st, 5, lines, full - 1));
}

namespace {

struct captured_log {
  int level;
  std::string text;
};
std::vector<captured_log> g_log;

void capture_log(int level, const char *, const char *, int, const char *, const char *fmt, va_list ap)
{
  char buf[512];
  vsnprintf(buf, sizeof buf, fmt, ap);
  g_log.push_back({level & 0xff, buf});
}

} // namespace

TEST(cdir_dump_stat, failure_lines_with_counts_are_warnings)
{
  cdir_stat st;
  cdir_stat_init(&st, CDIR_EP_BASE);
  set(st.kind[CDIR_PATH_PLAIN].o_fail, 4);
  set(st.o_unsupport_dirs, 1);
  set(st.kind[CDIR_PATH_PLAIN].file_count, 9);
  g_log.clear();
  log2_set_forward(capture_log);
  int n = cdir_dump_stat(CDIR_OP_COPY, CDIR_EP_BASE, &st, 1000);
  log2_set_forward(nullptr);
  ASSERT_EQ(16, n);
  ASSERT_EQ(16u, g_log.size());
  std::string warned, all;
  for (const auto &l : g_log) {
    all += l.text;
    if (l.level == LOG2_WARN)
      warned += l.text;
    else
      EXPECT_EQ(LOG2_DBG, l.level) << l.text;
  }
  EXPECT_EQ("o_fail_count=4\no_drop_name_unsupport_count=1\n", warned);
  EXPECT_NE(std::string::npos, all.find("enum_file_count=9\n"));
  EXPECT_NE(std::string::npos, all.find("i_fail_count=0\n")); /* zero failure: debug */
}

TEST(cdir_sync_file_reason, logs_the_formatted_reason_at_debug_level)
{
  g_log.clear();
  log2_set_forward(capture_log);
  cdir_sync_file_reason(nullptr, "[%s] size=%lld != %lld", "/d/f", 5LL, 7LL);
  log2_set_forward(nullptr);
  ASSERT_EQ(1u, g_log.size());
  EXPECT_EQ(LOG2_DBG, g_log[0].level);
  EXPECT_EQ("[/d/f] size=5 != 7", g_log[0].text);
}

TEST(cdir_stat_summary_write, colours_log_path_and_last_errno)
{
  cdir_stat st;
  cdir_stat_init(&st, CDIR_EP_BASE);
  set(st.open_dir_fail_count, 2);
  set(st.kind[CDIR_PATH_PLAIN].file_count, 3);
  cdir_stat_line lines[CDIR_STAT_LINES_MAX];
  int n = cdir_stat_lines(CDIR_OP_LS, CDIR_EP_BASE, &st, 1000, lines, CDIR_STAT_LINES_MAX);
  ASSERT_EQ(8, n);

  const std::string body = "\n"
                           "\033[37menum_file_count=3\033[0m\n"
                           "\033[37menum_file_size=0 (0)\033[0m\n"
                           "\033[37menum_dir_count=0\033[0m\n"
                           "\033[01;07;31mopen_dir_fail_count=2\033[0m\n"
                           "\033[37mi_drop_name_too_long_count=0\033[0m\n"
                           "\033[37mo_drop_name_too_long_count=0\033[0m\n"
                           "\033[37mo_drop_name_unsupport_count=0\033[0m\n"
                           "\033[37mtotal_time=00:00:01.000\033[0m\n";
  {
    mem_out out;
    EXPECT_EQ(0, cdir_stat_summary_write(out.fp, lines, n, "/var/log/qvcp.log", 3, "File not found."));
    EXPECT_EQ(body + "Log=/var/log/qvcp.log\n" + "\033[01;31mlast_errno=3 err: File not found.\033[0m\n", out.text());
  }
  {
    mem_out out; /* no log file, result 0: neither extra line */
    EXPECT_EQ(0, cdir_stat_summary_write(out.fp, lines, n, nullptr, 0, "ignored"));
    EXPECT_EQ(body, out.text());
  }
}

TEST(cdir_stat_summary, names_the_log_file_only_when_there_is_one)
{
  cdir_stat st;
  cdir_stat_init(&st, CDIR_EP_BASE);
  {
    mem_out out;
    ASSERT_EQ(0, cdir_stat_summary(out.fp, CDIR_OP_COPY, CDIR_EP_BASE, &st, 10, 0, nullptr));
    EXPECT_EQ(std::string::npos, out.text().find("Log="));
  }

  char dir[] = "/tmp/cdir_stat_test.XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(dir));
  std::string path = std::string(dir) + "/run.log";
  ASSERT_EQ(0, log2_ioctl(nullptr, LOG2_IOC_FILE_OPEN, path.c_str(), 0));
  int on = 1;
  ASSERT_EQ(0, log2_ioctl(nullptr, LOG2_IOC_FILE_ON, &on, sizeof on));
  std::string text;
  {
    mem_out out;
    EXPECT_EQ(0, cdir_stat_summary(out.fp, CDIR_OP_COPY, CDIR_EP_BASE, &st, 10, 7, "Operation cancelled."));
    text = out.text();
  }
  on = 0;
  log2_ioctl(nullptr, LOG2_IOC_FILE_ON, &on, sizeof on);
  unlink(path.c_str());
  rmdir(dir);

  /* a memory stream is no terminal: the same lines without colour */
  std::string tail = "\ntotal_time=00:00:00.010\nLog=" + path + "\nlast_errno=7 err: Operation cancelled.\n";
  ASSERT_GE(text.size(), tail.size());
  EXPECT_EQ(tail, text.substr(text.size() - tail.size()));
}

TEST(cdir_progress_print, lines_per_job_and_padding)
{
  cdir_stat st;
  cdir_stat_init(&st, CDIR_EP_BASE | CDIR_EP_STREAM);
  set(st.enum_size, 1048576);
  set(st.total_write, 524288);
  set(st.kind[CDIR_PATH_PLAIN].file_count, 3);
  set(st.kind[CDIR_PATH_STREAM_XATTR].file_count, 4);
  set(st.kind[CDIR_PATH_PLAIN].open_count, 2);
  set(st.kind[CDIR_PATH_PLAIN].o_fail, 1);
  set(st.kind[CDIR_PATH_PLAIN].del_count, 8);
  set(st.enum_dir_count, 5);
  set(st.open_dir_fail_count, 6);

  static const struct {
    int job;
    const char *line;
  } ticks[] = {
      {CDIR_JOB_COPY, "EnumSize=1.0M WSize=512.0K WRate=512.0K EnumFCount=7 WriteFCount=2 ErrFCount=1 FileRate=2.00"},
      /* shorter: padded to the copy line */
      {CDIR_JOB_FILE, "FileSize=1.0M WSize=512.0K WRate=512.0K"},
      /* longer than the file line: no padding, even though the copy line was longer still */
      {CDIR_JOB_LIST, "FileSize=1.0M FileCount=7 DirCount=5 DirFailCount=6"},
      {CDIR_JOB_SYNC, "EnumSize=1.0M WSize=512.0K WRate=512.0K EnumFCount=7 WriteFCount=2 ErrFCount=1 DelFile=8"},
      /* the same length again: no padding */
      {CDIR_JOB_SYNC, "EnumSize=1.0M WSize=512.0K WRate=512.0K EnumFCount=7 WriteFCount=2 ErrFCount=1 DelFile=8"},
  };
  cdir_progress pg;
  size_t prev = 0;
  for (const auto &t : ticks) {
    mem_out out;
    std::string line = t.line;
    std::string want = "\r" + line + std::string(prev > line.size() ? prev - line.size() : 0, ' ');
    EXPECT_EQ(static_cast<int>(want.size() - 1), cdir_progress_print(out.fp, &pg, t.job, &st, 1000)) << t.line;
    /* flushed by the writer itself: the buffer already holds the line */
    EXPECT_EQ(want.size(), out.len) << t.line;
    EXPECT_EQ(want, out.text()) << t.line;
    prev = line.size();
  }

  mem_out out;
  int before = pg.last_len;
  EXPECT_EQ(-2, cdir_progress_print(out.fp, &pg, 9, &st, 1000));
  EXPECT_EQ("", out.text());
  EXPECT_EQ(before, pg.last_len);
}

TEST(cdir_progress_print, zero_elapsed_has_no_division_by_zero)
{
  cdir_stat st;
  cdir_stat_init(&st, CDIR_EP_BASE);
  set(st.total_write, 2048);
  cdir_progress pg;
  mem_out out;
  ASSERT_GT(cdir_progress_print(out.fp, &pg, CDIR_JOB_FILE, &st, 0), 0);
  EXPECT_EQ("\rFileSize=0 WSize=2.0K WRate=2.0M", out.text());
}

TEST(cdir_reason_symbol, table)
{
  static const struct {
    uint32_t flags;
    const char *want;
  } cases[] = {
      {0, "+"}, {1, "+"}, {2, "-"}, {3, "P"}, {4, "K"}, {5, "L"}, {6, "T"}, {7, "H"}, {8, "A"}, {9, "?"}, {0xff, "?"},
      /* the hard-link mark and other high bits do not change the reason */
      {0x100 | 5, "L"}, {0x100, "+"}, {0x7700 | 2, "-"},
  };
  for (const auto &c : cases)
    EXPECT_STREQ(c.want, cdir_reason_symbol(c.flags)) << std::hex << c.flags;
}

TEST(cdir_trace_file_ops_imp, lines_and_answers)
{
  const uint32_t OPS = CDIR_TRACE_FILE_OPS, DRY = CDIR_TRACE_DRY_RUN;
  static const struct {
    uint32_t trace, mode, item_flags;
    bool del;
    const char *path;
    bool dir;
    const char *want;
    bool carry_out;
  } cases[] = {
      {OPS, 2, 1, false, "/a/new.txt", false, "+ /a/new.txt\n", true},
      {OPS, 2, 1, false, "/a/newdir", true, "+ /a/newdir/\n", true},
      {OPS, 2, 5, false, "/a/bigger", false, "L /a/bigger\n", true},
      {OPS, 5, 6, false, "/a/touched", false, "T /a/touched\n", true},
      {OPS, 5, 0x100 | 7, false, "/a/linked", false, "H /a/linked\n", true},
      {OPS, 5, 9, false, "/a/odd", false, "? /a/odd\n", true},
      /* deletions: no reason becomes "-", a given reason stays */
      {OPS, 5, 0, true, "/a/gone", false, "- /a/gone\n", true},
      {OPS, 5, 0, true, "/a/gonedir", true, "- /a/gonedir/\n", true},
      {OPS, 5, 3, true, "/a/typechange", false, "P /a/typechange\n", true},
      /* without a deletion, no reason stays "+" */
      {OPS, 2, 0, false, "/a/x", false, "+ /a/x\n", true},
      /* copy mode 4 traces everything as new */
      {OPS, 4, 5, false, "/a/over", false, "+ /a/over\n", true},
      {OPS, 4, 0x100 | 4, false, "/a/over2", false, "+ /a/over2\n", true},
      /* dry run: traced, not carried out */
      {OPS | DRY, 2, 5, false, "/a/dry", false, "L /a/dry\n", false},
      /* no trace bit: silent */
      {0, 2, 5, false, "/a/quiet", false, "", true},
      {DRY, 2, 5, false, "/a/quietdry", false, "", false},
      {CDIR_TRACE_SYNC_REASON | CDIR_TRACE_PROGRESS, 2, 1, false, "/a/q", false, "", true},
  };
  for (const auto &c : cases) {
    mem_out out;
    EXPECT_EQ(c.carry_out, cdir_trace_file_ops_imp(out.fp, c.trace, c.mode, c.item_flags, c.del, c.path, c.dir))
        << c.path;
    EXPECT_EQ(c.want, out.text()) << c.path;
  }
}

TEST(cdir_stat_has_failures, by_op_and_stream_bit)
{
  enum { NONE, OPEN_DIR, O_DIR, I_FAIL, O_FAIL, SX_I_FAIL, SX_O_FAIL, DEL_FAIL, SX_DEL_FAIL, DROPS, UNSUPPORTED,
         ACL_FAIL };
  const uint32_t B = CDIR_EP_BASE, S = CDIR_EP_BASE | CDIR_EP_STREAM;
  static const struct {
    int counter;
    uint32_t op, flags;
    bool want;
  } cases[] = {
      {NONE, CDIR_OP_COPY, S, false},      {NONE, CDIR_OP_SYNC, S, false},
      /* directory open failures count on every operation */
      {OPEN_DIR, CDIR_OP_COPY, B, true},   {OPEN_DIR, CDIR_OP_SYNC, B, true},
      {OPEN_DIR, CDIR_OP_LS, B, true},     {OPEN_DIR, CDIR_OP_STATFS, B, true},
      /* transfer failures on copy and sync only */
      {O_DIR, CDIR_OP_COPY, B, true},      {O_DIR, CDIR_OP_SYNC, B, true},      {O_DIR, CDIR_OP_LS, B, false},
      {I_FAIL, CDIR_OP_COPY, B, true},     {I_FAIL, CDIR_OP_SYNC, B, true},     {I_FAIL, CDIR_OP_LS, B, false},
      {O_FAIL, CDIR_OP_COPY, B, true},     {O_FAIL, CDIR_OP_SYNC, B, true},     {O_FAIL, CDIR_OP_LS, B, false},
      /* stream failures need the stream bit */
      {SX_I_FAIL, CDIR_OP_COPY, S, true},  {SX_I_FAIL, CDIR_OP_COPY, B, false}, {SX_I_FAIL, CDIR_OP_LS, S, false},
      {SX_O_FAIL, CDIR_OP_SYNC, S, true},  {SX_O_FAIL, CDIR_OP_SYNC, B, false},
      {SX_O_FAIL, CDIR_OP_COPY, CDIR_EP_BASE | CDIR_EP_ACL, false},
      /* deletion failures on copy (the listed modes delete) and sync */
      {DEL_FAIL, CDIR_OP_SYNC, B, true},   {DEL_FAIL, CDIR_OP_COPY, B, true},   {DEL_FAIL, CDIR_OP_LS, B, false},
      {SX_DEL_FAIL, CDIR_OP_SYNC, S, true}, {SX_DEL_FAIL, CDIR_OP_SYNC, B, false},
      {SX_DEL_FAIL, CDIR_OP_COPY, S, true},
      /* a path dropped for its length was not handled, on every op */
      {DROPS, CDIR_OP_COPY, S, true},      {DROPS, CDIR_OP_SYNC, S, true},      {DROPS, CDIR_OP_LS, B, true},
      /* entries of kinds the output cannot hold and the hidden ACL block are not failures */
      {UNSUPPORTED, CDIR_OP_SYNC, S, false},
      {ACL_FAIL, CDIR_OP_SYNC, S, false},
  };
  for (const auto &c : cases) {
    cdir_stat st;
    cdir_stat_init(&st, c.flags);
    cdir_stat_kind &pl = st.kind[CDIR_PATH_PLAIN];
    cdir_stat_kind &sx = st.kind[CDIR_PATH_STREAM_XATTR];
    cdir_stat_kind &acl = st.kind[CDIR_PATH_ACL];
    switch (c.counter) {
    case OPEN_DIR: set(st.open_dir_fail_count, 1); break;
    case O_DIR: set(st.o_dir_fail_count, 1); break;
    case I_FAIL: set(pl.i_fail, 1); break;
    case O_FAIL: set(pl.o_fail, 1); break;
    case SX_I_FAIL: set(sx.i_fail, 1); break;
    case SX_O_FAIL: set(sx.o_fail, 1); break;
    case DEL_FAIL: set(pl.del_fail, 1); break;
    case SX_DEL_FAIL: set(sx.del_fail, 1); break;
    case DROPS:
      set(st.i_drop_name_too_long, 1);
      set(st.o_drop_name_too_long, 1);
      break;
    case UNSUPPORTED:
      set(st.o_unsupport_files, 1);
      set(st.o_unsupport_dirs, 1);
      break;
    case ACL_FAIL:
      set(acl.i_fail, 1);
      set(acl.o_fail, 1);
      set(acl.del_fail, 1);
      break;
    default: break;
    }
    EXPECT_EQ(c.want, cdir_stat_has_failures(c.op, c.flags, &st))
        << "counter " << c.counter << " op " << c.op << " flags " << c.flags;
  }
}
