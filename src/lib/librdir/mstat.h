#pragma once
/* Stat lists: the items of one directory listing (one list for the files, one for the
 * directories), with a string pool that owns every name and link text of its items.
 *
 * A list is filled by one thread and then handed over by pointer; the reference count is the only
 * field changed concurrently, and only through mstat_ref_add and mstat_free. */
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum : uint16_t {
  ITEM_F_REASON_MASK = 0x00ff, /* change reason, written by the comparison; 0 when parsed */
  ITEM_F_HARDLINK = 0x0100,    /* further name of a file met earlier in the same listing */
};

struct mstat_item {
  uint16_t flags;
  uint32_t o_nlink; /* names of the matching output file (set with o_size); 0 when parsed */
  /* Escaped zz-string (ends in "\0\0" as text): the name, or name, kind and stream name. */
  const char *name;
  /* Escaped link text, or the first path of a hard link; null when there is none. */
  const char *link_name;
  uint32_t type;
  uint32_t attrib_mode;
  uint32_t alt_mode;
  uint32_t uid;
  uint32_t gid;
  uint64_t size; /* 0 for a hard-link item */
  uint64_t st_nlink;
  uint64_t st_ino;
  uint64_t file_id_ext;
  uint64_t st_dev;
  uint64_t o_size; /* size of the matching output entry; 0 when parsed */
  uint64_t time_access;
  uint64_t time_write;
  uint64_t time_create;
};

struct mstat_pool;

struct mstat {
  std::atomic<uint32_t> ref; /* extra references; 0 means one owner */
  uint32_t item_size;        /* sizeof(mstat_item) */
  uint64_t count;
  uint64_t hardlink_count; /* items appended with ITEM_F_HARDLINK */
  mstat_pool *pool;
  mstat_item *items;
  uint64_t cap;
  uint64_t fail_count; /* appends that failed for lack of memory */
};

/* Pool parameters: texts are carved from blocks of block_size bytes (0: 64 KiB); a text longer
 * than a quarter block gets a block of its own. */
struct mstat_pool_param {
  size_t block_size;
};

/* An empty list with reference count 0 and a new pool (pp may be null); the item array and the
 * pool's first block are allocated by the first append. Null when memory runs out. */
mstat *mstat_alloc(const mstat_pool_param *pp);
/* Adds one reference. A null list is a fatal assertion. */
void mstat_ref_add(mstat *h);
/* Drops one reference, or frees the list when none is left. -1 for a null list, else 0. */
int mstat_free(mstat *h);
/* Appends a copy of item whose texts are copies in the pool (an empty link text becomes null).
 * Returns the appended item (valid until the next append or clear), or null when memory runs out
 * (the failure count is raised). A hard-link item is counted even when its copy fails. */
mstat_item *mstat_cp_alloc(mstat *h, const mstat_item *item);
/* Item count and failure count become 0; the pool and the array are emptied, capacity kept. */
void mstat_clear(mstat *h);
/* The item array and its count. */
mstat_item *mstat_get_item(mstat *h, uint64_t *count);
uint64_t mstat_hardlink_count(const mstat *h);

/* A removed hard-link item: its name and the first path of its file. */
struct mstat_link {
  std::string name;
  std::string link_name;
};
/* Removes every ITEM_F_HARDLINK item, keeping the others in their order in an array sized to the
 * remaining count, and stores the removed (name, link_name) pairs in list order into out
 * (replacing its content). Returns the number of pairs, or -8 when memory runs out (the list is
 * then unchanged). */
int mstat_take_hardlinks(mstat *h, std::vector<mstat_link> *out);
