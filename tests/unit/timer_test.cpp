#include "runtime/timer.h"

#include <gtest/gtest.h>

namespace {

using rt::TimerChange;

TEST(TimerPeriod, WritesFollowThePeriodRules) {
  struct Case {
    int stored, written;
    int expectedPeriod;
    TimerChange expectedChange;
  } cases[] = {
      {0, 3000, 3000, TimerChange::Start},     // stopped -> running
      {3000, 3000, 3000, TimerChange::None},   // same value keeps the phase
      {3000, 1500, 1500, TimerChange::Start},  // other value restarts
      {3000, 0, 0, TimerChange::Stop},
      {3000, -10, 0, TimerChange::Stop},  // negative is stored as 0
      {0, 0, 0, TimerChange::None},
      {0, -1, 0, TimerChange::None},
      {0, -2147483647 - 1, 0, TimerChange::None},
  };
  for (const Case& c : cases) {
    int period = c.stored;
    EXPECT_EQ(rt::WritePeriod(period, c.written), c.expectedChange) << c.stored << " <- " << c.written;
    EXPECT_EQ(period, c.expectedPeriod) << c.stored << " <- " << c.written;
  }
}

}  // namespace
