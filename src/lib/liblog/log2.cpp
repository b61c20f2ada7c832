#define LOG_TAG "pal"
#include "liblog/log2.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

/* Bootstrap logger: level filter and console only; the sinks arrive with the full logger. */
namespace {
std::atomic<int> g_level{LOG2_DBG};
thread_local char t_name[256] = "main";
}

bool log2_enabled(int level)
{
  return (level & 0xff) <= g_level.load(std::memory_order_relaxed);
}

int log2_vprint(log2_ctx *, int level, const char *tag, const char *file, int line, const char *func,
                const char *fmt, va_list ap)
{
  int saved = errno;
  if (!log2_enabled(level))
    return 0;
  char buf[8192];
  int n = vsnprintf(buf, sizeof buf, fmt, ap);
  if (n < 0)
    n = 0;
  fprintf(stderr, "[%s] %s:%d %s(): %s%s", tag, file, line, func, buf,
          (n > 0 && buf[(size_t)n < sizeof buf ? n - 1 : sizeof buf - 2] == '\n') ? "" : "\n");
  if ((level & 0xff) == LOG2_CRIT && !(level & LOG2_NOEXIT))
    exit(1);
  errno = saved;
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

void pl_assert_fail()
{
  abort();
}

void log2_thread_name_set(const char *name)
{
  snprintf(t_name, sizeof t_name, "%s", name ? name : "");
}

const char *log2_thread_name()
{
  return t_name;
}
