#pragma once
/* lbuf: a tracked allocator. Every item it hands out stays on its list until released, so that the
 * owner can release all of them at once (lbuf_clear, lbuf_exit). Items are aligned for any type.
 * The optional init procedure runs on every new item, the free procedure on every released one.
 *
 * Threads: every call takes the allocator's lock (a recursive one), so any thread may allocate and
 * release; lbuf_lock holds it across several calls, for example around an iteration. */
#include <cstddef>
#include <cstdint>

struct lbuf;

typedef void (*lbuf_item_fn)(void *item, void *ctx);

struct lbuf_param {
  const char *name;       /* for log lines; copied */
  size_t item_size;       /* size of the slab-style items; 0 when they are not used */
  lbuf_item_fn init_proc; /* optional: (item, ctx) after every allocation */
  lbuf_item_fn free_proc; /* optional: (item, ctx) before every release */
  void *ctx;
};

/* Position of an iteration; the current item may be released while iterating. */
struct lbuf_iter {
  void *next;
};

lbuf *lbuf_init(const lbuf_param *param);
/* Releases every item (free procedure for each) and the allocator. Null does nothing. */
void lbuf_exit(lbuf *b);
/* Releases every item and keeps the allocator. */
void lbuf_clear(lbuf *b);

/* A new item of size bytes (size 0 gives a valid item of 0 bytes); null when out of memory. */
void *lbuf_malloc(lbuf *b, size_t size);
void *lbuf_malloc0(lbuf *b, size_t size);
/* An item of the fixed item size, reusing released ones; null (logged) when the item size is 0. */
void *lbuf_slab_malloc(lbuf *b);
void *lbuf_slab_malloc0(lbuf *b);
char *lbuf_strdup(lbuf *b, const char *s);
/* At most n bytes of s, always NUL-terminated. */
char *lbuf_strndup(lbuf *b, const char *s, size_t n);
char *lbuf_asprintf(lbuf *b, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
/* Grows item to size bytes (a new item with the old bytes; the item keeps its identity for the init
 * and free procedures, which are not called). A smaller size keeps item as it is; size 0 releases
 * item and gives null; a null item allocates. Null on failure, item then unchanged. */
void *lbuf_realloc(lbuf *b, void *item, size_t size);
/* Calls the free procedure and releases item. Null does nothing. item must be a live item of b; a
 * header that does not carry the item mark (a second release of a cached slab item, for one) is
 * reported and left alone. */
void lbuf_free(lbuf *b, void *item);
/* The size item was allocated with. */
size_t lbuf_item_size(const void *item);
/* True when p is a live item of b (a walk of the list). */
bool lbuf_contains(lbuf *b, const void *p);
size_t lbuf_count(lbuf *b);

void lbuf_lock(lbuf *b);
void lbuf_unlock(lbuf *b);
/* Walks the items from the newest; hold lbuf_lock across the walk when other threads use b. */
void lbuf_iter_init(lbuf *b, lbuf_iter *iter);
void *lbuf_iter_next(lbuf *b, lbuf_iter *iter);
