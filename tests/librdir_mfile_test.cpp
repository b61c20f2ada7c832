/* The batch file-list service: every type on a small tree, bad lines, names that are not one
 * component, links below the base never followed, the oversized read length, an empty list, stop,
 * and the local endpoint's batch slots resolving the base beneath its root. */
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "helpers/peer_proc.h"
#include "libep/ep.h"
#include "libep/ep_beneath.h"
#include "libpal/hash/pl_hash.h"
#include "libpal/string/pl_base64.h"
#include "libpal/string/pl_escape.h"
#include "librdir/mfile.h"
#include "librdir/rdir_line.h"

namespace {

constexpr uint32_t SMALL = 64; /* the largest read is 60 bytes */
constexpr uint32_t READ_MS = 300;

std::string read_file(const std::string &p)
{
  std::ifstream f(p, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

struct stat lstat_of(const std::string &p)
{
  struct stat st {};
  if (lstat(p.c_str(), &st) < 0)
    st.st_mode = 0;
  return st;
}

bool exists(const std::string &p)
{
  struct stat st;
  return lstat(p.c_str(), &st) == 0;
}

std::string esc(const std::string &t)
{
  std::string o;
  str_escape_tab_append(t.data(), t.size(), &o);
  return o;
}

/* A name as stat items carry it: the escaped zz-string (name), or (name, kind, stream). */
std::string ezz(const std::string &name, const std::string &kind = "", const std::string &stream = "")
{
  std::string zz = name + '\0';
  if (!kind.empty())
    zz += kind + '\0' + stream + '\0';
  zz += '\0';
  std::string o;
  str_escape_tab_zz_append(zz.c_str(), &o);
  return o;
}

file_attr attr(uint32_t type, uint32_t mode, uint64_t mtime)
{
  file_attr a;
  a.type = type;
  a.attrib_mode = mode;
  a.alt_mode = alt_mode_default(type);
  a.uid = getuid();
  a.gid = getgid();
  a.time_write = mtime;
  a.time_access = mtime;
  return a;
}

std::string dir_line(const std::string &name, const file_attr &a)
{
  std::string o;
  EXPECT_GE(mstat_dir_line(name.c_str(), &a, &o), 0);
  return o + "\n";
}

std::string write_line(const std::string &name, const file_attr &a, const std::string &data)
{
  std::string b64(str_base64_len(data.size()) + 1, '\0');
  int n = str_base64_encode(data.data(), data.size(), b64.data(), b64.size());
  b64.resize(n < 0 ? 0 : (size_t)n);
  std::string o;
  EXPECT_GE(mstat_write_line(name.c_str(), &a, b64.c_str(), &o), 0);
  return o + "\n";
}

/* The results of type 1 as text: "ok:<data>", "open:<code>" or "read:<code>" per block. */
std::string blocks_text(const std::string &raw, size_t *count)
{
  std::string out;
  std::string b = raw;
  size_t off = 0;
  *count = 0;
  while (off < b.size()) {
    mfile_data d;
    size_t used = 0;
    if (libmfile_read_get_data_len_err(reinterpret_cast<uint8_t *>(b.data()) + off, b.size() - off, &used, &d) < 0)
      return out + "<bad block>";
    if (!out.empty())
      out += ";";
    if (d.flags & MFILE_F_OPEN_ERR)
      out += "open:" + std::to_string(d.code);
    else if (d.flags & MFILE_F_READ_ERR)
      out += "read:" + std::to_string(d.code);
    else
      out += "ok:" + std::string(d.data.begin(), d.data.end());
    off += used;
    ++*count;
  }
  return out;
}

/* Results of one request read until `want` of them came (or a read timed out): for type 1 the
 * blocks as text, else the raw result text. */
std::string collect(libmfile *h, int type, size_t want)
{
  std::string raw;
  std::vector<char> buf(1 << 16);
  for (;;) {
    int n = libmfile_get_list_ret(h, buf.data(), (uint32_t)buf.size(), "test");
    if (n <= 0)
      break;
    raw.append(buf.data(), (size_t)n);
    size_t have = 0;
    if (type == MFILE_READ_LIST)
      blocks_text(raw, &have);
    else if (type == MFILE_WRITE_FILE)
      have = (size_t)std::count(raw.begin(), raw.end(), '\n');
    else if (type == MFILE_CLEAR_FILES || type == MFILE_CLEAR_DIRS)
      have = raw.find('$') != std::string::npos ? want : 0;
    else
      have = (size_t)std::count(raw.begin(), raw.end(), '\t');
    if (have >= want)
      break;
  }
  if (type == MFILE_READ_LIST) {
    size_t c = 0;
    return blocks_text(raw, &c);
  }
  return raw;
}

/* How many results an expected text holds, counted as collect counts them. */
size_t units(int type, const std::string &want)
{
  if (type == MFILE_READ_LIST)
    return want.empty() ? 0 : (size_t)std::count(want.begin(), want.end(), ';') + 1;
  if (type == MFILE_WRITE_FILE)
    return (size_t)std::count(want.begin(), want.end(), '\n');
  if (type == MFILE_CLEAR_FILES || type == MFILE_CLEAR_DIRS)
    return 1;
  return (size_t)std::count(want.begin(), want.end(), '\t');
}

/* One request of a table and what the disk shows after it ("" when it is right). */
struct row {
  const char *what;
  int type;
  std::string base; /* relative to the tree's directory; the hard-link form is built by the row */
  std::string list;
  std::string want;
  std::function<std::string()> check;
};

/* A fresh tree per case:
 *   base/a.txt "hello"  base/b.txt "bb"  base/empty.txt ""  base/h1 = base/h2 (one file, "shared")
 *   base/e/ (empty)     base/sub/c.txt "c"  base/sub/deep/d.txt "d"
 *   base/lnk -> outside/secret   base/dlink -> outside   base/t\tab "tab"
 *   outside/secret "secret"  outside/file "of" */
class mfile_t : public ::testing::Test {
protected:
  void SetUp() override
  {
    dir = peer_tmpdir();
    build();
  }
  void TearDown() override
  {
    libmfile_close(h);
    peer_rmdir(dir);
  }

  void build()
  {
    B = dir + "/base";
    O = dir + "/outside";
    ASSERT_EQ(0, mkdir(B.c_str(), 0755));
    ASSERT_EQ(0, mkdir(O.c_str(), 0755));
    put(B + "/a.txt", "hello");
    put(B + "/b.txt", "bb");
    put(B + "/empty.txt", "");
    put(B + "/h1", "shared");
    ASSERT_EQ(0, link((B + "/h1").c_str(), (B + "/h2").c_str()));
    ASSERT_EQ(0, mkdir((B + "/e").c_str(), 0755));
    ASSERT_EQ(0, mkdir((B + "/sub").c_str(), 0755));
    put(B + "/sub/c.txt", "c");
    ASSERT_EQ(0, mkdir((B + "/sub/deep").c_str(), 0755));
    put(B + "/sub/deep/d.txt", "d");
    put(B + "/t\tab", "tab");
    put(O + "/secret", "secret");
    put(O + "/file", "of");
    ASSERT_EQ(0, symlink((O + "/secret").c_str(), (B + "/lnk").c_str()));
    ASSERT_EQ(0, symlink(O.c_str(), (B + "/dlink").c_str()));
    ASSERT_EQ(0, lsetxattr((B + "/a.txt").c_str(), "user.k", "v", 1, 0));
  }
  void put(const std::string &p, const std::string &text) { ASSERT_TRUE(peer_write_file(p, text)) << p; }

  libmfile *open_small(const libmfile_param *extra = nullptr)
  {
    libmfile_param p = extra ? *extra : libmfile_param{};
    p.max_mfile_size = SMALL;
    p.timeout = READ_MS;
    vperror err{};
    p.err = &err;
    libmfile *m = libmfile_open(&p);
    EXPECT_NE(nullptr, m) << vperror_str(&err);
    return m;
  }

  /* The outside directory as it must stay whatever a request does below the base. */
  std::string outside_state()
  {
    return read_file(O + "/secret") + "|" + read_file(O + "/file") + "|" +
           std::to_string(lstat_of(O + "/secret").st_nlink);
  }

  /* Runs each row on a fresh handle after reset; the outside directory never changes. */
  void run_rows(const std::vector<row> &rows, const std::function<void()> &reset)
  {
    for (const row &r : rows) {
      SCOPED_TRACE(r.what);
      reset();
      h = open_small();
      ASSERT_NE(nullptr, h);
      std::string outside_before = outside_state();
      std::string base = r.type == MFILE_HARDLINK ? r.base : dir + "/" + r.base;
      ASSERT_EQ(0, libmfile_call_cmd(h, r.type, base.c_str(), r.list.data(), r.list.size()));
      EXPECT_EQ(r.want, collect(h, r.type, units(r.type, r.want)));
      /* Nothing more arrives: a list that ended early gives exactly the results before it. */
      std::vector<char> buf(4096);
      EXPECT_EQ(0, libmfile_get_list_ret(h, buf.data(), (uint32_t)buf.size(), "rest"));
      EXPECT_EQ(MFILE_STATE_DONE, libmfile_state(h));
      if (r.check) {
        EXPECT_EQ("", r.check());
      }
      EXPECT_EQ(outside_before, outside_state()) << "the outside directory changed";
      libmfile_close(h);
      h = nullptr;
    }
  }

  /* The tree as build makes it, in the same directory. */
  void reset_tree()
  {
    libmfile_close(h);
    h = nullptr;
    for (const auto &e : std::filesystem::directory_iterator(dir))
      std::filesystem::remove_all(e.path());
    build();
  }

  std::string dir, B, O;
  libmfile *h = nullptr;
};

TEST_F(mfile_t, read_list)
{
  const std::string long_name(MFILE_PATH_SIZE, 'n');
  std::vector<row> rows = {
      {"a missing file gives an open error and the next block follows", MFILE_READ_LIST, "base",
       "a.txt\t5\nmissing\t3\nb.txt\t10\n", "ok:hello;open:-102;ok:bb", nullptr},
      {"a shorter length reads that much; an empty file gives no data", MFILE_READ_LIST, "base",
       "a.txt\t2\nempty.txt\t0\nempty.txt\t9\n", "ok:he;ok:;ok:", nullptr},
      {"an escaped name with a TAB and a zz-string name", MFILE_READ_LIST, "base",
       esc("t\tab") + "\t3\n" + ezz("b.txt") + "\t2\n", "ok:tab;ok:bb", nullptr},
      /* The largest read is max_mfile_size - 4; one byte more is refused for that line only. */
      {"the oversized read length is an error result", MFILE_READ_LIST, "base",
       "a.txt\t" + std::to_string(SMALL - 3) + "\na.txt\t" + std::to_string(SMALL - 4) + "\n",
       "open:-42;ok:hello", nullptr},
      {"a link is not read through, a directory is not a file", MFILE_READ_LIST, "base", "lnk\t6\nsub\t1\n",
       "open:-156;open:-127", nullptr},
      {"names that are not one component", MFILE_READ_LIST, "base",
       "sub/c.txt\t1\n..\t1\n.\t1\n" + esc(std::string("a.txt\0b", 7)) + "x\t1\n" + ezz("a.txt", "X", "user.k") + "\t1\n",
       "open:-2;open:-2;open:-2;open:-2;open:-2", nullptr},
      {"a path too long", MFILE_READ_LIST, "base", long_name + "\t1\na.txt\t1\n", "open:-120;ok:h", nullptr},
      {"a line without TAB ends the list", MFILE_READ_LIST, "base", "a.txt\t5\nnotab\nb.txt\t2\n", "ok:hello",
       nullptr},
      {"a length that is no number ends the list", MFILE_READ_LIST, "base", "a.txt\t-1\nb.txt\t2\n", "", nullptr},
      {"a base that does not exist fails every line", MFILE_READ_LIST, "nobase", "a.txt\t1\nb.txt\t1\n",
       "open:-102;open:-102", nullptr},
  };
  run_rows(rows, [] {});
}

TEST_F(mfile_t, create_dir_list)
{
  const uint32_t T = 1300000000;
  const std::string R = B;
  auto is_dir_mode = [](const std::string &p, mode_t m, uint64_t mtime) {
    return [p, m, mtime] {
      struct stat st = lstat_of(p);
      return S_ISDIR(st.st_mode) && (st.st_mode & 07777) == m && (uint64_t)st.st_mtim.tv_sec == mtime
                 ? std::string()
                 : p + " is not a directory with its mode and time";
    };
  };
  std::vector<row> rows = {
      {"directories with their attributes, an existing one kept", MFILE_CREATE_DIR, "base",
       dir_line(ezz("nd"), attr(TYPE_DIR, S_IFDIR | 0750, T)) + dir_line("sub", attr(TYPE_DIR, S_IFDIR | 0700, T)),
       "0\t0\t",
       [&] {
         std::string e = is_dir_mode(R + "/nd", 0750, T)();
         return e.empty() ? is_dir_mode(R + "/sub", 0700, T)() + (exists(R + "/sub/c.txt") ? "" : "sub emptied") : e;
       }},
      {"the base is created with its parents", MFILE_CREATE_DIR, "new/deeper",
       dir_line("x", attr(TYPE_DIR, S_IFDIR | 0755, T)), "0\t", is_dir_mode(dir + "/new/deeper/x", 0755, T)},
      {"an empty file and an extended attribute", MFILE_CREATE_DIR, "base",
       dir_line("nf", attr(TYPE_FILE, S_IFREG | 0640, T)) + dir_line(ezz("b.txt", "X", "user.n"), attr(TYPE_FILE, 0, 0)),
       "0\t0\t",
       [&] {
         struct stat st = lstat_of(R + "/nf");
         char v[8];
         bool attr_set = lgetxattr((R + "/b.txt").c_str(), "user.n", v, sizeof v) == 0;
         return S_ISREG(st.st_mode) && st.st_size == 0 && (st.st_mode & 07777) == 0640 && attr_set ? ""
                                                                                                      : "not created";
       }},
      {"a file or a link in a directory's place stays", MFILE_CREATE_DIR, "base",
       dir_line("a.txt", attr(TYPE_DIR, S_IFDIR | 0755, T)) + dir_line("dlink", attr(TYPE_DIR, S_IFDIR | 0755, T)),
       "-105\t-105\t",
       [&] {
         return read_file(R + "/a.txt") == "hello" && S_ISLNK(lstat_of(R + "/dlink").st_mode) ? "" : "replaced";
       }},
      {"names that are not one component", MFILE_CREATE_DIR, "base",
       dir_line("sub/x", attr(TYPE_DIR, S_IFDIR | 0755, T)) + dir_line("..", attr(TYPE_DIR, S_IFDIR | 0755, T)),
       "-2\t-2\t", [&] { return exists(R + "/sub/x") ? "created below" : ""; }},
      {"a line of 8 fields ends the list", MFILE_CREATE_DIR, "base",
       dir_line("d1", attr(TYPE_DIR, S_IFDIR | 0755, T)) + "d2\t1\t41ed\t80\t0\t0\t0\t0\n" +
           dir_line("d3", attr(TYPE_DIR, S_IFDIR | 0755, T)),
       "0\t", [&] { return exists(R + "/d1") && !exists(R + "/d2") && !exists(R + "/d3") ? "" : "wrong entries"; }},
  };
  run_rows(rows, [&] { reset_tree(); });
}

TEST_F(mfile_t, write_file_list)
{
  const uint32_t T = 1200000000;
  const std::string R = B;
  auto file_is = [](const std::string &p, const std::string &text, mode_t m, uint64_t mtime) {
    return [=] {
      struct stat st = lstat_of(p);
      if (!S_ISREG(st.st_mode) || read_file(p) != text)
        return p + " does not hold its data";
      return (st.st_mode & 07777) == m && (uint64_t)st.st_mtim.tv_sec == mtime ? std::string()
                                                                               : p + " lacks its attributes";
    };
  };
  std::vector<row> rows = {
      {"data written with attributes", MFILE_WRITE_FILE, "base",
       write_line(ezz("w.txt"), attr(TYPE_FILE, S_IFREG | 0640, T), "hello world"), "0\t11\n",
       file_is(R + "/w.txt", "hello world", 0640, T)},
      {"an existing file is truncated and rewritten", MFILE_WRITE_FILE, "base",
       write_line("a.txt", attr(TYPE_FILE, S_IFREG | 0600, T), "X"), "0\t1\n", file_is(R + "/a.txt", "X", 0600, T)},
      {"a link in the file's place is replaced, its target kept", MFILE_WRITE_FILE, "base",
       write_line("lnk", attr(TYPE_FILE, S_IFREG | 0644, T), "new"), "0\t3\n", file_is(R + "/lnk", "new", 0644, T)},
      {"a file of two names gets a file of its own", MFILE_WRITE_FILE, "base",
       write_line("h1", attr(TYPE_FILE, S_IFREG | 0644, T), "mine"), "0\t4\n",
       [&] { return read_file(R + "/h2") == "shared" && read_file(R + "/h1") == "mine" ? "" : "written through"; }},
      /* Empty data creates the entry as its line says. */
      {"empty data: an empty file with its attributes", MFILE_WRITE_FILE, "base",
       write_line("z.txt", attr(TYPE_FILE, S_IFREG | 0604, T), ""), "0\t0\n", file_is(R + "/z.txt", "", 0604, T)},
      {"empty data: a symbolic link to the escaped text, a directory", MFILE_WRITE_FILE, "base",
       [&] {
         file_attr l = attr(TYPE_FILE | TYPE_F_SYMLINK, S_IFLNK | 0777, T);
         std::string target = esc("../x\ty");
         l.link_name = target.c_str();
         return write_line("sl", l, "") + write_line("nd", attr(TYPE_DIR, S_IFDIR | 0711, T), "");
       }(),
       "0\t0\n0\t0\n",
       [&] {
         char b[64] = {};
         bool link_ok = readlink((R + "/sl").c_str(), b, sizeof b - 1) > 0 && std::string(b) == "../x\ty";
         struct stat st = lstat_of(R + "/nd");
         return link_ok && S_ISDIR(st.st_mode) && (st.st_mode & 07777) == 0711 ? "" : "not created";
       }},
      {"failures by stage: a name of two components, a directory in the way", MFILE_WRITE_FILE, "base",
       write_line("sub/c.txt", attr(TYPE_FILE, S_IFREG | 0644, T), "x") +
           write_line("sub", attr(TYPE_FILE, S_IFREG | 0644, T), "x"),
       "1\t-2\n1\t-127\n", [&] { return read_file(R + "/sub/c.txt") == "c" ? "" : "changed"; }},
      {"the base is created", MFILE_WRITE_FILE, "made",
       write_line("f", attr(TYPE_FILE, S_IFREG | 0644, T), "in new"), "0\t6\n",
       file_is(dir + "/made/f", "in new", 0644, T)},
      {"bad Base64 ends the list", MFILE_WRITE_FILE, "base",
       write_line("ok1", attr(TYPE_FILE, S_IFREG | 0644, T), "1") +
           "bad\t\t2\t81a4\t80\t0\t0\t0\t0\t0\t!!!!\n" + write_line("ok2", attr(TYPE_FILE, S_IFREG | 0644, T), "2"),
       "0\t1\n", [&] { return exists(R + "/ok1") && !exists(R + "/bad") && !exists(R + "/ok2") ? "" : "wrong"; }},
      {"data larger than the buffer ends the list", MFILE_WRITE_FILE, "base",
       write_line("big", attr(TYPE_FILE, S_IFREG | 0644, T), std::string(SMALL + 1, 'b')), "",
       [&] { return exists(R + "/big") ? "written" : ""; }},
      {"a line of 10 fields ends the list", MFILE_WRITE_FILE, "base", "ten\t\t2\t81a4\t80\t0\t0\t0\t0\t0\n", "",
       [&] { return exists(R + "/ten") ? "created" : ""; }},
  };
  run_rows(rows, [&] { reset_tree(); });
}

/* A job for a sender that checks digests: each entry's result carries the digest of its line as
 * received, a line that does not parse or decode costs only itself ("1\t-466") and the list goes
 * on, and a job that may not give set-ID bits clears them. One read takes a whole request's
 * results, not one per entry. */
TEST_F(mfile_t, a_checked_job_digests_lines_and_goes_past_a_spoiled_one)
{
  libmfile_param p;
  p.digests = true;
  p.keep_set_id = false;
  p.max_mfile_size = 4096;
  p.timeout = READ_MS;
  vperror err{};
  p.err = &err;
  h = libmfile_open(&p);
  ASSERT_NE(nullptr, h) << vperror_str(&err);
  const uint32_t T = 1200000000;
  std::vector<std::string> lines = {
      write_line("d1", attr(TYPE_FILE, S_IFREG | 04755, T), "data one"),
      "spoiled\t\t2\t81a4\t80\t0\t0\t0\t0\t0\t!!!!\n",
      "ten\t\t2\t81a4\t80\t0\t0\t0\t0\t0\n",
      write_line("e1", attr(TYPE_FILE, S_IFREG | 02644, T), ""),
  };
  for (int i = 0; i < 40; i++)
    lines.push_back(write_line("n" + std::to_string(i), attr(TYPE_FILE, S_IFREG | 0644, T), std::string(i, 'x')));
  std::string list;
  for (const auto &l : lines)
    list += l;
  ASSERT_EQ(0, libmfile_call_cmd(h, MFILE_WRITE_FILE, B.c_str(), list.data(), list.size()));
  /* Every result of the request arrives in one read (the buffer holds them all). */
  std::vector<char> buf(1 << 16);
  int n = libmfile_get_list_ret(h, buf.data(), (uint32_t)buf.size(), "checked");
  ASSERT_GT(n, 0);
  std::string got(buf.data(), (size_t)n);
  ASSERT_EQ((size_t)std::count(got.begin(), got.end(), '\n'), lines.size()) << got;
  size_t pos = 0;
  for (size_t i = 0; i < lines.size(); i++) {
    size_t nl = got.find('\n', pos);
    std::string r = got.substr(pos, nl - pos + 1);
    pos = nl + 1;
    if (i == 1 || i == 2) {
      EXPECT_EQ("1\t-466\n", r) << i;
      continue;
    }
    std::string text = lines[i].substr(0, lines[i].size() - 1);
    uint8_t want[MFILE_DIGEST_LEN], d[MFILE_DIGEST_LEN];
    pl_hash_once(PL_HASH_XXH3, text.data(), text.size(), want);
    int stage = -1, value = -1;
    bool has = false;
    std::string copy = r;
    ASSERT_GT(libmfile_write_get_info(copy.data(), &stage, &value, d, &has), 0) << r;
    EXPECT_EQ(0, stage) << r;
    EXPECT_TRUE(has && memcmp(d, want, sizeof d) == 0) << i << ": " << r;
  }
  EXPECT_EQ("data one", read_file(B + "/d1"));
  EXPECT_EQ(0755u, lstat_of(B + "/d1").st_mode & 07777);
  EXPECT_EQ(0644u, lstat_of(B + "/e1").st_mode & 07777);
  EXPECT_FALSE(exists(B + "/spoiled"));
  EXPECT_FALSE(exists(B + "/ten"));
  EXPECT_EQ(std::string(39, 'x'), read_file(B + "/n39"));
  /* A result text with a digest field that is not one does not parse. */
  std::string bad = "0\t3\tnothex\n";
  int stage = 0, value = 0;
  uint8_t d[MFILE_DIGEST_LEN];
  bool has = false;
  EXPECT_EQ(-1, libmfile_write_get_info(bad.data(), &stage, &value, d, &has));
}

TEST_F(mfile_t, delete_and_clear)
{
  const std::string R = B;
  auto left = [&] {
    std::set<std::string> names;
    for (const char *n : {"a.txt", "b.txt", "empty.txt", "h1", "h2", "e", "sub", "lnk", "dlink", "t\tab"})
      if (exists(R + "/" + n))
        names.insert(n);
    std::string out;
    for (const std::string &n : names)
      out += n + " ";
    return out;
  };
  auto left_is = [&](const std::string &want) {
    return [&, want] {
      std::string l = left();
      return l == want ? std::string() : "left: " + l;
    };
  };
  std::vector<row> rows = {
      {"delete: files, links (not their targets), an empty directory", MFILE_DELETE, "base",
       "a.txt\nmissing\nsub\ne\nlnk\ndlink\n", "0\t-102\t-125\t0\t0\t0\t",
       left_is("b.txt empty.txt h1 h2 sub t\tab ")},
      {"delete: an extended attribute", MFILE_DELETE, "base", ezz("a.txt", "X", "user.k") + "\n", "0\t",
       [&] {
         char v[4];
         return lgetxattr((R + "/a.txt").c_str(), "user.k", v, sizeof v) < 0 && exists(R + "/a.txt") ? "" : "kept";
       }},
      {"delete: names that are not one component", MFILE_DELETE, "base", "sub/c.txt\n../outside/file\n", "-2\t-2\t",
       [&] { return exists(R + "/sub/c.txt") ? "" : "removed below"; }},
      {"delete tree: a tree, a link to a directory, a missing entry", MFILE_DELETE_TREE, "base", "sub\ndlink\nmissing\n",
       "0\t0\t0\t", left_is("a.txt b.txt e empty.txt h1 h2 lnk t\tab ")},
      /* Clearing: every result is 0 here, one per entry of the kind. */
      {"clear files: every non-directory goes, links as links", MFILE_CLEAR_FILES, "base", "",
       "F\t0\t0\t0\t0\t0\t0\t0\t0\t$", left_is("e sub ")},
      {"clear directories: every subdirectory as a tree, never a link's target", MFILE_CLEAR_DIRS, "base", "",
       "F\t0\t0\t$", left_is("a.txt b.txt dlink empty.txt h1 h2 lnk t\tab ")},
      {"clearing a base that does not exist", MFILE_CLEAR_FILES, "nobase", "", "D\t-102\t$", nullptr},
  };
  run_rows(rows, [&] { reset_tree(); });
}

TEST_F(mfile_t, sync_init_list)
{
  const std::string R = B;
  std::vector<row> rows = {
      {"C makes a directory, keeps one, refuses a file; F and D remove", MFILE_SYNC_INIT, "base",
       "C newd\nC sub\nC a.txt\nF b.txt\nD sub\nD dlink\n", "0\t0\t-38\t0\t0\t0\t",
       [&] {
         struct stat st = lstat_of(R + "/newd");
         bool ok = S_ISDIR(st.st_mode) && (st.st_mode & 07777) == 0751 && read_file(R + "/a.txt") == "hello" &&
                   !exists(R + "/b.txt") && !exists(R + "/sub") && !exists(R + "/dlink");
         return ok ? "" : "wrong tree";
       }},
      {"an unknown letter ends the list", MFILE_SYNC_INIT, "base", "F b.txt\nX a.txt\nF a.txt\n", "0\t",
       [&] { return exists(R + "/a.txt") ? "" : "ran past the bad line"; }},
      {"a line without its space ends the list", MFILE_SYNC_INIT, "base", "Fb.txt\nF a.txt\n", "",
       [&] { return exists(R + "/a.txt") && exists(R + "/b.txt") ? "" : "ran"; }},
      {"names that are not one component", MFILE_SYNC_INIT, "base", "D sub/deep\nC ..\n", "-2\t-2\t",
       [&] { return exists(R + "/sub/deep") ? "" : "removed below"; }},
  };
  umask(022);
  libmfile_param p;
  p.dir_mode = 0751;
  for (const row &r : rows) {
    SCOPED_TRACE(r.what);
    reset_tree();
    h = open_small(&p);
    ASSERT_NE(nullptr, h);
    std::string base = dir + "/" + r.base;
    ASSERT_EQ(0, libmfile_call_cmd(h, r.type, base.c_str(), r.list.data(), r.list.size()));
    EXPECT_EQ(r.want, collect(h, r.type, units(r.type, r.want)));
    std::vector<char> buf(256);
    EXPECT_EQ(0, libmfile_get_list_ret(h, buf.data(), (uint32_t)buf.size(), "rest"));
    EXPECT_EQ("", r.check());
  }
}

std::string link_base(const std::string &base, const std::string &link_dir)
{
  std::string zz = base + '\0' + link_dir + '\0' + '\0';
  std::string o;
  str_escape_tab_zz_append(zz.c_str(), &o);
  return o;
}

TEST_F(mfile_t, hardlink_list)
{
  const std::string R = B;
  auto same = [](const std::string &a, const std::string &b) {
    return [a, b] {
      struct stat x = lstat_of(a), y = lstat_of(b);
      return x.st_ino != 0 && x.st_ino == y.st_ino ? std::string() : a + " is not " + b;
    };
  };
  std::vector<row> rows = {
      {"links in the base, a source below it, an existing name replaced", MFILE_HARDLINK, link_base(R, ""),
       "l1\ta.txt\nl2\tsub/c.txt\nb.txt\ta.txt\n", "0\t0\t0\t",
       [&] {
         std::string e = same(R + "/l1", R + "/a.txt")() + same(R + "/l2", R + "/sub/c.txt")();
         return e + same(R + "/b.txt", R + "/a.txt")();
       }},
      {"links into a directory below the base", MFILE_HARDLINK, link_base(R, "sub/deep"), "n1\ta.txt\n", "0\t",
       same(R + "/sub/deep/n1", R + "/a.txt")},
      {"a name that already is the file stays", MFILE_HARDLINK, link_base(R, ""), "h2\th1\n", "0\t",
       [&] { return read_file(R + "/h2") == "shared" ? "" : "lost"; }},
      {"a link that cannot be made leaves the entry in its place", MFILE_HARDLINK, link_base(R, ""),
       "b.txt\tmissing\ne\ta.txt\nsub\te\n", "-102\t-127\t-38\t",
       [&] {
         return read_file(R + "/b.txt") == "bb" && S_ISDIR(lstat_of(R + "/e").st_mode) && exists(R + "/sub/c.txt")
                    ? ""
                    : "replaced";
       }},
      {"sources through a link or outside the base are refused", MFILE_HARDLINK, link_base(R, ""),
       "x1\tdlink/file\nx2\t../outside/file\nx3\tmissing\nx4\tsub//c.txt\n", "-156\t-2\t-102\t-2\t",
       [&] { return exists(R + "/x1") || exists(R + "/x2") ? "linked" : ""; }},
      {"a link directory that is a link fails every line", MFILE_HARDLINK, link_base(R, "dlink"),
       "y1\ta.txt\ny2\tb.txt\n", "-156\t-156\t", [&] { return exists(O + "/y1") ? "linked outside" : ""; }},
      {"a link directory with .. fails every line", MFILE_HARDLINK, link_base(R, "../outside"), "y1\ta.txt\n", "-2\t",
       [&] { return exists(O + "/y1") ? "linked outside" : ""; }},
      {"a line without TAB ends the list", MFILE_HARDLINK, link_base(R, ""), "z1\ta.txt\nbad\nz2\ta.txt\n", "0\t",
       [&] { return exists(R + "/z1") && !exists(R + "/z2") ? "" : "wrong"; }},
  };
  run_rows(rows, [&] { reset_tree(); });
}

TEST_F(mfile_t, bad_calls_and_parameters)
{
  struct {
    uint32_t size;
    bool ok;
  } sizes[] = {{MFILE_SIZE_MIN - 1, false}, {MFILE_SIZE_MIN, true}, {RDIR_MAX_MLEN + 5, false}};
  for (const auto &s : sizes) {
    libmfile_param p;
    p.max_mfile_size = s.size;
    vperror err{};
    p.err = &err;
    libmfile *m = libmfile_open(&p);
    EXPECT_EQ(s.ok, m != nullptr) << s.size;
    if (!s.ok) {
      EXPECT_EQ(VERR_PARAM, err.code);
    }
    libmfile_close(m);
  }
  h = open_small();
  ASSERT_NE(nullptr, h);
  const std::string too_long(MFILE_PATH_SIZE, 'd');
  struct {
    const char *what;
    int type;
    std::string dir;
    std::string list;
    int want;
  } calls[] = {
      {"type 0", 0, B, "a.txt\n", VERR_PARAM},
      {"type 10", 10, B, "a.txt\n", VERR_PARAM},
      {"a NUL inside the list", MFILE_DELETE, B, std::string("a.txt\0b\n", 8), VERR_PARAM},
      {"a base too long", MFILE_DELETE, too_long, "a.txt\n", VERR_NAME_TOO_LONG},
  };
  for (const auto &c : calls)
    EXPECT_EQ(c.want, libmfile_call_cmd(h, c.type, c.dir.c_str(), c.list.data(), c.list.size())) << c.what;
  EXPECT_TRUE(exists(B + "/a.txt"));
  EXPECT_EQ(MFILE_STATE_IDLE, libmfile_state(h));
  std::vector<char> buf(8);
  EXPECT_EQ(VERR_PARAM, libmfile_get_list_ret(h, buf.data(), 1, "short"));
}

TEST_F(mfile_t, an_empty_list_gives_no_result)
{
  h = open_small();
  ASSERT_NE(nullptr, h);
  for (const char *list : {"", "\n\n"}) {
    ASSERT_EQ(0, libmfile_call_cmd(h, MFILE_DELETE, B.c_str(), list, strlen(list)));
    std::vector<char> buf(256);
    /* The end message alone is no result: the read ends with its time-out. */
    EXPECT_EQ(0, libmfile_get_list_ret(h, buf.data(), (uint32_t)buf.size(), "empty"));
    EXPECT_EQ(MFILE_STATE_DONE, libmfile_state(h));
  }
  EXPECT_TRUE(exists(B + "/a.txt"));
}

/* Requests run in posting order and each one's results come before the next one's. */
TEST_F(mfile_t, results_of_requests_stay_in_order)
{
  h = open_small();
  ASSERT_NE(nullptr, h);
  const std::string l1 = "a.txt\t1\n", l2 = "missing\n", l3 = "b.txt\t2\n";
  ASSERT_EQ(0, libmfile_call_cmd(h, MFILE_READ_LIST, B.c_str(), l1.data(), l1.size()));
  ASSERT_EQ(0, libmfile_call_cmd(h, MFILE_DELETE, B.c_str(), l2.data(), l2.size()));
  ASSERT_EQ(0, libmfile_call_cmd(h, MFILE_READ_LIST, B.c_str(), l3.data(), l3.size()));
  EXPECT_EQ("ok:h", collect(h, MFILE_READ_LIST, 1));
  EXPECT_EQ("-102\t", collect(h, MFILE_DELETE, 1));
  EXPECT_EQ("ok:bb", collect(h, MFILE_READ_LIST, 1));
}

/* A hook that holds the request until the test lets it go. */
struct gate {
  std::atomic<bool> entered{false};
  std::atomic<bool> open{false};
};

int gated_open(void *arg, const char *path, int)
{
  auto *g = static_cast<gate *>(arg);
  g->entered = true;
  for (int i = 0; i < 30000 && !g->open; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  return fd >= 0 ? fd : -errno;
}

TEST_F(mfile_t, stop_ends_the_request_and_refuses_more)
{
  gate g;
  libmfile_param p;
  p.open_dir = gated_open;
  p.open_arg = &g;
  h = open_small(&p);
  ASSERT_NE(nullptr, h);
  const std::string list = "a.txt\nb.txt\n";
  ASSERT_EQ(0, libmfile_call_cmd(h, MFILE_DELETE, B.c_str(), list.data(), list.size()));
  for (int i = 0; i < 30000 && !g.entered; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_TRUE(g.entered);
  libmfile_stop(h);
  g.open = true;
  std::vector<char> buf(256);
  int n = 0;
  for (int i = 0; i < 100 && (n = libmfile_get_list_ret(h, buf.data(), (uint32_t)buf.size(), "stop")) == 0; ++i) {
  }
  EXPECT_EQ(VERR_CANCELLED, n);
  EXPECT_EQ(VERR_CANCELLED, libmfile_call_cmd(h, MFILE_DELETE, B.c_str(), list.data(), list.size()));
  /* The executor may still be leaving the hook, which reads g: the service is closed (and its
   * thread ended) before g goes. */
  libmfile_close(h);
  h = nullptr;
  /* The request ended before its first line. */
  EXPECT_TRUE(exists(B + "/a.txt"));
  EXPECT_TRUE(exists(B + "/b.txt"));
}

/* The base reached through a hook that resolves it beneath a root: a base that is a link, or
 * below one, fails every line; the local endpoint's slots do the same with their root. */
int beneath_open(void *arg, const char *path, int)
{
  const std::string &top = *static_cast<std::string *>(arg);
  int root = open(top.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (root < 0)
    return -errno;
  int fd = ep_open_beneath(root, path + top.size(), O_RDONLY | O_DIRECTORY, 0);
  close(root);
  return fd;
}

TEST_F(mfile_t, a_base_that_is_a_link_is_not_followed)
{
  std::string top = dir;
  libmfile_param p;
  p.open_dir = beneath_open;
  p.open_arg = &top;
  for (const std::string &base : {dir + "/base/dlink", dir + "/base/dlink/sub"}) {
    SCOPED_TRACE(base);
    h = open_small(&p);
    ASSERT_NE(nullptr, h);
    const std::string list = "file\t2\n";
    ASSERT_EQ(0, libmfile_call_cmd(h, MFILE_READ_LIST, base.c_str(), list.data(), list.size()));
    EXPECT_EQ("open:-156", collect(h, MFILE_READ_LIST, 1));
    ASSERT_EQ(0, libmfile_call_cmd(h, MFILE_CLEAR_FILES, base.c_str(), nullptr, 0));
    EXPECT_EQ("D\t-156\t$", collect(h, MFILE_CLEAR_FILES, 1));
    libmfile_close(h);
    h = nullptr;
  }
  EXPECT_EQ("of", read_file(O + "/file"));
}

/* Reads ep_batch results until want tabs came or a read gives nothing. */
std::string ep_results(ep_batch *b, size_t want)
{
  std::string raw;
  std::vector<char> buf(4096);
  vperror err{};
  while ((size_t)std::count(raw.begin(), raw.end(), '\t') < want) {
    int n = ep_batch_ret(b, buf.data(), (uint32_t)buf.size(), &err);
    if (n <= 0)
      break;
    raw.append(buf.data(), (size_t)n);
  }
  return raw;
}

TEST_F(mfile_t, local_endpoint_slots_resolve_the_base_beneath_the_root)
{
  ep_info info;
  vperror err{};
  ep *e = ep_open(B.c_str(), nullptr, &info, &err);
  ASSERT_NE(nullptr, e) << vperror_str(&err);
  ep_batch *b = ep_batch_open(e, &err);
  ASSERT_NE(nullptr, b) << vperror_str(&err);
  struct {
    const char *what;
    int type;
    std::string base;
    std::string list;
    std::string want;
  } calls[] = {
      {"the root itself", MFILE_DELETE, info.path, "a.txt\n", "0\t"},
      {"a base that is a link", MFILE_DELETE, info.path + "/dlink", "file\n", "-156\t"},
      {"a base outside the tree", MFILE_DELETE, O, "file\n", "-2\t"},
      {"a base that leaves the tree with ..", MFILE_DELETE, info.path + "/../outside", "file\n", "-119\t"},
      {"a new base is made beneath the root", MFILE_CREATE_DIR, info.path + "/n1/n2",
       dir_line("leaf", attr(TYPE_DIR, S_IFDIR | 0755, 1000000000)), "0\t"},
      {"and not through a link", MFILE_CREATE_DIR, info.path + "/dlink/n3",
       dir_line("leaf", attr(TYPE_DIR, S_IFDIR | 0755, 1000000000)), "-156\t"},
  };
  for (const auto &c : calls) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(0, ep_batch_call(b, c.type, c.base.c_str(), c.list.data(), (uint32_t)c.list.size(), &err))
        << vperror_str(&err);
    EXPECT_EQ(c.want, ep_results(b, 1));
  }
  EXPECT_FALSE(exists(B + "/a.txt"));
  EXPECT_TRUE(exists(B + "/n1/n2/leaf"));
  EXPECT_FALSE(exists(O + "/n3"));
  EXPECT_EQ("of", read_file(O + "/file"));
  /* A directory the batch removed is looked up anew by the endpoint's own calls. */
  ASSERT_EQ(0, ep_mkdirs(e, (info.path + "/sub/deep").c_str(), 0755, &err));
  file_attr fa = attr(TYPE_FILE, S_IFREG | 0644, 1000000000);
  ASSERT_EQ(0, ep_create(e, (info.path + "/sub/deep/before").c_str(), &fa, 0, &err)) << vperror_str(&err);
  const std::string tree = "sub\n";
  ASSERT_EQ(0, ep_batch_call(b, MFILE_DELETE_TREE, info.path.c_str(), tree.data(), (uint32_t)tree.size(), &err));
  EXPECT_EQ("0\t", ep_results(b, 1));
  ASSERT_EQ(0, ep_mkdirs(e, (info.path + "/sub/deep").c_str(), 0755, &err));
  ASSERT_EQ(0, ep_create(e, (info.path + "/sub/deep/after").c_str(), &fa, 0, &err)) << vperror_str(&err);
  EXPECT_TRUE(exists(B + "/sub/deep/after"));
  ep_batch_stop(b);
  ep_batch_close(b);
  ep_close(e);
}

} // namespace
