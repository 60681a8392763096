#include "app/paced_opener.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace tessvark {
namespace {

using namespace std::chrono_literals;
using Time = std::chrono::steady_clock::time_point;

// Requests at given times, served by the loop at given times: which of them open.
TEST(PacedOpenerTest, OpensAtMostOncePerSpacingAndLosesNoRequest) {
  struct Step {
    int at_ms;
    char what;  // 'r': a request, 's': the loop serves
  };
  struct Case {
    const char* what;
    std::vector<Step> steps;
    std::vector<int> opened_at_ms;
  };
  const Case cases[] = {
      {"the first request opens at once", {{0, 'r'}}, {0}},
      {"requests a spacing apart each open", {{0, 'r'}, {1000, 'r'}, {2500, 'r'}}, {0, 1000, 2500}},
      {"a flood opens once, then once more when the spacing has passed",
       {{0, 'r'}, {10, 'r'}, {20, 'r'}, {500, 's'}, {990, 'r'}, {1000, 's'}, {1500, 's'}},
       {0, 1000}},
      {"a late request is carried out once, not again",
       {{0, 'r'}, {400, 'r'}, {1200, 's'}, {1300, 's'}, {2100, 's'}},
       {0, 1200}},
      {"a request after a late opening waits for its own spacing",
       {{0, 'r'}, {400, 'r'}, {1000, 's'}, {1500, 'r'}, {1999, 's'}, {2000, 's'}},
       {0, 1000, 2000}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Time now{};
    std::vector<int> opened;
    PacedOpener opener(
        [&] {
          opened.push_back(static_cast<int>(
              std::chrono::duration_cast<std::chrono::milliseconds>(now - Time{}).count()));
        },
        1000ms, [&] { return now; });
    for (const Step& step : c.steps) {
      now = Time{} + std::chrono::milliseconds(step.at_ms);
      if (step.what == 'r') {
        opener.Request();
      } else {
        opener.Serve();
      }
    }
    EXPECT_EQ(opened, c.opened_at_ms);
  }
}

// The loop waits for a planned opening exactly as long as it has to, and not at all otherwise.
TEST(PacedOpenerTest, TheLoopWaitsUntilAPlannedOpening) {
  Time now{};
  int opened = 0;
  PacedOpener opener([&] { ++opened; }, 1000ms, [&] { return now; });
  EXPECT_EQ(opener.NextWait().timeout_ms, -1);
  opener.Request();
  EXPECT_EQ(opener.NextWait().timeout_ms, -1) << "nothing planned";
  now += 300ms;
  opener.Request();
  EXPECT_EQ(opener.NextWait().timeout_ms, 700);
  EXPECT_EQ(opener.NextWait().fd, -1);
  now += 800ms;
  EXPECT_EQ(opener.NextWait().timeout_ms, 0);
  opener.Serve();
  EXPECT_EQ(opened, 2);
  EXPECT_EQ(opener.NextWait().timeout_ms, -1);
}

}  // namespace
}  // namespace tessvark
