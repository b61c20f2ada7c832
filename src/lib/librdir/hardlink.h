#pragma once
/* Hard-link table of one listing side: remembers the first path met for each file identity
 * (device, inode, third identity word, discriminator byte), so that further names of the same
 * file can be recognised. One thread at a time per table. */
#include <cstddef>
#include <cstdint>

/* Buckets of a new table; the table grows with its content. */
constexpr uint32_t HARDLINK_TABLE_BUCKETS = 311;

struct hardlink_key {
  uint64_t st_dev;
  uint64_t st_ino;
  uint64_t file_id_ext;
  uint8_t disc; /* 0 for listing entries */
};

struct hardlink_table;

/* An empty table; null when memory runs out. */
hardlink_table *hardlink_table_alloc();
/* Frees every entry and the table; null does nothing. */
void hardlink_table_free(hardlink_table *t);
/* The first path stored for key, or null. The text lives until the table is cleared or freed. */
const char *hardlink_table_find(const hardlink_table *t, const hardlink_key *key);
/* Stores a copy of path (len bytes; a NUL is added) under key, at the head of its chain.
 * Returns 0, -2 for a bad argument or -8 when memory runs out. */
int hardlink_table_add(hardlink_table *t, const hardlink_key *key, const char *path, size_t len);
/* Number of entries. */
uint64_t hardlink_table_count(const hardlink_table *t);
/* Removes every entry. */
void hardlink_table_clear(hardlink_table *t);
