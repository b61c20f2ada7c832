#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "liblog/log2.h"
#include "libpal/os/os_thread.h"
#include "libpal/os/os_time.h"
#include "libpal/tframe/pl_thread_pool.h"

namespace {

struct where_log {
  std::mutex lock;
  std::vector<std::string> names; /* the worker each task ran on, in push order */
};

struct where_task {
  where_log *log;
  size_t slot;
};

void note_worker(void *arg)
{
  auto *t = static_cast<where_task *>(arg);
  std::lock_guard<std::mutex> g(t->log->lock);
  t->log->names[t->slot] = log2_thread_name();
}

std::vector<std::string> deal(int workers, size_t tasks)
{
  thread_pool_param prm{};
  prm.count = workers;
  prm.name = "deal";
  thread_pool *p = thread_pool_init(&prm);
  EXPECT_NE(nullptr, p);
  if (!p)
    return {};
  where_log log;
  log.names.resize(tasks);
  std::vector<where_task> ts(tasks);
  for (size_t i = 0; i < tasks; i++) {
    ts[i] = {&log, i};
    EXPECT_EQ(0, thread_pool_push(p, note_worker, &ts[i]));
  }
  EXPECT_EQ(0, thread_pool_wait_idle(p, 10000));
  thread_pool_exit(p);
  return log.names;
}

void sleep_ms_task(void *arg)
{
  os_msleep(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(arg)));
}

} // namespace

TEST(thread_pool, deals_round_robin_starting_at_worker_one)
{
  EXPECT_EQ((std::vector<std::string>{"deal_1", "deal_2", "deal_0", "deal_1"}), deal(3, 4));
  EXPECT_EQ((std::vector<std::string>{"deal_1", "deal_0", "deal_1"}), deal(2, 3));
  EXPECT_EQ((std::vector<std::string>{"deal_0", "deal_0"}), deal(1, 2));
}

TEST(thread_pool, count_zero_means_one_worker_per_processor)
{
  thread_pool_param prm{};
  thread_pool *p = thread_pool_init(&prm);
  ASSERT_NE(nullptr, p);
  EXPECT_EQ(os_cpu_count(), thread_pool_count(p));
  thread_pool_exit(p);
  thread_pool_exit(nullptr);
}

TEST(thread_pool, wait_idle)
{
  thread_pool_param prm{};
  prm.count = 2;
  prm.name = "idle";
  thread_pool *p = thread_pool_init(&prm);
  EXPECT_EQ(0, thread_pool_wait_idle(p, 1000)); /* idle from the start */
  std::atomic<int> gate{0};
  EXPECT_EQ(0, thread_pool_push(
                   p,
                   [](void *a) {
                     while (!static_cast<std::atomic<int> *>(a)->load())
                       os_msleep(1);
                   },
                   &gate));
  EXPECT_EQ(1u, thread_pool_pending(p));
  uint64_t t0 = os_time_ms();
  EXPECT_EQ(-2, thread_pool_wait_idle(p, 30)); /* the task outlasts the time-out */
  EXPECT_GE(os_time_ms() - t0, 30u);
  gate.store(1);
  EXPECT_EQ(0, thread_pool_wait_idle(p, -1));
  EXPECT_EQ(0u, thread_pool_pending(p));
  thread_pool_exit(p);
}

TEST(thread_pool, runs_every_task_from_several_producers)
{
  thread_pool_param prm{};
  prm.count = 4;
  prm.name = "many";
  thread_pool *p = thread_pool_init(&prm);
  std::atomic<int> ran{0};
  std::vector<std::thread> ts;
  for (int t = 0; t < 3; t++)
    ts.emplace_back([&] {
      for (int i = 0; i < 5000; i++)
        ASSERT_EQ(0, thread_pool_push(p, [](void *a) { static_cast<std::atomic<int> *>(a)->fetch_add(1); }, &ran));
    });
  for (auto &t : ts)
    t.join();
  EXPECT_EQ(0, thread_pool_wait_idle(p, 30000));
  EXPECT_EQ(15000, ran.load());
  thread_pool_exit(p);
}

/* The tasks queued behind a running one are dropped without running, and the argument of each
 * reaches drop_proc exactly once: a task may own its argument. The first task waits far beyond the
 * exit's patience, so none behind it can start before the exit, whatever the timing. */
TEST(thread_pool, exit_drops_unstarted_tasks_through_drop_proc)
{
  struct slot {
    std::atomic<int> ran{0}, dropped{0};
  } slots[10];
  thread_pool_param prm{};
  prm.count = 1;
  prm.name = "drop";
  prm.drop_proc = [](void *a) { static_cast<slot *>(a)->dropped++; };
  thread_pool *p = thread_pool_init(&prm);
  ASSERT_NE(nullptr, p);
  ASSERT_EQ(0, thread_pool_push(
                   p,
                   [](void *a) {
                     static_cast<slot *>(a)->ran++;
                     os_msleep(60000);
                   },
                   &slots[0]));
  while (slots[0].ran.load() == 0)
    os_msleep(1);
  for (int i = 1; i < 10; i++)
    ASSERT_EQ(0, thread_pool_push(p, [](void *a) { static_cast<slot *>(a)->ran++; }, &slots[i]));
  thread_pool_exit(p);
  EXPECT_EQ(0, slots[0].dropped.load()) << "a started task is not dropped";
  for (int i = 1; i < 10; i++) {
    EXPECT_EQ(0, slots[i].ran.load()) << "task " << i;
    EXPECT_EQ(1, slots[i].dropped.load()) << "task " << i;
  }
}

/* A task that would outlast the exit's patience by far is cancelled; the process goes on. */
TEST(thread_pool, exit_cancels_a_stuck_worker)
{
  thread_pool_param prm{};
  prm.count = 2;
  prm.name = "stuck";
  thread_pool *p = thread_pool_init(&prm);
  ASSERT_EQ(0, thread_pool_push(p, sleep_ms_task, reinterpret_cast<void *>(60000)));
  ASSERT_EQ(0, thread_pool_push(p, sleep_ms_task, reinterpret_cast<void *>(1)));
  os_msleep(20);
  uint64_t t0 = os_time_ms();
  thread_pool_exit(p);
  EXPECT_LT(os_time_ms() - t0, 10000u);
}

TEST(thread_pool, null_procedure_is_skipped)
{
  thread_pool_param prm{};
  prm.count = 1;
  thread_pool *p = thread_pool_init(&prm);
  EXPECT_EQ(0, thread_pool_push(p, nullptr, nullptr));
  EXPECT_EQ(0, thread_pool_wait_idle(p, 10000));
  thread_pool_exit(p);
  EXPECT_EQ(-1, thread_pool_push(nullptr, sleep_ms_task, nullptr));
}
