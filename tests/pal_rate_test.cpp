#include <gtest/gtest.h>

#include "libpal/tframe/pl_rate.h"

namespace {

constexpr uint64_t S = 1000000000ull; /* one second in ns */

TEST(pl_rate, waits_pay_for_exactly_what_went_over)
{
  pl_rate r;
  pl_rate_init(&r, 1000000, 100000, 0); /* 1 MB/s, a bucket of 100 kB */
  /* The full bucket lets 100 kB through at once; the next byte waits a microsecond. */
  EXPECT_EQ(pl_rate_take(&r, 100000, 0), 0u);
  EXPECT_EQ(pl_rate_take(&r, 1, 0), 1000u);
  /* A piece of 1 MB at once leaves a debt of 1 MB (+1 byte): about one second. */
  uint64_t w = pl_rate_take(&r, 1000000, 0);
  EXPECT_EQ(w, S + 1000);
  /* After waiting that long the bucket is back at 0: nothing more is owed, nothing is saved up. */
  EXPECT_EQ(pl_rate_take(&r, 0, w), 0u);
  EXPECT_EQ(pl_rate_take(&r, 1000, w), 1000000u);
}

TEST(pl_rate, a_long_idle_time_saves_only_one_bucket)
{
  pl_rate r;
  pl_rate_init(&r, 1000, 500, 0);
  EXPECT_EQ(pl_rate_take(&r, 500, 0), 0u);
  /* An hour idle fills the bucket to its 500 bytes, not to 3.6 MB. */
  EXPECT_EQ(pl_rate_take(&r, 500, 3600 * S), 0u);
  EXPECT_EQ(pl_rate_take(&r, 100, 3600 * S), S / 10);
}

TEST(pl_rate, the_average_over_many_pieces_is_the_rate)
{
  /* A mover that sleeps what it is told: 10 MB in pieces of 64 kB at 2 MB/s take 5 s, less the
   * bucket it started with. */
  pl_rate r;
  pl_rate_init(&r, 2000000, 0, 0);
  uint64_t now = 0, moved = 0;
  while (moved < 10000000) {
    now += pl_rate_take(&r, 65536, now);
    moved += 65536;
  }
  double expect_s = (double)(moved - r.burst) / 2e6;
  EXPECT_NEAR((double)now / S, expect_s, 0.001);
  EXPECT_EQ(r.burst, 200000u) << "a tenth of a second of the rate by default";
}

TEST(pl_rate, no_limit_and_a_clock_read_late_on_another_thread)
{
  pl_rate r;
  pl_rate_init(&r, 0, 0, 0);
  EXPECT_EQ(pl_rate_take(&r, 1ull << 40, 0), 0u);
  pl_rate_init(&r, 1000, 1000, 10 * S);
  EXPECT_EQ(pl_rate_take(&r, 1000, 10 * S), 0u);
  /* An older time than the last one adds nothing and takes nothing away. */
  EXPECT_EQ(pl_rate_take(&r, 1000, 9 * S), S);
}

} // namespace
