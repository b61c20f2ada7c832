#define LOG_TAG "tag"
#include <unistd.h>

#include <atomic>
#include <climits>
#include <csignal>
#include <mutex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "libcdir/libcdir.h"
#include "libqvcli/qvcli.h"
#include "libconf/log2_ini.h"
#include "liblog/log2.h"
#include "libpal/env/pl_init.h"
#include "libpal/string/pl_str.h"

namespace {

constexpr const char *QVCP_VERSION = "1.0.8.0";
constexpr const char *QVCP_DATE = "2025-12-6";

/* The run's context, for the signal callback. The lock keeps the context alive while the callback
 * uses it; a stop that arrives before the open finished is remembered and applied after it. */
std::mutex g_ctx_lock;
cdir_ctx *g_ctx = nullptr;
bool g_stop_requested = false;

int on_signal(int signo)
{
  if (signo == SIGINT || signo == SIGQUIT || signo == SIGTERM) {
    std::lock_guard<std::mutex> g(g_ctx_lock);
    g_stop_requested = true;
    libcdir_stop(g_ctx);
    return 0;
  }
  return 1;
}

const pl_app_info g_app = {
    "qvcp", QVCP_VERSION, 0x1000800, QVCP_DATE, "Quickly copy synced files", "qvcp.ini", on_signal,
};

const char *const g_usage =
    "qvcp v1.0.8.0 (2025-12-6) [little] - Quickly copy synced files\n"
    "\n"
    "usage: qvcp [mode=..] [if=dir] [of=dir] [filter=..] [bs=N]\n"
    "\tmode=[mode=cp|sync|ls|rm|...] Specifying the working mode\n"
    "\tls_mode=[cp|sync] Enumerate available modes\n"
    "\tflag=[acl,alt_stream,sync_reason,file_ops,dry_run]\n"
    "\tbs=BYTES    read and write BYTES bytes at a time\n"
    "\tlevel=LEVEL    set log level: [verb, dbg, info, warn, err]\n";

const char *const g_keys[] = {"mode", "flag", "param", "if", "of", "bs", "filter", "olist", "level", "ls_mode"};

const char *const g_advertised_modes[] = {"copy_overwrite", "copy_diff_size_date", "sync_diff_size_date"};

void set_log_prefix()
{
  log2_ioctl(nullptr, LOG2_IOC_FLAGS_STR, "time|tid|func", 0);
}

void list_modes(const std::string &value)
{
  std::string pat = value == "cp" ? "copy" : value;
  std::string out = "supprots_mode:\n";
  for (const char *m : g_advertised_modes)
    if (strncmp(m, pat.c_str(), pat.size()) == 0)
      out += std::string(m) + "\n";
  fputs(out.c_str(), stdout);
  fflush(stdout);
}

/* A usage error whose reason the setter recorded in p->err: that one line, without the usage
 * text, which would bury it. */
[[noreturn]] void refusal_exit(libcdir_param *p)
{
  fprintf(stderr, "qvcp: %s\n", vperror_str(&p->err));
  libcdir_exit();
  libcdir_param_free(p);
  log2_exit();
  exit(1);
}

/* Applies one key=value word; false on a usage error. Sets *done for ls_mode. */
bool apply_word(libcdir_param *p, const char *word, bool *done)
{
  const char *eq = strchr(word, '=');
  if (!eq)
    return false;
  std::string key(word, static_cast<size_t>(eq - word));
  const char *value = eq + 1;
  int idx = -1;
  for (size_t i = 0; i < sizeof g_keys / sizeof g_keys[0]; i++)
    if (key == g_keys[i])
      idx = static_cast<int>(i);
  switch (idx) {
  case 0:
    return libcdir_set_param_mode(p, value) >= 0;
  case 1:
    return libcdir_set_param_flag(p, value) >= 0;
  case 2: {
    std::vector<std::string> warnings;
    int rc = libcdir_set_param_kv(p, value, &warnings);
    for (const auto &w : warnings)
      fprintf(stderr, "qvcp: warning: %s\n", w.c_str());
    if (rc < 0)
      refusal_exit(p);
    return true;
  }
  case 3:
    p->i_url = value;
    return true;
  case 4:
    p->o_url = value;
    return true;
  case 5:
    if (libcdir_set_param_bs(p, value) < 0)
      refusal_exit(p);
    return true;
  case 6:
    return libcdir_set_filter(p, value) >= 0;
  case 7:
    p->olist = value;
    return true;
  case 8: {
    if (log2_ioctl(nullptr, LOG2_IOC_LEVEL_STR, value, 0) < 0) {
      /* Below every message level: an unknown name silences the log rather than guess. */
      int none = 0;
      log2_ioctl(nullptr, LOG2_IOC_LEVEL, &none, sizeof none);
    } else if (strcmp(value, "dbg") == 0 || strcmp(value, "verb") == 0) {
      set_log_prefix();
    }
    return true;
  }
  case 9:
    list_modes(value);
    *done = true;
    return true;
  default:
    return false;
  }
}

[[noreturn]] void usage_exit(libcdir_param *p)
{
  fputs(g_usage, stderr);
  libcdir_exit();
  libcdir_param_free(p);
  log2_exit();
  exit(1);
}

} // namespace

int main(int argc, char **argv)
{
  pl_app_register(&g_app);

  std::string conf = pl_exe_dir();
  char conf_path[8192];
  int n = snprintf(conf_path, sizeof conf_path, "%s/qvcp.ini", conf.c_str());
  int level = LOG2_DBG;
  log2_ioctl(nullptr, LOG2_IOC_LEVEL, &level, sizeof level);
  set_log_prefix();
  if (n > 0 && static_cast<size_t>(n) < sizeof conf_path && access(conf_path, F_OK) == 0)
    log2_init_imp("ini_file", conf_path, nullptr);
  if (!getenv("QV_SH_DBG")) {
    int off = 0;
    log2_ioctl(nullptr, LOG2_IOC_CONSOLE_ON, &off, sizeof off);
  }
  /* After the INI file, so that QV_LOG_LEVEL, which the set-up applies, has the last word. */
  pl_init();

  std::string cmd;
  for (int i = 0; i < argc; i++) {
    if (i)
      cmd += ' ';
    cmd += argv[i];
  }
  LOGD("cmd=[%s]", cmd.c_str());
  LOGD("ver=[%s] date=[%s]", QVCP_VERSION, QVCP_DATE);

  libcdir_init();
  static libcdir_param param;
  libcdir_param_init(&param);
  param.show_mode = 1;

  if (argc == 2 && strcmp(argv[1], "-v") == 0) {
    printf("%s\n", QVCP_VERSION);
    fflush(stdout);
    libcdir_exit();
    log2_exit();
    return 0;
  }

  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--") == 0)
      continue;
    bool done = false;
    if (!apply_word(&param, argv[i], &done))
      usage_exit(&param);
    if (done) {
      libcdir_exit();
      libcdir_param_free(&param);
      log2_exit();
      return 0;
    }
  }
  if (param.i_url.empty())
    usage_exit(&param);

  /* The configuration directory (profiles, the proxy file) is settled before any thread starts:
   * it exports variables the transport reads. */
  qv_conf_setup();
  int ret;
  cdir_ctx *ctx = libcdir_open(&param);
  if (ctx) {
    {
      std::lock_guard<std::mutex> g(g_ctx_lock);
      g_ctx = ctx;
      if (g_stop_requested)
        libcdir_stop(ctx);
    }
    ret = libcdir_wait_stop(ctx);
    {
      std::lock_guard<std::mutex> g(g_ctx_lock);
      g_ctx = nullptr;
    }
    libcdir_close(ctx);
  } else {
    libcdir_print_error(vperror_str(&param.err));
    ret = -libcdir_verr_2_eno(param.err.code);
    /* A refused run never reports success; errors without a small code of their own end with
     * status 2, the status of a run that did not complete. */
    if (ret == 0)
      ret = 2;
  }
  libcdir_exit();
  libcdir_param_free(&param);
  LOGD("<== ret=%d\n", ret);
  log2_exit();
  return ret;
}
