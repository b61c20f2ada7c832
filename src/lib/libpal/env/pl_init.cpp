#define LOG_TAG "pal"
#include "libpal/env/pl_init.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "liblog/log2.h"

namespace {

std::atomic<const pl_app_info *> g_app{nullptr};
std::atomic<int> g_exit_on_signal{0};
std::atomic<uint64_t> g_start_ms{0};
std::once_flag g_once;
int g_sig_pipe[2] = {-1, -1};

const int g_signals[] = {SIGTERM, SIGQUIT, SIGINT, SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGUSR1};

uint64_t mono_ms()
{
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec / 1000000);
}

const char *sig_name(int signo)
{
  switch (signo) {
  case SIGTERM: return "SIGTERM";
  case SIGQUIT: return "SIGQUIT";
  case SIGINT: return "SIGINT";
  case SIGSEGV: return "SIGSEGV";
  case SIGBUS: return "SIGBUS";
  case SIGILL: return "SIGILL";
  case SIGFPE: return "SIGFPE";
  case SIGABRT: return "SIGABRT";
  case SIGUSR1: return "SIGUSR1";
  default: return "unknown";
  }
}

bool is_crash(int signo)
{
  return signo == SIGILL || signo == SIGABRT || signo == SIGBUS || signo == SIGFPE || signo == SIGSEGV;
}

bool is_stop(int signo)
{
  return signo == SIGINT || signo == SIGQUIT || signo == SIGTERM;
}

/* Runs inside the handler of a crash signal: nothing here allocates or waits for a lock. */
[[noreturn]] void crash_exit(int signo)
{
  signal(signo, SIG_DFL);
  char last[512];
  log2_last_msg_try(last, sizeof last);
  size_t n = strlen(last);
  while (n > 0 && last[n - 1] == '\n')
    last[--n] = '\0';
  const pl_app_info *app = g_app.load(std::memory_order_relaxed);
  log2_emergency(LOG_TAG, __func__, "[%s]", last);
  log2_emergency(LOG_TAG, __func__, "signo=%d [%s]\n", signo, sig_name(signo));
  log2_emergency(LOG_TAG, __func__, "Info: os=%s app_arch=%s app_ver=%s\n", pl_os_name(), pl_arch_name(),
                 app && app->version ? app->version : "");
  _exit(254);
}

/* Runs on the signal thread for the signals that arrive through the pipe. */
void handle_signal(int signo)
{
  const pl_app_info *app = g_app.load(std::memory_order_relaxed);
  if (app && app->signal_cb && app->signal_cb(signo) == 0)
    return;
  if (is_stop(signo)) {
    if (!g_exit_on_signal.load(std::memory_order_relaxed))
      return;
    LOGW("signo=%d [%s] now exit!!", signo, sig_name(signo));
    fflush(nullptr);
    _exit(253);
  }
  LOGW("signo=%d [%s] unprocessed\n", signo, sig_name(signo));
}

void on_signal(int signo)
{
  if (is_crash(signo)) {
    /* A crash callback runs where the fault happened: there is no thread to hand it to. */
    const pl_app_info *app = g_app.load(std::memory_order_relaxed);
    if (app && app->signal_cb && app->signal_cb(signo) == 0)
      return;
    crash_exit(signo);
  }
  int saved = errno;
  unsigned char b = static_cast<unsigned char>(signo);
  /* The pipe is non-blocking: when it is full, enough wake-ups are already queued. */
  ssize_t w = write(g_sig_pipe[1], &b, 1);
  (void)w;
  errno = saved;
}

void *signal_thread(void *)
{
  log2_thread_name_set("pl_signal");
  for (;;) {
    struct pollfd pfd = {g_sig_pipe[0], POLLIN, 0};
    int r = poll(&pfd, 1, 1000);
    if (r <= 0)
      continue;
    unsigned char b;
    ssize_t n = read(g_sig_pipe[0], &b, 1);
    if (n == 1)
      handle_signal(b);
  }
  return nullptr;
}

void set_limit(int resource)
{
  struct rlimit rl;
  if (getrlimit(resource, &rl) != 0) {
    LOG2(LOG2_ERR | LOG2_ERRNO, "getrlimit [%d] error:", resource);
    return;
  }
  struct rlimit want = {RLIM_INFINITY, RLIM_INFINITY};
  if (setrlimit(resource, &want) == 0)
    return;
  LOGV("rlim.rlim_max=%d\n", static_cast<int>(rl.rlim_max));
  want.rlim_cur = rl.rlim_max;
  want.rlim_max = rl.rlim_max;
  if (setrlimit(resource, &want) != 0)
    LOG2(LOG2_ERR | LOG2_ERRNO, "setrlimit [%d] error:", resource);
}

int os_socket_init_env()
{
  /* A peer that closes its end must give EPIPE on the write, not end the process. */
  return signal(SIGPIPE, SIG_IGN) == SIG_ERR ? -1 : 0;
}

void init_once()
{
  LOGV("pl_init");
  const char *lv = getenv("QV_LOG_LEVEL");
  if (lv) {
    int level = log2_level_parse(lv);
    if (level >= 0) {
      log2_ioctl(nullptr, LOG2_IOC_LEVEL_STR, lv, 0);
      log2_ioctl(nullptr, LOG2_IOC_CONSOLE_LEVEL_STR, lv, 0);
    }
  }
  os_ulimit();
  umask(022);

  if (pipe2(g_sig_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    LOG2(LOG2_ERR | LOG2_ERRNO, "pipe2 error: ");
  } else {
    /* The reading end blocks in poll, not in read. */
    fcntl(g_sig_pipe[0], F_SETFL, fcntl(g_sig_pipe[0], F_GETFL) & ~O_NONBLOCK);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, 256 * 1024);
    /* The signal thread starts with the stop signals blocked, so that it never runs a
     * handler itself and its poll is not interrupted. */
    sigset_t all, old;
    sigemptyset(&all);
    for (int s : g_signals)
      if (!is_crash(s))
        sigaddset(&all, s);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    pthread_t t;
    if (pthread_create(&t, &attr, signal_thread, nullptr) != 0)
      LOGE("pthread_create name:%s error: ", "pl_signal");
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    pthread_attr_destroy(&attr);
  }
  for (int s : g_signals) {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    sigaction(s, &sa, nullptr);
  }
  if (os_socket_init_env() != 0)
    LOGE("os_socket_init_env failed\n");
  g_exit_on_signal.store(1, std::memory_order_relaxed);
  g_start_ms.store(mono_ms(), std::memory_order_relaxed);
}

} // namespace

void pl_app_register(const pl_app_info *info)
{
  g_app.store(info, std::memory_order_relaxed);
}

const pl_app_info *pl_app_get()
{
  return g_app.load(std::memory_order_relaxed);
}

int pl_init()
{
  std::call_once(g_once, init_once);
  return 0;
}

void os_ulimit()
{
  set_limit(RLIMIT_NOFILE);
  set_limit(RLIMIT_FSIZE);
  set_limit(RLIMIT_LOCKS);
}

uint64_t pl_start_time_ms()
{
  return g_start_ms.load(std::memory_order_relaxed);
}

const char *pl_os_name()
{
  return "linux";
}

const char *pl_arch_name()
{
#if defined(__powerpc64__) && defined(__LITTLE_ENDIAN__)
  return "powerpc64le";
#elif defined(__powerpc64__)
  return "powerpc64";
#elif defined(__x86_64__)
  return "x86_64";
#elif defined(__aarch64__)
  return "aarch64";
#elif defined(__i386__)
  return "i386";
#elif defined(__arm__)
  return "arm";
#elif defined(__riscv) && __riscv_xlen == 64
  return "riscv64";
#else
  return "unknown";
#endif
}

std::string pl_exe_dir()
{
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0)
    return ".";
  buf[n] = '\0';
  char *slash = strrchr(buf, '/');
  if (!slash)
    return ".";
  if (slash == buf)
    return "/";
  *slash = '\0';
  return buf;
}
