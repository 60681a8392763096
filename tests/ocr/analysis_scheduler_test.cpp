#include "ocr/analysis_scheduler.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/agent_roles.h"

namespace tessvark {
namespace {

struct FakeClock {
  double now = 0.0;
  MonotonicClock Function() {
    return [this] { return now; };
  }
};

TEST(LaneForRoleTest, MapsClockAndCanonicalRolesAndRejectsEverythingElse) {
  EXPECT_EQ(LaneForRole("clock"), AnalysisLane::kClock);
  for (const std::string& role : CanonicalOcrRoles()) {
    EXPECT_EQ(LaneForRole(role), AnalysisLane::kValues) << role;
  }
  for (const std::string role : {"Clock", "", "home_score ", "score", "clock\n"}) {
    try {
      LaneForRole(role);
      ADD_FAILURE() << "no exception for '" << role << "'";
    } catch (const std::invalid_argument& error) {
      EXPECT_EQ(std::string(error.what()), "Unknown canonical OCR role: " + role);
    }
    EXPECT_FALSE(FindLaneForRole(role).has_value());
  }
}

TEST(LaneForRoleTest, CanonicalRolesAreTheValuesLaneRowsOfTheRoleTableInOrder) {
  const auto& roles = CanonicalOcrRoles();
  std::vector<std::string> table;
  for (const AgentRole& row : AgentRoleTable()) {
    if (row.role != "clock") table.emplace_back(row.role);
  }
  EXPECT_EQ(roles, table);
  EXPECT_EQ(roles.front(), "home_score");
  EXPECT_EQ(roles.back(), "guest_possession");
  EXPECT_EQ(std::count(roles.begin(), roles.end(), "clock"), 0);
}

TEST(AnalysisSchedulerTest, IntervalsBelowZeroOrNotANumberBecomeZero) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    double clock_interval;
    double values_interval;
    double expected_clock;
    double expected_values;
  } cases[] = {
      {-1.0, 0.25, 0.0, 0.25},
      {nan, 0.5, 0.0, 0.5},
      {0.5, nan, 0.5, 0.0},
      {-0.0, 2.0, 0.0, 2.0},
  };
  FakeClock clock;
  for (const Case& c : cases) {
    AnalysisScheduler scheduler(c.clock_interval, c.values_interval, clock.Function());
    EXPECT_EQ(scheduler.Interval(AnalysisLane::kClock), c.expected_clock);
    EXPECT_EQ(scheduler.Interval(AnalysisLane::kValues), c.expected_values);
    EXPECT_EQ(scheduler.NextDue(AnalysisLane::kClock), 0.0);
  }
}

TEST(AnalysisSchedulerTest, RefusesAnEmptyClock) {
  try {
    AnalysisScheduler scheduler(0.0, 0.0, MonotonicClock());
    ADD_FAILURE() << "no exception";
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(), "Analysis scheduler requires a monotonic clock");
  }
}

TEST(AnalysisSchedulerTest, ZeroIntervalIsDueAtEveryStepAndCompletesAtNow) {
  FakeClock clock{7.0};
  AnalysisScheduler scheduler(0.0, 0.0, clock.Function());
  for (int step = 0; step < 3; ++step) {
    EXPECT_EQ(scheduler.DueLanes(), (std::vector<AnalysisLane>{AnalysisLane::kClock, AnalysisLane::kValues}));
    scheduler.CompleteLane(AnalysisLane::kClock);
    EXPECT_EQ(scheduler.NextDue(AnalysisLane::kClock), clock.now);
    EXPECT_EQ(scheduler.DueLanes(clock.now), (std::vector<AnalysisLane>{AnalysisLane::kClock, AnalysisLane::kValues}));
    clock.now += 0.1;
  }
}

TEST(AnalysisSchedulerTest, PositiveIntervalRunsOncePerIntervalAndKeepsItsPhase) {
  FakeClock clock{3.0};
  AnalysisScheduler scheduler(0.0, 0.5, clock.Function());
  EXPECT_EQ(scheduler.DueLanes(), (std::vector<AnalysisLane>{AnalysisLane::kClock, AnalysisLane::kValues}));
  scheduler.CompleteLane(AnalysisLane::kValues);
  EXPECT_DOUBLE_EQ(scheduler.NextDue(AnalysisLane::kValues), 3.5);
  EXPECT_EQ(scheduler.DueLanes(3.4), std::vector<AnalysisLane>{AnalysisLane::kClock});
  EXPECT_EQ(scheduler.DueLanes(3.5), (std::vector<AnalysisLane>{AnalysisLane::kClock, AnalysisLane::kValues}));

  // Missed periods are skipped in whole intervals counted from the previous due time.
  AnalysisScheduler phased(0.5, 0.0, clock.Function());
  clock.now = 10.2;
  phased.CompleteLane(AnalysisLane::kClock);
  EXPECT_DOUBLE_EQ(phased.NextDue(AnalysisLane::kClock), 10.7);
  clock.now = 11.9;
  phased.CompleteLane(AnalysisLane::kClock);
  EXPECT_DOUBLE_EQ(phased.NextDue(AnalysisLane::kClock), 12.2);
  // Completing exactly on a due time moves on by one whole interval.
  clock.now = 12.2;
  phased.CompleteLane(AnalysisLane::kClock);
  EXPECT_DOUBLE_EQ(phased.NextDue(AnalysisLane::kClock), 12.7);
}

TEST(AnalysisSchedulerTest, TinyIntervalsFinishAtOnceAndLandAfterNow) {
  // A loop adding the interval until it passes now would never end for these.
  struct Case {
    double interval;
    double first;
    double later;
  } cases[] = {
      {1e-300, 1e6, 2e6},
      {std::numeric_limits<double>::denorm_min(), 5.0, 5.5},
      {1e-9, 1.0, 1e9},
  };
  for (const Case& c : cases) {
    FakeClock clock{c.first};
    AnalysisScheduler scheduler(c.interval, 0.0, clock.Function());
    scheduler.CompleteLane(AnalysisLane::kClock);
    EXPECT_GT(scheduler.NextDue(AnalysisLane::kClock), c.first);
    clock.now = c.later;
    scheduler.CompleteLane(AnalysisLane::kClock);
    const double due = scheduler.NextDue(AnalysisLane::kClock);
    EXPECT_GT(due, c.later);
    EXPECT_LE(due, c.later + std::max(c.interval, c.later * 1e-12));
  }
}

TEST(NextDueAfterTest, MatchesTheWholeIntervalRule) {
  struct Case {
    double next_due, interval, now, expected;
  } cases[] = {
      {0.0, 0.5, 10.2, 10.7},   // never ran: counted from now
      {10.7, 0.5, 11.9, 12.2},  // three missed periods skipped
      {10.7, 0.5, 10.7, 11.2},  // exactly due
      {12.0, 0.5, 11.0, 12.0},  // not yet due: unchanged
      {-3.0, 1.0, 2.0, 3.0},    // a negative due time counts as never ran
  };
  for (const Case& c : cases) {
    EXPECT_DOUBLE_EQ(NextDueAfter(c.next_due, c.interval, c.now), c.expected)
        << c.next_due << " " << c.interval << " " << c.now;
  }
}

TEST(AnalysisSchedulerTest, KeepsOnlyTheNewestPendingFrame) {
  FakeClock clock;
  AnalysisScheduler scheduler(0.0, 0.0, clock.Function());
  EXPECT_FALSE(scheduler.HasPendingFrame());
  EXPECT_EQ(scheduler.TakePendingFrame(), nullptr);

  auto first = std::make_shared<WorkingFrame>();
  auto second = std::make_shared<WorkingFrame>();
  std::weak_ptr<WorkingFrame> first_alive = first;
  scheduler.OfferFrame(std::move(first));
  scheduler.OfferFrame(second);
  EXPECT_TRUE(first_alive.expired()) << "the replaced frame must be released";
  EXPECT_TRUE(scheduler.HasPendingFrame());
  EXPECT_EQ(scheduler.TakePendingFrame(), second);
  EXPECT_EQ(scheduler.TakePendingFrame(), nullptr);
  EXPECT_FALSE(scheduler.HasPendingFrame());

  scheduler.OfferFrame(second);
  scheduler.ClearPendingFrame();
  EXPECT_FALSE(scheduler.HasPendingFrame());
}

}  // namespace
}  // namespace tessvark
