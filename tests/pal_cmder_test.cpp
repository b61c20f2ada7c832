#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "libpal/os/os_time.h"
#include "libpal/tframe/pl_cmder.h"

namespace {

/* What the procedures saw; written by the service thread, read by the test after a wait or exit. */
struct probe {
  std::mutex lock;
  std::vector<uint32_t> ids;
  std::vector<std::string> texts;
  std::vector<bool> null_data;
  std::atomic<int> inits{0}, exits{0}, timers{0};
  std::atomic<int> freed[512] = {};
  std::atomic<int> freed_total{0};
  int msg_sleep_ms = 0;
  bool quit_in_init = false;
  uint32_t quit_on_id = 0xffffffff;
  uint32_t reinit_on_id = 0xffffffff;
  std::atomic<int> started{0};
  std::atomic<int> *init_gate = nullptr; /* when set, init_proc waits for it to open */
  std::atomic<int> *msg_gate = nullptr;  /* when set, msg_proc waits for it to open */
};

void wait_gate(std::atomic<int> *gate)
{
  if (gate)
    while (!gate->load())
      os_msleep(1);
}

void on_init(cmder_run *run)
{
  auto *p = static_cast<probe *>(run->ctx);
  p->inits++;
  wait_gate(p->init_gate);
  if (p->quit_in_init)
    run->quit = 1;
}

void on_exit(cmder_run *run)
{
  static_cast<probe *>(run->ctx)->exits++;
}

void on_timer(cmder_run *run)
{
  EXPECT_EQ(nullptr, run->arg);
  static_cast<probe *>(run->ctx)->timers++;
}

void on_msg(uint32_t id, void *data, cmder_run *run)
{
  auto *p = static_cast<probe *>(run->ctx);
  p->started++;
  wait_gate(p->msg_gate);
  if (p->msg_sleep_ms)
    os_msleep(static_cast<uint32_t>(p->msg_sleep_ms));
  {
    std::lock_guard<std::mutex> g(p->lock);
    p->ids.push_back(id);
    p->null_data.push_back(data == nullptr);
    p->texts.push_back(data ? static_cast<const char *>(data) : "");
  }
  if (id == p->quit_on_id)
    run->quit = 1;
  if (id == p->reinit_on_id)
    run->need_reinit = 1;
}

void on_free(void *ctx, void *arg)
{
  auto *p = static_cast<probe *>(ctx);
  p->freed[reinterpret_cast<uintptr_t>(arg) % 512]++;
  p->freed_total++;
}

cmder_param params(probe *p, const char *name = "test_cmder")
{
  cmder_param c{};
  c.ctx = p;
  c.name = name;
  c.init_proc = on_init;
  c.exit_proc = on_exit;
  c.msg_proc = on_msg;
  c.free_proc = on_free;
  return c;
}

void *arg_of(uintptr_t v)
{
  return reinterpret_cast<void *>(v);
}

} // namespace

TEST(cmder, messages_and_data_reach_the_procedure)
{
  probe p;
  cmder_param prm = params(&p);
  cmder *c = cmder_init(&prm);
  ASSERT_NE(nullptr, c);
  EXPECT_EQ(0, cmder_post_msg3(c, 5, "hello", arg_of(1), 0));
  EXPECT_EQ(0, cmder_post_msg3(c, 6, nullptr, arg_of(2), 0)); /* null data stays null */
  EXPECT_EQ(0, cmder_post_msg(c, "x"));
  EXPECT_EQ(0, cmder_post_msg2(c, "y", arg_of(3)));
  const char bin[3] = {'a', '\0', 'b'};
  EXPECT_EQ(0, cmder_post_msg_imp(c, 9, bin, sizeof bin, arg_of(4), 0));
  EXPECT_EQ(0, cmder_wait_idle(c, 10000));
  EXPECT_EQ(0u, cmder_pending(c));
  EXPECT_EQ(CMDER_READY_STATUS, cmder_status(c));
  {
    std::lock_guard<std::mutex> g(p.lock);
    EXPECT_EQ((std::vector<uint32_t>{5, 6, 0, 0, 9}), p.ids);
    EXPECT_EQ((std::vector<std::string>{"hello", "", "x", "y", "a"}), p.texts);
    EXPECT_EQ((std::vector<bool>{false, true, false, false, false}), p.null_data);
  }
  EXPECT_EQ(1, p.freed[1].load());
  EXPECT_EQ(1, p.freed[2].load());
  EXPECT_EQ(1, p.freed[3].load());
  EXPECT_EQ(1, p.freed[0].load()); /* a null argument goes to free_proc too */
  EXPECT_EQ(0, cmder_exit(c));
  EXPECT_EQ(1, p.inits.load());
  EXPECT_EQ(1, p.exits.load());
  EXPECT_EQ(5, p.freed_total.load()); /* nothing freed twice at exit */
  EXPECT_EQ(0, cmder_exit(nullptr));
}

/* Producers take a ticket and post under one lock, so the posting order is the ticket order; the
 * executor must handle them in exactly that order. */
TEST(cmder, handles_messages_in_posting_order_from_several_threads)
{
  probe p;
  cmder_param prm = params(&p);
  cmder *c = cmder_init(&prm);
  std::mutex post_lock;
  uint32_t ticket = 0;
  std::vector<std::thread> ts;
  for (int t = 0; t < 4; t++)
    ts.emplace_back([&] {
      for (int i = 0; i < 500; i++) {
        std::lock_guard<std::mutex> g(post_lock);
        ASSERT_EQ(0, cmder_post_msg3(c, ticket++, nullptr, nullptr, -1));
      }
    });
  for (auto &t : ts)
    t.join();
  ASSERT_EQ(0, cmder_wait_idle(c, 20000));
  std::lock_guard<std::mutex> g(p.lock);
  ASSERT_EQ(2000u, p.ids.size());
  for (uint32_t i = 0; i < 2000; i++)
    ASSERT_EQ(i, p.ids[i]);
  cmder_exit(c);
}

TEST(cmder, wait_idle_counts_its_polls)
{
  probe p;
  std::atomic<int> gate{0};
  p.msg_gate = &gate;
  cmder_param prm = params(&p);
  cmder *c = cmder_init(&prm);
  EXPECT_EQ(-1, cmder_wait_idle(c, 0)); /* no poll is made, even when idle */
  EXPECT_EQ(0, cmder_post_msg(c, "blocked"));
  EXPECT_EQ(-1, cmder_wait_idle(c, 5)); /* the message is still running */
  gate.store(1);
  EXPECT_EQ(0, cmder_wait_idle(c, 10000));
  EXPECT_EQ(0, cmder_wait_idle(c, 1));
  cmder_exit(c);
}

/* The message running at exit finishes; the rest are never handled, and every argument, handled
 * or not, reaches free_proc exactly once. */
TEST(cmder, exit_discards_pending_messages_through_free_proc)
{
  probe p;
  p.msg_sleep_ms = 30;
  cmder_param prm = params(&p);
  cmder *c = cmder_init(&prm);
  for (uintptr_t i = 1; i <= 100; i++)
    ASSERT_EQ(0, cmder_post_msg3(c, static_cast<uint32_t>(i), "m", arg_of(i), 0));
  while (p.started.load() == 0)
    os_msleep(1);
  EXPECT_EQ(0, cmder_exit(c));
  size_t handled;
  {
    std::lock_guard<std::mutex> g(p.lock);
    handled = p.ids.size();
  }
  EXPECT_GE(handled, 1u);
  EXPECT_LT(handled, 100u);
  for (uintptr_t i = 1; i <= 100; i++)
    EXPECT_EQ(1, p.freed[i].load()) << "argument " << i;
  EXPECT_EQ(1, p.exits.load());
}

/* A message procedure stuck far beyond the exit's patience is cancelled; the process goes on and
 * the stuck message's argument is still released once. */
TEST(cmder, exit_cancels_a_stuck_procedure)
{
  probe p;
  p.msg_sleep_ms = 60000;
  cmder_param prm = params(&p);
  cmder *c = cmder_init(&prm);
  for (uintptr_t i = 1; i <= 3; i++)
    ASSERT_EQ(0, cmder_post_msg3(c, 1, nullptr, arg_of(i), 0));
  while (p.started.load() == 0)
    os_msleep(1);
  uint64_t t0 = os_time_ms();
  EXPECT_EQ(0, cmder_exit(c));
  EXPECT_LT(os_time_ms() - t0, 10000u);
  for (uintptr_t i = 1; i <= 3; i++)
    EXPECT_EQ(1, p.freed[i].load()) << "argument " << i;
  EXPECT_EQ(0, p.exits.load()); /* the loop never ended by itself */
}

TEST(cmder, timer_proc_runs_periodically)
{
  probe p;
  cmder_param prm = params(&p);
  prm.timer_proc = on_timer;
  prm.timer_interval_ms = 10;
  cmder *c = cmder_init(&prm);
  for (int i = 0; i < 5000 && p.timers.load() < 3; i++)
    os_msleep(1);
  EXPECT_GE(p.timers.load(), 3);
  cmder_exit(c);
}

TEST(cmder, without_timer_proc_the_idle_loop_only_waits)
{
  probe p;
  cmder_param prm = params(&p);
  prm.timer_interval_ms = 5;
  cmder *c = cmder_init(&prm);
  os_msleep(30); /* several idle wake-ups */
  EXPECT_EQ(0, cmder_post_msg(c, "after idle"));
  EXPECT_EQ(0, cmder_wait_idle(c, 10000));
  cmder_exit(c);
}

TEST(cmder, init_proc_that_quits_ends_the_executor)
{
  probe p;
  p.quit_in_init = true;
  cmder_param prm = params(&p);
  cmder *c = cmder_init(&prm);
  ASSERT_NE(nullptr, c);
  for (int i = 0; i < 5000 && cmder_status(c) != CMDER_EXIT_STATUS; i++)
    os_msleep(1);
  EXPECT_EQ(CMDER_EXIT_STATUS, cmder_status(c));
  EXPECT_EQ(-3, cmder_post_msg2(c, "late", arg_of(7))); /* after the readiness poll */
  EXPECT_EQ(0, p.freed[7].load());                    /* a refused post keeps its argument */
  EXPECT_EQ(0, cmder_exit(c));
  EXPECT_EQ(0, p.exits.load());
}

TEST(cmder, post_to_an_executor_that_is_not_ready_yet_fails_after_its_poll)
{
  probe p;
  std::atomic<int> gate{0};
  p.init_gate = &gate; /* init_proc runs until the gate opens */
  cmder_param prm = params(&p);
  cmder *c = cmder_init(&prm);
  uint64_t t0 = os_time_ms();
  EXPECT_EQ(-3, cmder_post_msg(c, "too early"));
  EXPECT_GE(os_time_ms() - t0, 900u); /* about 100 polls of 10 ms */
  EXPECT_EQ(CMDER_INIT_STATUS, cmder_status(c));
  gate.store(1);
  EXPECT_EQ(0, cmder_post_msg3(c, 1, "in time", nullptr, 0)); /* ready within the poll */
  EXPECT_EQ(0, cmder_wait_idle(c, 10000));
  cmder_exit(c);
}

TEST(cmder, a_procedure_can_quit_the_loop)
{
  probe p;
  p.quit_on_id = 2;
  p.msg_sleep_ms = 50; /* all four are queued before the loop ends */
  cmder_param prm = params(&p);
  cmder *c = cmder_init(&prm);
  for (uint32_t id = 1; id <= 4; id++)
    ASSERT_EQ(0, cmder_post_msg3(c, id, nullptr, arg_of(id), 0));
  for (int i = 0; i < 5000 && cmder_status(c) != CMDER_EXIT_STATUS; i++)
    os_msleep(1);
  EXPECT_EQ(CMDER_EXIT_STATUS, cmder_status(c));
  EXPECT_EQ(1, p.exits.load());
  cmder_exit(c);
  {
    std::lock_guard<std::mutex> g(p.lock);
    EXPECT_EQ((std::vector<uint32_t>{1, 2}), p.ids);
  }
  for (uintptr_t i = 1; i <= 4; i++)
    EXPECT_EQ(1, p.freed[i].load()) << i;
}

TEST(cmder, reinit_runs_init_proc_again_on_the_same_thread)
{
  probe p;
  p.reinit_on_id = 1;
  cmder_param prm = params(&p);
  cmder *c = cmder_init(&prm);
  EXPECT_EQ(0, cmder_post_msg3(c, 1, nullptr, nullptr, 0));
  EXPECT_EQ(0, cmder_wait_idle(c, 10000));
  for (int i = 0; i < 5000 && p.inits.load() < 2; i++)
    os_msleep(1);
  EXPECT_EQ(2, p.inits.load());
  EXPECT_EQ(0, cmder_post_msg3(c, 2, nullptr, nullptr, 0)); /* ready again */
  EXPECT_EQ(0, cmder_wait_idle(c, 10000));
  cmder_exit(c);
}

TEST(cmder, reinit_without_init_proc_ends_the_loop)
{
  probe p;
  p.reinit_on_id = 1;
  cmder_param prm = params(&p);
  prm.init_proc = nullptr;
  cmder *c = cmder_init(&prm);
  EXPECT_EQ(0, cmder_post_msg3(c, 1, nullptr, nullptr, 0));
  for (int i = 0; i < 5000 && cmder_status(c) != CMDER_EXIT_STATUS; i++)
    os_msleep(1);
  EXPECT_EQ(CMDER_EXIT_STATUS, cmder_status(c));
  EXPECT_EQ(1, p.exits.load());
  cmder_exit(c);
}

TEST(cmder, message_without_msg_proc_is_dropped_but_freed)
{
  probe p;
  cmder_param prm = params(&p);
  prm.msg_proc = nullptr;
  cmder *c = cmder_init(&prm);
  EXPECT_EQ(0, cmder_post_msg2(c, "nobody listens", arg_of(9)));
  EXPECT_EQ(0, cmder_wait_idle(c, 10000));
  EXPECT_EQ(1, p.freed[9].load());
  cmder_exit(c);
}

TEST(cmder, bounded_queue_refuses_when_full)
{
  probe p;
  std::atomic<int> gate{0};
  p.msg_gate = &gate;
  cmder_param prm = params(&p);
  prm.queue_size = 2;
  cmder *c = cmder_init(&prm);
  EXPECT_EQ(0, cmder_post_msg2(c, "running", arg_of(1)));
  while (p.started.load() == 0)
    os_msleep(1);
  EXPECT_EQ(0, cmder_post_msg2(c, "queued", arg_of(2)));
  EXPECT_EQ(0, cmder_post_msg2(c, "queued", arg_of(3)));
  EXPECT_EQ(-2, cmder_post_msg2(c, "no room", arg_of(4)));
  EXPECT_EQ(3u, cmder_pending(c)); /* the refused one is not counted */
  std::thread opener([&gate] {
    os_msleep(20);
    gate.store(1);
  });
  EXPECT_EQ(0, cmder_post_msg3(c, 0, "waits for room", arg_of(5), 10000));
  opener.join();
  EXPECT_EQ(0, cmder_wait_idle(c, 10000));
  cmder_exit(c);
  EXPECT_EQ(0, p.freed[4].load());
  EXPECT_EQ(4, p.freed_total.load());
}

/* Several producers, 300000 messages: none lost, each producer's own order kept. */
TEST(cmder, stress_several_producers)
{
  struct counts {
    std::atomic<uint32_t> last[4] = {};
    std::atomic<uint32_t> seen{0};
    std::atomic<uint32_t> bad{0};
  } k;
  cmder_param prm{};
  prm.ctx = &k;
  prm.name = "stress_cmder";
  prm.msg_proc = [](uint32_t id, void *data, cmder_run *run) {
    auto *k = static_cast<counts *>(run->ctx);
    uint32_t producer = *static_cast<uint32_t *>(data);
    if (k->last[producer].load(std::memory_order_relaxed) + 1 != id)
      k->bad++;
    k->last[producer].store(id, std::memory_order_relaxed);
    k->seen++;
  };
  cmder *c = cmder_init(&prm);
  constexpr uint32_t per = 75000;
  std::vector<std::thread> ts;
  for (uint32_t t = 0; t < 4; t++)
    ts.emplace_back([c, t] {
      for (uint32_t i = 1; i <= per; i++)
        ASSERT_EQ(0, cmder_post_msg_imp(c, i, &t, sizeof t, nullptr, 0));
    });
  for (auto &t : ts)
    t.join();
  ASSERT_EQ(0, cmder_wait_idle(c, 60000));
  EXPECT_EQ(4 * per, k.seen.load());
  EXPECT_EQ(0u, k.bad.load());
  cmder_exit(c);
}
