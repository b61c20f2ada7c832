#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "libpal/basic/pl_pcond.h"
#include "libpal/basic/pl_queue.h"
#include "libpal/os/os_time.h"

namespace {

void *item(uintptr_t v)
{
  return reinterpret_cast<void *>(v);
}

uintptr_t val(void *p)
{
  return reinterpret_cast<uintptr_t>(p);
}

struct freed_log {
  std::vector<uintptr_t> items;
};

void record_free(void *ctx, void *it)
{
  static_cast<freed_log *>(ctx)->items.push_back(val(it));
}

queue *open_queue(uint32_t capacity, freed_log *log = nullptr)
{
  queue_param p{};
  p.capacity = capacity;
  p.ctx = log;
  p.free_proc = log ? record_free : nullptr;
  return queue_open(&p);
}

} // namespace

TEST(pcond, signal_is_kept_for_one_wait)
{
  pcond *c = pcond_init();
  ASSERT_NE(nullptr, c);
  EXPECT_EQ(-2, pcond_wait(c, 0)); /* not signalled */
  pcond_signal(c);
  pcond_signal(c); /* two signals stay one */
  EXPECT_EQ(0, pcond_wait(c, 0));
  EXPECT_EQ(-2, pcond_wait(c, 10)); /* auto-reset */
  pcond_signal(c);
  pcond_reset(c);
  EXPECT_EQ(-2, pcond_wait(c, 0));
  pcond_exit(c);
  pcond_exit(nullptr);
}

TEST(pcond, wakes_a_waiter_on_another_thread)
{
  pcond *c = pcond_init();
  std::thread t([c] {
    os_msleep(20);
    pcond_signal(c);
  });
  uint64_t t0 = os_time_ms();
  EXPECT_EQ(0, pcond_wait(c, -1));
  EXPECT_LT(os_time_ms() - t0, 5000u);
  t.join();
  pcond_exit(c);
}

TEST(pcond, timed_wait_lasts_about_its_timeout)
{
  pcond *c = pcond_init();
  uint64_t t0 = os_time_ms();
  EXPECT_EQ(-2, pcond_wait(c, 30));
  uint64_t took = os_time_ms() - t0;
  EXPECT_GE(took, 29u);
  EXPECT_LT(took, 5000u);
  pcond_exit(c);
}

TEST(queue, fifo_and_counts)
{
  queue *q = open_queue(0);
  ASSERT_NE(nullptr, q);
  EXPECT_TRUE(queue_empty(q));
  EXPECT_FALSE(queue_isfull(q)); /* unbounded is never full */
  EXPECT_EQ(nullptr, queue_pop(q));
  for (uintptr_t i = 1; i <= 5; i++)
    EXPECT_EQ(0, queue_push(q, item(i)));
  EXPECT_EQ(5u, queue_size(q));
  EXPECT_EQ(1u, val(queue_pop(q)));
  /* items pushed after the consumer took over the first batch come after it */
  EXPECT_EQ(0, queue_push(q, item(6)));
  for (uintptr_t i = 2; i <= 6; i++)
    EXPECT_EQ(i, val(queue_pop_wait(q, 0))) << i;
  EXPECT_TRUE(queue_empty(q));
  queue_close(q);
  queue_close(nullptr);
}

TEST(queue, pop_wait_times_out_and_wakes_on_push)
{
  queue *q = open_queue(0);
  uint64_t t0 = os_time_ms();
  EXPECT_EQ(nullptr, queue_pop_wait(q, 20));
  EXPECT_GE(os_time_ms() - t0, 19u);
  std::thread t([q] {
    os_msleep(20);
    queue_push(q, item(42));
  });
  EXPECT_EQ(42u, val(queue_pop_wait(q, -1)));
  t.join();
  queue_close(q);
}

TEST(queue, stale_signal_does_not_cut_a_wait_short)
{
  queue *q = open_queue(0);
  queue_push(q, item(1));
  queue_push(q, item(2)); /* the second signal is left over after both pops */
  EXPECT_EQ(1u, val(queue_pop(q)));
  EXPECT_EQ(2u, val(queue_pop(q)));
  uint64_t t0 = os_time_ms();
  EXPECT_EQ(nullptr, queue_pop_wait(q, 30));
  EXPECT_GE(os_time_ms() - t0, 29u);
  queue_close(q);
}

TEST(queue, bounded_push_waits_for_room)
{
  queue *q = open_queue(2);
  EXPECT_EQ(0, queue_push(q, item(1)));
  EXPECT_EQ(0, queue_push(q, item(2)));
  EXPECT_TRUE(queue_isfull(q));
  EXPECT_EQ(-2, queue_push(q, item(3)));     /* no wait */
  EXPECT_EQ(-2, queue_push_wait(q, item(3), 20));
  EXPECT_EQ(2u, queue_size(q));
  std::thread t([q] {
    os_msleep(20);
    queue_pop(q);
  });
  EXPECT_EQ(0, queue_push_wait(q, item(3), -1));
  t.join();
  EXPECT_EQ(2u, val(queue_pop(q)));
  EXPECT_EQ(3u, val(queue_pop(q)));
  queue_close(q);
}

TEST(queue, clear_wakes_every_waiting_producer)
{
  freed_log log;
  queue *q = open_queue(3, &log);
  for (uintptr_t i = 1; i <= 3; i++)
    queue_push(q, item(i));
  std::atomic<int> done{0};
  std::vector<std::thread> ts;
  for (uintptr_t i = 0; i < 3; i++)
    ts.emplace_back([&, i] {
      if (queue_push_wait(q, item(10 + i), 10000) == 0)
        done++;
    });
  os_msleep(30); /* let them block */
  queue_clear(q);
  for (auto &t : ts)
    t.join();
  EXPECT_EQ(3, done.load());
  EXPECT_EQ(3u, queue_size(q));
  EXPECT_EQ(3u, log.items.size());
  queue_close(q);
}

TEST(queue, wakeup_marker_is_popped_and_never_freed)
{
  freed_log log;
  queue *q = open_queue(0, &log);
  EXPECT_EQ(0, queue_push(q, QUEUE_WAKEUP));
  EXPECT_EQ(QUEUE_WAKEUP, queue_pop(q));
  queue_push(q, QUEUE_WAKEUP);
  queue_push(q, item(7));
  queue_clear(q);
  ASSERT_EQ(1u, log.items.size());
  EXPECT_EQ(7u, log.items[0]);
  EXPECT_TRUE(queue_empty(q));
  queue_close(q);
}

TEST(queue, del_finds_items_in_both_lists)
{
  freed_log log;
  queue *q = open_queue(0, &log);
  for (uintptr_t i = 1; i <= 4; i++)
    queue_push(q, item(i));
  EXPECT_EQ(1u, val(queue_pop(q))); /* 2, 3, 4 now sit in the consumer list */
  queue_push(q, item(5));
  queue_push(q, item(6)); /* 5, 6 in the producer list */
  EXPECT_EQ(0, queue_del(q, item(3)));
  EXPECT_EQ(0, queue_del(q, item(6))); /* the producer list's tail */
  EXPECT_EQ(-1, queue_del(q, item(6)));
  EXPECT_EQ(-1, queue_del(q, item(99)));
  EXPECT_EQ(3u, queue_size(q));
  queue_push(q, item(7)); /* appends behind 5 although the old tail was removed */
  std::vector<uintptr_t> rest;
  while (void *p = queue_pop(q))
    rest.push_back(val(p));
  EXPECT_EQ((std::vector<uintptr_t>{2, 4, 5, 7}), rest);
  EXPECT_EQ((std::vector<uintptr_t>{3, 6}), log.items);
  queue_close(q);
}

TEST(queue, close_frees_every_item_once)
{
  freed_log log;
  queue *q = open_queue(0, &log);
  for (uintptr_t i = 1; i <= 3; i++)
    queue_push(q, item(i));
  queue_pop(q); /* popped items are the caller's */
  queue_close(q);
  EXPECT_EQ((std::vector<uintptr_t>{2, 3}), log.items);
}

TEST(queue, items_with_their_own_link)
{
  struct rec {
    queue_node link;
    int v;
  } a{{}, 1}, b{{}, 2};
  queue_param p{};
  p.not_alloc_node = true;
  queue *q = queue_open(&p);
  queue_push(q, &a);
  queue_push(q, &b);
  EXPECT_EQ(&a, queue_pop(q));
  EXPECT_EQ(&b, queue_pop(q));
  queue_push(q, &a);
  queue_clear(q); /* drops the links, the records are the owner's */
  EXPECT_TRUE(queue_empty(q));
  queue_close(q);
}

/* Several producers, one consumer: nothing lost, each producer's items in its own order. */
TEST(queue, stress_many_producers_keep_their_order)
{
  for (uint32_t capacity : {0u, 64u}) {
    queue *q = open_queue(capacity);
    constexpr int producers = 4;
    constexpr uintptr_t per = 50000;
    std::vector<std::thread> ts;
    for (int p = 0; p < producers; p++)
      ts.emplace_back([q, p] {
        for (uintptr_t i = 1; i <= per; i++)
          ASSERT_EQ(0, queue_push_wait(q, item((static_cast<uintptr_t>(p) << 32) | i), -1));
      });
    uintptr_t last[producers] = {};
    for (uintptr_t n = 0; n < producers * per; n++) {
      void *it = queue_pop_wait(q, 5000);
      ASSERT_NE(nullptr, it) << "capacity " << capacity << " after " << n;
      uintptr_t v = val(it);
      int p = static_cast<int>(v >> 32);
      ASSERT_EQ(last[p] + 1, v & 0xffffffffu) << "producer " << p;
      last[p] = v & 0xffffffffu;
    }
    for (auto &t : ts)
      t.join();
    EXPECT_TRUE(queue_empty(q));
    queue_close(q);
  }
}

TEST(queue, null_queue_or_item_is_fatal)
{
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  queue *q = open_queue(0);
  EXPECT_DEATH(queue_push(nullptr, item(1)), "q != NULL");
  EXPECT_DEATH(queue_push(q, nullptr), "item != NULL");
  EXPECT_DEATH(queue_del(nullptr, item(1)), "q != NULL");
  EXPECT_DEATH(pcond_wait(nullptr, 0), "c != NULL");
  queue_close(q);
}
