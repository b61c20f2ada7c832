#define LOG_TAG "pal"
#include "liblog/log2.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "liblog/log2_sink.h"

namespace {

struct level_name {
  const char *word;
  const char *file_name;
  const char *syslog_name;
  int syslog_sev;
  const char *colour;
};

/* Indexed by level 0..8; 0 and 1 are never used by callers and print like crit. */
const level_name g_levels[9] = {
    {"crit", "CRIT", "error", 3, "\033[01;07;31m"},
    {"crit", "CRIT", "error", 3, "\033[01;07;31m"},
    {"crit", "CRIT", "error", 3, "\033[01;07;31m"},
    {"err", "ERROR", "error", 3, "\033[01;31m"},
    {"warn", "WARN", "warning", 4, "\033[01;33m"},
    {"noti", "NOTI", "warning", 4, "\033[07;37m"},
    {"info", "INFO", "info", 6, ""},
    {"dbg", "DEBUG", "debug", 7, "\033[36m"},
    {"verb", "VERB", "debug", 7, "\033[32m"},
};

const level_name &level_info(int level)
{
  if (level < 0)
    level = 0;
  if (level > 8)
    level = 8;
  return g_levels[level];
}

struct flag_word {
  const char *word;
  uint32_t set;
  uint32_t clear;
};

const flag_word g_flag_words[] = {
    {"tid", LOG2_F_TID, 0},
    {"time", LOG2_F_TIME, 0},
    {"time_ms", LOG2_F_TIME_MS, LOG2_F_TIME},
    {"func", LOG2_F_FUNC, 0},
    {"file", LOG2_F_FILE | LOG2_F_FILE_SHORT, 0},
    {"tid_name", LOG2_F_TID_NAME, 0},
    {"no_colour", 0, LOG2_F_COLOUR},
};

thread_local char t_name[256] = "main";
/* Set while this thread is inside the logger, so that a sink that logs cannot recurse. */
thread_local int t_in_log = 0;

} // namespace

/* The context. Words read on every call are atomics; sink state sits behind sink_lock. */
struct log2_ctx {
  std::atomic<int> level{LOG2_DBG};
  std::atomic<uint32_t> flags{LOG2_F_DEFAULT};
  std::atomic<int> console_on{1};
  std::atomic<int> console_level{LOG2_DBG};
  std::atomic<int> file_on{0};
  std::atomic<int> syslog_on{0};
  std::atomic<int> debug{0};
  std::atomic<log2_hook_fn> hook_info{nullptr};
  std::atomic<log2_hook_fn> hook_warn{nullptr};
  std::atomic<log2_forward_fn> forward{nullptr};
  std::atomic<int> busy{0};

  std::mutex sink_lock;
  std::string last_msg;
  log2_file_sink file;
  log2_net_sink syslog;
  log2_net_sink bsv;
};

namespace {

log2_ctx *default_ctx()
{
  /* Never destroyed: threads may log while the process exits. */
  static log2_ctx *ctx = [] {
    auto *c = new log2_ctx;
    const char *dbg = getenv("QV_LOG_DBG");
    if (dbg && *dbg)
      c->debug.store(1, std::memory_order_relaxed);
    return c;
  }();
  return ctx;
}

log2_ctx *resolve(log2_ctx *ctx)
{
  return ctx ? ctx : default_ctx();
}

unsigned current_tid()
{
  return static_cast<unsigned>(syscall(SYS_gettid));
}

/* Appends printf output to s, growing it as needed. */
void append_vfmt(std::string &s, const char *fmt, va_list ap)
{
  char small[1024];
  va_list cp;
  va_copy(cp, ap);
  int n = vsnprintf(small, sizeof small, fmt, cp);
  va_end(cp);
  if (n < 0) {
    s += "!!! vasprintf faild not msg !!!";
    return;
  }
  if (static_cast<size_t>(n) < sizeof small) {
    s.append(small, static_cast<size_t>(n));
    return;
  }
  size_t at = s.size();
  s.resize(at + static_cast<size_t>(n) + 1);
  vsnprintf(&s[at], static_cast<size_t>(n) + 1, fmt, ap);
  s.resize(at + static_cast<size_t>(n));
}

void append_fmt(std::string &s, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void append_fmt(std::string &s, const char *fmt, ...)
{
  va_list ap;
  va_start(ap, fmt);
  append_vfmt(s, fmt, ap);
  va_end(ap);
}

void write_all(int fd, const char *p, size_t n)
{
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR)
        continue;
      return;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
}

void dispatch(log2_ctx *ctx, int level, const char *tag, const std::string &line, int lvword)
{
  if (level > ctx->level.load(std::memory_order_relaxed))
    return;
  log2_hook_fn hi = ctx->hook_info.load(std::memory_order_relaxed);
  log2_hook_fn hw = ctx->hook_warn.load(std::memory_order_relaxed);
  if (hi && hw)
    (level > LOG2_WARN ? hi : hw)(level, tag, line.c_str(), line.size());

  if (ctx->console_on.load(std::memory_order_relaxed) &&
      level <= ctx->console_level.load(std::memory_order_relaxed)) {
    const char *colour = level_info(level).colour;
    if ((ctx->flags.load(std::memory_order_relaxed) & LOG2_F_COLOUR) && *colour && log2_colour_on(STDERR_FILENO)) {
      std::string c;
      c.reserve(line.size() + 24);
      c += colour;
      c += line;
      c += "\033[0m";
      write_all(STDERR_FILENO, c.data(), c.size());
    } else {
      write_all(STDERR_FILENO, line.data(), line.size());
    }
  }

  {
    std::lock_guard<std::mutex> g(ctx->sink_lock);
    if (ctx->file_on.load(std::memory_order_relaxed))
      log2_file_write(&ctx->file, level_info(level).file_name, t_name, tag, line,
                      ctx->debug.load(std::memory_order_relaxed) != 0);
    if (ctx->syslog_on.load(std::memory_order_relaxed))
      log2_syslog_send(&ctx->syslog, level_info(level).syslog_sev, line,
                       ctx->debug.load(std::memory_order_relaxed) != 0);
    ctx->last_msg = line;
  }

  if (level <= LOG2_CRIT && !(lvword & LOG2_NOEXIT)) {
    /* A crit line ends the process; stdio buffers are flushed but no destructors run, since
     * other threads may still be working on the objects they would tear down. */
    fflush(nullptr);
    _exit(1);
  }
}

} // namespace

void log2_diag(const char *fmt, ...)
{
  if (!default_ctx()->debug.load(std::memory_order_relaxed))
    return;
  va_list ap;
  va_start(ap, fmt);
  std::string s;
  append_vfmt(s, fmt, ap);
  va_end(ap);
  write_all(STDERR_FILENO, s.data(), s.size());
}

bool log2_colour_on(int fd)
{
  /* Asked on every write rather than once: the descriptor may be redirected while the process
   * runs, and the console echo is rare enough that the check costs nothing that matters. */
  const char *no_colour = getenv("NO_COLOR");
  if (no_colour && *no_colour)
    return false;
  /* isatty sets errno for every descriptor that is no terminal; callers log errno texts. */
  int saved_errno = errno;
  bool tty = fd >= 0 && isatty(fd) == 1;
  errno = saved_errno;
  return tty;
}

bool log2_enabled(int level)
{
  log2_ctx *ctx = default_ctx();
  return (level & 0xff) <= ctx->level.load(std::memory_order_relaxed) ||
         ctx->forward.load(std::memory_order_relaxed) != nullptr;
}

int log2_vprint(log2_ctx *ctx, int lvword, const char *tag, const char *file, int line, const char *func,
                const char *fmt, va_list ap)
{
  ctx = resolve(ctx);
  int saved_errno = errno;
  log2_forward_fn fwd = ctx->forward.load(std::memory_order_relaxed);
  if (fwd) {
    fwd(lvword, tag, file, line, func, fmt, ap);
    errno = saved_errno;
    return 0;
  }
  int level = lvword & 0xff;
  if (level > ctx->level.load(std::memory_order_relaxed))
    return 0;
  if (t_in_log)
    return 0;
  t_in_log = 1;
  ctx->busy.fetch_add(1, std::memory_order_relaxed);

  uint32_t flags = ctx->flags.load(std::memory_order_relaxed);
  std::string s;
  s.reserve(256);
  if (flags & (LOG2_F_TIME | LOG2_F_TIME_MS)) {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tm;
    time_t t = tv.tv_sec;
    localtime_r(&t, &tm);
    if (flags & LOG2_F_TIME_MS)
      append_fmt(s, "%02d:%02d:%02d.%03d ", tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(tv.tv_usec / 1000));
    else
      append_fmt(s, "%02d:%02d:%02d ", tm.tm_hour, tm.tm_min, tm.tm_sec);
  }
  if (flags & LOG2_F_TID)
    append_fmt(s, "[%u] ", current_tid());
  if (flags & LOG2_F_TID_NAME)
    append_fmt(s, "[%s] ", t_name);
  if ((flags & LOG2_F_FILE) && file) {
    const char *f = file;
    if (flags & LOG2_F_FILE_SHORT) {
      for (const char *p = file; *p; p++)
        if (*p == '/' || *p == '\\')
          f = p + 1;
    }
    append_fmt(s, "[%s:%d] ", f, line);
  }
  if ((flags & LOG2_F_FUNC) && func)
    append_fmt(s, "%s(): ", func);
  if (fmt)
    append_vfmt(s, fmt, ap);
  if (lvword & LOG2_ERRNO) {
    bool nl = !s.empty() && s.back() == '\n';
    if (nl)
      s.pop_back();
    char eb[256];
    const char *et = strerror_r(saved_errno, eb, sizeof eb);
    s += et ? et : "";
    if (nl)
      s += '\n';
  }
  if (!(lvword & LOG2_NOSINK)) {
    if (s.empty() || s.back() != '\n')
      s += '\n';
    dispatch(ctx, level, tag ? tag : "", s, lvword);
  }
  {
    std::lock_guard<std::mutex> g(ctx->sink_lock);
    if (ctx->bsv.fd >= 0)
      log2_bsv_send(&ctx->bsv, level, tag ? tag : "", s);
  }

  ctx->busy.fetch_sub(1, std::memory_order_relaxed);
  t_in_log = 0;
  errno = saved_errno;
  return 0;
}

int log2_print(log2_ctx *ctx, int level, const char *tag, const char *file, int line, const char *func,
               const char *fmt, ...)
{
  va_list ap;
  va_start(ap, fmt);
  log2_vprint(ctx, level, tag, file, line, func, fmt, ap);
  va_end(ap);
  return 0;
}

int log2_level_parse(const char *word)
{
  if (word) {
    for (int lv = LOG2_CRIT; lv <= LOG2_VERB; lv++)
      if (strcmp(word, g_levels[lv].word) == 0)
        return lv;
  }
  fprintf(stderr, "error: invalid level [%s]\n", word ? word : "(null)");
  return -1;
}

uint32_t log2_flags_parse(const char *words)
{
  uint32_t flags = LOG2_F_COLOUR;
  if (!words)
    return flags;
  std::string all(words);
  size_t at = 0;
  while (at <= all.size()) {
    size_t bar = all.find('|', at);
    if (bar == std::string::npos)
      bar = all.size();
    std::string w = all.substr(at, bar - at);
    at = bar + 1;
    if (w.empty())
      continue;
    const flag_word *hit = nullptr;
    for (const auto &f : g_flag_words)
      if (w == f.word)
        hit = &f;
    if (!hit) {
      fprintf(stderr, "Invalid tags: [%s]\n", w.c_str());
      continue;
    }
    flags = (flags & ~hit->clear) | hit->set;
  }
  return flags;
}

int log2_ioctl(log2_ctx *ctx, int code, const void *value, int length)
{
  ctx = resolve(ctx);
  const int *ival = static_cast<const int *>(value);
  const char *sval = static_cast<const char *>(value);
  switch (code) {
  case LOG2_IOC_LEVEL:
    if (!ival)
      return -1;
    ctx->level.store(*ival, std::memory_order_relaxed);
    return 0;
  case LOG2_IOC_FLAGS:
    if (!ival)
      return -1;
    ctx->flags.store(static_cast<uint32_t>(*ival), std::memory_order_relaxed);
    return 0;
  case LOG2_IOC_LEVEL_STR: {
    int lv = log2_level_parse(sval);
    if (lv < 0)
      return -1;
    ctx->level.store(lv, std::memory_order_relaxed);
    return 0;
  }
  case LOG2_IOC_CONSOLE_LEVEL_STR: {
    int lv = log2_level_parse(sval);
    if (lv < 0)
      return -1;
    ctx->console_level.store(lv, std::memory_order_relaxed);
    return 0;
  }
  case LOG2_IOC_FLAGS_STR:
    ctx->flags.store(log2_flags_parse(sval), std::memory_order_relaxed);
    return 0;
  case LOG2_IOC_HOOK_INFO:
    ctx->hook_info.store(reinterpret_cast<log2_hook_fn>(const_cast<void *>(value)), std::memory_order_relaxed);
    return 0;
  case LOG2_IOC_HOOK_WARN:
    ctx->hook_warn.store(reinterpret_cast<log2_hook_fn>(const_cast<void *>(value)), std::memory_order_relaxed);
    return 0;
  case LOG2_IOC_GET_LEVEL:
    if (!value || length < 4)
      return -1;
    *static_cast<int *>(const_cast<void *>(value)) = ctx->level.load(std::memory_order_relaxed);
    return 0;
  case LOG2_IOC_FILE_OPEN: {
    std::lock_guard<std::mutex> g(ctx->sink_lock);
    return log2_file_open(&ctx->file, sval, ctx->debug.load(std::memory_order_relaxed) != 0);
  }
  case LOG2_IOC_FILE_DIR: {
    std::lock_guard<std::mutex> g(ctx->sink_lock);
    ctx->file.dir = sval ? sval : "";
    return 0;
  }
  case LOG2_IOC_FILE_SIZE: {
    if (!ival || *ival < LOG2_FILE_SIZE_MIN)
      return -1;
    std::lock_guard<std::mutex> g(ctx->sink_lock);
    ctx->file.max_size = static_cast<uint64_t>(*ival);
    return 0;
  }
  case LOG2_IOC_FILE_NUM: {
    if (!ival || *ival < 1)
      return -1;
    std::lock_guard<std::mutex> g(ctx->sink_lock);
    ctx->file.max_files = *ival;
    return 0;
  }
  case LOG2_IOC_FILE_KEY: {
    std::lock_guard<std::mutex> g(ctx->sink_lock);
    ctx->file.key = sval ? sval : "";
    return 0;
  }
  case LOG2_IOC_BSV_OPEN: {
    std::lock_guard<std::mutex> g(ctx->sink_lock);
    return log2_net_open(&ctx->bsv, sval, ctx->debug.load(std::memory_order_relaxed) != 0);
  }
  case LOG2_IOC_SYSLOG_OPEN: {
    std::lock_guard<std::mutex> g(ctx->sink_lock);
    return log2_net_open(&ctx->syslog, sval, ctx->debug.load(std::memory_order_relaxed) != 0);
  }
  case LOG2_IOC_CONSOLE_ON:
    if (!ival)
      return -1;
    ctx->console_on.store(*ival != 0, std::memory_order_relaxed);
    return 0;
  case LOG2_IOC_FILE_ON:
    if (!ival)
      return -1;
    ctx->file_on.store(*ival != 0, std::memory_order_relaxed);
    return 0;
  case LOG2_IOC_SYSLOG_ON:
    if (!ival)
      return -1;
    ctx->syslog_on.store(*ival != 0, std::memory_order_relaxed);
    return 0;
  default:
    fprintf(stderr, "Invalid command code=%d\n", code);
    return -1;
  }
}

int log2_file_mode_set(const char *mode)
{
  if (!mode || (strcmp(mode, "a") != 0 && strcmp(mode, "w") != 0))
    return -1;
  log2_ctx *ctx = default_ctx();
  std::lock_guard<std::mutex> g(ctx->sink_lock);
  ctx->file.mode = mode;
  return 0;
}

int log2_debug_set(int on)
{
  default_ctx()->debug.store(on != 0, std::memory_order_relaxed);
  return 0;
}

void log2_set_forward(log2_forward_fn fn)
{
  default_ctx()->forward.store(fn, std::memory_order_relaxed);
}

void log2_emergency(const char *tag, const char *func, const char *fmt, ...)
{
  log2_ctx *ctx = default_ctx();
  char line[2048];
  size_t n = 0;
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  int w = snprintf(line, sizeof line, "[%lld.%03d] [%u] %s(): ", static_cast<long long>(ts.tv_sec),
                   static_cast<int>(ts.tv_nsec / 1000000), current_tid(), func ? func : "");
  if (w > 0)
    n = static_cast<size_t>(w) < sizeof line ? static_cast<size_t>(w) : sizeof line - 1;
  va_list ap;
  va_start(ap, fmt);
  w = vsnprintf(line + n, sizeof line - n, fmt, ap);
  va_end(ap);
  if (w > 0)
    n += static_cast<size_t>(w) < sizeof line - n ? static_cast<size_t>(w) : sizeof line - n - 1;
  while (n > 0 && line[n - 1] == '\n')
    n--;
  if (n >= sizeof line - 1)
    n = sizeof line - 2;
  line[n++] = '\n';
  if (ctx->console_on.load(std::memory_order_relaxed)) {
    bool colour = (ctx->flags.load(std::memory_order_relaxed) & LOG2_F_COLOUR) != 0 && log2_colour_on(STDERR_FILENO);
    const char *crit = level_info(LOG2_CRIT).colour;
    if (colour)
      write_all(STDERR_FILENO, crit, strlen(crit));
    write_all(STDERR_FILENO, line, n);
    if (colour)
      write_all(STDERR_FILENO, "\033[0m", 4);
  }
  /* A thread that crashed inside the logger holds the sink lock itself. */
  if (!t_in_log && ctx->file_on.load(std::memory_order_relaxed) && ctx->sink_lock.try_lock()) {
    if (ctx->file.fp) {
      fflush(ctx->file.fp);
      write_all(fileno(ctx->file.fp), line, n);
    }
    ctx->sink_lock.unlock();
  }
  (void)tag;
}

char *log2_last_msg_try(char *buf, size_t size)
{
  if (!buf || size == 0)
    return buf;
  buf[0] = '\0';
  log2_ctx *ctx = default_ctx();
  if (t_in_log || !ctx->sink_lock.try_lock())
    return buf;
  size_t n = ctx->last_msg.size() < size - 1 ? ctx->last_msg.size() : size - 1;
  memcpy(buf, ctx->last_msg.data(), n);
  buf[n] = '\0';
  ctx->sink_lock.unlock();
  return buf;
}

char *log2_last_msg(char *buf, size_t size)
{
  if (!buf || size == 0)
    return buf;
  log2_ctx *ctx = default_ctx();
  std::lock_guard<std::mutex> g(ctx->sink_lock);
  snprintf(buf, size, "%s", ctx->last_msg.c_str());
  return buf;
}

int log2_file_path(char *buf, size_t size)
{
  log2_ctx *ctx = default_ctx();
  std::lock_guard<std::mutex> g(ctx->sink_lock);
  if (!ctx->file_on.load(std::memory_order_relaxed) || !ctx->file.fp)
    return -1;
  int n = snprintf(buf, size, "%s", ctx->file.path.c_str());
  return n < 0 || static_cast<size_t>(n) >= size ? -1 : n;
}

void log2_thread_name_set(const char *name)
{
  snprintf(t_name, sizeof t_name, "%s", name ? name : "");
}

const char *log2_thread_name()
{
  return t_name;
}

void log2_exit()
{
  log2_ctx *ctx = default_ctx();
  std::lock_guard<std::mutex> g(ctx->sink_lock);
  log2_net_close(&ctx->bsv);
  log2_net_close(&ctx->syslog);
  log2_file_close(&ctx->file);
  ctx->file_on.store(0, std::memory_order_relaxed);
  ctx->syslog_on.store(0, std::memory_order_relaxed);
}

void pl_assert_fail()
{
  fflush(nullptr);
  abort();
}
