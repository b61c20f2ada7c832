#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "liblog/log2.h"
#include "libpal/os/os_dirent.h"
#include "libpal/string/pl_escape.h"
#include "libpal/string/pl_scanf.h"
#include "librdir/hardlink.h"
#include "librdir/mstat.h"
#include "librdir/rdir_line.h"
#include "librdir/rdir_stat.h"

namespace {

struct log_line {
  int level;
  std::string func;
  std::string text;
};
std::vector<log_line> g_lines;

void capture(int level, const char *, const char *, int, const char *func, const char *fmt, va_list ap)
{
  char b[1024];
  vsnprintf(b, sizeof b, fmt, ap);
  g_lines.push_back({level, func ? func : "", b});
}

struct log_capture {
  log_capture()
  {
    g_lines.clear();
    log2_set_forward(capture);
  }
  ~log_capture() { log2_set_forward(nullptr); }
};

struct mstat_deleter {
  void operator()(mstat *h) const { mstat_free(h); }
};
using mstat_ptr = std::unique_ptr<mstat, mstat_deleter>;

mstat_ptr new_list()
{
  return mstat_ptr(mstat_alloc(nullptr));
}

/* One listing line written field by field, the way a peer sends it. */
struct raw_line {
  std::string name = "f";
  std::string link;
  uint32_t type = TYPE_FILE;
  uint32_t mode = 0x81a4;
  uint32_t alt = 0x80;
  uint64_t size = 10;
  uint64_t tc = 0x100, tw = 0x200, ta = 0x300;
  uint32_t uid = 1, gid = 2;
  uint64_t nlink = 1, ext = 0, ino = 0x77, dev = 0x801;
  std::string streams; /* escaped already */
  std::string text() const
  {
    char b[512];
    snprintf(b, sizeof b, "\t%x\t%x\t%x\t%llu\t%llx\t%llx\t%llx\t%u\t%u\t%llu\t%llx\t%llx\t%llx\t", type, mode, alt,
             static_cast<unsigned long long>(size), static_cast<unsigned long long>(tc),
             static_cast<unsigned long long>(tw), static_cast<unsigned long long>(ta), uid, gid,
             static_cast<unsigned long long>(nlink), static_cast<unsigned long long>(ext),
             static_cast<unsigned long long>(ino), static_cast<unsigned long long>(dev));
    return name + "\t" + link + b + streams + "\n";
  }
};

std::vector<mstat_item> items_of(mstat *h)
{
  uint64_t n = 0;
  mstat_item *it = mstat_get_item(h, &n);
  return std::vector<mstat_item>(it, it + n);
}

int parse(const std::string &text, stat_parse_ctx *ctx, mstat *h)
{
  std::string buf = text;
  return str_2_stat(buf.data(), ctx, h);
}

os_dirent sample_dirent()
{
  os_dirent d;
  snprintf(d.name, sizeof d.name, "%s", "my\tfile\\x");
  d.type = TYPE_FILE | TYPE_F_SYMLINK;
  snprintf(d.link_name, sizeof d.link_name, "%s", "../t");
  d.attrib_mode = 0xa1ff;
  d.size = 4;
  d.time_create = 0x5f000001;
  d.time_write = 0x5f000002;
  d.time_access = 0x5f000003;
  d.uid = 1000;
  d.gid = 100;
  d.st_nlink = 1;
  d.file_id_ext = 0;
  d.st_ino = 0xabc;
  d.st_dev = 0x803;
  d.streams = "user.a\tX\t3\n";
  return d;
}

} // namespace

TEST(alt_mode_default, table)
{
  static const struct {
    uint32_t type;
    uint32_t want;
  } cases[] = {
      {TYPE_FILE, 0x80},
      {TYPE_DIR, 0x80},
      {TYPE_DIR | TYPE_F_NOMODE, 0755},
      {TYPE_FILE | TYPE_F_NOMODE, 0644},
      {TYPE_DEV | TYPE_F_NOMODE, 0644},
      /* a link flag makes the masked kind differ from 1 */
      {TYPE_DIR | TYPE_F_SYMLINK | TYPE_F_NOMODE, 0644},
  };
  for (const auto &c : cases)
    EXPECT_EQ(c.want, alt_mode_default(c.type)) << std::hex << c.type;
}

TEST(dirent_to_line, sixteen_escaped_fields)
{
  os_dirent d = sample_dirent();
  std::string line;
  int n = dirent_to_line(&d, &line);
  EXPECT_EQ(static_cast<int>(line.size()), n);
  EXPECT_EQ("my\\tfile\\\\x\t../t\t102\ta1ff\t80\t4\t5f000001\t5f000002\t5f000003\t1000\t100\t1\t0\tabc\t803\t"
            "user.a\\tX\\t3\\n\n",
            line);

  std::string l2;
  ASSERT_GT(dirent_to_line2(&d, &l2), 0);
  EXPECT_EQ("F " + line, l2);
  d.type = TYPE_DIR;
  l2.clear();
  ASSERT_GT(dirent_to_line2(&d, &l2), 0);
  EXPECT_EQ("D ", l2.substr(0, 2));
  d.type = TYPE_DIR | TYPE_F_SYMLINK; /* masked kind 0x101: a link is never walked into */
  l2.clear();
  ASSERT_GT(dirent_to_line2(&d, &l2), 0);
  EXPECT_EQ("F ", l2.substr(0, 2));
}

TEST(dirent_to_line, numbers_at_their_limits_read_as_printf_writes_them)
{
  static const struct {
    uint32_t u32;
    int64_t s64;
    uint64_t u64;
  } cases[] = {
      {0, 0, 0},
      {1, -1, 1},
      {0xffffffffu, INT64_MAX, UINT64_MAX},
      {0x80000000u, INT64_MIN, 0x8000000000000000ull},
      {10, 9, 15},
      {16, 10, 16},
      {4294967295u, -1000000000000000000ll, 0x0123456789abcdefull},
  };
  for (const auto &c : cases) {
    os_dirent d = sample_dirent();
    d.type = d.attrib_mode = c.u32;
    d.uid = d.gid = c.u32;
    d.size = c.s64;
    d.time_create = d.time_write = d.time_access = c.s64;
    d.st_nlink = c.u64;
    d.file_id_ext = d.st_ino = d.st_dev = c.u64;
    d.streams.clear();
    std::string line;
    ASSERT_GT(dirent_to_line(&d, &line), 0);
    char want[512];
    snprintf(want, sizeof want, "my\\tfile\\\\x\t../t\t%x\t%x\t%x\t%lld\t%llx\t%llx\t%llx\t%u\t%u\t%lld\t%llx\t%llx\t%llx\t\n",
             c.u32, c.u32, alt_mode_default(c.u32), static_cast<long long>(c.s64),
             static_cast<unsigned long long>(c.s64), static_cast<unsigned long long>(c.s64),
             static_cast<unsigned long long>(c.s64), c.u32, c.u32, static_cast<long long>(c.u64),
             static_cast<unsigned long long>(c.u64), static_cast<unsigned long long>(c.u64),
             static_cast<unsigned long long>(c.u64));
    EXPECT_EQ(want, line) << c.u32 << " " << c.s64 << " " << c.u64;
  }
}

TEST(dirent_to_line, appends_and_refuses_unterminated_fields)
{
  os_dirent d = sample_dirent();
  std::string line = "keep";
  ASSERT_GT(dirent_to_line(&d, &line), 0);
  EXPECT_EQ(0u, line.find("keep"));
  memset(d.name, 'a', sizeof d.name);
  std::string other = "x";
  EXPECT_EQ(-2, dirent_to_line(&d, &other));
  EXPECT_EQ("x", other);
}

TEST(dirent_to_line, round_trips_through_str_2_stat)
{
  log_capture lc; /* control bytes unescape with a warning each */
  os_dirent d = sample_dirent();
  /* every byte 1..255 in the name */
  for (int i = 1; i < 256; i++)
    d.name[i - 1] = static_cast<char>(i);
  d.name[255] = '\0';
  d.streams.clear();
  std::string line;
  ASSERT_GT(dirent_to_line(&d, &line), 0);
  auto h = new_list();
  ASSERT_EQ(0, parse(line, nullptr, h.get()));
  auto items = items_of(h.get());
  ASSERT_EQ(1u, items.size());
  const mstat_item &it = items[0];
  std::string nm(it.name);
  ASSERT_GE(nm.size(), 4u);
  EXPECT_EQ("\\0\\0", nm.substr(nm.size() - 4));
  std::string back;
  ASSERT_GE(str_unescape_cstr_append(nm.data(), nm.size(), &back), 0);
  EXPECT_EQ(std::string(d.name) + std::string("\0\0", 2), back);
  EXPECT_STREQ("../t", it.link_name);
  EXPECT_EQ(d.type, it.type);
  EXPECT_EQ(d.attrib_mode, it.attrib_mode);
  EXPECT_EQ(0x80u, it.alt_mode);
  EXPECT_EQ(4u, it.size);
  EXPECT_EQ(0x5f000001u, it.time_create);
  EXPECT_EQ(0x5f000002u, it.time_write);
  EXPECT_EQ(0x5f000003u, it.time_access);
  EXPECT_EQ(1000u, it.uid);
  EXPECT_EQ(100u, it.gid);
  EXPECT_EQ(1u, it.st_nlink);
  EXPECT_EQ(0xabcu, it.st_ino);
  EXPECT_EQ(0x803u, it.st_dev);
  EXPECT_EQ(0, it.flags);
  EXPECT_EQ(0u, it.o_size);
}

TEST(str_2_stat, short_line_fails_and_keeps_earlier_items)
{
  log_capture lc;
  raw_line a, b;
  a.name = "a";
  b.name = "b";
  std::string bad = "c\t\t2\t81a4\t80\t1\t0\t0\t0\t0\t0\t1\t0\t1\t1\n"; /* 15 fields */
  auto h = new_list();
  EXPECT_EQ(-1, parse(a.text() + b.text() + bad + a.text(), nullptr, h.get()));
  auto items = items_of(h.get());
  ASSERT_EQ(2u, items.size());
  EXPECT_STREQ("a\\0\\0", items[0].name);
  EXPECT_STREQ("b\\0\\0", items[1].name);
  ASSERT_FALSE(g_lines.empty());
  EXPECT_EQ("ret=15 error: ret!=16", g_lines.back().text);
  EXPECT_EQ("str_2_stat", g_lines.back().func);
}

TEST(str_2_stat, bad_fields_fail_cleanly)
{
  log_capture lc;
  raw_line base;
  std::string good = base.text();
  good.pop_back();
  std::vector<std::string> bad;
  {
    std::string s = good; /* a hex field with a non-hex letter */
    s.replace(s.find("\t2\t"), 3, "\t2g\t");
    bad.push_back(s);
  }
  bad.push_back("f\t\tzz" + good.substr(good.find("\t81a4")));               /* type not a number */
  bad.push_back(good.substr(0, good.rfind('\t')) + "\tend\\");                /* lone final backslash */
  bad.push_back(std::string("f\t\t2\t81a4\t80\t-5") + good.substr(good.find("\t100")));  /* negative size */
  bad.push_back(std::string("f\t\t100000000\t81a4") + good.substr(good.find("\t80")));  /* type above 32 bits */
  bad.push_back("\t");
  bad.push_back("\xff\xfe\t\x80");
  for (const auto &b : bad) {
    auto h = new_list();
    EXPECT_EQ(-1, parse(b + "\n", nullptr, h.get())) << b;
    EXPECT_EQ(0u, items_of(h.get()).size()) << b;
  }
}

TEST(str_2_stat, long_and_odd_names_parse)
{
  raw_line a;
  a.name = std::string(600, 'n');
  raw_line b;
  b.name = std::string(100000, 'q');
  raw_line c;
  c.name = "\xe6\x97\xa5\xff\x80";
  std::string text = "\n\n" + a.text() + "\n" + b.text() + c.text(); /* empty lines are skipped */
  text.pop_back();                                                   /* last line without "\n" */
  auto h = new_list();
  ASSERT_EQ(0, parse(text, nullptr, h.get()));
  auto items = items_of(h.get());
  ASSERT_EQ(3u, items.size());
  EXPECT_EQ(604u, strlen(items[0].name));
  EXPECT_EQ(100004u, strlen(items[1].name));
  EXPECT_EQ(c.name + "\\0\\0", items[2].name);
}

TEST(str_2_stat, empty_link_is_null_and_empty_streams_add_nothing)
{
  raw_line a;
  raw_line b;
  b.name = "l";
  b.type = TYPE_FILE | TYPE_F_SYMLINK;
  b.link = "t\\tx";
  auto h = new_list();
  ASSERT_EQ(0, parse(a.text() + b.text(), nullptr, h.get()));
  auto items = items_of(h.get());
  ASSERT_EQ(2u, items.size());
  EXPECT_EQ(nullptr, items[0].link_name);
  EXPECT_STREQ("t\\tx", items[1].link_name); /* kept escaped */
}

TEST(str_2_stat, windows_target_drops_and_counts)
{
  log_capture lc;
  stat_parse_ctx ctx;
  ctx.win_target = true;
  raw_line bs_file, bs_dir, fifo, link, plain, ctrl;
  bs_file.name = "a\\\\b"; /* a real backslash, escaped */
  bs_dir.name = "d\\\\x";
  bs_dir.type = TYPE_DIR;
  fifo.name = "p";
  fifo.type = TYPE_DEV;
  fifo.mode = 0x1180;
  link.name = "l";
  link.type = TYPE_FILE | TYPE_F_SYMLINK;
  link.link = "t";
  plain.name = "ok";
  ctrl.name = "t\\tab";
  auto h = new_list();
  ASSERT_EQ(0, parse(bs_file.text() + bs_dir.text() + fifo.text() + link.text() + plain.text() + ctrl.text(), &ctx,
                     h.get()));
  auto items = items_of(h.get());
  ASSERT_EQ(2u, items.size());
  EXPECT_STREQ("l\\0\\0", items[0].name);
  EXPECT_EQ(0x102u, items[0].type);
  EXPECT_STREQ("ok\\0\\0", items[1].name);
  EXPECT_EQ(3u, ctx.drop_files.load());
  EXPECT_EQ(1u, ctx.drop_dirs.load());
  ASSERT_EQ(4u, g_lines.size());
  EXPECT_EQ("[a\\\\b] Containing '\\' is not supported", g_lines[0].text);
  EXPECT_EQ("[p] mode=010600 dev-type are not supported on Windows.", g_lines[2].text);
  for (const auto &l : g_lines) {
    EXPECT_EQ("libdir_stat_is_drop", l.func);
    EXPECT_EQ(LOG2_ERR, l.level);
  }

  /* without the Windows flag nothing is dropped */
  stat_parse_ctx posix;
  auto h2 = new_list();
  ASSERT_EQ(0, parse(bs_file.text() + fifo.text(), &posix, h2.get()));
  EXPECT_EQ(2u, items_of(h2.get()).size());
  EXPECT_EQ(0u, posix.drop_files.load());
}

TEST(str_2_stat, hard_links_within_one_listing)
{
  std::unique_ptr<hardlink_table, void (*)(hardlink_table *)> hl(hardlink_table_alloc(), hardlink_table_free);
  ASSERT_NE(nullptr, hl);
  stat_parse_ctx ctx;
  ctx.hardlink = true;
  ctx.hl = hl.get();
  ctx.dir = "/sub";
  raw_line first, second, other_ext, dir_same, no_count;
  first.name = "a";
  first.nlink = 2;
  first.size = 123;
  second = first;
  second.name = "b";
  other_ext = first;
  other_ext.name = "c";
  other_ext.ext = 1;
  dir_same = first;
  dir_same.name = "d";
  dir_same.type = TYPE_DIR;
  no_count = first;
  no_count.name = "e";
  no_count.nlink = 0;
  no_count.ino = 0x99;
  auto h = new_list();
  ASSERT_EQ(0, parse(first.text() + second.text() + other_ext.text() + dir_same.text() + no_count.text(), &ctx,
                     h.get()));
  auto items = items_of(h.get());
  ASSERT_EQ(5u, items.size());
  EXPECT_EQ(0, items[0].flags);
  EXPECT_EQ(123u, items[0].size);
  EXPECT_EQ(ITEM_F_HARDLINK, items[1].flags);
  EXPECT_EQ(0u, items[1].size);
  EXPECT_STREQ("/sub/a\\0\\0", items[1].link_name);
  EXPECT_EQ(0, items[2].flags); /* another third identity word is another file */
  EXPECT_EQ(0, items[3].flags); /* directories are never hard links */
  EXPECT_EQ(0, items[4].flags);
  EXPECT_EQ(1u, mstat_hardlink_count(h.get()));

  /* the table lives across listings of one side: a name in the root links to the first path */
  ctx.dir = "";
  raw_line third = first;
  third.name = "z";
  auto h2 = new_list();
  ASSERT_EQ(0, parse(third.text(), &ctx, h2.get()));
  EXPECT_STREQ("/sub/a\\0\\0", items_of(h2.get())[0].link_name);

  /* detection off: no marks */
  ctx.hardlink = false;
  auto h3 = new_list();
  ASSERT_EQ(0, parse(first.text() + second.text(), &ctx, h3.get()));
  EXPECT_EQ(0u, mstat_hardlink_count(h3.get()));
}

TEST(str_2_stat, first_path_of_a_root_entry)
{
  std::unique_ptr<hardlink_table, void (*)(hardlink_table *)> hl(hardlink_table_alloc(), hardlink_table_free);
  stat_parse_ctx ctx;
  ctx.hardlink = true;
  ctx.hl = hl.get();
  raw_line a, b;
  a.name = "x\\ty";
  a.nlink = 2;
  b = a;
  b.name = "w";
  auto h = new_list();
  ASSERT_EQ(0, parse(a.text() + b.text(), &ctx, h.get()));
  EXPECT_STREQ("/x\\ty\\0\\0", items_of(h.get())[1].link_name);
}

TEST(str_2_stat, streams_become_items_before_their_file)
{
  raw_line f;
  f.name = "f";
  f.size = 50;
  f.streams = "user.a\\tX\\t3\\nuser.b\\tX\\t0\\n";
  raw_line d;
  d.name = "d";
  d.type = TYPE_DIR;
  d.streams = "7s\\tX\\t9\\n"; /* a stream name that begins with a digit */
  auto h = new_list();
  ASSERT_EQ(0, parse(f.text() + d.text(), nullptr, h.get()));
  auto items = items_of(h.get());
  ASSERT_EQ(5u, items.size());
  EXPECT_STREQ("f\\0X\\0user.a\\0\\0", items[0].name);
  EXPECT_EQ(3u, items[0].size);
  EXPECT_EQ(nullptr, items[0].link_name);
  EXPECT_STREQ("f\\0X\\0user.b\\0\\0", items[1].name);
  EXPECT_EQ(0u, items[1].size);
  EXPECT_STREQ("f\\0\\0", items[2].name);
  EXPECT_EQ(50u, items[2].size);
  /* a directory's stream is a file */
  EXPECT_EQ(TYPE_FILE, items[3].type);
  EXPECT_EQ(TYPE_DIR, items[4].type);
  std::string zz;
  ASSERT_GE(str_unescape_cstr_append(items[3].name, strlen(items[3].name), &zz), 0);
  EXPECT_EQ(std::string("d\0X\0" "7s\0\0", 8), zz);
}

TEST(str_2_stat, no_stream_items_for_links_of_windows_peers_or_hard_links)
{
  std::unique_ptr<hardlink_table, void (*)(hardlink_table *)> hl(hardlink_table_alloc(), hardlink_table_free);
  stat_parse_ctx ctx;
  ctx.hardlink = true;
  ctx.hl = hl.get();
  raw_line wl;
  wl.name = "wl";
  wl.type = TYPE_FILE | TYPE_F_NOMODE | TYPE_F_SYMLINK;
  wl.streams = "s\\tS\\t1\\n";
  raw_line wj = wl;
  wj.name = "wj";
  wj.type = TYPE_DIR | TYPE_F_NOMODE | TYPE_F_JUNCTION;
  raw_line posix_link = wl;
  posix_link.name = "pl";
  posix_link.type = TYPE_FILE | TYPE_F_SYMLINK; /* a POSIX link keeps its xattrs */
  raw_line h1;
  h1.name = "h1";
  h1.nlink = 2;
  raw_line h2 = h1;
  h2.name = "h2";
  h2.streams = "user.a\\tX\\t1\\n";
  auto h = new_list();
  ASSERT_EQ(0, parse(wl.text() + wj.text() + posix_link.text() + h1.text() + h2.text(), &ctx, h.get()));
  auto items = items_of(h.get());
  ASSERT_EQ(6u, items.size());
  EXPECT_STREQ("wl\\0\\0", items[0].name);
  EXPECT_STREQ("wj\\0\\0", items[1].name);
  EXPECT_STREQ("pl\\0S\\0s\\0\\0", items[2].name);
  EXPECT_STREQ("pl\\0\\0", items[3].name);
  EXPECT_STREQ("h2\\0\\0", items[5].name);
  EXPECT_EQ(ITEM_F_HARDLINK, items[5].flags);
}

TEST(str_2_stat, bad_stream_lines_are_skipped)
{
  log_capture lc;
  raw_line f;
  f.streams = "only_name\\nuser.a\\tX\\tNaN\\nuser.ok\\tX\\t2\\n";
  auto h = new_list();
  ASSERT_EQ(0, parse(f.text(), nullptr, h.get()));
  auto items = items_of(h.get());
  ASSERT_EQ(2u, items.size());
  EXPECT_STREQ("f\\0X\\0user.ok\\0\\0", items[0].name);
}

TEST(dir_line, round_trip_and_field_count)
{
  log_capture lc;
  file_attr a;
  a.link_name = "ignored";
  a.type = TYPE_DIR;
  a.attrib_mode = 0x41ed;
  a.alt_mode = 0x80;
  a.time_create = 0x11;
  a.time_write = 0x22;
  a.time_access = 0x33;
  a.uid = 5;
  a.gid = 6;
  std::string line;
  ASSERT_GT(mstat_dir_line("sub\\tdir\\0\\0", &a, &line), 0);
  EXPECT_EQ("sub\\tdir\\0\\0\t1\t41ed\t80\t11\t22\t33\t5\t6", line);
  char *name = nullptr;
  file_attr b;
  ASSERT_EQ(0, libmfile_dir_scanf(line.data(), &name, &b));
  EXPECT_STREQ("sub\\tdir\\0\\0", name);
  EXPECT_EQ(nullptr, b.link_name);
  EXPECT_EQ(a.type, b.type);
  EXPECT_EQ(a.attrib_mode, b.attrib_mode);
  EXPECT_EQ(a.alt_mode, b.alt_mode);
  EXPECT_EQ(a.time_create, b.time_create);
  EXPECT_EQ(a.time_write, b.time_write);
  EXPECT_EQ(a.time_access, b.time_access);
  EXPECT_EQ(a.uid, b.uid);
  EXPECT_EQ(a.gid, b.gid);

  std::string short_line = "d\t1\t41ed\t80\t11\t22\t33\t5";
  EXPECT_EQ(-1, libmfile_dir_scanf(short_line.data(), &name, &b));
  EXPECT_EQ("ret=8 error: ret!=9", g_lines.back().text);
  std::string bad_num = "d\t1\t41ed\t80\t11\t22\t33\t5\t-6";
  EXPECT_EQ(-1, libmfile_dir_scanf(bad_num.data(), &name, &b));
  EXPECT_EQ("ret=8 error: ret!=9", g_lines.back().text);

  std::string out = "x";
  EXPECT_EQ(-2, mstat_dir_line("raw\ttab", &a, &out));
  EXPECT_EQ(-2, mstat_dir_line("raw\nlf", &a, &out));
  EXPECT_EQ("x", out);
}

TEST(write_line, round_trip_and_field_count)
{
  log_capture lc;
  file_attr a;
  a.type = TYPE_FILE | TYPE_F_SYMLINK;
  a.link_name = "tar\\tget";
  a.attrib_mode = 0xa1ff;
  a.alt_mode = 0x80;
  a.time_create = 1;
  a.time_write = 0xffffffffffffffffull;
  a.time_access = 3;
  a.uid = 4294967295u;
  a.gid = 0;
  std::string line;
  ASSERT_GT(mstat_write_line("n\\0\\0", &a, "aGVsbG8=", &line), 0);
  EXPECT_EQ("n\\0\\0\ttar\\tget\t102\ta1ff\t80\t1\tffffffffffffffff\t3\t4294967295\t0\taGVsbG8=", line);
  char *name = nullptr, *data = nullptr;
  file_attr b;
  ASSERT_EQ(0, libmfile_write_scanf(line.data(), &name, &b, &data));
  EXPECT_STREQ("n\\0\\0", name);
  EXPECT_STREQ("tar\\tget", b.link_name);
  EXPECT_STREQ("aGVsbG8=", data);
  EXPECT_EQ(a.time_write, b.time_write);
  EXPECT_EQ(a.uid, b.uid);

  /* no link, no data */
  a.link_name = nullptr;
  std::string l2;
  ASSERT_GT(mstat_write_line("e\\0\\0", &a, nullptr, &l2), 0);
  ASSERT_EQ(0, libmfile_write_scanf(l2.data(), &name, &b, &data));
  EXPECT_EQ(nullptr, b.link_name);
  EXPECT_STREQ("", data);

  std::string ten = "n\t\t2\t81a4\t80\t1\t2\t3\t4\t5";
  EXPECT_EQ(-1, libmfile_write_scanf(ten.data(), &name, &b, &data));
  EXPECT_EQ("ret=10 error: ret!=11", g_lines.back().text);
  a.link_name = "raw\ttab";
  std::string out;
  EXPECT_EQ(-2, mstat_write_line("n", &a, "", &out));
}

TEST(write_result, lines_are_read_one_by_one)
{
  log_capture lc;
  std::string text;
  ASSERT_EQ(4, libmfile_write_result_line(MFILE_WRITE_DONE, 5, &text));
  ASSERT_GT(libmfile_write_result_line(MFILE_WRITE_OPEN_FAIL, -102, &text), 0);
  text += "2\t-250";
  ASSERT_EQ("0\t5\n1\t-102\n2\t-250", text);
  int stage = -1, value = 0;
  char *p = text.data();
  int used = libmfile_write_get_info(p, &stage, &value);
  EXPECT_EQ(4, used);
  EXPECT_EQ(0, stage);
  EXPECT_EQ(5, value);
  p += used;
  used = libmfile_write_get_info(p, &stage, &value);
  EXPECT_EQ(7, used);
  EXPECT_EQ(1, stage);
  EXPECT_EQ(-102, value);
  p += used;
  used = libmfile_write_get_info(p, &stage, &value); /* no "\n": the whole text and its NUL */
  EXPECT_EQ(7, used);
  EXPECT_EQ(2, stage);
  EXPECT_EQ(-250, value);

  char one[] = "0\n";
  EXPECT_EQ(-1, libmfile_write_get_info(one, &stage, &value));
  EXPECT_EQ("ret=1 error: ret!=2", g_lines.back().text);
  char junk[] = "x\ty\n";
  EXPECT_EQ(-1, libmfile_write_get_info(junk, &stage, &value));
  EXPECT_EQ("ret=0 error: ret!=2", g_lines.back().text);
}

TEST(data_block, header_bytes)
{
  static const struct {
    uint32_t len;
    int flag;
    uint8_t want[4];
  } cases[] = {
      {0, 0, {0, 0, 0, 0}},
      {0x010203, 0, {0x00, 0x01, 0x02, 0x03}},
      {RDIR_MAX_MLEN, 0, {0x3f, 0xff, 0xff, 0xff}},
      {4, 1, {0x80, 0, 0, 4}},
      {4, 2, {0x40, 0, 0, 4}},
  };
  for (const auto &c : cases) {
    uint8_t h[4] = {0xee, 0xee, 0xee, 0xee};
    ASSERT_EQ(0, libmfile_read_set_data_len_err(h, c.len, c.flag)) << c.len;
    EXPECT_EQ(0, memcmp(h, c.want, 4)) << c.len << " flag " << c.flag;
  }
}

TEST(data_block, header_rules_on_write)
{
  log_capture lc;
  uint8_t h[4] = {1, 2, 3, 4};
  EXPECT_EQ(-1, libmfile_read_set_data_len_err(h, RDIR_MAX_MLEN + 1, 0));
  ASSERT_FALSE(g_lines.empty());
  EXPECT_EQ("expr[dlen <= RDIR_MAX_MLEN]: chk_assert failed\n", g_lines.back().text);
  EXPECT_EQ(-1, libmfile_read_set_data_len_err(h, 5, 1)); /* a flagged block carries a 4-byte code */
  EXPECT_EQ(-1, libmfile_read_set_data_len_err(h, 4, 3));
  const uint8_t untouched[4] = {1, 2, 3, 4};
  EXPECT_EQ(0, memcmp(h, untouched, 4));
}

TEST(data_block, reading_blocks)
{
  /* a plain block of length 0 consumes its header only */
  {
    uint8_t b[4];
    ASSERT_EQ(0, libmfile_read_set_data_len_err(b, 0, 0));
    mfile_data out;
    out.data = {9, 9};
    size_t used = 0;
    ASSERT_EQ(0, libmfile_read_get_data_len_err(b, sizeof b, &used, &out));
    EXPECT_EQ(4u, used);
    EXPECT_EQ(0u, out.len);
    EXPECT_TRUE(out.data.empty());
    EXPECT_EQ(0, out.flags);
  }
  /* a plain block followed by an error block */
  {
    std::vector<uint8_t> buf(4 + 5 + 8);
    ASSERT_EQ(0, libmfile_read_set_data_len_err(buf.data(), 5, 0));
    memcpy(buf.data() + 4, "hello", 5);
    ASSERT_EQ(0, libmfile_read_set_err_block(buf.data() + 9, MFILE_DATA_OPEN_ERR, -102));
    mfile_data out;
    size_t used = 0;
    ASSERT_EQ(0, libmfile_read_get_data_len_err(buf.data(), buf.size(), &used, &out));
    EXPECT_EQ(9u, used);
    EXPECT_EQ(std::vector<uint8_t>({'h', 'e', 'l', 'l', 'o'}), out.data);
    size_t used2 = 0;
    ASSERT_EQ(0, libmfile_read_get_data_len_err(buf.data() + used, buf.size() - used, &used2, &out));
    EXPECT_EQ(8u, used2);
    EXPECT_EQ(MFILE_F_OPEN_ERR, out.flags);
    EXPECT_EQ(-102, out.code);
    EXPECT_TRUE(out.data.empty());
    EXPECT_EQ(0, buf[9] & 0xC0); /* the flags are cleared in the buffer */
  }
  /* both flags as a peer may send them */
  {
    uint8_t b[8] = {0xC0, 0, 0, 4, 0xff, 0xff, 0xff, 0x06};
    mfile_data out;
    size_t used = 0;
    ASSERT_EQ(0, libmfile_read_get_data_len_err(b, sizeof b, &used, &out));
    EXPECT_EQ(MFILE_F_OPEN_ERR | MFILE_F_READ_ERR, out.flags);
    EXPECT_EQ(-250, out.code);
  }
}

TEST(data_block, broken_headers_are_protocol_errors)
{
  log_capture lc;
  static const struct {
    std::vector<uint8_t> buf;
    const char *why;
  } cases[] = {
      {{0x80, 0, 0, 5, 0, 0, 0, 1, 0}, "flag with length 5"},
      {{0x40, 0, 0, 0}, "flag with length 0"},
      {{0x80, 0, 0, 4, 0, 0, 0}, "flagged block of 7 bytes"},
      {{0x00, 0, 0, 10, 1, 2, 3, 4}, "length beyond the reply"},
      {{0x3f, 0xff, 0xff, 0xff, 1}, "largest length, one byte there"},
      {{0x00, 0, 0}, "header cut short"},
      {{}, "nothing"},
  };
  for (const auto &c : cases) {
    std::vector<uint8_t> buf = c.buf;
    mfile_data out;
    out.len = 77;
    size_t used = 99;
    g_lines.clear();
    EXPECT_EQ(-466, libmfile_read_get_data_len_err(buf.data() ? buf.data() : reinterpret_cast<uint8_t *>(&used),
                                                   buf.size(), &used, &out))
        << c.why;
    EXPECT_EQ(c.buf, buf) << c.why; /* nothing cleared on failure */
    EXPECT_EQ(77u, out.len) << c.why;
    EXPECT_EQ(1u, g_lines.size()) << c.why;
    EXPECT_EQ(LOG2_ERR, g_lines.empty() ? 0 : g_lines[0].level) << c.why;
  }
}

TEST(str_2_stat, takes_and_refuses_the_lines_the_signature_scanner_does)
{
  /* Every field of a good line cut short, emptied, given a bad digit or an overflow: the line
   * parser must accept exactly what the generic scanner accepts, with the same values. */
  std::string good = raw_line{}.text();
  good.pop_back();
  std::vector<std::string> cases = {good, good + "\tmore", "", "f", "f\tl"};
  std::vector<size_t> tabs;
  for (size_t i = 0; i < good.size(); i++)
    if (good[i] == '\t')
      tabs.push_back(i);
  for (size_t k = 0; k < tabs.size(); k++) {
    size_t from = tabs[k] + 1;
    size_t to = k + 1 < tabs.size() ? tabs[k + 1] : good.size();
    cases.push_back(good.substr(0, tabs[k]));                                     /* ends before it */
    cases.push_back(good.substr(0, from) + good.substr(to));                      /* empty */
    cases.push_back(good.substr(0, from) + "1g" + good.substr(to));               /* bad digit */
    cases.push_back(good.substr(0, from) + "-1" + good.substr(to));               /* sign */
    cases.push_back(good.substr(0, from) + "fffffffff" + good.substr(to));        /* > 32 bits */
    cases.push_back(good.substr(0, from) + "18446744073709551616" + good.substr(to)); /* > 64 bits */
    cases.push_back(good.substr(0, from) + "FFFFFFFFFFFFFFFF" + good.substr(to)); /* upper case */
    cases.push_back(good.substr(0, from) + "\\q" + good.substr(to));            /* bad escape */
  }
  log_capture lc;
  for (const std::string &line : cases) {
    std::string ref = line;
    char *name = nullptr, *link = nullptr;
    mstat_item w{};
    std::string streams;
    int want = str_scanf_sep_val(ref.data(), '\t', RDIR_LINE_SIG, &name, &link, &w.type, &w.attrib_mode, &w.alt_mode,
                                 &w.size, &w.time_create, &w.time_write, &w.time_access, &w.uid, &w.gid,
                                 &w.st_nlink, &w.file_id_ext, &w.st_ino, &w.st_dev, &streams);
    auto h = new_list();
    g_lines.clear();
    int rc = parse(line + "\n", nullptr, h.get());
    if (line.empty()) {
      EXPECT_EQ(0, rc); /* an empty line is skipped */
      continue;
    }
    ASSERT_EQ(want == 16 ? 0 : -1, rc) << "[" << line << "] scanner gave " << want;
    if (want != 16) {
      ASSERT_FALSE(g_lines.empty()) << line;
      EXPECT_EQ("ret=" + std::to_string(want) + " error: ret!=16", g_lines.back().text) << line;
      continue;
    }
    auto items = items_of(h.get());
    ASSERT_FALSE(items.empty()) << line;
    const mstat_item &it = items.back();
    EXPECT_EQ(std::string(name) + "\\0\\0", it.name) << line;
    EXPECT_EQ(w.type, it.type) << line;
    EXPECT_EQ(w.attrib_mode, it.attrib_mode) << line;
    EXPECT_EQ(w.alt_mode, it.alt_mode) << line;
    EXPECT_EQ(w.size, it.size) << line;
    EXPECT_EQ(w.time_create, it.time_create) << line;
    EXPECT_EQ(w.time_write, it.time_write) << line;
    EXPECT_EQ(w.time_access, it.time_access) << line;
    EXPECT_EQ(w.uid, it.uid) << line;
    EXPECT_EQ(w.gid, it.gid) << line;
    EXPECT_EQ(w.st_nlink, it.st_nlink) << line;
    EXPECT_EQ(w.st_ino, it.st_ino) << line;
    EXPECT_EQ(w.st_dev, it.st_dev) << line;
  }
}
