#define LOG_TAG "qvcli"
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>

#include "libconf/conf.h"
#include "liblog/log2.h"
#include "libpal/env/pl_init.h"
#include "libqvcli/qvcli_int.h"

namespace {

std::mutex g_lock;
std::string g_client_path; /* empty until a directory is chosen */
std::string g_proxy_path;
std::mutex g_warned_lock;
std::set<std::string> g_readable_warned; /* files already warned about as readable by others */

/* True the first time per process that path is named. */
bool first_warning(const char *path)
{
  std::lock_guard<std::mutex> g(g_warned_lock);
  return g_readable_warned.insert(path).second;
}

bool copy_out(const std::string &s, char *out, size_t size)
{
  if (!out || s.size() >= size)
    return false;
  memcpy(out, s.c_str(), s.size() + 1);
  return true;
}

bool set_dir(char *dst, const std::string &s)
{
  if (s.empty() || s.size() >= QV_CONF_PATH_SIZE)
    return false;
  memcpy(dst, s.c_str(), s.size() + 1);
  return true;
}

std::string join(const std::string &dir, const char *name)
{
  if (!dir.empty() && dir.back() == '/')
    return dir + name;
  return dir + "/" + name;
}

std::string home_dir()
{
  const char *h = getenv("HOME");
  if (h && *h)
    return h;
  struct passwd pw, *res = nullptr;
  char buf[4096];
  if (getpwuid_r(getuid(), &pw, buf, sizeof buf, &res) == 0 && res && res->pw_dir && *res->pw_dir)
    return res->pw_dir;
  return "";
}

/* Records the directory and exports the variables; g_lock is held. */
void use_dir_locked(const std::string &dir, const char *client_name)
{
  g_client_path = join(dir, client_name);
  g_proxy_path = join(dir, QV_CONF_PROXY_NAME);
  LOGD("conf_client=[%s] conf_proxy=[%s]\n", g_client_path.c_str(), g_proxy_path.c_str());

  vperror err{};
  if (qv_conf_file_check(g_proxy_path.c_str(), &err) < 0) {
    LOGW("%s\n", vperror_str(&err));
    unsetenv("QV_PROXY_FILE");
  } else {
    setenv("QV_PROXY_FILE", g_proxy_path.c_str(), 1);
  }

  const char *cache = getenv("QV_CACHE");
  if (cache && *cache)
    return;
  conf_handle *h = qvcli_client_load(g_client_path.c_str(), false, nullptr);
  if (!h)
    return;
  const char *v = conf_get_str(h, "conf", "cache_dir", "");
  if (v && *v)
    setenv("QV_CACHE", v, 1);
  conf_close(h);
}

std::string env_conf_dir()
{
  const char *e = getenv("QV_ENV_CONF_DIR");
  return e && *e ? e : "";
}

} // namespace

namespace {

/* The largest client file read; profiles take a few hundred bytes each. */
constexpr size_t CLIENT_FILE_MAX = 4u << 20;

int check_stat(const struct stat &st, const char *path, vperror *err)
{
  if (!S_ISREG(st.st_mode)) {
    VPERROR_SET(err, VERR_ACCESS, "configuration file [%s] is not a regular file: skipped", path);
    return -1;
  }
  uid_t me = geteuid();
  if (st.st_uid != me && st.st_uid != 0) {
    VPERROR_SET(err, VERR_ACCESS,
                "configuration file [%s] is owned by uid %u, neither the user (uid %u) nor root: skipped", path,
                (unsigned)st.st_uid, (unsigned)me);
    return -1;
  }
  if (st.st_mode & (S_IWGRP | S_IWOTH)) {
    VPERROR_SET(err, VERR_ACCESS, "configuration file [%s] is writable by group or others (mode %03o): skipped",
                path, (unsigned)(st.st_mode & 0777));
    return -1;
  }
  return 1;
}

/* Reads the file through one descriptor and checks that descriptor's status, so the text parsed is
 * the text of the file that passed the check even when the name is swapped meanwhile (a shared
 * working directory). O_NONBLOCK keeps a FIFO from blocking the open; it is refused as not regular.
 * 1 with text and mode filled, 0 when the file does not exist, -1 with err. */
int read_checked(const char *path, std::string *text, mode_t *mode, vperror *err)
{
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    int eno = errno;
    if (eno == ENOENT)
      return 0;
    VPERROR_SET(err, os_verr_get(eno), "cannot open configuration file [%s]: %s", path, os_strerror(eno));
    return -1;
  }
  struct stat st;
  int rc = fstat(fd, &st) == 0 ? check_stat(st, path, err) : -1;
  if (rc > 0 && (size_t)st.st_size > CLIENT_FILE_MAX) {
    VPERROR_SET(err, VERR_FILE_TOO_BIG, "configuration file [%s] is too big (%lld bytes)", path,
                (long long)st.st_size);
    rc = -1;
  }
  if (rc > 0) {
    *mode = st.st_mode;
    text->clear();
    char buf[65536];
    for (;;) {
      ssize_t n = read(fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR)
        continue;
      if (n < 0) {
        int eno = errno;
        VPERROR_SET(err, os_verr_get(eno), "cannot read configuration file [%s]: %s", path, os_strerror(eno));
        rc = -1;
        break;
      }
      if (n == 0)
        break;
      if (text->size() + (size_t)n > CLIENT_FILE_MAX) {
        VPERROR_SET(err, VERR_FILE_TOO_BIG, "configuration file [%s] is too big", path);
        rc = -1;
        break;
      }
      text->append(buf, (size_t)n);
    }
  }
  close(fd);
  return rc;
}

} // namespace

int qv_conf_file_check(const char *path, vperror *err)
{
  struct stat st;
  if (!path || stat(path, &st) != 0)
    return 0;
  return check_stat(st, path, err);
}

conf_handle *qvcli_client_load(const char *path, bool create, vperror *err)
{
  vperror why{};
  std::string text;
  mode_t mode = 0;
  int ok = read_checked(path, &text, &mode, &why);
  if (ok < 0) {
    LOGW("%s\n", vperror_str(&why));
    VPERROR_SET(err, why.code, "conf_load [%s] failed: %s", path, vperror_str(&why));
    return nullptr;
  }
  if (ok == 0 && !create) {
    LOGE("conf_load [%s] failed\n", path);
    VPERROR_SET(err, VERR_FILE_NOT_FOUND, "conf_load [%s] failed: no such file (no connection profiles here)", path);
    return nullptr;
  }
  if (ok > 0 && (mode & (S_IRGRP | S_IROTH)) && first_warning(path))
    /* Safe to log: the line names the file and its mode, never a value read from it. */
    LOGW("configuration file [%s] holds passwords and is readable by group or others (mode %03o); "
         "it is written with mode 0600 on its next change\n",
         path, (unsigned)(mode & 0777));
  /* A missing file starts as an empty store: the file itself appears only when the store is saved,
   * with mode 0600, never as an empty file of the default mode. */
  conf_handle *h = conf_load_str(text.c_str(), CONF_TYPE_INI);
  explicit_bzero(text.data(), text.size()); /* it holds the stored passwords */
  if (!h) {
    if (create && ok == 0) {
      LOGE("conf_create_load [%s] fail\n", path);
      VPERROR_SET(err, VERR_FAIL, "conf_create_load [%s] fail", path);
    } else {
      LOGE("conf_load [%s] failed\n", path);
      VPERROR_SET(err, VERR_FAIL, "conf_load [%s] failed", path);
    }
  }
  return h;
}

int qvcli_client_save(conf_handle *h, const char *path, vperror *err)
{
  /* The text goes to a new file of mode 0600 beside the target, which then replaces it: the
   * passwords are never in a file others can read, and a failed write leaves the old file whole. */
  std::string tmp = std::string(path) + ".XXXXXX";
  int fd = mkstemp(tmp.data());
  if (fd < 0) {
    int eno = errno;
    VPERROR_SET(err, os_verr_get(eno), "cannot create a file beside [%s]: %s", path, os_strerror(eno));
    LOGE("%s\n", vperror_str(err));
    return -1;
  }
  int rc = fchmod(fd, 0600) == 0 ? 0 : -1;
  if (rc == 0 && conf_save_as(h, tmp.c_str()) < 0)
    rc = -1;
  if (rc == 0 && fsync(fd) != 0)
    rc = -1;
  int eno = errno;
  close(fd);
  if (rc == 0 && rename(tmp.c_str(), path) != 0) {
    rc = -1;
    eno = errno;
  }
  if (rc < 0) {
    unlink(tmp.c_str());
    VPERROR_SET(err, os_verr_get(eno), "saving [%s] failed: %s", path, os_strerror(eno));
    LOGE("%s\n", vperror_str(err));
    return -1;
  }
  return 0;
}

std::string qvcli_client_path()
{
  qv_conf_setup();
  std::lock_guard<std::mutex> g(g_lock);
  return g_client_path;
}

int qv_conf_candidates(char (*dirs)[QV_CONF_PATH_SIZE], int max)
{
  std::string list[5];
  int n = 0;
  std::string env = env_conf_dir();
  if (!env.empty())
    list[n++] = env;
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof cwd))
    list[n++] = cwd;
  list[n++] = pl_exe_dir();
  std::string home = home_dir();
  if (!home.empty())
    list[n++] = join(home, ".config/qvcp");
  list[n++] = "/etc/qvcp";
  int count = 0;
  for (int i = 0; i < n && count < max; i++)
    if (set_dir(dirs[count], list[i]))
      count++;
  return count;
}

int qv_conf_pick(const char (*dirs)[QV_CONF_PATH_SIZE], int count)
{
  for (int i = 0; i < count; i++) {
    std::string p = join(dirs[i], QV_CONF_CLIENT_NAME);
    vperror err{};
    int ok = qv_conf_file_check(p.c_str(), &err);
    if (ok > 0)
      return i;
    if (ok < 0)
      LOGW("%s\n", vperror_str(&err));
  }
  return -1;
}

int qv_conf_setup()
{
  std::lock_guard<std::mutex> g(g_lock);
  if (!g_client_path.empty())
    return 0;
  char dirs[5][QV_CONF_PATH_SIZE];
  int n = qv_conf_candidates(dirs, 5);
  std::string env = env_conf_dir();
  if (!env.empty())
    LOGD("use env_conf_dir=[%s]\n", env.c_str());
  int i = qv_conf_pick(dirs, n);
  std::string dir = i >= 0 ? std::string(dirs[i]) : pl_exe_dir();
  LOGD("path=[%s] epath=[%s]\n", dir.c_str(), pl_exe_dir().c_str());
  use_dir_locked(dir, QV_CONF_CLIENT_NAME);
  return 0;
}

int qv_conf_set_path(const char *dir)
{
  if (!dir || !*dir || strlen(dir) >= QV_CONF_PATH_SIZE)
    return -1;
  std::lock_guard<std::mutex> g(g_lock);
  std::string chosen = dir;
  std::string env = env_conf_dir();
  if (!env.empty()) {
    LOGD("use env_conf_dir=[%s]\n", env.c_str());
    char one[1][QV_CONF_PATH_SIZE];
    if (set_dir(one[0], env) && qv_conf_pick(one, 1) == 0)
      chosen = env;
  }
  LOGD("path=[%s] epath=[%s]\n", chosen.c_str(), pl_exe_dir().c_str());
  struct stat st;
  std::string gui = join(chosen, QV_CONF_GUI_CLIENT_NAME);
  use_dir_locked(chosen, stat(gui.c_str(), &st) == 0 ? QV_CONF_GUI_CLIENT_NAME : QV_CONF_CLIENT_NAME);
  return 0;
}

void qv_conf_reset()
{
  std::lock_guard<std::mutex> g(g_lock);
  g_client_path.clear();
  g_proxy_path.clear();
}

int qv_conf_client_path(char *out, size_t size)
{
  std::string p = qvcli_client_path();
  return copy_out(p, out, size) ? (int)p.size() : -1;
}

int qv_conf_proxy_path(char *out, size_t size)
{
  qv_conf_setup();
  std::string p;
  {
    std::lock_guard<std::mutex> g(g_lock);
    p = g_proxy_path;
  }
  return copy_out(p, out, size) ? (int)p.size() : -1;
}

int qv_conf_set_str(const char *key, const char *value, vperror *err)
{
  if (!key || !*key || !value) {
    VPERROR_SET(err, VERR_PARAM, "qv_conf_set_str: %s is null or empty", !value ? "value" : "key");
    return -1;
  }
  std::string path = qvcli_client_path();
  conf_handle *h = qvcli_client_load(path.c_str(), true, err);
  if (!h)
    return -1;
  int rc = conf_set_str(h, "conf", key, value) < 0 ? -1 : 0;
  if (rc < 0)
    VPERROR_SET(err, VERR_FAIL, "cannot set [conf] %s in [%s]", key, path.c_str());
  else
    rc = qvcli_client_save(h, path.c_str(), err);
  conf_close(h);
  if (rc == 0 && strcmp(key, "cache_dir") == 0)
    setenv("QV_CACHE", value, 1);
  return rc;
}

int qv_conf_set_int(const char *key, int value, vperror *err)
{
  char text[16];
  snprintf(text, sizeof text, "%d", value);
  return qv_conf_set_str(key, text, err);
}

int qv_conf_get_str(const char *key, const char *def, char *out, size_t size)
{
  std::string v = def ? def : "";
  std::string path = qvcli_client_path();
  if (key && qv_conf_file_check(path.c_str(), nullptr) > 0) {
    conf_handle *h = qvcli_client_load(path.c_str(), false, nullptr);
    if (h) {
      v = conf_get_str(h, "conf", key, v.c_str());
      conf_close(h);
    }
  }
  return copy_out(v, out, size) ? (int)v.size() : -1;
}

int qv_conf_get_int(const char *key, int def)
{
  char text[64];
  char defs[16];
  snprintf(defs, sizeof defs, "%d", def);
  if (qv_conf_get_str(key, defs, text, sizeof text) < 0)
    return def;
  char *end = nullptr;
  errno = 0;
  long v = strtol(text, &end, 10);
  if (end == text || errno != 0 || v < INT_MIN || v > INT_MAX)
    return def;
  return (int)v;
}
