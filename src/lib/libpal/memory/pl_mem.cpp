#define LOG_TAG "pal"
#include "libpal/memory/pl_mem.h"

#include <unistd.h>

#include <atomic>

#include "liblog/log2.h"

namespace {
std::atomic<size_t> g_pagesize{0};
}

size_t mem_init()
{
  long ps = sysconf(_SC_PAGESIZE);
  if (ps < 1) {
    LOGW("mem_pagesize get failed fix=4096");
    ps = 4096;
  }
  LOGV("pagesize=%d\n", static_cast<int>(ps));
  g_pagesize.store(static_cast<size_t>(ps), std::memory_order_relaxed);
  return static_cast<size_t>(ps);
}

size_t mem_pagesize()
{
  size_t ps = g_pagesize.load(std::memory_order_relaxed);
  return ps ? ps : mem_init();
}
