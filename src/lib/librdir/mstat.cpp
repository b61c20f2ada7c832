#define LOG_TAG "cdir"
#include "librdir/mstat.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "liblog/log2.h"
#include "libpal/comm/verr.h"

namespace {

constexpr size_t POOL_BLOCK_DEFAULT = 64 * 1024;
/* The first block is small and each new one twice the last, up to the block size: a list of a few
 * names costs a few hundred bytes, not a whole block. */
constexpr size_t POOL_BLOCK_FIRST = 1024;
/* The item array and the first block come with the first append: most directories of a real tree
 * have no subdirectories, and their empty directory lists then cost nothing but the header. */
constexpr uint64_t ITEMS_INITIAL = 16;

struct pool_block {
  pool_block *next;
  size_t cap;
  size_t used;
  char *data() { return reinterpret_cast<char *>(this + 1); }
};

pool_block *block_new(size_t cap)
{
  auto *b = static_cast<pool_block *>(malloc(sizeof(pool_block) + cap));
  if (!b)
    return nullptr;
  b->next = nullptr;
  b->cap = cap;
  b->used = 0;
  return b;
}

} // namespace

/* Bump allocator: texts never move, so item pointers stay valid while the item array grows. */
struct mstat_pool {
  size_t block_size;
  pool_block *head; /* the block being filled, older blocks follow; null before the first text */
};

namespace {

mstat_pool *pool_new(size_t block_size)
{
  auto *p = static_cast<mstat_pool *>(malloc(sizeof(mstat_pool)));
  if (!p)
    return nullptr;
  p->block_size = block_size;
  p->head = nullptr;
  return p;
}

/* Frees every block but the oldest, which is kept empty for reuse. */
void pool_reset(mstat_pool *p)
{
  pool_block *b = p->head;
  if (!b)
    return;
  while (b->next) {
    pool_block *n = b->next;
    free(b);
    b = n;
  }
  b->used = 0;
  p->head = b;
}

void pool_delete(mstat_pool *p)
{
  if (!p)
    return;
  for (pool_block *b = p->head; b;) {
    pool_block *n = b->next;
    free(b);
    b = n;
  }
  free(p);
}

const char *pool_strdup(mstat_pool *p, const char *s)
{
  size_t n = strlen(s) + 1;
  pool_block *b = p->head;
  if (!b) {
    b = block_new(p->block_size < POOL_BLOCK_FIRST ? p->block_size : POOL_BLOCK_FIRST);
    if (!b)
      return nullptr;
    p->head = b;
  }
  if (b->cap - b->used < n) {
    if (n > p->block_size / 4) {
      /* a long text gets its own block behind the current one, which stays in use */
      pool_block *own = block_new(n);
      if (!own)
        return nullptr;
      own->used = n;
      own->next = b->next;
      b->next = own;
      memcpy(own->data(), s, n);
      return own->data();
    }
    size_t cap = b->cap * 2 < p->block_size ? b->cap * 2 : p->block_size;
    if (cap < n)
      cap = n;
    pool_block *nb = block_new(cap);
    if (!nb)
      return nullptr;
    nb->next = b;
    p->head = nb;
    b = nb;
  }
  char *dst = b->data() + b->used;
  memcpy(dst, s, n);
  b->used += n;
  return dst;
}

} // namespace

mstat *mstat_alloc(const mstat_pool_param *pp)
{
  size_t bs = pp && pp->block_size ? pp->block_size : POOL_BLOCK_DEFAULT;
  auto *h = new (std::nothrow) mstat;
  if (!h)
    return nullptr;
  h->ref.store(0);
  h->item_size = sizeof(mstat_item);
  h->count = 0;
  h->hardlink_count = 0;
  h->cap = 0;
  h->fail_count = 0;
  h->items = nullptr;
  h->pool = pool_new(bs);
  if (!h->pool) {
    delete h;
    return nullptr;
  }
  return h;
}

void mstat_ref_add(mstat *h)
{
  pl_assert(h!=NULL);
  h->ref.fetch_add(1, std::memory_order_relaxed);
}

int mstat_free(mstat *h)
{
  if (!h)
    return -1;
  uint32_t r = h->ref.load(std::memory_order_acquire);
  while (r > 0) {
    if (h->ref.compare_exchange_weak(r, r - 1, std::memory_order_acq_rel))
      return 0;
  }
  pool_delete(h->pool);
  free(h->items);
  delete h;
  return 0;
}

mstat_item *mstat_cp_alloc(mstat *h, const mstat_item *item)
{
  if (!h || !item)
    return nullptr;
  if (item->flags & ITEM_F_HARDLINK)
    h->hardlink_count++;
  const char *name = pool_strdup(h->pool, item->name ? item->name : "");
  const char *link = nullptr;
  if (name && item->link_name && item->link_name[0])
    link = pool_strdup(h->pool, item->link_name);
  bool link_failed = item->link_name && item->link_name[0] && !link;
  if (!name || link_failed) {
    h->fail_count++;
    return nullptr;
  }
  if (h->count == h->cap) {
    uint64_t ncap = h->cap ? h->cap * 2 : ITEMS_INITIAL;
    void *n = ncap <= SIZE_MAX / sizeof(mstat_item) ? realloc(h->items, ncap * sizeof(mstat_item)) : nullptr;
    if (!n) {
      h->fail_count++;
      return nullptr;
    }
    h->items = static_cast<mstat_item *>(n);
    h->cap = ncap;
  }
  mstat_item *dst = &h->items[h->count++];
  *dst = *item;
  dst->name = name;
  dst->link_name = link;
  return dst;
}

void mstat_clear(mstat *h)
{
  if (!h)
    return;
  h->count = 0;
  h->fail_count = 0;
  h->hardlink_count = 0;
  pool_reset(h->pool);
}

mstat_item *mstat_get_item(mstat *h, uint64_t *count)
{
  if (!h) {
    if (count)
      *count = 0;
    return nullptr;
  }
  if (count)
    *count = h->count;
  return h->items;
}

uint64_t mstat_hardlink_count(const mstat *h)
{
  return h ? h->hardlink_count : 0;
}

int mstat_take_hardlinks(mstat *h, std::vector<mstat_link> *out)
{
  if (!h || !out)
    return VERR_PARAM;
  std::vector<mstat_link> pairs;
  uint64_t keep = 0;
  try {
    for (uint64_t i = 0; i < h->count; i++) {
      const mstat_item &it = h->items[i];
      if (it.flags & ITEM_F_HARDLINK)
        pairs.push_back({it.name ? it.name : "", it.link_name ? it.link_name : ""});
      else
        keep++;
    }
  } catch (const std::bad_alloc &) {
    return VERR_NOMEM;
  }
  auto *arr = static_cast<mstat_item *>(malloc(sizeof(mstat_item) * (keep ? keep : 1)));
  if (!arr)
    return VERR_NOMEM;
  uint64_t k = 0;
  for (uint64_t i = 0; i < h->count; i++)
    if (!(h->items[i].flags & ITEM_F_HARDLINK))
      arr[k++] = h->items[i];
  free(h->items);
  h->items = arr;
  h->cap = keep ? keep : 1;
  h->count = keep;
  h->hardlink_count = 0;
  out->swap(pairs);
  return static_cast<int>(out->size());
}
