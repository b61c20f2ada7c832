#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "libpal/os/os_dirent.h"
#include "librdir/librdir.h"
#include "librdir/mstat.h"
#include "librdir/rdir_stat.h"

namespace {

/* A scratch tree:
 *   a.txt (5 bytes)  b.bin (0 bytes)  link -> a.txt  dlink -> sub
 *   empty/           sub/c.txt        sub/deep/d.txt  skip/e.txt */
class tree_fixture : public ::testing::Test {
protected:
  std::string root;

  void SetUp() override
  {
    char tmpl[] = "/tmp/librdir_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root = tmpl;
    put("a.txt", "hello");
    put("b.bin", "");
    ASSERT_EQ(symlink("a.txt", (root + "/link").c_str()), 0);
    mk("empty");
    mk("sub");
    put("sub/c.txt", "c");
    mk("sub/deep");
    put("sub/deep/d.txt", "dd");
    mk("skip");
    put("skip/e.txt", "e");
    ASSERT_EQ(symlink("sub", (root + "/dlink").c_str()), 0);
  }
  void TearDown() override
  {
    std::string cmd = "rm -rf '" + root + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
  }
  void mk(const std::string &rel) { ASSERT_EQ(mkdir((root + "/" + rel).c_str(), 0755), 0); }
  void put(const std::string &rel, const std::string &data)
  {
    FILE *f = fopen((root + "/" + rel).c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(data.data(), 1, data.size(), f);
    fclose(f);
  }
};

/* Reads a generation-2 stream to its end (two carriage returns) or until a read times out. */
std::string read_gen2(librdir *h)
{
  std::string all;
  std::vector<char> buf(4096);
  for (int i = 0; i < 10000; ++i) {
    int n = librdir_read_item_list(h, buf.data(), static_cast<uint32_t>(buf.size()));
    if (n <= 0)
      break;
    all.append(buf.data(), static_cast<size_t>(n));
    if (all.size() >= 2 && all.compare(all.size() - 2, 2, "\r\r") == 0)
      break;
  }
  return all;
}

/* Splits a stream into its messages' leading words: "O /", "D name", "F name", "E 0", ... */
std::vector<std::string> heads(const std::string &stream)
{
  std::vector<std::string> out;
  size_t i = 0;
  while (i < stream.size()) {
    size_t end = stream.find_first_of("\n\r", i);
    if (end == std::string::npos)
      end = stream.size();
    std::string rec = stream.substr(i, end - i);
    if (rec.size() > 2 && (rec[0] == 'D' || rec[0] == 'F') && rec[1] == ' ')
      rec = rec.substr(0, rec.find('\t'));
    out.push_back(rec);
    i = end + 1;
  }
  return out;
}

/* One directory of generation 1: the file chunks and the directory chunks with their end codes. */
struct gen1_dir {
  std::string files, dirs;
  int file_code = 99, dir_code = 99;
  bool complete = false;
};

gen1_dir read_gen1(librdir *h, uint32_t buf_len = 4096)
{
  gen1_dir r;
  std::vector<char> buf(buf_len);
  bool fe = false, de = false;
  for (int i = 0; i < 10000 && !(fe && de); ++i) {
    int n = librdir_read_item_list(h, buf.data(), static_cast<uint32_t>(buf.size()));
    if (n <= 0)
      break;
    std::string chunk(buf.data() + 1, static_cast<size_t>(n - 1));
    size_t cr = chunk.find('\r');
    bool file = buf[0] == 'F';
    EXPECT_TRUE(file || buf[0] == 'D');
    if (cr != std::string::npos) {
      (file ? r.file_code : r.dir_code) = atoi(chunk.c_str() + cr + 1);
      (file ? fe : de) = true;
      chunk.resize(cr);
    }
    (file ? r.files : r.dirs) += chunk;
  }
  r.complete = fe && de;
  return r;
}

std::vector<std::string> names_of(std::string text)
{
  mstat *m = mstat_alloc(nullptr);
  std::vector<std::string> out;
  if (str_2_stat(text.data(), nullptr, m) == 0) {
    uint64_t n = 0;
    mstat_item *it = mstat_get_item(m, &n);
    for (uint64_t i = 0; i < n; ++i) {
      /* Item names are escaped zz-strings: "name\0\0" as text. */
      std::string name = it[i].name;
      if (name.size() >= 4 && name.compare(name.size() - 4, 4, "\\0\\0") == 0)
        name.resize(name.size() - 4);
      out.push_back(name);
    }
  }
  mstat_free(m);
  std::sort(out.begin(), out.end());
  return out;
}

TEST_F(tree_fixture, gen2_walks_breadth_first_sorted_with_links_as_files)
{
  librdir_param p;
  p.flag = LIBRDIR_F_GEN2;
  librdir *h = librdir_open((root + "/").c_str(), &p);
  ASSERT_NE(h, nullptr);
  std::string s = read_gen2(h);
  librdir_close(h);
  std::vector<std::string> want = {"O /",        "D empty",     "D skip",  "D sub",     "F a.txt", "F b.bin",
                                   "F dlink",    "F link",      "E 0",     "O /empty",  "E 0",     "O /skip",
                                   "F e.txt",    "E 0",         "O /sub",  "D deep",    "F c.txt", "E 0",
                                   "O /sub/deep", "F d.txt",    "E 0",     "X 0",       ""};
  EXPECT_EQ(heads(s), want);
  /* The stream ends in two carriage returns: the finish record and the lone end message. */
  ASSERT_GE(s.size(), 2u);
  EXPECT_EQ(s.substr(s.size() - 2), "\r\r");
  /* A symbolic link is listed with size 0 and its link text. */
  size_t at = s.find("F link\t");
  ASSERT_NE(at, std::string::npos);
  std::string line = s.substr(at + 2, s.find('\n', at) - at - 1);
  mstat *m = mstat_alloc(nullptr);
  ASSERT_EQ(str_2_stat(line.data(), nullptr, m), 0);
  uint64_t n = 0;
  mstat_item *it = mstat_get_item(m, &n);
  ASSERT_EQ(n, 1u);
  EXPECT_EQ(it[0].size, 0u);
  EXPECT_STREQ(it[0].link_name, "a.txt");
  EXPECT_TRUE(it[0].type & TYPE_F_SYMLINK);
  mstat_free(m);
}

TEST(librdir, gen2_empty_root_gives_the_minimal_stream)
{
  char tmpl[] = "/tmp/librdir_empty.XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  librdir_param p;
  p.flag = LIBRDIR_F_GEN2;
  librdir *h = librdir_open(tmpl, &p);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(read_gen2(h), "O /\nE 0\rX 0\r\r");
  librdir_close(h);
  rmdir(tmpl);
}

TEST_F(tree_fixture, gen2_filter_rejects_a_subdirectory_and_its_subtree)
{
  librdir_param p;
  p.flag = LIBRDIR_F_GEN2;
  p.dir_exclude = "/skip/";
  p.exclude = "*.bin";
  librdir *h = librdir_open(root.c_str(), &p);
  ASSERT_NE(h, nullptr);
  std::string s = read_gen2(h);
  librdir_close(h);
  EXPECT_EQ(s.find("skip"), std::string::npos) << s;
  EXPECT_EQ(s.find("e.txt"), std::string::npos);
  EXPECT_EQ(s.find("b.bin"), std::string::npos);
  EXPECT_NE(s.find("F a.txt\t"), std::string::npos);
  EXPECT_NE(s.find("O /sub/deep\n"), std::string::npos);
}

TEST_F(tree_fixture, gen2_unopenable_directory_reports_its_error_after_the_open_line)
{
  librdir_param p;
  p.flag = LIBRDIR_F_GEN2;
  p.include = "nothing";
  p.dir_include = "nothing/";
  librdir *h = librdir_open(root.c_str(), &p);
  ASSERT_NE(h, nullptr);
  read_gen2(h); /* the root walk: everything filtered out */
  ASSERT_EQ(librdir_enum_dir2(h, (root + "/missing").c_str()), 0);
  std::string s = read_gen2(h);
  librdir_close(h);
  char want[64];
  snprintf(want, sizeof want, "O /missing\nR %d\rX 0\r\r", VERR_FILE_NOT_FOUND);
  EXPECT_EQ(s, want);
}

TEST_F(tree_fixture, gen1_lists_one_directory_per_request_in_two_queues)
{
  librdir_param p;
  librdir *h = librdir_open(root.c_str(), &p);
  ASSERT_NE(h, nullptr);
  gen1_dir r = read_gen1(h);
  ASSERT_TRUE(r.complete);
  EXPECT_EQ(r.file_code, 0);
  EXPECT_EQ(r.dir_code, 0);
  EXPECT_EQ(names_of(r.files), (std::vector<std::string>{"a.txt", "b.bin", "dlink", "link"}));
  EXPECT_EQ(names_of(r.dirs), (std::vector<std::string>{"empty", "skip", "sub"}));

  /* An empty directory: each queue holds only its end message. */
  ASSERT_EQ(librdir_enum_dir(h, (root + "/empty").c_str()), 0);
  r = read_gen1(h);
  ASSERT_TRUE(r.complete);
  EXPECT_EQ(r.files, "");
  EXPECT_EQ(r.dirs, "");
  EXPECT_EQ(r.file_code, 0);

  /* A directory that cannot be opened ends both queues with its code. */
  ASSERT_EQ(librdir_enum_dir(h, (root + "/missing").c_str()), 0);
  r = read_gen1(h);
  ASSERT_TRUE(r.complete);
  EXPECT_EQ(r.file_code, VERR_FILE_NOT_FOUND);
  EXPECT_EQ(r.dir_code, VERR_FILE_NOT_FOUND);

  /* Two requests queued at once are read one after the other; the filter path of a nested entry
   * is relative to the root. */
  ASSERT_EQ(librdir_enum_dir(h, (root + "/sub").c_str()), 0);
  ASSERT_EQ(librdir_enum_dir(h, (root + "/sub/deep").c_str()), 0);
  r = read_gen1(h);
  EXPECT_EQ(names_of(r.files), (std::vector<std::string>{"c.txt"}));
  EXPECT_EQ(names_of(r.dirs), (std::vector<std::string>{"deep"}));
  r = read_gen1(h);
  EXPECT_EQ(names_of(r.files), (std::vector<std::string>{"d.txt"}));
  EXPECT_EQ(r.dirs, "");
  librdir_close(h);
}

TEST_F(tree_fixture, batched_lines_give_the_same_listing)
{
  for (int i = 0; i < 300; ++i)
    put("f" + std::to_string(i), "x");
  std::vector<std::string> plain, batched;
  for (uint32_t batch : {0u, 1000u}) {
    librdir_param p;
    p.batch = batch;
    librdir *h = librdir_open(root.c_str(), &p);
    ASSERT_NE(h, nullptr);
    gen1_dir r = read_gen1(h, 1 << 16);
    librdir_close(h);
    ASSERT_TRUE(r.complete);
    (batch ? batched : plain) = names_of(r.files + r.dirs);
    librdir_param p2;
    p2.flag = LIBRDIR_F_GEN2;
    p2.batch = batch;
    h = librdir_open(root.c_str(), &p2);
    ASSERT_NE(h, nullptr);
    std::string s = read_gen2(h);
    librdir_close(h);
    EXPECT_EQ(s.substr(s.size() - 5), "X 0\r\r") << batch;
    EXPECT_NE(s.find("F f299\t"), std::string::npos) << batch;
  }
  EXPECT_EQ(plain.size(), 307u);
  EXPECT_EQ(plain, batched);
}

TEST_F(tree_fixture, gen1_small_buffer_splits_a_directory_into_several_chunks)
{
  for (int i = 0; i < 40; ++i)
    put("f" + std::to_string(i), "x");
  librdir_param p;
  p.exclude = "/a.txt";
  librdir *h = librdir_open(root.c_str(), &p);
  ASSERT_NE(h, nullptr);
  /* Room for about two lines per chunk. */
  gen1_dir r = read_gen1(h, 300);
  librdir_close(h);
  ASSERT_TRUE(r.complete);
  std::vector<std::string> names = names_of(r.files);
  EXPECT_EQ(names.size(), 43u); /* 40 + b.bin, dlink, link */
  EXPECT_FALSE(std::binary_search(names.begin(), names.end(), "a.txt"));
}

TEST(librdir, open_failures_fill_the_error_record)
{
  vperror e{};
  librdir_param p;
  p.err = &e;
  EXPECT_EQ(librdir_open("/nonexistent/librdir/dir", &p), nullptr);
  EXPECT_EQ(e.code, VERR_FILE_NOT_FOUND);
  e = vperror{};
  EXPECT_EQ(librdir_open("", &p), nullptr);
  EXPECT_EQ(e.code, VERR_PARAM);
  std::string long_path(5000, 'a');
  e = vperror{};
  EXPECT_EQ(librdir_open(long_path.c_str(), &p), nullptr);
  EXPECT_EQ(e.code, VERR_NAME_TOO_LONG);
  /* A file is not a directory. */
  e = vperror{};
  EXPECT_EQ(librdir_open("/etc/hostname", &p), nullptr);
  EXPECT_NE(e.code, 0);
}

TEST(librdir, read_times_out_with_nothing_queued)
{
  char tmpl[] = "/tmp/librdir_to.XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  librdir_param p;
  p.timeout = 1000; /* long enough for a loaded machine to list the empty root in time */
  librdir *h = librdir_open(tmpl, &p);
  ASSERT_NE(h, nullptr);
  gen1_dir r = read_gen1(h);
  EXPECT_TRUE(r.complete);
  std::vector<char> buf(256);
  /* The next directory was never asked for. */
  EXPECT_EQ(librdir_read_item_list(h, buf.data(), 256), 0);
  EXPECT_EQ(librdir_read_item_list(h, buf.data(), 1), -1);
  librdir_close(h);
  rmdir(tmpl);
}

TEST(librdir, gen2_open_lines_carry_the_path_escaped_as_names_are)
{
  char tmpl[] = "/tmp/librdir_esc.XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  std::string root = tmpl;
  /* Raw directory name, and its open line: a line feed or carriage return taken raw would end the
   * line or the record, a raw backslash would not read back as itself. */
  static const struct {
    const char *name;
    const char *open_line;
  } cases[] = {
      {"a\nb", "O /a\\nb\n"},
      {"c\rd", "O /c\\rd\n"},
      {"d5\\x", "O /d5\\\\x\n"},
      {"t\tb", "O /t\\tb\n"},
      {"plain", "O /plain\n"},
  };
  for (const auto &c : cases)
    ASSERT_EQ(mkdir((root + "/" + c.name).c_str(), 0755), 0) << c.name;
  ASSERT_EQ(mkdir((root + "/a\nb/in\\ner").c_str(), 0755), 0);
  librdir_param p;
  p.flag = LIBRDIR_F_GEN2;
  librdir *h = librdir_open(tmpl, &p);
  ASSERT_NE(h, nullptr);
  std::string s = read_gen2(h);
  librdir_close(h);
  for (const auto &c : cases)
    EXPECT_NE(s.find(c.open_line), std::string::npos) << c.open_line;
  EXPECT_NE(s.find("O /a\\nb/in\\\\ner\n"), std::string::npos) << "a nested path is escaped whole";
  /* Every record is whole: seven directories, seven end lines, and no carriage return elsewhere. */
  size_t ends = 0;
  for (size_t at = 0; (at = s.find("\nE 0\r", at)) != std::string::npos; ++at)
    ++ends;
  EXPECT_EQ(ends, 7u) << s;
  EXPECT_EQ(std::count(s.begin(), s.end(), '\r'), 7 + 2) << "one per record, then the finish line and the end";
  std::string cmd = "rm -rf '" + root + "'";
  ASSERT_EQ(system(cmd.c_str()), 0);
}

TEST(librdir, gen2_drops_directories_whose_path_does_not_fit)
{
  char tmpl[] = "/tmp/librdir_long.XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  /* Build a chain of 200-byte names until the full path passes 4096 bytes. */
  std::string name(200, 'n');
  std::string path = tmpl;
  int fd = open(tmpl, O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  while (path.size() < LIBRDIR_PATH_SIZE + 100) {
    ASSERT_EQ(mkdirat(fd, name.c_str(), 0755), 0);
    int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
    close(fd);
    ASSERT_GE(next, 0);
    fd = next;
    path += "/" + name;
  }
  close(fd);
  librdir_param p;
  p.flag = LIBRDIR_F_GEN2;
  librdir *h = librdir_open(tmpl, &p);
  ASSERT_NE(h, nullptr);
  std::string s = read_gen2(h);
  EXPECT_EQ(librdir_drop_long_dirs(h), 1u);
  librdir_close(h);
  EXPECT_NE(s.find("X 1\r\r"), std::string::npos);
  /* The directory too long to enter is still an entry of its parent (a consumer that missed it
   * would take it for gone), but it is never opened. */
  std::string parent = path.substr(strlen(tmpl), path.rfind('/') - strlen(tmpl));
  EXPECT_NE(s.find("O " + parent + "\nD " + name + "\t"), std::string::npos) << parent;
  EXPECT_EQ(s.find("O " + parent + "/" + name + "\n"), std::string::npos);
  std::string cmd = std::string("rm -rf '") + tmpl + "'";
  ASSERT_EQ(system(cmd.c_str()), 0);
}

/* Samples the queued text until it stops changing (the walk paused or ended) or 60 s pass. */
void wait_still(librdir *h)
{
  uint64_t last = UINT64_MAX;
  int same = 0;
  for (int i = 0; i < 1200 && same < 10; ++i) {
    usleep(50 * 1000);
    uint64_t q = librdir_queued(h);
    same = q == last && q > 0 ? same + 1 : 0;
    last = q;
  }
}

TEST_F(tree_fixture, a_bounded_queue_pauses_the_walk_until_it_is_read)
{
  /* Files and directories in the root, so that both queues of generation 1 fill. */
  for (int i = 0; i < 300; ++i)
    put("file_with_a_long_name_" + std::to_string(i), "x");
  for (int i = 0; i < 100; ++i)
    mk("dir_with_a_long_name_" + std::to_string(i));
  constexpr size_t BOUND = 4096;
  for (uint32_t flag : {0u, (uint32_t)LIBRDIR_F_GEN2}) {
    SCOPED_TRACE(flag);
    librdir_param p;
    p.flag = flag;
    p.queue_max = BOUND;
    librdir *h = librdir_open(root.c_str(), &p);
    ASSERT_NE(h, nullptr);
    wait_still(h);
    /* The listing is many times the bound; nothing read, so the walk waits at the bound. */
    EXPECT_GT(librdir_queued(h), BOUND / 2);
    EXPECT_LE(librdir_queued_peak(h), BOUND);
    std::vector<std::string> names;
    if (flag) {
      std::string all = read_gen2(h);
      for (const std::string &hd : heads(all))
        if (hd.rfind("F ", 0) == 0 || hd.rfind("D ", 0) == 0)
          names.push_back(hd.substr(2));
      EXPECT_NE(all.find("X 0\r\r"), std::string::npos);
    } else {
      gen1_dir r = read_gen1(h);
      EXPECT_TRUE(r.complete);
      names = names_of(r.files);
      for (const std::string &d : names_of(r.dirs))
        names.push_back(d);
    }
    /* Every entry of the root, and for generation 2 of the directories below it (c.txt, deep,
     * d.txt, e.txt): nothing was lost to the bound. */
    size_t want = 300 + 100 + 7 + (flag ? 4 : 0);
    EXPECT_EQ(names.size(), want);
    EXPECT_EQ(librdir_queued(h), 0u);
    EXPECT_LE(librdir_queued_peak(h), BOUND);
    librdir_close(h);

    /* A paused walk ends at its close. */
    h = librdir_open(root.c_str(), &p);
    ASSERT_NE(h, nullptr);
    wait_still(h);
    librdir_close(h);
  }
}

TEST_F(tree_fixture, close_ends_a_walk_nobody_reads)
{
  for (int i = 0; i < 200; ++i)
    mk("many" + std::to_string(i));
  librdir_param p;
  p.flag = LIBRDIR_F_GEN2;
  librdir *h = librdir_open(root.c_str(), &p);
  ASSERT_NE(h, nullptr);
  librdir_close(h); /* must return and free everything (ASan checks the rest) */
}

} // namespace
