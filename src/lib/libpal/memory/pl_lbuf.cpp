#define LOG_TAG "pal"
#include "libpal/memory/pl_lbuf.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "liblog/log2.h"

namespace {

constexpr uint32_t ITEM_MAGIC = 0x6c627566; /* "lbuf" */
constexpr uint32_t ITEM_SLAB = 1;
/* Released slab items kept for reuse. */
constexpr size_t SLAB_CACHE_MAX = 64;

/* The hidden header in front of every item; 32 bytes, so that items are 16-byte aligned. */
struct alignas(16) item_hdr {
  item_hdr *prev;
  item_hdr *next;
  size_t size;
  uint32_t magic;
  uint32_t flags;
};

item_hdr *hdr_of(const void *item)
{
  return const_cast<item_hdr *>(static_cast<const item_hdr *>(item) - 1);
}

void *item_of(item_hdr *h)
{
  return h + 1;
}

} // namespace

struct lbuf {
  char name[64];
  size_t item_size;
  lbuf_item_fn init_proc;
  lbuf_item_fn free_proc;
  void *ctx;
  std::recursive_mutex lock;
  item_hdr *head = nullptr; /* newest first */
  size_t count = 0;
  item_hdr *slab_cache = nullptr; /* released slab items, linked by next */
  size_t slab_cached = 0;
};

namespace {

void link_item(lbuf *b, item_hdr *h)
{
  h->prev = nullptr;
  h->next = b->head;
  if (b->head)
    b->head->prev = h;
  b->head = h;
  b->count++;
}

void unlink_item(lbuf *b, item_hdr *h)
{
  if (h->prev)
    h->prev->next = h->next;
  else
    b->head = h->next;
  if (h->next)
    h->next->prev = h->prev;
  b->count--;
}

void *alloc_item(lbuf *b, size_t size, bool zero, bool slab)
{
  item_hdr *h = nullptr;
  std::lock_guard<std::recursive_mutex> g(b->lock);
  if (slab && b->slab_cache) {
    h = b->slab_cache;
    b->slab_cache = h->next;
    b->slab_cached--;
  } else {
    if (size > SIZE_MAX - sizeof(item_hdr))
      return nullptr;
    h = static_cast<item_hdr *>(malloc(sizeof(item_hdr) + size));
    if (!h)
      return nullptr;
  }
  h->size = size;
  h->magic = ITEM_MAGIC;
  h->flags = slab ? ITEM_SLAB : 0;
  if (zero)
    memset(item_of(h), 0, size);
  link_item(b, h);
  if (b->init_proc)
    b->init_proc(item_of(h), b->ctx);
  return item_of(h);
}

void release_item(lbuf *b, item_hdr *h)
{
  if (b->free_proc)
    b->free_proc(item_of(h), b->ctx);
  unlink_item(b, h);
  h->magic = 0;
  if ((h->flags & ITEM_SLAB) && h->size == b->item_size && b->slab_cached < SLAB_CACHE_MAX) {
    h->next = b->slab_cache;
    b->slab_cache = h;
    b->slab_cached++;
    return;
  }
  free(h);
}

bool is_live(lbuf *b, const item_hdr *h)
{
  for (item_hdr *p = b->head; p; p = p->next)
    if (p == h)
      return true;
  return false;
}

} // namespace

lbuf *lbuf_init(const lbuf_param *param)
{
  if (!chk_assert(param != NULL))
    return nullptr;
  auto *b = new (std::nothrow) lbuf;
  if (!b)
    return nullptr;
  snprintf(b->name, sizeof b->name, "%s", param->name ? param->name : "");
  b->item_size = param->item_size;
  b->init_proc = param->init_proc;
  b->free_proc = param->free_proc;
  b->ctx = param->ctx;
  return b;
}

void lbuf_clear(lbuf *b)
{
  if (!b)
    return;
  std::lock_guard<std::recursive_mutex> g(b->lock);
  while (b->head)
    release_item(b, b->head);
}

void lbuf_exit(lbuf *b)
{
  if (!b)
    return;
  lbuf_clear(b);
  while (item_hdr *h = b->slab_cache) {
    b->slab_cache = h->next;
    free(h);
  }
  delete b;
}

void *lbuf_malloc(lbuf *b, size_t size)
{
  return alloc_item(b, size, false, false);
}

void *lbuf_malloc0(lbuf *b, size_t size)
{
  return alloc_item(b, size, true, false);
}

void *lbuf_slab_malloc(lbuf *b)
{
  if (!chk_assert(b->item_size != 0))
    return nullptr;
  return alloc_item(b, b->item_size, false, true);
}

void *lbuf_slab_malloc0(lbuf *b)
{
  if (!chk_assert(b->item_size != 0))
    return nullptr;
  return alloc_item(b, b->item_size, true, true);
}

char *lbuf_strndup(lbuf *b, const char *s, size_t n)
{
  if (!s)
    return nullptr;
  size_t len = strnlen(s, n);
  auto *p = static_cast<char *>(alloc_item(b, len + 1, false, false));
  if (p) {
    memcpy(p, s, len);
    p[len] = '\0';
  }
  return p;
}

char *lbuf_strdup(lbuf *b, const char *s)
{
  return s ? lbuf_strndup(b, s, strlen(s)) : nullptr;
}

char *lbuf_asprintf(lbuf *b, const char *fmt, ...)
{
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(nullptr, 0, fmt, ap);
  va_end(ap);
  if (n < 0)
    return nullptr;
  auto *p = static_cast<char *>(alloc_item(b, static_cast<size_t>(n) + 1, false, false));
  if (!p)
    return nullptr;
  va_start(ap, fmt);
  vsnprintf(p, static_cast<size_t>(n) + 1, fmt, ap);
  va_end(ap);
  return p;
}

void *lbuf_realloc(lbuf *b, void *item, size_t size)
{
  if (!item)
    return lbuf_malloc(b, size);
  if (size == 0) {
    lbuf_free(b, item);
    return nullptr;
  }
  std::lock_guard<std::recursive_mutex> g(b->lock);
  item_hdr *h = hdr_of(item);
  if (!chk_assert(h->magic == ITEM_MAGIC))
    return nullptr;
  if (size <= h->size)
    return item;
  if (size > SIZE_MAX - sizeof(item_hdr))
    return nullptr;
  unlink_item(b, h);
  auto *nh = static_cast<item_hdr *>(realloc(h, sizeof(item_hdr) + size));
  if (!nh) {
    link_item(b, h);
    return nullptr;
  }
  nh->size = size;
  nh->flags = 0; /* no longer of the slab size */
  link_item(b, nh);
  return item_of(nh);
}

void lbuf_free(lbuf *b, void *item)
{
  if (!item)
    return;
  std::lock_guard<std::recursive_mutex> g(b->lock);
  item_hdr *h = hdr_of(item);
  if (!chk_assert(h->magic == ITEM_MAGIC))
    return;
  release_item(b, h);
}

size_t lbuf_item_size(const void *item)
{
  return hdr_of(item)->size;
}

bool lbuf_contains(lbuf *b, const void *p)
{
  if (!p)
    return false;
  std::lock_guard<std::recursive_mutex> g(b->lock);
  return is_live(b, hdr_of(p));
}

size_t lbuf_count(lbuf *b)
{
  std::lock_guard<std::recursive_mutex> g(b->lock);
  return b->count;
}

void lbuf_lock(lbuf *b)
{
  b->lock.lock();
}

void lbuf_unlock(lbuf *b)
{
  b->lock.unlock();
}

void lbuf_iter_init(lbuf *b, lbuf_iter *iter)
{
  pl_assert(iter != NULL);
  std::lock_guard<std::recursive_mutex> g(b->lock);
  iter->next = b->head ? item_of(b->head) : nullptr;
}

void *lbuf_iter_next(lbuf *b, lbuf_iter *iter)
{
  pl_assert(iter != NULL);
  std::lock_guard<std::recursive_mutex> g(b->lock);
  void *cur = iter->next;
  if (cur) {
    item_hdr *n = hdr_of(cur)->next;
    iter->next = n ? item_of(n) : nullptr;
  }
  return cur;
}
