#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "libpal/memory/pl_lbuf.h"
#include "libpal/memory/pl_mbuf.h"
#include "libpal/memory/pl_mem.h"
#include "libpal/memory/pl_qbuf.h"

namespace {

struct item_counts {
  int inits = 0;
  int frees = 0;
};

void count_init(void *, void *ctx)
{
  static_cast<item_counts *>(ctx)->inits++;
}

void count_free(void *, void *ctx)
{
  static_cast<item_counts *>(ctx)->frees++;
}

lbuf *open_lbuf(item_counts *k, size_t item_size = 0)
{
  lbuf_param p{};
  p.name = "test";
  p.item_size = item_size;
  p.init_proc = count_init;
  p.free_proc = count_free;
  p.ctx = k;
  return lbuf_init(&p);
}

std::string read_one(qbuf *q, uint32_t len = 256)
{
  std::vector<char> buf(len);
  int n = qbuf_read(q, buf.data(), len);
  return n > 0 ? std::string(buf.data(), static_cast<size_t>(n)) : std::string();
}

} // namespace

TEST(lbuf, exit_frees_every_live_item_once)
{
  item_counts k;
  lbuf *b = open_lbuf(&k);
  void *a = lbuf_malloc(b, 10);
  void *z = lbuf_malloc0(b, 100);
  char *s = lbuf_strdup(b, "text");
  char *n = lbuf_strndup(b, "abcdef", 3);
  char *f = lbuf_asprintf(b, "%d-%s", 42, "x");
  ASSERT_TRUE(a && z && s && n && f);
  EXPECT_EQ(0, memcmp(z, std::string(100, '\0').data(), 100));
  EXPECT_STREQ("text", s);
  EXPECT_STREQ("abc", n);
  EXPECT_STREQ("42-x", f);
  EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(a) % 16); /* aligned for any type */
  EXPECT_EQ(5u, lbuf_count(b));
  EXPECT_EQ(5, k.inits);
  lbuf_free(b, a);
  lbuf_free(b, nullptr);
  EXPECT_EQ(1, k.frees);
  EXPECT_TRUE(lbuf_contains(b, s));
  EXPECT_FALSE(lbuf_contains(b, a));
  lbuf_exit(b);
  EXPECT_EQ(5, k.frees);
  lbuf_exit(nullptr);
}

TEST(lbuf, realloc_keeps_the_bytes)
{
  item_counts k;
  lbuf *b = open_lbuf(&k);
  char *p = static_cast<char *>(lbuf_realloc(b, nullptr, 4));
  memcpy(p, "abcd", 4);
  char *q = static_cast<char *>(lbuf_realloc(b, p, 2)); /* smaller: kept */
  EXPECT_EQ(p, q);
  q = static_cast<char *>(lbuf_realloc(b, p, 4096));
  ASSERT_NE(nullptr, q);
  EXPECT_EQ(0, memcmp(q, "abcd", 4));
  EXPECT_EQ(4096u, lbuf_item_size(q));
  EXPECT_EQ(1u, lbuf_count(b));
  EXPECT_EQ(nullptr, lbuf_realloc(b, q, 0)); /* size 0 releases */
  EXPECT_EQ(0u, lbuf_count(b));
  EXPECT_EQ(1, k.inits);
  EXPECT_EQ(1, k.frees);
  lbuf_exit(b);
}

TEST(lbuf, slab_items_are_reused)
{
  item_counts k;
  lbuf *b = open_lbuf(&k, 48);
  void *a = lbuf_slab_malloc(b);
  ASSERT_NE(nullptr, a);
  EXPECT_EQ(48u, lbuf_item_size(a));
  lbuf_free(b, a);
  void *c = lbuf_slab_malloc0(b);
  EXPECT_EQ(a, c); /* the released record came back */
  EXPECT_EQ(0, memcmp(c, std::string(48, '\0').data(), 48));
  lbuf_clear(b);
  EXPECT_EQ(0u, lbuf_count(b));
  lbuf_exit(b);

  lbuf *plain = open_lbuf(&k, 0);
  EXPECT_EQ(nullptr, lbuf_slab_malloc(plain)); /* no item size */
  lbuf_exit(plain);
}

TEST(lbuf, iteration_may_release_the_current_item)
{
  item_counts k;
  lbuf *b = open_lbuf(&k);
  for (int i = 0; i < 5; i++)
    *static_cast<int *>(lbuf_malloc(b, sizeof(int))) = i;
  lbuf_lock(b);
  lbuf_iter it;
  lbuf_iter_init(b, &it);
  int seen = 0;
  while (void *p = lbuf_iter_next(b, &it)) {
    seen++;
    if (*static_cast<int *>(p) % 2 == 0)
      lbuf_free(b, p); /* the lock is held by this thread already */
  }
  lbuf_unlock(b);
  EXPECT_EQ(5, seen);
  EXPECT_EQ(2u, lbuf_count(b));
  lbuf_exit(b);
}

TEST(qbuf, records_in_order_and_too_small_buffers)
{
  qbuf *q = qbuf_open(nullptr);
  ASSERT_NE(nullptr, q);
  EXPECT_TRUE(qbuf_empty(q));
  EXPECT_EQ(0, qbuf_write_nowait(q, "first record", 12));
  EXPECT_EQ(0, qbuf_write(q, "second", 6, 0));
  EXPECT_FALSE(qbuf_empty(q));
  char small[4];
  EXPECT_EQ(0, qbuf_read(q, small, sizeof small)); /* does not fit: nothing read */
  EXPECT_FALSE(qbuf_empty(q));                      /* and the record stays first */
  EXPECT_EQ("first record", read_one(q, 12));       /* exactly fits */
  EXPECT_EQ("second", read_one(q));
  EXPECT_TRUE(qbuf_empty(q));
  EXPECT_EQ(0, qbuf_read_wait(q, small, sizeof small, 10)); /* time-out */
  qbuf_close(q);
  qbuf_close(nullptr);
  EXPECT_EQ(-1, qbuf_read(nullptr, small, sizeof small));
}

TEST(qbuf, record_mode_puts_the_length_in_front)
{
  qbuf *q = qbuf_open(nullptr);
  qbuf_write_nowait(q, "abc", 3);
  unsigned char buf[16];
  EXPECT_EQ(0, qbuf_read_rec(q, buf, 6, 0)); /* 4 + 3 bytes needed */
  EXPECT_EQ(7, qbuf_read_rec(q, buf, 7, 0));
  uint32_t n;
  memcpy(&n, buf, 4);
  EXPECT_EQ(3u, n);
  EXPECT_EQ(0, memcmp(buf + 4, "abc", 3));
  qbuf_close(q);
}

/* Mode 3 takes what is queued behind the first record without waiting; a record that does not fit
 * ends the read and is the first of the next one. */
TEST(qbuf, read_all_takes_what_fits)
{
  qbuf *q = qbuf_open(nullptr);
  qbuf_write_nowait(q, "aa", 2);
  qbuf_write_nowait(q, "bbb", 3);
  qbuf_write_nowait(q, "cccc", 4);
  qbuf_write_nowait(q, "d", 1);
  char buf[16];
  int n = qbuf_read_all_wait(q, buf, 8, 1000);
  EXPECT_EQ("aabbb", std::string(buf, static_cast<size_t>(n)));
  n = qbuf_read_all(q, buf, sizeof buf);
  EXPECT_EQ("ccccd", std::string(buf, static_cast<size_t>(n)));
  EXPECT_EQ(0, qbuf_read_all(q, buf, sizeof buf));
  qbuf_close(q);
}

TEST(qbuf, filter_ends_the_read_after_a_hit)
{
  qbuf *q = qbuf_open(nullptr);
  for (const char *s : {"x", "y", "\n", "z"})
    qbuf_write_nowait(q, s, 1);
  char buf[16];
  int hit = 0;
  auto newline = [](const void *d, uint32_t n) { return n == 1 && *static_cast<const char *>(d) == '\n' ? 1 : 0; };
  int n = qbuf_read_filter(q, buf, sizeof buf, 0, newline, &hit);
  EXPECT_EQ("xy\n", std::string(buf, static_cast<size_t>(n)));
  EXPECT_EQ(1, hit);
  n = qbuf_read_filter(q, buf, sizeof buf, 0, newline, &hit);
  EXPECT_EQ("z", std::string(buf, static_cast<size_t>(n)));
  EXPECT_EQ(0, hit);
  qbuf_close(q);
}

TEST(qbuf, drain_and_clear)
{
  qbuf *q = qbuf_open(nullptr);
  qbuf_write_nowait(q, "long record", 11);
  qbuf_write_nowait(q, "b", 1);
  char small[2];
  EXPECT_EQ(0, qbuf_read(q, small, sizeof small)); /* leaves "long record" pending */
  static std::string drained;
  drained.clear();
  EXPECT_EQ(12, qbuf_drain(q, [](const void *d, uint32_t n) {
              drained.append(static_cast<const char *>(d), n);
              return 0;
            }));
  EXPECT_EQ("long recordb", drained);
  EXPECT_TRUE(qbuf_empty(q));
  qbuf_write_nowait(q, "c", 1);
  EXPECT_EQ(0, qbuf_read(q, small, 0));
  qbuf_clear(q);
  EXPECT_TRUE(qbuf_empty(q));
  qbuf_close(q);
}

TEST(qbuf, writer_and_reader_threads)
{
  qbuf *q = qbuf_open(nullptr);
  constexpr int n = 20000;
  std::thread w([q] {
    for (int i = 0; i < n; i++) {
      std::string s = std::to_string(i);
      ASSERT_EQ(0, qbuf_write_nowait(q, s.data(), static_cast<uint32_t>(s.size())));
    }
  });
  char buf[32];
  for (int i = 0; i < n; i++) {
    int got = qbuf_read_wait(q, buf, sizeof buf, 5000);
    ASSERT_EQ(std::to_string(i), std::string(buf, static_cast<size_t>(got > 0 ? got : 0)));
  }
  w.join();
  qbuf_close(q);
}

TEST(mbuf, blocks_and_the_short_last_one)
{
  EXPECT_EQ(nullptr, mbuf_init(2, 1));   /* total too small */
  EXPECT_EQ(nullptr, mbuf_init(100, 0)); /* no block size */
  EXPECT_EQ(nullptr, mbuf_init(10, 16)); /* not one block */
  mbuf *m = mbuf_init(64, 16);
  ASSERT_NE(nullptr, m);
  EXPECT_EQ(4u, mbuf_block_count(m));
  char big[17] = {};
  EXPECT_EQ(-1, mbuf_write(m, big, 17)); /* larger than a block */
  EXPECT_EQ(-1, mbuf_write(m, big, 0));
  EXPECT_EQ(0, mbuf_write(m, "0123456789abcdef", 16));
  EXPECT_EQ(0, mbuf_write(m, "tail", 4)); /* short: the last of the pass */
  EXPECT_EQ(nullptr, mbuf_get_write_block(m));
  EXPECT_EQ(-1, mbuf_write(m, "more", 4));
  char out[16];
  EXPECT_EQ(-1, mbuf_read_wait(m, out, 15, 0)); /* smaller than a block */
  EXPECT_EQ(16, mbuf_read_wait(m, out, sizeof out, 0));
  EXPECT_EQ(0, memcmp(out, "0123456789abcdef", 16));
  EXPECT_FALSE(mbuf_drained(m));
  EXPECT_EQ(4, mbuf_read_wait(m, out, sizeof out, 0)); /* read back with its own length */
  EXPECT_EQ(0, memcmp(out, "tail", 4));
  EXPECT_TRUE(mbuf_drained(m));
  EXPECT_EQ(0, mbuf_read_wait(m, out, sizeof out, 10)); /* time-out */
  EXPECT_EQ(0, mbuf_wait_read(m, 0));                   /* a release happened */
  mbuf_reset(m);
  EXPECT_NE(nullptr, mbuf_get_write_block(m)); /* a new pass */
  mbuf_exit(m);
  mbuf_exit(nullptr);
}

TEST(mbuf, a_pass_holds_its_block_count)
{
  mbuf *m = mbuf_init(48, 16);
  for (int i = 0; i < 3; i++)
    EXPECT_EQ(0, mbuf_write(m, "0123456789abcdef", 16)) << i;
  EXPECT_EQ(-1, mbuf_write(m, "0123456789abcdef", 16));
  char out[16];
  EXPECT_EQ(16, mbuf_read_wait(m, out, sizeof out, 0));
  EXPECT_EQ(-1, mbuf_write(m, "0123456789abcdef", 16)); /* blocks are not reused within a pass */
  mbuf_exit(m);
}

TEST(mbuf, producer_and_consumer_threads)
{
  constexpr uint32_t bs = 64, blocks = 200;
  mbuf *m = mbuf_init(bs * blocks, bs);
  std::thread p([m] {
    char blk[bs];
    for (uint32_t i = 0; i < blocks - 1; i++) {
      memset(blk, static_cast<int>(i & 0xff), bs);
      ASSERT_EQ(0, mbuf_write(m, blk, bs));
    }
    void *w = mbuf_get_write_block(m);
    ASSERT_NE(nullptr, w);
    memset(w, 0x7e, 10);
    ASSERT_EQ(0, mbuf_alloc_unref(m, 10));
  });
  char out[bs];
  for (uint32_t i = 0; i < blocks; i++) {
    uint32_t len = 0;
    const void *blk = mbuf_get_read_block(m, &len, 5000);
    ASSERT_NE(nullptr, blk) << i;
    ASSERT_EQ(i + 1 < blocks ? bs : 10u, len);
    memcpy(out, blk, len);
    ASSERT_EQ(static_cast<char>(i + 1 < blocks ? (i & 0xff) : 0x7e), out[len - 1]);
    mbuf_release(m);
  }
  p.join();
  EXPECT_TRUE(mbuf_drained(m));
  mbuf_exit(m);
}

TEST(mbuf2, blocks_in_order_until_reset)
{
  EXPECT_EQ(nullptr, mbuf2_init(2, 1));
  EXPECT_EQ(nullptr, mbuf2_init(100, 0));
  mbuf2 *m = mbuf2_init(100, 32); /* rounded up to 4 blocks */
  ASSERT_NE(nullptr, m);
  EXPECT_EQ(4u, mbuf2_block_count(m));
  mbuf2_block *first = nullptr;
  for (uint32_t i = 0; i < 4; i++) {
    mbuf2_block *b = mbuf2_get_block(m);
    ASSERT_NE(nullptr, b);
    EXPECT_EQ(i, b->idx);
    EXPECT_EQ(m, b->owner);
    memset(b->data, 1, 32); /* every block is a whole block */
    if (!first)
      first = b;
  }
  EXPECT_EQ(nullptr, mbuf2_get_block(m));
  mbuf2_reset(m);
  EXPECT_EQ(first, mbuf2_get_block(m));
  mbuf2_exit(m);
  mbuf2_exit(nullptr);
}

TEST(mem, page_size)
{
  size_t ps = mem_init();
  EXPECT_GE(ps, 4096u);
  EXPECT_EQ(0u, ps & (ps - 1)); /* a power of two */
  EXPECT_EQ(ps, mem_pagesize());
}
