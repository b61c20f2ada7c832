#define LOG_TAG "test"
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <ctime>

#include "liblog/log2.h"
#include "libpal/env/pl_init.h"

namespace {

std::atomic<int> g_seen{0};

int stop_cb(int signo)
{
  if (signo == SIGTERM || signo == SIGINT || signo == SIGQUIT) {
    g_seen.store(signo);
    return 0;
  }
  return 1;
}

const pl_app_info g_app_cb = {"t", "9.9", 0x9090000, "today", "test", "t.ini", stop_cb};
const pl_app_info g_app_plain = {"t", "9.9", 0x9090000, "today", "test", "t.ini", nullptr};

/* Polls cond every 10 ms for up to 10 s, so that a lost signal shows as a failure, not a hang. */
template <class F> bool wait_for(F cond)
{
  for (int i = 0; i < 1000; i++) {
    if (cond())
      return true;
    struct timespec ts = {0, 10 * 1000 * 1000};
    nanosleep(&ts, nullptr);
  }
  return false;
}

bool last_has(const char *text)
{
  char buf[1024];
  return strstr(log2_last_msg(buf, sizeof buf), text) != nullptr;
}

} // namespace

TEST(pl_init_death, stop_signals_reach_the_callback)
{
  for (int sig : {SIGTERM, SIGINT, SIGQUIT}) {
    EXPECT_EXIT(
        {
          pl_app_register(&g_app_cb);
          pl_init();
          raise(sig);
          _exit(wait_for([&] { return g_seen.load() == sig; }) ? 42 : 43);
        },
        testing::ExitedWithCode(42), "")
        << sig;
  }
}

TEST(pl_init_death, unhandled_stop_signal_exits_253)
{
  EXPECT_EXIT(
      {
        pl_app_register(&g_app_plain);
        pl_init();
        raise(SIGTERM);
        wait_for([] { return false; });
        _exit(0);
      },
      testing::ExitedWithCode(253), "signo=15 \\[SIGTERM\\] now exit!!");
}

TEST(pl_init_death, usr1_is_logged_and_ignored)
{
  EXPECT_EXIT(
      {
        pl_app_register(&g_app_cb);
        pl_init();
        raise(SIGUSR1);
        _exit(wait_for([] { return last_has("unprocessed"); }) ? 42 : 43);
      },
      testing::ExitedWithCode(42), "signo=10 \\[SIGUSR1\\] unprocessed");
}

TEST(pl_init_death, crash_signal_exits_254_with_report)
{
  EXPECT_EXIT(
      {
        pl_app_register(&g_app_plain);
        pl_init();
        LOGI("before the crash");
        raise(SIGSEGV);
        _exit(0);
      },
      testing::ExitedWithCode(254),
      "before the crash\\].*signo=11 \\[SIGSEGV\\].*Info: os=linux app_arch=[a-z0-9_]+ app_ver=9.9");
}

TEST(pl_init_death, failed_assertion_ends_the_process)
{
  EXPECT_EXIT(
      {
        pl_app_register(&g_app_plain);
        pl_init();
        int *p = nullptr;
        pl_assert(p != nullptr);
        _exit(0);
      },
      testing::ExitedWithCode(254), "expr\\[p != nullptr\\]: assert failed");
}

TEST(pl_init_death, set_up_applies_mask_limits_and_level)
{
  EXPECT_EXIT(
      {
        setenv("QV_LOG_LEVEL", "warn", 1);
        umask(077);
        pl_app_register(&g_app_plain);
        pl_init();
        pl_init(); /* a second call does nothing */
        mode_t m = umask(0);
        int lv = 0;
        log2_ioctl(nullptr, LOG2_IOC_GET_LEVEL, &lv, sizeof lv);
        struct rlimit rl;
        getrlimit(RLIMIT_NOFILE, &rl);
        bool raised = rl.rlim_cur == rl.rlim_max;
        _exit(m == 022 && lv == LOG2_WARN && raised && pl_start_time_ms() > 0 ? 42 : 43);
      },
      testing::ExitedWithCode(42), "");
}
