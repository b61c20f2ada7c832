#include "librdir/hardlink.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "libpal/comm/verr.h"

namespace {

struct hl_node {
  hl_node *next;
  hardlink_key key;
  char *path;
};

uint32_t bucket_of(const hardlink_key &k)
{
  uint64_t h = k.st_ino ^ k.st_dev ^ (k.file_id_ext << 16);
  return static_cast<uint32_t>(h) % HARDLINK_TABLE_BUCKETS;
}

bool same_key(const hardlink_key &a, const hardlink_key &b)
{
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.file_id_ext == b.file_id_ext && a.disc == b.disc;
}

} // namespace

struct hardlink_table {
  hl_node *buckets[HARDLINK_TABLE_BUCKETS] = {};
  uint64_t count = 0;
};

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
  for (const hl_node *n = t->buckets[bucket_of(*key)]; n; n = n->next)
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
  hl_node *&head = t->buckets[bucket_of(*key)];
  n->next = head;
  head = n;
  t->count++;
  return 0;
}

uint64_t hardlink_table_count(const hardlink_table *t)
{
  return t ? t->count : 0;
}
