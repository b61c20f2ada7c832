#define LOG_TAG "test"
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "liblog/log2.h"
#include "libqvcli/qvcli.h"

namespace {

std::mutex g_log_lock;
std::vector<std::string> g_warnings;

void capture(int level, const char *, const char *, int, const char *, const char *fmt, va_list ap)
{
  if ((level & 0xff) > LOG2_WARN)
    return;
  char text[8192];
  vsnprintf(text, sizeof text, fmt, ap);
  std::lock_guard<std::mutex> g(g_log_lock);
  g_warnings.emplace_back(text);
}

/* A uid that is neither root nor the user running the tests. */
constexpr uid_t OTHER_UID = 54321;

std::string exe_dir()
{
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0)
    return "";
  buf[n] = 0;
  return std::filesystem::path(buf).parent_path().string();
}

/* How a candidate directory's qv_client.ini is prepared. */
enum file_state { ABSENT, SAFE, FOREIGN_OWNER, GROUP_WRITABLE, OTHER_WRITABLE, A_DIRECTORY, A_FIFO, SAFE_0644 };

class qvcli_conf : public ::testing::Test {
protected:
  std::filesystem::path root;
  std::string saved_cwd;
  std::string saved_home;

  void SetUp() override
  {
    {
      std::lock_guard<std::mutex> g(g_log_lock);
      g_warnings.clear();
    }
    log2_set_forward(capture);
    std::string tmpl = (std::filesystem::temp_directory_path() / "qvcli_conf.XXXXXX").string();
    ASSERT_NE(nullptr, mkdtemp(tmpl.data()));
    root = tmpl;
    saved_cwd = std::filesystem::current_path().string();
    const char *h = getenv("HOME");
    saved_home = h ? h : "";
    for (const char *v : {"QV_ENV_CONF_DIR", "QV_CACHE", "QV_PROXY_FILE"})
      unsetenv(v);
    setenv("HOME", (root / "home").c_str(), 1);
    /* an empty working directory unless a test puts a file there */
    std::filesystem::create_directories(root / "cwd");
    ASSERT_EQ(0, chdir((root / "cwd").c_str()));
    qv_conf_reset();
  }
  void TearDown() override
  {
    qv_conf_reset();
    EXPECT_EQ(0, chdir(saved_cwd.c_str()));
    if (saved_home.empty())
      unsetenv("HOME");
    else
      setenv("HOME", saved_home.c_str(), 1);
    for (const char *v : {"QV_ENV_CONF_DIR", "QV_CACHE", "QV_PROXY_FILE"})
      unsetenv(v);
    log2_set_forward(nullptr);
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }

  /* Makes dir (below root) and its file named name in the given state. */
  std::string make(const std::string &sub, file_state st, const char *text = "[conf]\n",
                   const char *name = "qv_client.ini")
  {
    std::filesystem::path d = root / sub;
    std::filesystem::create_directories(d);
    std::string f = (d / name).string();
    if (st == ABSENT)
      return d.string();
    if (st == A_DIRECTORY) {
      std::filesystem::create_directories(f);
      return d.string();
    }
    if (st == A_FIFO) {
      EXPECT_EQ(0, mkfifo(f.c_str(), 0600));
      return d.string();
    }
    {
      std::ofstream o(f, std::ios::trunc);
      o << text;
    }
    mode_t mode = st == GROUP_WRITABLE ? 0620 : st == OTHER_WRITABLE ? 0602 : st == SAFE_0644 ? 0644 : 0600;
    EXPECT_EQ(0, chmod(f.c_str(), mode));
    if (st == FOREIGN_OWNER) {
      EXPECT_EQ(0, chown(f.c_str(), OTHER_UID, OTHER_UID)) << "chown needs root: " << strerror(errno);
    }
    return d.string();
  }
  static std::string client_path()
  {
    char p[QV_CONF_PATH_SIZE];
    EXPECT_GT(qv_conf_client_path(p, sizeof p), 0);
    return p;
  }
  static int warnings_with(const std::string &part)
  {
    std::lock_guard<std::mutex> g(g_log_lock);
    int n = 0;
    for (const auto &w : g_warnings)
      n += w.find(part) != std::string::npos;
    return n;
  }
  static std::string env(const char *name)
  {
    const char *v = getenv(name);
    return v ? v : "<unset>";
  }
};

TEST_F(qvcli_conf, candidates_in_search_order)
{
  std::string cwd = (root / "cwd").string();
  std::string home_conf = (root / "home" / ".config" / "qvcp").string();
  char dirs[8][QV_CONF_PATH_SIZE];
  int n = qv_conf_candidates(dirs, 8);
  std::vector<std::string> got(dirs, dirs + n);
  EXPECT_EQ((std::vector<std::string>{cwd, exe_dir(), home_conf, "/etc/qvcp"}), got);

  setenv("QV_ENV_CONF_DIR", "/chosen/by/user", 1);
  n = qv_conf_candidates(dirs, 8);
  got.assign(dirs, dirs + n);
  EXPECT_EQ((std::vector<std::string>{"/chosen/by/user", cwd, exe_dir(), home_conf, "/etc/qvcp"}), got);

  /* an empty variable counts as unset */
  setenv("QV_ENV_CONF_DIR", "", 1);
  EXPECT_EQ(4, qv_conf_candidates(dirs, 8));
  /* never more than asked for */
  EXPECT_EQ(2, qv_conf_candidates(dirs, 2));
}

TEST_F(qvcli_conf, file_check_by_owner_mode_and_kind)
{
  if (geteuid() != 0)
    GTEST_SKIP() << "giving a file to another owner needs root";
  static const struct {
    file_state st;
    int want;
    const char *msg_part;
  } cases[] = {
      {ABSENT, 0, ""},
      {SAFE, 1, ""},
      {SAFE_0644, 1, ""},
      {FOREIGN_OWNER, -1, "is owned by uid 54321, neither the user"},
      {GROUP_WRITABLE, -1, "writable by group or others (mode 620)"},
      {OTHER_WRITABLE, -1, "writable by group or others (mode 602)"},
      {A_DIRECTORY, -1, "is not a regular file"},
      {A_FIFO, -1, "is not a regular file"},
  };
  int i = 0;
  for (const auto &c : cases) {
    std::string d = make("c" + std::to_string(i++), c.st);
    vperror err{};
    EXPECT_EQ(c.want, qv_conf_file_check((d + "/qv_client.ini").c_str(), &err)) << d;
    if (c.want < 0) {
      EXPECT_NE(std::string::npos, std::string(vperror_str(&err)).find(c.msg_part)) << vperror_str(&err);
    }
  }
}

TEST_F(qvcli_conf, pick_skips_unsafe_files_with_a_warning)
{
  if (geteuid() != 0)
    GTEST_SKIP() << "giving a file to another owner needs root";
  static const struct {
    std::vector<file_state> dirs;
    int want;
    int warnings;
  } cases[] = {
      {{ABSENT, SAFE}, 1, 0},
      {{SAFE, SAFE}, 0, 0},
      {{FOREIGN_OWNER, SAFE}, 1, 1},
      {{GROUP_WRITABLE, ABSENT, SAFE}, 2, 1},
      {{OTHER_WRITABLE, FOREIGN_OWNER, SAFE_0644}, 2, 2},
      {{A_DIRECTORY, SAFE}, 1, 1},
      {{FOREIGN_OWNER, GROUP_WRITABLE}, -1, 2},
      {{ABSENT, ABSENT}, -1, 0},
  };
  int row = 0;
  for (const auto &c : cases) {
    {
      std::lock_guard<std::mutex> g(g_log_lock);
      g_warnings.clear();
    }
    char dirs[4][QV_CONF_PATH_SIZE];
    int n = 0;
    for (file_state st : c.dirs) {
      std::string d = make("r" + std::to_string(row) + "_" + std::to_string(n), st);
      snprintf(dirs[n++], QV_CONF_PATH_SIZE, "%s", d.c_str());
    }
    EXPECT_EQ(c.want, qv_conf_pick(dirs, n)) << "row " << row;
    EXPECT_EQ(c.warnings, warnings_with(": skipped")) << "row " << row;
    row++;
  }
}

TEST_F(qvcli_conf, env_dir_is_used_and_exports_proxy_file_and_cache)
{
  std::string d = make("env", SAFE, "[conf]\ncache_dir=/var/cache/q\n");
  setenv("QV_ENV_CONF_DIR", d.c_str(), 1);
  setenv("QV_PROXY_FILE", "/stale/qv_proxy.ini", 1);
  ASSERT_EQ(0, qv_conf_setup());
  EXPECT_EQ(d + "/qv_client.ini", client_path());
  EXPECT_EQ(d + "/qv_proxy.ini", env("QV_PROXY_FILE"));
  EXPECT_EQ("/var/cache/q", env("QV_CACHE"));
}

TEST_F(qvcli_conf, cache_in_the_environment_wins)
{
  std::string d = make("env", SAFE, "[conf]\ncache_dir=/var/cache/q\n");
  setenv("QV_ENV_CONF_DIR", d.c_str(), 1);
  setenv("QV_CACHE", "/mine", 1);
  ASSERT_EQ(0, qv_conf_setup());
  EXPECT_EQ("/mine", env("QV_CACHE"));
}

TEST_F(qvcli_conf, empty_cache_dir_exports_nothing)
{
  std::string d = make("env", SAFE, "[conf]\ncache_dir=\n");
  setenv("QV_ENV_CONF_DIR", d.c_str(), 1);
  ASSERT_EQ(0, qv_conf_setup());
  EXPECT_EQ("<unset>", env("QV_CACHE"));
}

TEST_F(qvcli_conf, foreign_env_file_falls_through_to_the_working_directory)
{
  if (geteuid() != 0)
    GTEST_SKIP() << "giving a file to another owner needs root";
  std::string d = make("env", FOREIGN_OWNER, "[conf]\ncache_dir=/hostile\n");
  make("cwd", SAFE);
  setenv("QV_ENV_CONF_DIR", d.c_str(), 1);
  ASSERT_EQ(0, qv_conf_setup());
  EXPECT_EQ((root / "cwd" / "qv_client.ini").string(), client_path());
  EXPECT_EQ("<unset>", env("QV_CACHE"));
  EXPECT_EQ(1, warnings_with("is owned by uid 54321"));
}

TEST_F(qvcli_conf, writable_working_directory_file_falls_through_to_home_config)
{
  if (std::filesystem::exists(exe_dir() + "/qv_client.ini"))
    GTEST_SKIP() << "the test program's directory holds a qv_client.ini";
  make("cwd", GROUP_WRITABLE);
  std::string home_conf = make("home/.config/qvcp", SAFE);
  ASSERT_EQ(0, qv_conf_setup());
  EXPECT_EQ(home_conf + "/qv_client.ini", client_path());
  EXPECT_EQ(home_conf + "/qv_proxy.ini", env("QV_PROXY_FILE"));
  EXPECT_EQ(1, warnings_with("writable by group or others"));
}

TEST_F(qvcli_conf, nothing_found_uses_the_executable_directory)
{
  if (std::filesystem::exists(exe_dir() + "/qv_client.ini") || std::filesystem::exists("/etc/qvcp/qv_client.ini"))
    GTEST_SKIP() << "a qv_client.ini outside the test's directories exists";
  ASSERT_EQ(0, qv_conf_setup());
  EXPECT_EQ(exe_dir() + "/qv_client.ini", client_path());
  EXPECT_EQ(exe_dir() + "/qv_proxy.ini", env("QV_PROXY_FILE"));
}

TEST_F(qvcli_conf, unsafe_proxy_file_is_not_exported)
{
  std::string d = make("env", SAFE);
  make("env", GROUP_WRITABLE, "[p]\nproto=http\n", "qv_proxy.ini");
  setenv("QV_ENV_CONF_DIR", d.c_str(), 1);
  setenv("QV_PROXY_FILE", "/stale/qv_proxy.ini", 1);
  ASSERT_EQ(0, qv_conf_setup());
  EXPECT_EQ("<unset>", env("QV_PROXY_FILE"));
  EXPECT_EQ(1, warnings_with("qv_proxy.ini] is writable by group or others"));
}

TEST_F(qvcli_conf, setup_runs_once_until_reset)
{
  std::string a = make("a", SAFE);
  std::string b = make("b", SAFE);
  setenv("QV_ENV_CONF_DIR", a.c_str(), 1);
  ASSERT_EQ(0, qv_conf_setup());
  setenv("QV_ENV_CONF_DIR", b.c_str(), 1);
  ASSERT_EQ(0, qv_conf_setup());
  EXPECT_EQ(a + "/qv_client.ini", client_path());
  qv_conf_reset();
  ASSERT_EQ(0, qv_conf_setup());
  EXPECT_EQ(b + "/qv_client.ini", client_path());
}

TEST_F(qvcli_conf, set_path_prefers_the_gui_file_and_yields_to_the_env_dir)
{
  std::string given = make("given", SAFE);
  make("given", SAFE, "[conf]\n", "qvdk-gui-user.ini");
  ASSERT_EQ(0, qv_conf_set_path(given.c_str()));
  EXPECT_EQ(given + "/qvdk-gui-user.ini", client_path());

  std::string e = make("env", SAFE);
  setenv("QV_ENV_CONF_DIR", e.c_str(), 1);
  ASSERT_EQ(0, qv_conf_set_path(given.c_str()));
  EXPECT_EQ(e + "/qv_client.ini", client_path());

  /* an env dir without a usable file does not win */
  std::string empty = make("envempty", ABSENT);
  setenv("QV_ENV_CONF_DIR", empty.c_str(), 1);
  ASSERT_EQ(0, qv_conf_set_path(given.c_str()));
  EXPECT_EQ(given + "/qvdk-gui-user.ini", client_path());
  EXPECT_EQ(-1, qv_conf_set_path(""));
  EXPECT_EQ(-1, qv_conf_set_path(nullptr));
}

TEST_F(qvcli_conf, profile_operations_refuse_an_unsafe_client_file)
{
  std::string d = make("env", GROUP_WRITABLE, "[session/o]\nprot=qvp\nip=hostile.example\n");
  ASSERT_EQ(0, qv_conf_set_path(d.c_str()));
  qv_profile rec{};
  vperror err{};
  EXPECT_EQ(-1, conf_client_get_info("o", &rec, &err));
  EXPECT_NE(std::string::npos, std::string(vperror_str(&err)).find("writable by group or others"))
      << vperror_str(&err);
  char out[256];
  EXPECT_EQ(-1, qv_url_resolve("///o/x", out, sizeof out, &err));
  rec.kind = QV_PROF_NET;
  strcpy(rec.name, "n");
  EXPECT_EQ(-1, conf_client_set_info(&rec, &err));
  EXPECT_FALSE(conf_client_is_exist("o"));
}

TEST_F(qvcli_conf, fifo_as_client_file_is_refused_without_blocking)
{
  std::string d = make("env", A_FIFO);
  ASSERT_EQ(0, qv_conf_set_path(d.c_str()));
  qv_profile rec{};
  vperror err{};
  EXPECT_EQ(-1, conf_client_get_info("o", &rec, &err));
  EXPECT_NE(std::string::npos, std::string(vperror_str(&err)).find("is not a regular file")) << vperror_str(&err);
}

TEST_F(qvcli_conf, conf_section_keys)
{
  std::string d = make("env", SAFE, "[conf]\nn=12abc\n");
  setenv("QV_ENV_CONF_DIR", d.c_str(), 1);
  EXPECT_EQ(12, qv_conf_get_int("n", 5));
  EXPECT_EQ(5, qv_conf_get_int("absent", 5));
  vperror err{};
  ASSERT_EQ(0, qv_conf_set_int("retries", -3, &err)) << vperror_str(&err);
  EXPECT_EQ(-3, qv_conf_get_int("retries", 0));
  ASSERT_EQ(0, qv_conf_set_str("cache_dir", "/c2", &err)) << vperror_str(&err);
  EXPECT_EQ("/c2", env("QV_CACHE"));
  char v[8];
  EXPECT_EQ(3, qv_conf_get_str("cache_dir", "", v, sizeof v));
  EXPECT_STREQ("/c2", v);
  EXPECT_EQ(-1, qv_conf_get_str("cache_dir", "", v, 3));
  struct stat st{};
  ASSERT_EQ(0, stat((d + "/qv_client.ini").c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 07777);
}

} // namespace
