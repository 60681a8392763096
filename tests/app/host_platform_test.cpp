#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/browser_launch.h"
#include "platform/host_loop.h"
#include "platform/process_times.h"
#include "platform/sealed_copy.h"
#include "platform/single_instance.h"
#include "platform/thread_name.h"
#include "tests/support/temp_folder.h"
#include "tests/support/thread_names.h"

namespace tessvark {
namespace {

using testing::OwnThreadName;
using testing::TempFolder;

EnvironmentLookup LookupIn(const std::map<std::string, std::string>& environment) {
  return [&environment](const char* name) -> const char* {
    const auto found = environment.find(name);
    return found == environment.end() ? nullptr : found->second.c_str();
  };
}

TEST(ProcStatTest, CpuLineBecomesIdleKernelAndUserTimes) {
  // user nice system idle iowait irq softirq steal guest guest_nice, at 100 ticks per second.
  const auto times =
      ParseProcStatCpuLine("cpu  100 20 30 400 50 6 4 10 7 0\ncpu0 1 2 3 4\n", 100);
  ASSERT_TRUE(times.has_value());
  EXPECT_EQ(times->idle, 450u * 100000u);
  EXPECT_EQ(times->kernel, (30u + 6u + 4u + 10u + 450u) * 100000u);
  EXPECT_EQ(times->user, 120u * 100000u);

  const auto short_line = ParseProcStatCpuLine("cpu 1 2 3 4", 250);
  ASSERT_TRUE(short_line.has_value()) << "kernels before iowait wrote four fields";
  EXPECT_EQ(short_line->idle, 4u * 40000u);

  for (const char* bad : {"cpu0 1 2 3 4", "cpu 1 2 3", "intr 1 2 3 4", "", "cpu x 1 2 3"}) {
    EXPECT_FALSE(ParseProcStatCpuLine(bad, 100).has_value()) << bad;
  }
  EXPECT_FALSE(ParseProcStatCpuLine("cpu 1 2 3 4", 0).has_value());
}

TEST(ProcStatTest, MachineTimesAndClocksAreReadable) {
  const auto system = ReadSystemTimes();
  ASSERT_TRUE(system.has_value());
  EXPECT_GE(system->kernel, system->idle);
  EXPECT_TRUE(ProcessCpuTime().has_value());
  EXPECT_GT(MonotonicTime100ns(), 0u);
  EXPECT_GT(OnlineProcessorCount(), 0u);
}

// Linux refuses a name of more than 15 bytes outright; the helper keeps its first 15 instead.
TEST(ThreadNameTest, NamesTheCallingThreadAndCutsALongNameAt15Bytes) {
  const struct {
    const char* given;
    const char* shown;
  } cases[] = {{"feeder", "feeder"},
               {"exactly-fifteen", "exactly-fifteen"},
               {"a-name-longer-than-fifteen", "a-name-longer-t"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.given);
    std::string shown;
    std::thread([&] {
      NameThisThread(c.given);
      shown = OwnThreadName();
    }).join();
    EXPECT_EQ(shown, c.shown);
  }
}

TEST(SingleInstanceTest, LockPathFollowsTheRuntimeFolder) {
  EXPECT_EQ(InstanceLockPath(LookupIn({{"XDG_RUNTIME_DIR", "/run/user/7"}})),
            "/run/user/7/tessvark.lock");
  EXPECT_EQ(InstanceLockPath(LookupIn({{"XDG_RUNTIME_DIR", ""}})),
            "/tmp/tessvark-" + std::to_string(geteuid()) + ".lock");
  EXPECT_EQ(InstanceRecordPath(LookupIn({{"XDG_RUNTIME_DIR", "/run/user/7"}})),
            "/run/user/7/tessvark-url");
  EXPECT_EQ(InstanceRecordPath(LookupIn({})),
            "/tmp/tessvark-" + std::to_string(geteuid()) + "-url");
}

// What is checked through the sealed copy stays what it was: a write through a hard link to the
// original changes only the original, and the copy refuses every writer.
TEST(SealedCopyTest, NothingChangesTheCopyOnceSealed) {
  TempFolder folder;
  const std::string original = folder.Join("installer.run");
  const std::string link = folder.Join("link.run");
  std::ofstream(original) << "#!/bin/sh\necho checked\n";
  ASSERT_EQ(::link(original.c_str(), link.c_str()), 0);
  const UniqueFd file(open(original.c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(file.valid());
  const UniqueFd copy = MakeSealedCopy(file.get(), "test-copy");
  ASSERT_TRUE(copy.valid());
  EXPECT_EQ(fcntl(copy.get(), F_GET_SEALS),
            F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL);
  EXPECT_EQ(fcntl(copy.get(), F_GETFL) & O_ACCMODE, O_RDONLY);

  std::ofstream(link, std::ios::trunc) << "#!/bin/sh\necho rewritten through the link\n";
  const std::string through_proc = "/proc/self/fd/" + std::to_string(copy.get());
  EXPECT_EQ(testing::ReadWholeFile(through_proc), "#!/bin/sh\necho checked\n");

  const UniqueFd writer(open(through_proc.c_str(), O_WRONLY | O_CLOEXEC));
  ASSERT_TRUE(writer.valid());
  EXPECT_EQ(write(writer.get(), "x", 1), -1);
  EXPECT_EQ(errno, EPERM) << "the seal refuses a write";
  EXPECT_EQ(ftruncate(writer.get(), 0), -1);
  EXPECT_EQ(fcntl(copy.get(), F_ADD_SEALS, 0), -1) << "the seals cannot be changed";
  EXPECT_EQ(testing::ReadWholeFile(through_proc), "#!/bin/sh\necho checked\n");
}

TEST(SingleInstanceTest, SecondHolderFindsTheLockTakenUntilTheFirstLetsGo) {
  TempFolder folder;
  const std::string path = folder.Join("tessvark.lock");
  {
    const SingleInstanceLock first(path);
    ASSERT_EQ(first.status(), InstanceLockStatus::kAcquired);
    EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    const SingleInstanceLock second(path);
    EXPECT_EQ(second.status(), InstanceLockStatus::kHeldElsewhere);
  }
  const SingleInstanceLock again(path);
  EXPECT_EQ(again.status(), InstanceLockStatus::kAcquired) << "a leftover file is no lock";
}

TEST(SingleInstanceTest, SymbolicLinkIsNotFollowed) {
  TempFolder folder;
  const std::string target = folder.Join("elsewhere");
  const std::string path = folder.Join("tessvark.lock");
  std::filesystem::create_symlink(target, path);
  const SingleInstanceLock lock(path);
  EXPECT_EQ(lock.status(), InstanceLockStatus::kUnavailable);
  EXPECT_FALSE(std::filesystem::exists(target));
}

TEST(BrowserLaunchTest, DisplayIsXOrWayland) {
  EXPECT_TRUE(HasGraphicalDisplay(LookupIn({{"DISPLAY", ":0"}})));
  EXPECT_TRUE(HasGraphicalDisplay(LookupIn({{"WAYLAND_DISPLAY", "wayland-0"}})));
  EXPECT_FALSE(HasGraphicalDisplay(LookupIn({{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}})));
  EXPECT_FALSE(HasGraphicalDisplay(LookupIn({})));
}

class HostLoopTest : public ::testing::Test {
 protected:
  // Blocked before the loop exists and before any thread of the test starts.
  void SetUp() override { BlockHostSignals(); }
};

TEST_F(HostLoopTest, SignalsBecomeActionsAndEveryQuitSignalEndsTheLoop) {
  for (int quit_signal : {SIGINT, SIGTERM, SIGHUP}) {
    HostLoop loop;
    ASSERT_TRUE(loop.valid());
    ASSERT_EQ(kill(getpid(), SIGUSR1), 0);
    std::vector<HostAction> seen;
    const int ended_by = loop.Run([&](HostAction action) {
      seen.push_back(action);
      if (action == HostAction::kOpen) kill(getpid(), SIGUSR2);
      if (action == HostAction::kCheckUpdates) kill(getpid(), quit_signal);
    });
    EXPECT_EQ(ended_by, quit_signal);
    EXPECT_EQ(seen, (std::vector<HostAction>{HostAction::kOpen, HostAction::kCheckUpdates}));
  }
}

TEST_F(HostLoopTest, QuitPostedFromAnyThreadEndsTheLoopOnItsOwnThread) {
  HostLoop loop;
  ASSERT_TRUE(loop.valid());
  const std::thread::id loop_thread = std::this_thread::get_id();
  std::atomic<int> opens_on_other_threads{0};
  std::vector<std::thread> posters;
  for (int i = 0; i < 4; ++i) {
    posters.emplace_back([&loop, i] {
      for (int n = 0; n < 100; ++n) loop.Post(HostAction::kOpen);
      if (i == 3) loop.Post(HostAction::kQuit);
    });
  }
  int opens = 0;
  const int ended_by = loop.Run([&](HostAction action) {
    if (action == HostAction::kOpen) ++opens;
    if (std::this_thread::get_id() != loop_thread) ++opens_on_other_threads;
  });
  for (std::thread& poster : posters) poster.join();
  EXPECT_EQ(ended_by, 0);
  EXPECT_EQ(opens_on_other_threads.load(), 0);
  EXPECT_LE(opens, 400) << "posts that pile up before the loop looks count once";
}

TEST_F(HostLoopTest, QuitPostedBeforeRunEndsItAtOnce) {
  HostLoop loop;
  loop.Post(HostAction::kOpen);
  loop.Post(HostAction::kQuit);
  int calls = 0;
  EXPECT_EQ(loop.Run([&](HostAction) { ++calls; }), 0);
  EXPECT_EQ(calls, 0) << "a pending quit wins over actions posted with it";
}

}  // namespace
}  // namespace tessvark
