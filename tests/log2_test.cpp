#define LOG_TAG "test"
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "helpers/pty.h"
#include "libconf/log2_ini.h"
#include "liblog/log2.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

/* Every test starts from the logger's defaults with the console on and no file. */
class log2_fixture : public testing::Test {
protected:
  void SetUp() override { reset(); }
  void TearDown() override { reset(); }
  static void reset()
  {
    log2_exit();
    int v = LOG2_DBG;
    log2_ioctl(nullptr, LOG2_IOC_LEVEL, &v, sizeof v);
    log2_ioctl(nullptr, LOG2_IOC_CONSOLE_LEVEL_STR, "dbg", 0);
    v = LOG2_F_DEFAULT;
    log2_ioctl(nullptr, LOG2_IOC_FLAGS, &v, sizeof v);
    v = 1;
    log2_ioctl(nullptr, LOG2_IOC_CONSOLE_ON, &v, sizeof v);
    log2_ioctl(nullptr, LOG2_IOC_HOOK_INFO, nullptr, 0);
    log2_ioctl(nullptr, LOG2_IOC_HOOK_WARN, nullptr, 0);
  }
  static void set_flags(const char *words) { log2_ioctl(nullptr, LOG2_IOC_FLAGS_STR, words, 0); }
  static std::string last()
  {
    char buf[4096];
    return log2_last_msg(buf, sizeof buf);
  }
  std::string tmpdir()
  {
    char tmpl[] = "/tmp/log2_test.XXXXXX";
    char *d = mkdtemp(tmpl);
    EXPECT_NE(nullptr, d);
    dirs_.push_back(d);
    return d;
  }
  ~log2_fixture() override
  {
    for (auto &d : dirs_)
      (void)!system(("rm -rf '" + d + "'").c_str());
  }
  std::vector<std::string> dirs_;
};

/* Standard error on the slave side of a pseudo-terminal in raw mode (bytes pass unchanged) from
 * construction until text(), which puts the old standard error back and returns what was written. */
class stderr_on_terminal {
public:
  stderr_on_terminal()
  {
    if (open_raw_pty(&master_, &slave_) != 0)
      return;
    fflush(stderr);
    saved_ = dup(STDERR_FILENO);
    if (saved_ >= 0 && dup2(slave_, STDERR_FILENO) == STDERR_FILENO)
      ok_ = true;
  }
  ~stderr_on_terminal()
  {
    restore();
    for (int fd : {slave_, master_, saved_})
      if (fd >= 0)
        close(fd);
  }
  bool ok() const { return ok_; }
  std::string text()
  {
    restore();
    /* A marker written after everything else tells where the text ends; the time limit only
     * guards against a test that would otherwise hang. */
    static const char k_end[] = "\001end\001";
    if (!ok_ || write(slave_, k_end, sizeof k_end - 1) != static_cast<ssize_t>(sizeof k_end - 1))
      return "";
    const std::string end_mark = k_end;
    std::string got;
    while (got.size() < end_mark.size() || got.compare(got.size() - end_mark.size(), end_mark.size(), end_mark) != 0) {
      struct pollfd pfd = {master_, POLLIN, 0};
      if (poll(&pfd, 1, 10000) <= 0)
        break;
      char buf[4096];
      ssize_t n = read(master_, buf, sizeof buf);
      if (n <= 0)
        break;
      got.append(buf, static_cast<size_t>(n));
    }
    size_t end = got.rfind(end_mark);
    return end == std::string::npos ? got : got.substr(0, end);
  }

private:
  void restore()
  {
    if (ok_ && !restored_) {
      fflush(stderr);
      dup2(saved_, STDERR_FILENO);
      restored_ = true;
    }
  }
  int master_ = -1, slave_ = -1, saved_ = -1;
  bool ok_ = false, restored_ = false;
};

std::string read_file(const std::string &path)
{
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

} // namespace

TEST_F(log2_fixture, level_filter_drops_before_any_sink)
{
  int v = LOG2_INFO;
  log2_ioctl(nullptr, LOG2_IOC_LEVEL, &v, sizeof v);
  set_flags("no_colour");
  LOGI("kept %d", 1);
  std::string before = last();
  CaptureStderr();
  LOGD("dropped %d", 2);
  EXPECT_EQ("", GetCapturedStderr());
  EXPECT_EQ(before, last());
  int got = 0;
  EXPECT_EQ(0, log2_ioctl(nullptr, LOG2_IOC_GET_LEVEL, &got, sizeof got));
  EXPECT_EQ(LOG2_INFO, got);
  EXPECT_EQ(-1, log2_ioctl(nullptr, LOG2_IOC_GET_LEVEL, &got, 2));
}

TEST_F(log2_fixture, prefix_formats)
{
  static const struct {
    const char *flags;
    const char *pattern; /* regex of the whole console line */
  } cases[] = {
      {"time_ms|func|no_colour", R"(\d\d:\d\d:\d\d\.\d\d\d TestBody\(\): hello 7\n)"},
      {"time|no_colour", R"(\d\d:\d\d:\d\d hello 7\n)"},
      /* "file" sets both file bits: the path is cut to its last component */
      {"file|tid|no_colour", R"(\[\d+\] \[log2_test\.cpp:\d+\] hello 7\n)"},
      {"tid_name|no_colour", R"(\[main\] hello 7\n)"},
      {"no_colour", R"(hello 7\n)"},
      /* colour on, but the captured standard error is a file: plain text all the same */
      {"", R"(hello 7\n)"},
  };
  for (const auto &c : cases) {
    set_flags(c.flags);
    CaptureStderr();
    LOGW("hello %d", 7);
    std::string out = GetCapturedStderr();
    EXPECT_TRUE(std::regex_match(out, std::regex(c.pattern))) << c.flags << " -> [" << out << "]";
  }
}

TEST_F(log2_fixture, info_is_never_coloured_and_errno_text_is_appended)
{
  set_flags("");
  unsetenv("NO_COLOR");
  std::string out;
  {
    stderr_on_terminal term;
    ASSERT_TRUE(term.ok());
    LOGI("plain");
    errno = ENOENT;
    LOG2(LOG2_ERR | LOG2_ERRNO, "open [%s] error: ", "/x");
    out = term.text();
  }
  EXPECT_EQ("plain\n\033[01;31mopen [/x] error: No such file or directory\n\033[0m", out);
}

TEST_F(log2_fixture, console_colour_only_on_a_terminal_without_no_color)
{
  static const struct {
    bool terminal;
    const char *no_color; /* null: unset */
    const char *flags;
    const char *want;
  } cases[] = {
      {true, nullptr, "", "\033[01;33mwarned\n\033[0m"},
      {true, "", "", "\033[01;33mwarned\n\033[0m"}, /* empty counts as unset */
      {true, "1", "", "warned\n"},
      {true, nullptr, "no_colour", "warned\n"},
      {false, nullptr, "", "warned\n"},
      {false, "", "", "warned\n"},
  };
  for (const auto &c : cases) {
    if (c.no_color)
      setenv("NO_COLOR", c.no_color, 1);
    else
      unsetenv("NO_COLOR");
    set_flags(c.flags);
    std::string out;
    if (c.terminal) {
      stderr_on_terminal term;
      ASSERT_TRUE(term.ok());
      LOGW("warned");
      out = term.text();
    } else {
      CaptureStderr();
      LOGW("warned");
      out = GetCapturedStderr();
    }
    EXPECT_EQ(c.want, out) << c.terminal << " [" << (c.no_color ? c.no_color : "(unset)") << "] " << c.flags;
  }
  unsetenv("NO_COLOR");
}

TEST_F(log2_fixture, colour_test_of_descriptors)
{
  unsetenv("NO_COLOR");
  int p[2];
  ASSERT_EQ(0, pipe(p));
  EXPECT_FALSE(log2_colour_on(p[1]));
  EXPECT_FALSE(log2_colour_on(-1));
  close(p[0]);
  close(p[1]);
  FILE *f = tmpfile();
  ASSERT_NE(nullptr, f);
  EXPECT_FALSE(log2_colour_on(fileno(f)));
  fclose(f);

  stderr_on_terminal term;
  ASSERT_TRUE(term.ok());
  EXPECT_TRUE(log2_colour_on(STDERR_FILENO));
  errno = ENOENT;
  setenv("NO_COLOR", "x", 1);
  EXPECT_FALSE(log2_colour_on(STDERR_FILENO));
  unsetenv("NO_COLOR");
  EXPECT_EQ(ENOENT, errno) << "the check keeps errno for the errno texts of the log";
}

TEST_F(log2_fixture, flag_words_and_level_words)
{
  CaptureStderr();
  uint32_t f = log2_flags_parse("tid|bogus|time_ms");
  std::string err = GetCapturedStderr();
  EXPECT_EQ(LOG2_F_COLOUR | LOG2_F_TID | LOG2_F_TIME_MS, f);
  EXPECT_EQ("Invalid tags: [bogus]\n", err);
  EXPECT_EQ(LOG2_F_TIME_MS, log2_flags_parse("time|time_ms|no_colour")); /* time_ms clears time */

  static const struct {
    const char *w;
    int lv;
  } levels[] = {{"verb", 8}, {"dbg", 7}, {"info", 6}, {"noti", 5}, {"warn", 4}, {"err", 3}, {"crit", 2}};
  for (const auto &l : levels)
    EXPECT_EQ(l.lv, log2_level_parse(l.w)) << l.w;
  CaptureStderr();
  EXPECT_EQ(-1, log2_level_parse("debug"));
  EXPECT_EQ("error: invalid level [debug]\n", GetCapturedStderr());
  CaptureStderr();
  EXPECT_EQ(-1, log2_ioctl(nullptr, 99, nullptr, 0));
  EXPECT_EQ("Invalid command code=99\n", GetCapturedStderr());
}

TEST_F(log2_fixture, console_level_and_switch)
{
  set_flags("no_colour");
  log2_ioctl(nullptr, LOG2_IOC_CONSOLE_LEVEL_STR, "warn", 0);
  CaptureStderr();
  LOGI("not on the console");
  std::string kept = last();
  LOGW("on the console");
  EXPECT_EQ("on the console\n", GetCapturedStderr());
  EXPECT_EQ("not on the console\n", kept); /* other sinks and the last message still get it */
  int off = 0;
  log2_ioctl(nullptr, LOG2_IOC_CONSOLE_ON, &off, sizeof off);
  CaptureStderr();
  LOGE("silent");
  EXPECT_EQ("", GetCapturedStderr());
  EXPECT_EQ("silent\n", last());
}

namespace {
std::string g_hook_info, g_hook_warn;
void hook_info(int, const char *, const char *line, size_t len) { g_hook_info.append(line, len); }
void hook_warn(int, const char *, const char *line, size_t len) { g_hook_warn.append(line, len); }
} // namespace

TEST_F(log2_fixture, hooks_split_by_level)
{
  set_flags("no_colour");
  int off = 0;
  log2_ioctl(nullptr, LOG2_IOC_CONSOLE_ON, &off, sizeof off);
  log2_ioctl(nullptr, LOG2_IOC_HOOK_INFO, reinterpret_cast<const void *>(&hook_info), 0);
  log2_ioctl(nullptr, LOG2_IOC_HOOK_WARN, reinterpret_cast<const void *>(&hook_warn), 0);
  g_hook_info.clear();
  g_hook_warn.clear();
  LOGD("d");
  LOGN("n");
  LOGW("w");
  LOGE("e");
  EXPECT_EQ("d\nn\n", g_hook_info);
  EXPECT_EQ("w\ne\n", g_hook_warn);
}

TEST_F(log2_fixture, crit_ends_the_process_unless_told_not_to)
{
  EXPECT_EXIT(
      {
        LOGC("fatal %d", 1);
        _exit(0);
      },
      testing::ExitedWithCode(1), "fatal 1");
  set_flags("no_colour");
  CaptureStderr();
  EXPECT_EQ(0, log2_print(nullptr, LOG2_CRIT | LOG2_NOEXIT, "t", __FILE__, __LINE__, __func__, "survive"));
  EXPECT_EQ("survive\n", GetCapturedStderr());
}

TEST_F(log2_fixture, file_sink_line_format)
{
  std::string dir = tmpdir();
  set_flags("func");
  ASSERT_EQ(0, log2_ioctl(nullptr, LOG2_IOC_FILE_DIR, dir.c_str(), 0));
  ASSERT_EQ(0, log2_ioctl(nullptr, LOG2_IOC_FILE_OPEN, "a.log", 0));
  int on = 1, off = 0;
  log2_ioctl(nullptr, LOG2_IOC_FILE_ON, &on, sizeof on);
  log2_ioctl(nullptr, LOG2_IOC_CONSOLE_ON, &off, sizeof off);
  log2_thread_name_set("worker_1");
  LOGW("disk at %d%%", 93);
  log2_thread_name_set("main");
  char path[512];
  ASSERT_GT(log2_file_path(path, sizeof path), 0);
  EXPECT_EQ(dir + "/a.log", path);
  log2_exit();
  std::string text = read_file(dir + "/a.log");
  std::string re = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6} WARN  )" + std::to_string(getpid()) +
                   R"( --- \[worker_1\] test TestBody\(\): disk at 93%\n)";
  EXPECT_TRUE(std::regex_match(text, std::regex(re))) << text;
  EXPECT_EQ(-1, log2_file_path(path, sizeof path));
}

TEST_F(log2_fixture, full_file_is_rotated)
{
  std::string dir = tmpdir();
  std::string base = dir + "/r.log";
  int small = 2047, size = 2048, num = 3, on = 1, off = 0;
  EXPECT_EQ(-1, log2_ioctl(nullptr, LOG2_IOC_FILE_SIZE, &small, sizeof small));
  ASSERT_EQ(0, log2_ioctl(nullptr, LOG2_IOC_FILE_SIZE, &size, sizeof size));
  ASSERT_EQ(0, log2_ioctl(nullptr, LOG2_IOC_FILE_NUM, &num, sizeof num));
  ASSERT_EQ(0, log2_ioctl(nullptr, LOG2_IOC_FILE_OPEN, base.c_str(), 0));
  log2_ioctl(nullptr, LOG2_IOC_FILE_ON, &on, sizeof on);
  log2_ioctl(nullptr, LOG2_IOC_CONSOLE_ON, &off, sizeof off);
  set_flags("no_colour");
  for (int i = 0; i < 200; i++)
    LOGI("line %03d %s", i, std::string(40, 'x').c_str());
  log2_exit();
  std::string cur = read_file(base), one = read_file(base + ".1"), two = read_file(base + ".2");
  EXPECT_LE(cur.size(), 2048u);
  EXPECT_GT(one.size(), 1900u);
  EXPECT_LE(one.size(), 2048u);
  EXPECT_FALSE(two.empty());
  EXPECT_NE(0, access((base + ".3").c_str(), F_OK)); /* at most three files */
  EXPECT_NE(std::string::npos, cur.find("line 199"));
  /* the newest lines survive, none is split across files */
  size_t at = one.rfind("line ");
  ASSERT_NE(std::string::npos, at);
  int last_in_one = atoi(one.c_str() + at + 5);
  EXPECT_NE(std::string::npos, cur.find("line " + std::string(last_in_one + 1 < 100 ? "0" : "") +
                                        std::to_string(last_in_one + 1)));
}

TEST_F(log2_fixture, ini_section_applies_settings)
{
  std::string dir = tmpdir();
  std::string ini = "[other]\nlevel=verb\n[log]\nlevel=warn\nflags=no_colour\nfile_dir=" + dir +
                    "\nfile=x.log\nfile_size=1024\n";
  CaptureStderr();
  ASSERT_EQ(0, log2_init_imp("ini_str", ini.c_str(), nullptr));
  std::string err = GetCapturedStderr();
  EXPECT_NE(std::string::npos, err.find("log2_ioctl log.file_size=1024 (must>=2048 error)")) << err;
  int lv = 0;
  log2_ioctl(nullptr, LOG2_IOC_GET_LEVEL, &lv, sizeof lv);
  EXPECT_EQ(LOG2_WARN, lv);
  char path[512];
  ASSERT_GT(log2_file_path(path, sizeof path), 0);
  EXPECT_EQ(dir + "/x.log", path);

  /* a named section */
  ASSERT_EQ(0, log2_init_imp("ini_str", "[log_job]\nlevel=err\n", "job"));
  log2_ioctl(nullptr, LOG2_IOC_GET_LEVEL, &lv, sizeof lv);
  EXPECT_EQ(LOG2_ERR, lv);

  CaptureStderr();
  EXPECT_EQ(-1, log2_init_imp("json", "{}", nullptr));
  EXPECT_EQ("type [json] error\n", GetCapturedStderr());
  EXPECT_EQ(-1, log2_init_imp("ini_file", (dir + "/missing.ini").c_str(), nullptr));
  log2_ioctl(nullptr, LOG2_IOC_GET_LEVEL, &lv, sizeof lv);
  EXPECT_EQ(LOG2_ERR, lv); /* unchanged */
}

TEST_F(log2_fixture, long_and_recursive_messages)
{
  set_flags("no_colour");
  std::string big(100000, 'z');
  CaptureStderr();
  LOGI("%s", big.c_str());
  std::string out = GetCapturedStderr();
  EXPECT_EQ(big + "\n", out); /* written whole, not cut */
}
