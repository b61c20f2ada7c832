#include "librdir/hardlink.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "libpal/comm/verr.h"

namespace {

struct hl_node {
  hl_node *next;
  hardlink_key key;
  char *path;
};

uint64_t hash_of(const hardlink_key &k)
{
  uint64_t h = k.st_ino ^ (k.st_dev * 0x9E3779B97F4A7C15ull) ^ (k.file_id_ext << 16) ^ k.disc;
  return h ^ (h >> 29);
}

bool same_key(const hardlink_key &a, const hardlink_key &b)
{
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.file_id_ext == b.file_id_ext && a.disc == b.disc;
}

} // namespace

/* Chains stay short: the bucket array doubles when the entries outnumber it twice. */
struct hardlink_table {
  std::vector<hl_node *> buckets = std::vector<hl_node *>(HARDLINK_TABLE_BUCKETS, nullptr);
  uint64_t count = 0;
  hl_node *&head_of(const hardlink_key &k) { return buckets[hash_of(k) % buckets.size()]; }
  hl_node *head_of(const hardlink_key &k) const { return buckets[hash_of(k) % buckets.size()]; }
};

namespace {

void grow(hardlink_table *t)
{
  std::vector<hl_node *> wider;
  try {
    wider.assign(t->buckets.size() * 2 + 1, nullptr);
  } catch (const std::bad_alloc &) {
    return; /* longer chains, still correct */
  }
  for (hl_node *head : t->buckets)
    while (head) {
      hl_node *n = head;
      head = n->next;
      hl_node *&slot = wider[hash_of(n->key) % wider.size()];
      n->next = slot;
      slot = n;
    }
  t->buckets.swap(wider);
}

} // namespace

hardlink_table *hardlink_table_alloc()
{
  return new (std::nothrow) hardlink_table;
}

void hardlink_table_clear(hardlink_table *t)
{
  if (!t)
    return;
  for (auto &head : t->buckets) {
    while (head) {
      hl_node *n = head;
      head = n->next;
      free(n->path);
      delete n;
    }
  }
  t->count = 0;
}

void hardlink_table_free(hardlink_table *t)
{
  if (!t)
    return;
  hardlink_table_clear(t);
  delete t;
}

const char *hardlink_table_find(const hardlink_table *t, const hardlink_key *key)
{
  if (!t || !key)
    return nullptr;
  for (const hl_node *n = t->head_of(*key); n; n = n->next)
    if (same_key(n->key, *key))
      return n->path;
  return nullptr;
}

int hardlink_table_add(hardlink_table *t, const hardlink_key *key, const char *path, size_t len)
{
  if (!t || !key || (!path && len))
    return VERR_PARAM;
  auto *n = new (std::nothrow) hl_node;
  if (!n)
    return VERR_NOMEM;
  n->path = static_cast<char *>(malloc(len + 1));
  if (!n->path) {
    delete n;
    return VERR_NOMEM;
  }
  if (len)
    memcpy(n->path, path, len);
  n->path[len] = '\0';
  n->key = *key;
  if (t->count >= 2 * t->buckets.size())
    grow(t);
  hl_node *&head = t->head_of(*key);
  n->next = head;
  head = n;
  t->count++;
  return 0;
}

uint64_t hardlink_table_count(const hardlink_table *t)
{
  return t ? t->count : 0;
}
