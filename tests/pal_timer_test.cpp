#include <gtest/gtest.h>

#include <atomic>
#include <cstdarg>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "liblog/log2.h"
#include "libpal/os/os_time.h"
#include "libpal/tframe/pl_timer.h"

namespace {

struct runs {
  std::mutex lock;
  std::vector<std::string> names;
  std::vector<uint32_t> killed;
  std::atomic<int> count{0};
  int sleep_ms = 0;
};

void note_run(pl_timer_cb *cb)
{
  auto *r = static_cast<runs *>(cb->arg);
  if (r->sleep_ms)
    os_msleep(static_cast<uint32_t>(r->sleep_ms));
  {
    std::lock_guard<std::mutex> g(r->lock);
    r->names.push_back(cb->name);
    r->killed.push_back(cb->killed);
  }
  r->count++;
}

bool wait_for(const std::atomic<int> &n, int want, int ms = 5000)
{
  for (int i = 0; i < ms && n.load() < want; i++)
    os_msleep(1);
  return n.load() >= want;
}

pl_timer *open_timer(int warn_ms = 0)
{
  pl_timer_param prm{};
  prm.name = "test_timer";
  prm.warn_ms = warn_ms;
  return pl_timer_init(&prm);
}

} // namespace

TEST(pl_timer, runs_tasks_in_due_order)
{
  pl_timer *tm = open_timer();
  ASSERT_NE(nullptr, tm);
  runs r;
  uint64_t now = os_time_ms();
  /* added out of order; ties in due time run in any order, so none are tied here */
  EXPECT_NE(nullptr, pl_timer_task_init_at(tm, "c", now + 60, 0, false, true, note_run, &r));
  EXPECT_NE(nullptr, pl_timer_task_init_at(tm, "a", now + 20, 0, false, true, note_run, &r));
  EXPECT_NE(nullptr, pl_timer_task_init_at(tm, "d", now + 80, 0, false, true, note_run, &r));
  EXPECT_NE(nullptr, pl_timer_task_init_at(tm, "b", now + 40, 0, false, true, note_run, &r));
  EXPECT_NE(nullptr, pl_timer_task_post(tm, "now", 0, false, note_run, &r));
  ASSERT_TRUE(wait_for(r.count, 5));
  {
    std::lock_guard<std::mutex> g(r.lock);
    EXPECT_EQ((std::vector<std::string>{"now", "a", "b", "c", "d"}), r.names);
  }
  EXPECT_EQ(0u, pl_timer_size(tm)); /* timer-owned tasks are gone after their run */
  EXPECT_EQ(0, pl_timer_exit(tm));
  EXPECT_EQ(-1, pl_timer_exit(nullptr));
}

TEST(pl_timer, repeating_task_until_exit)
{
  pl_timer *tm = open_timer();
  runs r;
  pl_timer_task *t = pl_timer_task_init(tm, "tick", 5, true, note_run, &r);
  ASSERT_NE(nullptr, t);
  ASSERT_TRUE(wait_for(r.count, 3));
  EXPECT_EQ(0, pl_timer_task_exit(tm, t));
  int after = r.count.load();
  os_msleep(40);
  EXPECT_EQ(after, r.count.load()); /* never again */
  EXPECT_EQ(0u, pl_timer_size(tm));
  EXPECT_EQ(-1, pl_timer_task_exit(tm, t)); /* no longer a task of the timer */
  pl_timer_exit(tm);
}

/* A killed repeating task runs exactly once more, with killed set, and is not put back. */
TEST(pl_timer, killed_repeating_task_runs_once_more)
{
  pl_timer *tm = open_timer();
  runs r;
  pl_timer_task *t = pl_timer_task_init_after(tm, "rep", 10000, 10000, true, note_run, &r);
  ASSERT_NE(nullptr, t);
  EXPECT_EQ(0, pl_timer_task_kill(tm, t));
  ASSERT_TRUE(wait_for(r.count, 1));
  os_msleep(30);
  EXPECT_EQ(1, r.count.load());
  {
    std::lock_guard<std::mutex> g(r.lock);
    EXPECT_EQ((std::vector<uint32_t>{1}), r.killed);
  }
  EXPECT_EQ(0u, pl_timer_size(tm));
  EXPECT_EQ(-1, pl_timer_task_kill(tm, t)); /* not in the heap any more */
  EXPECT_EQ(0, pl_timer_task_exit(tm, t));  /* the handle stayed valid until now */
  pl_timer_exit(tm);
}

TEST(pl_timer, kill_is_only_for_caller_owned_tasks)
{
  pl_timer *tm = open_timer();
  runs r;
  pl_timer_task *posted = pl_timer_task_post(tm, "posted", 10000, false, note_run, &r);
  EXPECT_EQ(-1, pl_timer_task_kill(tm, posted));
  EXPECT_EQ(0, pl_timer_task_exit(tm, posted)); /* a timer-owned task in the heap is freed at once */
  EXPECT_EQ(0u, pl_timer_size(tm));
  pl_timer_exit(tm);
  EXPECT_EQ(0, r.count.load());
}

TEST(pl_timer, caller_owned_single_run_stays_until_exit)
{
  pl_timer *tm = open_timer();
  runs r;
  pl_timer_task *t = pl_timer_task_init(tm, "once", 1, false, note_run, &r);
  ASSERT_TRUE(wait_for(r.count, 1));
  os_msleep(5);
  EXPECT_EQ(0u, pl_timer_size(tm));
  EXPECT_EQ(0, pl_timer_task_exit(tm, t));
  pl_timer_exit(tm);
}

/* Only a task due before the current head wakes the loop. */
TEST(pl_timer, wakes_only_for_a_new_head)
{
  pl_timer *tm = open_timer();
  runs r;
  EXPECT_NE(nullptr, pl_timer_task_post(tm, "far", 100000, false, note_run, &r));
  uint32_t w = pl_timer_wakeups(tm);
  EXPECT_EQ(1u, w); /* the first task of an empty heap */
  EXPECT_NE(nullptr, pl_timer_task_post(tm, "farther", 200000, false, note_run, &r));
  EXPECT_EQ(w, pl_timer_wakeups(tm));
  uint64_t t0 = os_time_ms();
  EXPECT_NE(nullptr, pl_timer_task_post(tm, "soon", 10, false, note_run, &r));
  EXPECT_EQ(w + 1, pl_timer_wakeups(tm));
  ASSERT_TRUE(wait_for(r.count, 1));
  EXPECT_LT(os_time_ms() - t0, 5000u); /* it did not wait for "far" */
  EXPECT_EQ(2u, pl_timer_size(tm));
  pl_timer_clear(tm);
  EXPECT_EQ(0u, pl_timer_size(tm));
  pl_timer_exit(tm); /* frees the tasks never run */
}

TEST(pl_timer, task_exit_waits_for_a_running_call)
{
  pl_timer *tm = open_timer();
  struct slow {
    std::atomic<int> in{0}, out{0};
  } s;
  pl_timer_task *t = pl_timer_task_init(
      tm, "slow", 1, true,
      [](pl_timer_cb *cb) {
        auto *s = static_cast<slow *>(cb->arg);
        s->in++;
        os_msleep(80);
        s->out++;
      },
      &s);
  ASSERT_TRUE(wait_for(s.in, 1));
  EXPECT_EQ(0, pl_timer_task_exit(tm, t));
  EXPECT_EQ(s.in.load(), s.out.load()); /* the call in progress has returned */
  pl_timer_exit(tm);
}

TEST(pl_timer, a_task_may_end_itself)
{
  pl_timer *tm = open_timer();
  struct self {
    pl_timer *tm;
    pl_timer_task *t = nullptr;
    std::atomic<int> ready{0}, runs{0};
    int rc = 1;
  } s{tm};
  s.t = pl_timer_task_init(
      tm, "self", 1, true,
      [](pl_timer_cb *cb) {
        auto *s = static_cast<self *>(cb->arg);
        while (!s->ready.load())
          os_msleep(1);
        s->rc = pl_timer_task_exit(s->tm, s->t);
        s->runs++;
      },
      &s);
  s.ready.store(1);
  ASSERT_TRUE(wait_for(s.runs, 1));
  os_msleep(20);
  EXPECT_EQ(1, s.runs.load());
  EXPECT_EQ(0, s.rc);
  pl_timer_exit(tm);
}

namespace {
std::mutex g_warn_lock;
std::string g_warn_name;
int g_warns = 0;
void catch_warn(int level, const char *, const char *, int, const char *, const char *fmt, va_list ap)
{
  if ((level & 0xff) != LOG2_WARN || !strstr(fmt, "call func time"))
    return;
  char name[64];
  vsnprintf(name, sizeof name, "%s", ap); /* the first argument is the task's name */
  std::lock_guard<std::mutex> g(g_warn_lock);
  g_warn_name = name;
  g_warns++;
}
} // namespace

TEST(pl_timer, slow_call_is_reported)
{
  {
    std::lock_guard<std::mutex> g(g_warn_lock);
    g_warns = 0;
  }
  log2_set_forward(catch_warn);
  pl_timer *tm = open_timer(200);
  runs r;
  r.sleep_ms = 200;
  pl_timer_task_post(tm, "sluggish", 0, false, note_run, &r);
  ASSERT_TRUE(wait_for(r.count, 1));
  runs quick;
  pl_timer_task_post(tm, "quick", 0, false, note_run, &quick);
  ASSERT_TRUE(wait_for(quick.count, 1));
  pl_timer_exit(tm);
  log2_set_forward(nullptr);
  std::lock_guard<std::mutex> g(g_warn_lock);
  EXPECT_EQ(1, g_warns);
  EXPECT_EQ("sluggish", g_warn_name);
}

TEST(pl_timer, bad_arguments)
{
  pl_timer *tm = open_timer();
  EXPECT_EQ(nullptr, pl_timer_task_init(tm, "x", 1, false, nullptr, nullptr));
  EXPECT_EQ(nullptr, pl_timer_task_post(nullptr, "x", 1, false, note_run, nullptr));
  EXPECT_EQ(nullptr, pl_timer_task_init_at(nullptr, "x", 0, 0, false, false, note_run, nullptr));
  runs r;
  pl_timer_task *t = pl_timer_task_post(tm, nullptr, 0, false, note_run, &r); /* no name: "" */
  ASSERT_NE(nullptr, t);
  ASSERT_TRUE(wait_for(r.count, 1));
  {
    std::lock_guard<std::mutex> g(r.lock);
    EXPECT_EQ("", r.names[0]);
  }
  EXPECT_EQ(-1, pl_timer_task_exit(tm, nullptr));
  pl_timer_exit(tm);
}

/* A task far beyond the exit's patience is cancelled with the loop thread; the process goes on. */
TEST(pl_timer, exit_cancels_a_stuck_task)
{
  pl_timer *tm = open_timer(-1);
  runs r;
  r.sleep_ms = 60000;
  pl_timer_task_post(tm, "stuck", 0, false, note_run, &r);
  os_msleep(20);
  uint64_t t0 = os_time_ms();
  EXPECT_EQ(0, pl_timer_exit(tm));
  EXPECT_LT(os_time_ms() - t0, 10000u);
}
