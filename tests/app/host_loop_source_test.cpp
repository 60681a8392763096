// The host loop's further source: the tray icon's bus connection is served through it.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <future>
#include <thread>
#include <utility>

#include "platform/host_loop.h"
#include "platform/unique_fd.h"
#include "tests/support/wait_until.h"

namespace tessvark {
namespace {

using testing::kPatience;
using testing::WaitUntil;

// A source that ends the loop once `ready` holds when it is served.
class QuittingSource : public HostLoopSource {
 public:
  QuittingSource(HostLoop& loop, Wait wait, std::function<bool()> ready)
      : loop_(loop), wait_(wait), ready_(std::move(ready)) {}
  Wait NextWait() override { return wait_; }
  void Serve() override {
    ++serves;
    if (!ended_loop && ready_()) {
      ended_loop = true;
      loop_.Post(HostAction::kQuit);
    }
  }

  std::atomic<int> serves{0};
  bool ended_loop = false;

 private:
  HostLoop& loop_;
  const Wait wait_;
  const std::function<bool()> ready_;
};

// The loop wakes for its source's descriptor and for its deadline, not only for signals and
// posts. Should it never wake, a rescuer ends it after the tests' patience and the test fails.
TEST(HostLoopSourceTest, SourceIsServedWhenItsDescriptorIsReadyOrItsDeadlinePasses) {
  const UniqueFd event(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  ASSERT_TRUE(event.valid());
  auto event_arrived = [&event] {
    std::uint64_t count = 0;
    return read(event.get(), &count, sizeof(count)) == static_cast<ssize_t>(sizeof(count));
  };
  struct Case {
    const char* what;
    HostLoopSource::Wait wait;
    bool written_while_waiting;
  };
  for (const Case& c : {Case{"readable descriptor", {event.get(), POLLIN, -1}, true},
                        Case{"deadline", {-1, 0, 1}, false}}) {
    SCOPED_TRACE(c.what);
    HostLoop loop;
    ASSERT_TRUE(loop.valid());
    int turns = 0;
    QuittingSource source(loop, c.wait, [&] {
      return c.written_while_waiting ? event_arrived() : ++turns >= 3;
    });
    std::promise<void> ended;
    std::thread helper([&, done = ended.get_future()] {
      if (c.written_while_waiting) {
        // After the first serve the loop goes to wait; only the descriptor can wake it then.
        WaitUntil([&] { return source.serves.load() > 0; });
        const std::uint64_t one = 1;
        (void)!write(event.get(), &one, sizeof(one));
      }
      if (done.wait_for(kPatience) == std::future_status::timeout) loop.Post(HostAction::kQuit);
    });
    EXPECT_EQ(loop.Run([](HostAction) {}, {&source}), 0);
    ended.set_value();
    helper.join();
    EXPECT_TRUE(source.ended_loop) << "the loop never served its source";
  }
}

}  // namespace
}  // namespace tessvark
