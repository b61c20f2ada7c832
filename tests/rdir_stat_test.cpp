#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "liblog/log2.h"
#include "libpal/os/os_dirent.h"
#include "librdir/hardlink.h"
#include "librdir/mstat.h"

namespace fs = std::filesystem;

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

/* A fresh directory per test, removed afterwards. */
class tmp_tree : public ::testing::Test {
protected:
  void SetUp() override
  {
    std::string tmpl = fs::temp_directory_path() / "rdir_stat_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl.data()));
    root = tmpl;
  }
  void TearDown() override
  {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
  std::string p(const char *name) const { return root + "/" + name; }
  void write_file(const char *name, const std::string &data)
  {
    int fd = open(p(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(static_cast<ssize_t>(data.size()), write(fd, data.data(), data.size()));
    close(fd);
  }
  /* Every entry of root by name, read through the directory reader. */
  std::map<std::string, os_dirent> read_all(uint32_t opt, int *end_rc = nullptr)
  {
    std::map<std::string, os_dirent> m;
    vperror err{};
    os_dir *d = os_opendir(root.c_str(), opt, &err);
    EXPECT_NE(nullptr, d) << err.msg;
    if (!d)
      return m;
    os_dirent e;
    int rc;
    while ((rc = os_readdir(d, &e)) == 1)
      m[e.name] = e;
    if (end_rc)
      *end_rc = rc;
    os_closedir(d);
    return m;
  }
  std::string root;
};

} // namespace

TEST_F(tmp_tree, reader_types_every_kind_of_entry)
{
  write_file("f", "hello");
  ASSERT_EQ(0, mkdir(p("d").c_str(), 0755));
  ASSERT_EQ(0, symlink("d", p("ld").c_str()));
  ASSERT_EQ(0, symlink("f", p("lf").c_str()));
  ASSERT_EQ(0, symlink("nowhere", p("lx").c_str()));
  ASSERT_EQ(0, mkfifo(p("p").c_str(), 0600));
  ASSERT_EQ(0, link(p("f").c_str(), p("h").c_str()));
  {
    int fd = open(p("s").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, ftruncate(fd, 1 << 20));
    close(fd);
  }

  int end_rc = 1;
  auto m = read_all(OS_DIRENT_O_DEFAULT, &end_rc);
  EXPECT_EQ(0, end_rc);
  ASSERT_EQ(8u, m.size());
  EXPECT_EQ(0u, m.count(".") + m.count(".."));

  static const struct {
    const char *name;
    uint32_t type;
    const char *link;
  } want[] = {
      {"f", TYPE_FILE, ""},
      {"d", TYPE_DIR, ""},
      {"ld", TYPE_DIR | TYPE_F_SYMLINK, "d"},     /* typed by its target */
      {"lf", TYPE_FILE | TYPE_F_SYMLINK, "f"},
      {"lx", TYPE_FILE | TYPE_F_SYMLINK, "nowhere"}, /* dangling: kind from the link itself */
      {"p", TYPE_DEV, ""},
      {"h", TYPE_FILE, ""},
  };
  for (const auto &w : want) {
    ASSERT_EQ(1u, m.count(w.name)) << w.name;
    const os_dirent &e = m[w.name];
    EXPECT_EQ(w.type, e.type) << w.name;
    EXPECT_STREQ(w.link, e.link_name) << w.name;
    struct stat st;
    ASSERT_EQ(0, lstat(p(w.name).c_str(), &st));
    EXPECT_EQ(st.st_mode, e.attrib_mode) << w.name;
    EXPECT_EQ(static_cast<int64_t>(st.st_size), e.size) << w.name;
    EXPECT_EQ(st.st_ino, e.st_ino) << w.name;
    EXPECT_EQ(st.st_dev, e.st_dev) << w.name;
    EXPECT_EQ(st.st_mtim.tv_sec, e.time_write) << w.name;
    EXPECT_EQ(static_cast<uint32_t>(st.st_mtim.tv_nsec), e.time_write_ns) << w.name;
    EXPECT_EQ(st.st_ctim.tv_sec, e.time_create) << w.name;
    EXPECT_EQ(st.st_atim.tv_sec, e.time_access) << w.name;
    EXPECT_EQ(0u, e.file_id_ext);
    EXPECT_TRUE(e.streams.empty()) << w.name;
  }
  /* the hard link shares identity and count with its first name */
  EXPECT_EQ(m["f"].st_ino, m["h"].st_ino);
  EXPECT_EQ(2u, m["f"].st_nlink);
  EXPECT_EQ(2u, m["h"].st_nlink);
  /* a file without allocated blocks behind its size is sparse */
  struct stat sst;
  ASSERT_EQ(0, lstat(p("s").c_str(), &sst));
  if (sst.st_blocks * 512 < sst.st_size)
    EXPECT_EQ(TYPE_FILE | TYPE_F_SPARSE, m["s"].type);
  else
    EXPECT_EQ(TYPE_FILE, m["s"].type);
  EXPECT_EQ(TYPE_FILE, m["f"].type & (TYPE_KIND_MASK | TYPE_F_SPARSE));
}

TEST_F(tmp_tree, xattrs_become_the_stream_list_when_asked)
{
  write_file("f", "x");
  if (setxattr(p("f").c_str(), "user.k1", "abc", 3, 0) != 0) {
    if (errno == ENOTSUP)
      GTEST_SKIP() << "user xattrs not supported on " << root;
    FAIL() << "setxattr: " << strerror(errno);
  }
  ASSERT_EQ(0, setxattr(p("f").c_str(), "user.k2", "", 0, 0));

  auto m = read_all(OS_DIRENT_O_XATTR);
  ASSERT_EQ(1u, m.count("f"));
  const std::string &s = m["f"].streams;
  EXPECT_NE(std::string::npos, s.find("user.k1\tX\t3\n")) << s;
  EXPECT_NE(std::string::npos, s.find("user.k2\tX\t0\n")) << s;
  EXPECT_EQ('\n', s.back());

  EXPECT_TRUE(read_all(OS_DIRENT_O_DEFAULT)["f"].streams.empty());

  os_dirent e;
  ASSERT_EQ(0, os_ldirent(p("f").c_str(), OS_DIRENT_O_XATTR, &e));
  EXPECT_EQ(s.size(), e.streams.size());
}

TEST_F(tmp_tree, single_path_reader)
{
  write_file("f", "abc");
  ASSERT_EQ(0, mkdir(p("d").c_str(), 0750));
  ASSERT_EQ(0, mkdir(p("d/sub").c_str(), 0750));
  ASSERT_EQ(0, symlink("d", p("ld").c_str()));

  os_dirent e;
  ASSERT_EQ(0, os_ldirent(p("f").c_str(), 0, &e));
  EXPECT_STREQ("f", e.name);
  EXPECT_EQ(TYPE_FILE, e.type);
  EXPECT_EQ(3, e.size);

  ASSERT_EQ(0, os_ldirent((p("d") + "/").c_str(), OS_DIRENT_O_SUBDIR, &e));
  EXPECT_STREQ("d", e.name);
  EXPECT_EQ(TYPE_DIR | TYPE_F_HAS_SUBDIR, e.type);
  ASSERT_EQ(0, os_ldirent(p("d/sub").c_str(), OS_DIRENT_O_SUBDIR, &e));
  EXPECT_EQ(TYPE_DIR, e.type);
  ASSERT_EQ(0, os_ldirent(p("d").c_str(), 0, &e));
  EXPECT_EQ(TYPE_DIR, e.type); /* not asked */

  ASSERT_EQ(0, os_ldirent(p("ld").c_str(), 0, &e));
  EXPECT_EQ(TYPE_DIR | TYPE_F_SYMLINK, e.type);
  EXPECT_STREQ("d", e.link_name);

  EXPECT_EQ(-102, os_ldirent(p("missing").c_str(), 0, &e));
  EXPECT_EQ(-103, os_ldirent(p("f/x").c_str(), 0, &e));
  EXPECT_EQ(-2, os_ldirent("", 0, &e));
  std::string too_long(5000, 'a');
  EXPECT_EQ(-120, os_ldirent(too_long.c_str(), 0, &e));
}

TEST_F(tmp_tree, open_failure_fills_the_error_record)
{
  vperror err{};
  EXPECT_EQ(nullptr, os_opendir(p("missing").c_str(), 0, &err));
  EXPECT_EQ(-102, err.code);
  EXPECT_NE(nullptr, strstr(err.msg, "missing"));
  write_file("f", "");
  EXPECT_EQ(nullptr, os_opendir(p("f").c_str(), 0, &err));
  EXPECT_EQ(-103, err.code);
  EXPECT_EQ(nullptr, os_opendir(p("missing").c_str(), 0, nullptr));
  os_closedir(nullptr);
}

TEST_F(tmp_tree, empty_directory_ends_at_once)
{
  int rc = 1;
  EXPECT_TRUE(read_all(0, &rc).empty());
  EXPECT_EQ(0, rc);
}

TEST(os_readdir, marks_mount_points_when_asked)
{
  struct stat r, pr;
  if (lstat("/", &r) != 0 || lstat("/proc", &pr) != 0 || r.st_dev == pr.st_dev)
    GTEST_SKIP() << "/proc is no separate mount here";
  for (uint32_t opt : {0u, static_cast<uint32_t>(OS_DIRENT_O_MOUNT)}) {
    os_dir *d = os_opendir("/", opt, nullptr);
    ASSERT_NE(nullptr, d);
    os_dirent e;
    bool seen = false;
    while (os_readdir(d, &e) == 1) {
      if (strcmp(e.name, "proc"))
        continue;
      seen = true;
      if (opt) {
        EXPECT_EQ(TYPE_DIR | TYPE_F_SYMLINK, e.type);
        EXPECT_STREQ(".", e.link_name);
      } else {
        EXPECT_EQ(TYPE_DIR, e.type);
        EXPECT_STREQ("", e.link_name);
      }
    }
    os_closedir(d);
    EXPECT_TRUE(seen);
  }
}

TEST(os_mode_2_kind, table)
{
  log_capture lc;
  static const struct {
    uint32_t mode;
    uint32_t kind;
  } cases[] = {
      {S_IFCHR | 0600, TYPE_DEV}, {S_IFBLK | 0600, TYPE_DEV}, {S_IFSOCK | 0600, TYPE_DEV},
      {S_IFIFO | 0600, TYPE_DEV}, {S_IFDIR | 0755, TYPE_DIR}, {S_IFREG | 0644, TYPE_FILE},
      {S_IFLNK | 0777, TYPE_FILE}, {0xE000, TYPE_FILE}, {0, TYPE_FILE},
  };
  for (const auto &c : cases)
    EXPECT_EQ(c.kind, os_mode_2_kind(c.mode, "dir", "item")) << std::hex << c.mode;
  ASSERT_EQ(2u, g_lines.size()); /* the two unknown file types */
  EXPECT_EQ("dir=[dir] item=[item] unrecognized mode 0xe000", g_lines[0].text);
  EXPECT_EQ(LOG2_ERR, g_lines[0].level);
}

TEST(os_dirent_2_stat, modes_and_fields)
{
  os_dirent d;
  d.type = TYPE_DIR | TYPE_F_NOMODE;
  d.attrib_mode = 0x10; /* a Windows attribute word, never a POSIX mode */
  d.uid = 7;
  d.gid = 8;
  d.size = 1234;
  d.time_write = 1600000000;
  d.time_write_ns = 5;
  d.time_access = 1500000000;
  d.time_create = 1400000000;
  d.st_nlink = 3;
  d.st_ino = 99;
  d.st_dev = 42;
  d.st_rdev = 43;
  d.st_blksize = 4096;
  d.st_blocks = 8;
  struct stat st;
  os_dirent_2_stat(&d, &st);
  EXPECT_EQ(0x41FDu, st.st_mode);
  d.type = TYPE_FILE | TYPE_F_NOMODE;
  os_dirent_2_stat(&d, &st);
  EXPECT_EQ(0x81FDu, st.st_mode);
  d.type = TYPE_DEV | TYPE_F_NOMODE;
  os_dirent_2_stat(&d, &st);
  EXPECT_EQ(0x81FDu, st.st_mode);
  d.type = TYPE_FILE;
  d.attrib_mode = S_IFREG | 0640;
  os_dirent_2_stat(&d, &st);
  EXPECT_EQ(S_IFREG | 0640u, st.st_mode);
  EXPECT_EQ(7u, st.st_uid);
  EXPECT_EQ(8u, st.st_gid);
  EXPECT_EQ(1234, st.st_size);
  EXPECT_EQ(1600000000, st.st_mtim.tv_sec);
  EXPECT_EQ(5, st.st_mtim.tv_nsec);
  EXPECT_EQ(1500000000, st.st_atim.tv_sec);
  EXPECT_EQ(1400000000, st.st_ctim.tv_sec);
  EXPECT_EQ(3u, st.st_nlink);
  EXPECT_EQ(99u, st.st_ino);
  EXPECT_EQ(42u, st.st_dev);
  EXPECT_EQ(43u, st.st_rdev);
  EXPECT_EQ(4096, st.st_blksize);
  EXPECT_EQ(8, st.st_blocks);
}

TEST_F(tmp_tree, set_file_lstat_applies_mode_and_times)
{
  write_file("f", "data");
  file_attr a;
  a.type = TYPE_FILE;
  a.attrib_mode = S_IFREG | 0640;
  a.alt_mode = 0600;
  a.uid = getuid();
  a.gid = getgid();
  a.time_access = 1000000000;
  a.time_write = 1200000000;
  a.time_create = 5; /* carried, never applied */
  ASSERT_EQ(0, os_set_file_lstat(p("f").c_str(), &a));
  struct stat st;
  ASSERT_EQ(0, lstat(p("f").c_str(), &st));
  EXPECT_EQ(0640u, st.st_mode & 07777);
  EXPECT_EQ(1000000000, st.st_atim.tv_sec);
  EXPECT_EQ(1200000000, st.st_mtim.tv_sec);
  EXPECT_EQ(0, st.st_mtim.tv_nsec);

  /* a record without POSIX modes applies alt_mode */
  a.type = TYPE_FILE | TYPE_F_NOMODE;
  a.attrib_mode = 0x20;
  ASSERT_EQ(0, os_set_file_lstat(p("f").c_str(), &a));
  ASSERT_EQ(0, lstat(p("f").c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 07777);
}

TEST_F(tmp_tree, set_file_lstat_does_not_follow_a_link)
{
  write_file("f", "data");
  ASSERT_EQ(0, chmod(p("f").c_str(), 0644));
  ASSERT_EQ(0, symlink("f", p("l").c_str()));
  struct stat before;
  ASSERT_EQ(0, stat(p("f").c_str(), &before));
  file_attr a;
  a.type = TYPE_FILE | TYPE_F_SYMLINK;
  a.attrib_mode = S_IFLNK | 0600;
  a.uid = getuid();
  a.gid = getgid();
  a.time_access = 1000000000;
  a.time_write = 1100000000;
  EXPECT_EQ(0, os_set_file_lstat(p("l").c_str(), &a));
  struct stat lst, tst;
  ASSERT_EQ(0, lstat(p("l").c_str(), &lst));
  ASSERT_EQ(0, stat(p("f").c_str(), &tst));
  EXPECT_EQ(1100000000, lst.st_mtim.tv_sec); /* the link's own time */
  EXPECT_EQ(0644u, tst.st_mode & 07777);     /* the target keeps its mode */
  EXPECT_EQ(before.st_mtim.tv_sec, tst.st_mtim.tv_sec);
}

TEST_F(tmp_tree, set_file_lstat_logs_every_failed_step)
{
  log_capture lc;
  std::string path = p("missing");
  file_attr a;
  a.type = TYPE_FILE;
  a.attrib_mode = S_IFREG | 06755;
  a.uid = 0;
  a.gid = 0;
  EXPECT_EQ(-1, os_set_file_lstat(path.c_str(), &a));
  ASSERT_EQ(3u, g_lines.size());
  EXPECT_EQ("lchown [" + path + "] uid=0 gid=0 err: ", g_lines[0].text);
  /* the failed owner change took the set-ID bits away */
  EXPECT_EQ("lchmod [" + path + "] mode=0100755 err: ", g_lines[1].text);
  EXPECT_EQ("lutime [" + path + "] err: ", g_lines[2].text);
  for (const auto &l : g_lines)
    EXPECT_EQ(263, l.level) << l.text;
}

TEST_F(tmp_tree, stream_entries)
{
  write_file("f", "");
  std::string path = p("f");
  int rc = os_create_stream(path.c_str(), "X", "user.made");
  if (rc == -37)
    GTEST_SKIP() << "user xattrs not supported on " << root;
  ASSERT_EQ(0, rc);
  EXPECT_EQ(0, getxattr(path.c_str(), "user.made", nullptr, 0)); /* empty value */
  EXPECT_EQ(-37, os_create_stream(path.c_str(), "S", "stream"));
  EXPECT_EQ(-2, os_create_stream(path.c_str(), "A", "acl"));

  std::string zz = path + std::string("\0X\0user.zz\0", 11);
  EXPECT_EQ(0, os_create_stream_zz(zz.c_str()));
  EXPECT_EQ(0, getxattr(path.c_str(), "user.zz", nullptr, 0));
  std::string two = path + std::string("\0X\0", 3);
  EXPECT_EQ(-2, os_create_stream_zz(two.c_str()));
  std::string four = path + std::string("\0X\0a\0b\0", 7);
  EXPECT_EQ(-2, os_create_stream_zz(four.c_str()));
  EXPECT_EQ(-102, os_create_stream(p("missing").c_str(), "X", "user.a"));
}

TEST(os_create_junction, refused_with_its_line)
{
  log_capture lc;
  EXPECT_EQ(-37, os_create_junction("/a", "/b"));
  ASSERT_EQ(1u, g_lines.size());
  EXPECT_EQ("os_create_junction [/a]->[/b] error: not supported", g_lines[0].text);
}

/* ---- stat lists ---- */

namespace {

mstat_item make_item(const char *name, const char *link, uint16_t flags = 0, uint64_t size = 1)
{
  mstat_item it{};
  it.flags = flags;
  it.name = name;
  it.link_name = link;
  it.type = TYPE_FILE;
  it.size = size;
  return it;
}

} // namespace

TEST(mstat, copies_own_their_texts)
{
  mstat *h = mstat_alloc(nullptr);
  ASSERT_NE(nullptr, h);
  EXPECT_EQ(sizeof(mstat_item), h->item_size);
  /* An empty list owns no item array: most directory lists of a real tree stay empty. */
  EXPECT_EQ(0u, h->cap);
  uint64_t none = 1;
  EXPECT_EQ(nullptr, mstat_get_item(h, &none));
  EXPECT_EQ(0u, none);
  char name[] = "a\\0\\0";
  char link[] = "target";
  mstat_item src = make_item(name, link);
  mstat_item *got = mstat_cp_alloc(h, &src);
  ASSERT_NE(nullptr, got);
  EXPECT_GE(h->cap, 1u);
  name[0] = 'X';
  link[0] = 'X';
  EXPECT_STREQ("a\\0\\0", got->name);
  EXPECT_STREQ("target", got->link_name);
  EXPECT_NE(name, got->name);

  mstat_item empty_link = make_item("b\\0\\0", "");
  mstat_item no_link = make_item("c\\0\\0", nullptr);
  ASSERT_NE(nullptr, mstat_cp_alloc(h, &empty_link));
  ASSERT_NE(nullptr, mstat_cp_alloc(h, &no_link));
  uint64_t n = 0;
  mstat_item *items = mstat_get_item(h, &n);
  ASSERT_EQ(3u, n);
  EXPECT_EQ(nullptr, items[1].link_name);
  EXPECT_EQ(nullptr, items[2].link_name);
  EXPECT_EQ(0u, h->fail_count);
  EXPECT_EQ(0, mstat_free(h));
  EXPECT_EQ(-1, mstat_free(nullptr));
}

TEST(mstat, texts_survive_growth_and_many_blocks)
{
  mstat_pool_param pp{256}; /* small blocks: many of them, long texts in blocks of their own */
  mstat *h = mstat_alloc(&pp);
  ASSERT_NE(nullptr, h);
  std::vector<std::string> names;
  for (int i = 0; i < 1000; i++)
    names.push_back(std::to_string(i) + std::string(static_cast<size_t>(i % 7 == 0 ? 300 : i % 40), 'n'));
  for (const auto &s : names) {
    std::string link = "L" + s;
    mstat_item it = make_item(s.c_str(), link.c_str());
    ASSERT_NE(nullptr, mstat_cp_alloc(h, &it));
  }
  uint64_t n = 0;
  mstat_item *items = mstat_get_item(h, &n);
  ASSERT_EQ(names.size(), n);
  for (size_t i = 0; i < n; i++) {
    ASSERT_EQ(names[i], items[i].name) << i;
    ASSERT_EQ("L" + names[i], items[i].link_name) << i;
  }
  uint64_t cap = h->cap;
  mstat_clear(h);
  mstat_get_item(h, &n);
  EXPECT_EQ(0u, n);
  EXPECT_EQ(cap, h->cap);
  /* the list is usable again after clear */
  mstat_item it = make_item("again", nullptr);
  ASSERT_NE(nullptr, mstat_cp_alloc(h, &it));
  EXPECT_STREQ("again", mstat_get_item(h, &n)[0].name);
  EXPECT_EQ(1u, n);
  mstat_free(h);
}

TEST(mstat, reference_count)
{
  mstat *h = mstat_alloc(nullptr);
  ASSERT_NE(nullptr, h);
  mstat_ref_add(h);
  mstat_ref_add(h);
  EXPECT_EQ(2u, h->ref.load());
  EXPECT_EQ(0, mstat_free(h));
  EXPECT_EQ(1u, h->ref.load());
  EXPECT_EQ(0, mstat_free(h));
  EXPECT_EQ(0u, h->ref.load());
  EXPECT_EQ(0, mstat_free(h)); /* the last owner frees; ASan reports a leak or a double free */
}

TEST(mstat, null_list_reference_is_fatal)
{
  EXPECT_DEATH(mstat_ref_add(nullptr), "");
}

TEST(mstat, take_hardlinks_keeps_order_on_both_sides)
{
  mstat *h = mstat_alloc(nullptr);
  ASSERT_NE(nullptr, h);
  const char *names[] = {"a", "h1", "b", "h2", "c", "h3"};
  for (const char *nm : names) {
    bool hl = nm[0] == 'h';
    std::string first = std::string("/first_of_") + nm;
    mstat_item it = make_item(nm, hl ? first.c_str() : nullptr, hl ? ITEM_F_HARDLINK : 0, hl ? 0 : 9);
    ASSERT_NE(nullptr, mstat_cp_alloc(h, &it));
  }
  EXPECT_EQ(3u, mstat_hardlink_count(h));
  std::vector<mstat_link> links;
  ASSERT_EQ(3, mstat_take_hardlinks(h, &links));
  ASSERT_EQ(3u, links.size());
  EXPECT_EQ("h1", links[0].name);
  EXPECT_EQ("/first_of_h1", links[0].link_name);
  EXPECT_EQ("h3", links[2].name);
  uint64_t n = 0;
  mstat_item *items = mstat_get_item(h, &n);
  ASSERT_EQ(3u, n);
  EXPECT_STREQ("a", items[0].name);
  EXPECT_STREQ("b", items[1].name);
  EXPECT_STREQ("c", items[2].name);
  /* appending after the array was resized to the remaining count still works */
  for (int i = 0; i < 40; i++) {
    mstat_item it = make_item("x", nullptr);
    ASSERT_NE(nullptr, mstat_cp_alloc(h, &it));
  }
  mstat_get_item(h, &n);
  EXPECT_EQ(43u, n);
  mstat_free(h);
}

TEST(hardlink_table, finds_by_whole_key)
{
  hardlink_table *t = hardlink_table_alloc();
  ASSERT_NE(nullptr, t);
  /* inodes 5 and 5 + 311 fall into one bucket */
  hardlink_key k1{1, 5, 0, 0}, k2{1, 5 + HARDLINK_TABLE_BUCKETS, 0, 0};
  ASSERT_EQ(0, hardlink_table_add(t, &k1, "/a", 2));
  ASSERT_EQ(0, hardlink_table_add(t, &k2, "/b", 2));
  EXPECT_STREQ("/a", hardlink_table_find(t, &k1));
  EXPECT_STREQ("/b", hardlink_table_find(t, &k2));
  static const hardlink_key misses[] = {{2, 5, 0, 0}, {1, 6, 0, 0}, {1, 5, 1, 0}, {1, 5, 0, 1}};
  for (const auto &k : misses)
    EXPECT_EQ(nullptr, hardlink_table_find(t, &k)) << k.st_dev << "/" << k.st_ino << "/" << k.file_id_ext;
  EXPECT_EQ(2u, hardlink_table_count(t));
  hardlink_table_clear(t);
  EXPECT_EQ(nullptr, hardlink_table_find(t, &k1));
  EXPECT_EQ(0u, hardlink_table_count(t));
  hardlink_table_free(t);
  hardlink_table_free(nullptr);
}

/* A table that grows past its first buckets many times over still finds every key, and only its
 * own. */
TEST(hardlink_table, grows_with_its_content)
{
  hardlink_table *t = hardlink_table_alloc();
  ASSERT_NE(nullptr, t);
  constexpr uint64_t N = 20000;
  for (uint64_t i = 0; i < N; ++i) {
    hardlink_key k{7, i * 3, 0, 0};
    std::string path = "/f" + std::to_string(i);
    ASSERT_EQ(0, hardlink_table_add(t, &k, path.data(), path.size()));
  }
  EXPECT_EQ(N, hardlink_table_count(t));
  for (uint64_t i = 0; i < N; ++i) {
    hardlink_key hit{7, i * 3, 0, 0}, miss{7, i * 3 + 1, 0, 0};
    ASSERT_STREQ(("/f" + std::to_string(i)).c_str(), hardlink_table_find(t, &hit));
    ASSERT_EQ(nullptr, hardlink_table_find(t, &miss));
  }
  hardlink_table_free(t);
}
