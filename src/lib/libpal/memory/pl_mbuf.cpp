#define LOG_TAG "pal"
#include "libpal/memory/pl_mbuf.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "liblog/log2.h"
#include "libpal/basic/pl_pcond.h"
#include "libpal/os/os_time.h"

struct mbuf {
  uint32_t total;
  uint32_t block_size;
  uint32_t max_blocks;
  unsigned char *base = nullptr;
  std::mutex lock; /* guards the counters and the short block */
  uint32_t in_use = 0;
  uint32_t written = 0;
  uint32_t read = 0;
  int64_t short_idx = -1; /* index of the short last block, -1 when none */
  uint32_t short_len = 0;
  pcond *written_ev = nullptr;
  pcond *read_ev = nullptr;
};

mbuf *mbuf_init(uint32_t total, uint32_t block_size)
{
  if (!chk_assert(total > 2) || !chk_assert(block_size > 0))
    return nullptr;
  uint32_t max_blocks = total / block_size;
  if (max_blocks == 0) {
    LOGE("max_queue_size=%d <=0 error\n", static_cast<int>(max_blocks));
    return nullptr;
  }
  auto *m = new (std::nothrow) mbuf;
  if (!m)
    return nullptr;
  m->total = total;
  m->block_size = block_size;
  m->max_blocks = max_blocks;
  m->base = static_cast<unsigned char *>(malloc(total));
  m->written_ev = pcond_init();
  m->read_ev = pcond_init();
  if (!m->base || !m->written_ev || !m->read_ev) {
    mbuf_exit(m);
    return nullptr;
  }
  return m;
}

void mbuf_exit(mbuf *m)
{
  if (!m)
    return;
  free(m->base);
  pcond_exit(m->written_ev);
  pcond_exit(m->read_ev);
  delete m;
}

void mbuf_reset(mbuf *m)
{
  {
    std::lock_guard<std::mutex> g(m->lock);
    m->in_use = m->written = m->read = 0;
    m->short_idx = -1;
    m->short_len = 0;
  }
  pcond_reset(m->written_ev);
  pcond_reset(m->read_ev);
}

uint32_t mbuf_block_size(const mbuf *m)
{
  return m->block_size;
}

uint32_t mbuf_block_count(const mbuf *m)
{
  return m->max_blocks;
}

void *mbuf_get_write_block(mbuf *m)
{
  std::lock_guard<std::mutex> g(m->lock);
  if (m->in_use + 1 > m->max_blocks || m->written >= m->max_blocks || m->short_idx >= 0)
    return nullptr;
  return m->base + static_cast<size_t>(m->written) * m->block_size;
}

int mbuf_alloc_unref(mbuf *m, uint32_t size)
{
  if (!chk_assert(size > 0 && size <= m->block_size))
    return -1;
  {
    std::lock_guard<std::mutex> g(m->lock);
    if (m->written >= m->max_blocks || m->short_idx >= 0)
      return -1;
    if (size < m->block_size) {
      m->short_idx = m->written;
      m->short_len = size;
    }
    m->in_use++;
    m->written++;
  }
  pcond_signal(m->written_ev);
  return 0;
}

int mbuf_write(mbuf *m, const void *data, uint32_t size)
{
  if (size == 0 || size > m->block_size)
    return -1;
  void *blk = mbuf_get_write_block(m);
  if (!blk)
    return -1;
  memcpy(blk, data, size);
  return mbuf_alloc_unref(m, size);
}

const void *mbuf_get_read_block(mbuf *m, uint32_t *len, int timeout_ms)
{
  uint64_t deadline = timeout_ms > 0 ? os_time_ms() + static_cast<uint64_t>(timeout_ms) : 0;
  for (;;) {
    {
      std::lock_guard<std::mutex> g(m->lock);
      if (m->read < m->written) {
        if (len)
          *len = static_cast<int64_t>(m->read) == m->short_idx ? m->short_len : m->block_size;
        return m->base + static_cast<size_t>(m->read) * m->block_size;
      }
    }
    int left;
    if (timeout_ms < 0) {
      left = -1;
    } else {
      uint64_t now = os_time_ms();
      if (timeout_ms == 0 || now >= deadline)
        return nullptr;
      left = static_cast<int>(deadline - now);
    }
    if (pcond_wait(m->written_ev, left) == -1)
      return nullptr;
  }
}

void mbuf_release(mbuf *m)
{
  {
    std::lock_guard<std::mutex> g(m->lock);
    if (m->read >= m->written)
      return;
    m->in_use--;
    m->read++;
  }
  pcond_signal(m->read_ev);
}

int mbuf_read_wait(mbuf *m, void *buf, uint32_t len, int timeout_ms)
{
  if (!chk_assert(len >= m->block_size))
    return -1;
  uint32_t n = 0;
  const void *blk = mbuf_get_read_block(m, &n, timeout_ms);
  if (!blk)
    return 0;
  memcpy(buf, blk, n);
  mbuf_release(m);
  return static_cast<int>(n);
}

bool mbuf_drained(mbuf *m)
{
  std::lock_guard<std::mutex> g(m->lock);
  return m->read == m->written;
}

int mbuf_wait_read(mbuf *m, int timeout_ms)
{
  return pcond_wait(m->read_ev, timeout_ms);
}

struct mbuf2 {
  uint32_t block_size;
  uint32_t max_idx;
  uint32_t alloc_idx = 0;
  unsigned char *base = nullptr;
  mbuf2_block *blocks = nullptr;
};

mbuf2 *mbuf2_init(uint32_t total, uint32_t block_size)
{
  if (!chk_assert(total > 2) || !chk_assert(block_size > 0))
    return nullptr;
  uint64_t rounded = (static_cast<uint64_t>(total) + block_size - 1) / block_size * block_size;
  auto *m = new (std::nothrow) mbuf2;
  if (!m)
    return nullptr;
  m->block_size = block_size;
  m->max_idx = static_cast<uint32_t>(rounded / block_size);
  m->base = static_cast<unsigned char *>(malloc(rounded));
  m->blocks = static_cast<mbuf2_block *>(calloc(m->max_idx, sizeof(mbuf2_block)));
  if (!m->base || !m->blocks) {
    LOGE("mbuf2 total=%u block_size=%u: out of memory\n", total, block_size);
    mbuf2_exit(m);
    return nullptr;
  }
  for (uint32_t i = 0; i < m->max_idx; i++) {
    m->blocks[i].data = m->base + static_cast<size_t>(i) * block_size;
    m->blocks[i].idx = i;
    m->blocks[i].owner = m;
  }
  return m;
}

void mbuf2_exit(mbuf2 *m)
{
  if (!m)
    return;
  free(m->base);
  free(m->blocks);
  delete m;
}

void mbuf2_reset(mbuf2 *m)
{
  m->alloc_idx = 0;
}

mbuf2_block *mbuf2_get_block(mbuf2 *m)
{
  if (!chk_assert(m->alloc_idx < m->max_idx))
    return nullptr;
  mbuf2_block *b = &m->blocks[m->alloc_idx++];
  b->len = 0;
  return b;
}

uint32_t mbuf2_block_size(const mbuf2 *m)
{
  return m->block_size;
}

uint32_t mbuf2_block_count(const mbuf2 *m)
{
  return m->max_idx;
}
