#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

#include "liblog/log2.h"
#include "libpal/basic/pl_pcond.h"
#include "libpal/os/os_thread.h"
#include "libpal/os/os_time.h"

namespace {

struct seen {
  char kernel_name[32];
  std::string log_name;
  size_t stack = 0;
};

int look_around(void *arg)
{
  auto *s = static_cast<seen *>(arg);
  pthread_getname_np(pthread_self(), s->kernel_name, sizeof s->kernel_name);
  s->log_name = log2_thread_name();
  pthread_attr_t a;
  pthread_getattr_np(pthread_self(), &a);
  pthread_attr_getstacksize(&a, &s->stack);
  pthread_attr_destroy(&a);
  return 7;
}

int wait_forever(void *arg)
{
  pcond_wait(static_cast<pcond *>(arg), -1);
  return 0;
}

int sleep_long(void *)
{
  os_msleep(60000);
  return 0;
}

int spin_until(void *arg)
{
  auto *go = static_cast<std::atomic<int> *>(arg);
  while (!go->load())
    ; /* no cancellation point here */
  go->store(2);
  return 0;
}

} // namespace

TEST(os_thread, names_result_and_stack)
{
  seen s{};
  const char *name = "a_rather_long_thread_name_of_30";
  os_thread *t = os_thread_init2(name, look_around, &s, 0x80000, 0);
  ASSERT_NE(nullptr, t);
  EXPECT_STREQ(name, os_thread_name(t));
  int ret = -1;
  EXPECT_EQ(0, os_thread_wait(t, OS_THREAD_WAIT_FOREVER, &ret));
  EXPECT_EQ(7, ret);
  EXPECT_TRUE(os_thread_done(t));
  EXPECT_EQ(0, os_thread_wait(t, 0, &ret)); /* a second wait gives the same result */
  EXPECT_EQ(7, ret);
  EXPECT_STREQ("a_rather_long_t", s.kernel_name); /* the kernel keeps 15 characters */
  EXPECT_EQ(name, s.log_name);                    /* the log lines get the whole name */
  EXPECT_GE(s.stack, 0x80000u);
  EXPECT_EQ(0, os_thread_wait_kill_exit(t, 0, nullptr));
}

TEST(os_thread, default_stack_and_environment)
{
  unsetenv("QV_THREAD_STACK_SIZE");
  seen s{};
  os_thread *t = os_thread_init("stack_default", look_around, &s);
  EXPECT_EQ(OS_THREAD_STACK_DEFAULT, os_thread_stack_size(t));
  EXPECT_EQ(0, os_thread_wait_kill_exit(t, OS_THREAD_WAIT_FOREVER, nullptr));
  EXPECT_GE(s.stack, OS_THREAD_STACK_DEFAULT);

  setenv("QV_THREAD_STACK_SIZE", "1048576", 1);
  t = os_thread_init("stack_env", look_around, &s);
  EXPECT_EQ(1048576u, os_thread_stack_size(t));
  os_thread_wait_kill_exit(t, OS_THREAD_WAIT_FOREVER, nullptr);
  setenv("QV_THREAD_STACK_SIZE", "0", 1); /* 0 is as good as unset */
  t = os_thread_init("stack_env0", look_around, &s);
  EXPECT_EQ(OS_THREAD_STACK_DEFAULT, os_thread_stack_size(t));
  os_thread_wait_kill_exit(t, OS_THREAD_WAIT_FOREVER, nullptr);
  unsetenv("QV_THREAD_STACK_SIZE");

  t = os_thread_init2("stack_tiny", look_around, &s, 1, 0); /* raised to the system minimum */
  EXPECT_GT(os_thread_stack_size(t), 1u);
  EXPECT_EQ(0, os_thread_wait_kill_exit(t, OS_THREAD_WAIT_FOREVER, nullptr));
}

TEST(os_thread, wait_times_out_then_succeeds)
{
  pcond *c = pcond_init();
  os_thread *t = os_thread_init("waiter", wait_forever, c);
  ASSERT_NE(nullptr, t);
  EXPECT_EQ(-2, os_thread_wait(t, 20, nullptr));
  EXPECT_FALSE(os_thread_done(t));
  pcond_signal(c);
  EXPECT_EQ(0, os_thread_wait(t, 10000, nullptr));
  os_thread_free(t);
  pcond_exit(c);
}

/* A thread blocked in a condition wait is cancelled; the event it waited on stays usable, which it
 * would not be if the cancel had left its mutex locked. */
TEST(os_thread, cancel_of_a_condition_wait_leaves_the_event_usable)
{
  pcond *c = pcond_init();
  os_thread *t = os_thread_init("stuck_in_wait", wait_forever, c);
  int ret = 0;
  uint64_t t0 = os_time_ms();
  EXPECT_EQ(-2, os_thread_wait_kill_exit(t, 50, &ret));
  EXPECT_EQ(OS_THREAD_CANCELLED, ret);
  EXPECT_LT(os_time_ms() - t0, 5000u);
  pcond_signal(c);
  EXPECT_EQ(0, pcond_wait(c, 1000));
  pcond_exit(c);
}

TEST(os_thread, cancel_of_a_sleep)
{
  os_thread *t = os_thread_init("stuck_in_sleep", sleep_long, nullptr);
  int ret = 0;
  EXPECT_EQ(-2, os_thread_wait_kill_exit(t, 20, &ret));
  EXPECT_EQ(OS_THREAD_CANCELLED, ret);
}

/* A thread that never reaches a wait survives the cancel: it is left running, detached, and frees
 * its own record when it ends. */
TEST(os_thread, a_thread_that_never_waits_is_left_running)
{
  std::atomic<int> go{0};
  os_thread *t = os_thread_init("spinner", spin_until, &go);
  EXPECT_EQ(OS_THREAD_RUNNING, os_thread_wait_kill_exit(t, 20, nullptr));
  go.store(1);
  for (int i = 0; i < 5000 && go.load() != 2; i++)
    os_msleep(1);
  EXPECT_EQ(2, go.load());
  os_msleep(20); /* let it finish its end of the record */
}

TEST(os_thread, null_handle)
{
  EXPECT_EQ(-1, os_thread_wait_kill_exit(nullptr, 0, nullptr));
  os_thread_free(nullptr);
  EXPECT_FALSE(os_thread_done(nullptr));
}

TEST(os_thread, null_name_or_proc_is_fatal)
{
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(os_thread_init(nullptr, look_around, nullptr), "name");
  EXPECT_DEATH(os_thread_init("x", nullptr, nullptr), "proc");
}

TEST(os_cpu_count, positive_and_stable)
{
  int n = os_cpu_count();
  EXPECT_GE(n, 1);
  EXPECT_EQ(n, os_cpu_count());
}

TEST(os_time, monotonic_and_sleeps)
{
  uint64_t a = os_time_ms(), ua = os_time_us();
  os_msleep(15);
  EXPECT_GE(os_time_ms() - a, 15u);
  EXPECT_GE(os_time_us() - ua, 15000u);
  uint64_t b = os_time_us();
  os_usleep(2000);
  EXPECT_GE(os_time_us() - b, 2000u);
  EXPECT_GT(os_realtime_ms(), 1600000000000ull); /* after 2020 */
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  struct timespec d = os_deadline_ms(1999); /* carries into the seconds */
  int64_t diff_ms = (d.tv_sec - now.tv_sec) * 1000 + (d.tv_nsec - now.tv_nsec) / 1000000;
  EXPECT_GE(diff_ms, 1999);
  EXPECT_LT(diff_ms, 2100);
  EXPECT_LT(d.tv_nsec, 1000000000L);
}
