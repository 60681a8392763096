// The OMT runtime against our OMT stand-in libraries: loading once per process with its refusals,
// the exit handler, discovery, receiving BGRA, BGRX and UYVY pictures, receiver creation and its
// retry, and stopping after a start that could not load the libraries. Every scenario loads the
// libraries in a process of its own.

#include "sources/sdk_omt_runtime.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "sources/omt_library.h"
#include "stand_in_fixture.h"
#include "tests/support/descriptor_watch.h"
#include "tests/support/thread_names.h"

namespace tessvark {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::InstalledOmt;
using testing::RunInOwnProcess;
using testing::RuntimeRecorder;
using testing::StandInFunction;
using testing::StandInPath;
using testing::ThreadsNamed;
using testing::WaitUntil;

constexpr char kAddressA[] = "omt://studio-a:6400";
constexpr char kAddressB[] = "omt://studio-b:6400";
constexpr int kWidth = testing::kGradientWidth;
constexpr int kHeight = testing::kGradientHeight;

SdkOmtRuntimeSettings FastSettings(const OmtLibrarySetup& library) {
  SdkOmtRuntimeSettings settings;
  settings.library = library;
  settings.timers.receive_wait = 20ms;
  settings.timers.idle_wait = 20ms;
  settings.timers.create_retry = 100ms;
  return settings;
}

// A runtime over the installed and pinned stand-ins, with a recorder of what it tells.
struct OmtRun {
  explicit OmtRun(const fs::path& folder)
      : installed(folder), runtime(FastSettings(installed.Pin())) {
    recorder.Attach(runtime);
  }
  // Sender A listed and sending its gradient, the runtime started and A chosen.
  void ReceiveFromA() {
    installed.SetAddresses({kAddressA});
    installed.SendGradient(kAddressA);
    runtime.Start();
    runtime.SelectSource(kAddressA);
  }

  InstalledOmt installed;
  RuntimeRecorder recorder;
  SdkOmtRuntime runtime;
};

struct LoadRefusal {
  const char* name;
  std::function<OmtLibrarySetup(const fs::path&)> arrange;
  const char* message;
};

TEST(OmtLibraryLoad, EachLoadFailureLeavesItsMessage) {
  const std::vector<LoadRefusal> cases = {
      {"no program folder",
       [](const fs::path& folder) {
         OmtLibrarySetup setup = InstalledOmt(folder).Pin();
         setup.folder.clear();
         return setup;
       },
       "The OMT runtime path could not be resolved. Tessvark did not load it."},
      {"libvmx.so missing",
       [](const fs::path& folder) {
         const InstalledOmt installed(folder);
         const OmtLibrarySetup setup = installed.Pin();
         fs::remove(installed.program() / "libvmx.so");
         return setup;
       },
       testing::kOmtAbsent},
      {"a library the system loader refuses",
       [](const fs::path& folder) {
         const InstalledOmt installed(folder);
         std::vector<std::uint8_t> bytes = testing::ReadBytes(installed.program() / "libvmx.so");
         bytes[6] = 0;  // the ELF version the loader insists on
         testing::WriteBytes(installed.program() / "libvmx.so", bytes);
         return installed.Pin();
       },
       "The OMT runtime could not be loaded. Tessvark did not use it."},
      {"a library without one of the required functions",
       [](const fs::path& folder) { return InstalledOmt(folder, "omt_incomplete/libomt.so").Pin(); },
       "The OMT runtime is missing a required entry point. Tessvark did not use it."},
  };
  for (const LoadRefusal& c : cases) {
    SCOPED_TRACE(c.name);
    RunInOwnProcess([&c](const fs::path& folder) {
      const OmtLibrarySetup setup = c.arrange(folder);
      std::string message;
      EXPECT_FALSE(LoadOmtLibrary(setup, message));
      EXPECT_EQ(message, testing::ExpectedOmtRefusal(c.message, setup.folder));

      SdkOmtRuntime runtime(FastSettings(setup));
      runtime.Start();
      const NdiLinkSnapshot snapshot = runtime.GetLinkSnapshot();
      EXPECT_FALSE(snapshot.runtime_available);
      EXPECT_EQ(snapshot.state, "error");
      EXPECT_EQ(snapshot.message, testing::ExpectedOmtRefusal(c.message, setup.folder));
    });
  }
}

TEST(OmtLibraryLoad, TheFirstOutcomeStandsForTheWholeProcess) {
  RunInOwnProcess([](const fs::path& folder) {
    const InstalledOmt installed(folder);
    const OmtLibrarySetup setup = installed.Pin();
    const fs::path vmx = installed.program() / "libvmx.so";
    fs::rename(vmx, folder / "aside.so");
    std::string message;
    EXPECT_FALSE(LoadOmtLibrary(setup, message));
    EXPECT_EQ(message, testing::OmtAbsentNote(installed.program()));
    // Repaired, the libraries still need a new process.
    fs::rename(folder / "aside.so", vmx);
    message.clear();
    EXPECT_FALSE(LoadOmtLibrary(setup, message));
    EXPECT_EQ(message, testing::OmtAbsentNote(installed.program()));
  });
  RunInOwnProcess([](const fs::path& folder) {
    const OmtLibrarySetup setup = InstalledOmt(folder).Pin();
    std::string message;
    ASSERT_TRUE(LoadOmtLibrary(setup, message));
    EXPECT_TRUE(LoadOmtLibrary(OmtLibrarySetup{}, message)) << "loaded once, whatever is asked";
    EXPECT_EQ(message, "");
  });
}

// Each file is loaded from the descriptor its checks read: another library renamed over a checked
// one before the load never runs. The swap comes while the second file is being checked, which a
// large second file makes a long moment.
TEST(OmtLibraryLoad, ALibraryRenamedOverACheckedOneNeverRuns) {
  RunInOwnProcess([](const fs::path& folder) {
    const InstalledOmt installed(folder);
    const fs::path program = fs::canonical(installed.program());
    fs::resize_file(program / "libomt.so", 8 << 20);
    const OmtLibrarySetup setup = installed.Pin();
    testing::CopyFileWithMode(StandInPath("ndi/libndi.so"), folder / "other.so");
    testing::WhenFileIsOpened swap(program / "libomt.so", [&] {
      fs::rename(folder / "other.so", program / "libvmx.so");
    });
    std::string message;
    EXPECT_TRUE(LoadOmtLibrary(setup, message)) << message;
    swap.Stop();
    ASSERT_TRUE(swap.acted());
    EXPECT_EQ(message, "");
    EXPECT_EQ(dlopen("libndi.so", RTLD_NOW | RTLD_NOLOAD), nullptr) << "the other library ran";
  });
}

TEST(OmtLibraryLoad, TheLibraryIsShutDownWhenTheProgramEnds) {
  RunInOwnProcess(
      [](const fs::path& folder) {
        const InstalledOmt installed(folder);
        std::string message;
        ASSERT_TRUE(LoadOmtLibrary(installed.Pin(), message)) << message;
        installed.Get<OmtStandInSetShutdownMarker>("omt_stand_in_set_shutdown_marker")(
            (folder / "shut-down").c_str());
        EXPECT_FALSE(fs::exists(folder / "shut-down"));
      },
      [](const fs::path& folder) { EXPECT_TRUE(fs::exists(folder / "shut-down")); });
}

TEST(OmtRuntime, StopAfterAFailedStartShowsOfflineAndKeepsTheMessage) {
  RunInOwnProcess([](const fs::path& folder) {
    const InstalledOmt installed(folder);
    const OmtLibrarySetup setup = installed.Pin();
    fs::remove(installed.program() / "libomt.so");
    auto runtime = std::make_unique<SdkOmtRuntime>(FastSettings(setup));
    runtime->Start();
    NdiLinkSnapshot snapshot = runtime->GetLinkSnapshot();
    EXPECT_EQ(snapshot.state, "error");
    EXPECT_EQ(snapshot.message, testing::OmtAbsentNote(installed.program()));
    runtime->Start();  // does nothing until Stop
    runtime->Stop();
    snapshot = runtime->GetLinkSnapshot();
    EXPECT_FALSE(snapshot.runtime_available);
    EXPECT_EQ(snapshot.state, "offline");
    EXPECT_EQ(snapshot.message, testing::OmtAbsentNote(installed.program()));
    // A second failed start and the destructor's stop end the same way.
    runtime->Start();
    EXPECT_EQ(runtime->GetLinkSnapshot().state, "error");
    runtime.reset();
  });
}

TEST(OmtRuntime, DiscoversSendersAndReceivesThePictureOfTheChosenOne) {
  RunInOwnProcess([](const fs::path& folder) {
    OmtRun run(folder);
    auto& [installed, recorder, runtime] = run;
    installed.SetAddresses({nullptr, kAddressB, "", kAddressA});
    installed.SendGradient(kAddressA);
    runtime.Start();
    EXPECT_EQ(runtime.GetLinkSnapshot().state, "no_source");
    ASSERT_TRUE(WaitUntil([&] { return runtime.ListSources().size() == 2; }));
    const std::vector<NdiSourceInfo> sources = runtime.ListSources();
    EXPECT_EQ(sources[0].id, kAddressB) << "in the order discovery gives";
    EXPECT_EQ(sources[1].id, kAddressA);
    EXPECT_EQ(sources[1].name, kAddressA);
    EXPECT_EQ(sources[1].url_address, "");
    EXPECT_GT(runtime.SourcesUpdatedAt(), 0.0);

    runtime.SelectSource(kAddressA);
    ASSERT_GE(recorder.WaitForLink("connecting"), 0);
    ASSERT_TRUE(recorder.WaitForFrames(5));
    const std::vector<NdiFrame> frames = recorder.Frames();
    for (std::size_t i = 0; i < frames.size(); ++i) {
      EXPECT_EQ(frames[i].source, kAddressA);
      EXPECT_EQ(frames[i].width, kWidth);
      EXPECT_EQ(frames[i].height, kHeight);
      EXPECT_EQ(frames[i].frame_rate_n, 50);
      EXPECT_EQ(frames[i].frame_rate_d, 1);
      EXPECT_EQ(testing::FrameIndexOf(frames[i].image), frames[i].timecode);
      if (i > 0) {
        EXPECT_EQ(frames[i].timecode, frames[i - 1].timecode + 1);
      }
      EXPECT_EQ(frames[i].image.at<cv::Vec3b>(9, 4), cv::Vec3b(4, 9, 13));
    }
    const NdiLinkSnapshot snapshot = runtime.GetLinkSnapshot();
    EXPECT_EQ(snapshot.state, "connected");
    EXPECT_EQ(snapshot.source_name, kAddressA);
    EXPECT_EQ(snapshot.width, kWidth);
    const OmtStandInCounters counters = installed.Read();
    EXPECT_STREQ(counters.created_address, kAddressA);
    EXPECT_EQ(counters.create_frame_types, 2);
    EXPECT_EQ(counters.create_format, 2);
    EXPECT_EQ(counters.create_flags, 0);
    EXPECT_EQ(counters.receive_frame_types, 2);
    EXPECT_EQ(counters.receive_timeout_ms, 20);

    runtime.Stop();
    EXPECT_EQ(runtime.GetLinkSnapshot().state, "offline");
    EXPECT_EQ(installed.Read().live_receivers, 0) << "the worker destroys its receiver";
    const NdiCounters runtime_counters = runtime.GetCounters();
    EXPECT_EQ(runtime_counters.video_frames, runtime_counters.delivered_frames);
    EXPECT_GE(runtime_counters.delivered_frames, 5);
  });
}

TEST(OmtRuntime, TheWorkerRunsOnANamedThreadUntilStop) {
  RunInOwnProcess([](const fs::path& folder) {
    OmtRun run(folder);
    auto& runtime = run.runtime;
    runtime.Start();
    EXPECT_TRUE(WaitUntil([] { return ThreadsNamed(getpid(), "omt") == 1; }));
    runtime.Stop();
    // A joined thread may still be listed for a moment while the kernel finishes its exit.
    EXPECT_TRUE(WaitUntil([] { return ThreadsNamed(getpid(), "omt") == 0; }));
  });
}

TEST(OmtRuntime, AnUndiscoveredChoiceWaitsConnectingWithoutAReceiver) {
  RunInOwnProcess([](const fs::path& folder) {
    OmtRun run(folder);
    auto& [installed, recorder, runtime] = run;
    runtime.Start();
    runtime.SelectSource(kAddressB);
    const std::int64_t polls = installed.Read().discovery_calls;
    ASSERT_TRUE(WaitUntil([&] { return installed.Read().discovery_calls >= polls + 3; }));
    EXPECT_EQ(installed.Read().receiver_creates, 0);
    EXPECT_EQ(runtime.GetLinkSnapshot().state, "connecting");
    installed.SetAddresses({kAddressB});
    ASSERT_GE(recorder.WaitForLink("connecting"), 0);
    EXPECT_EQ(installed.Read().receiver_creates, 1);
  });
}

TEST(OmtRuntime, ChoosingTheSameSenderAgainMakesANewReceiver) {
  RunInOwnProcess([](const fs::path& folder) {
    OmtRun run(folder);
    auto& [installed, recorder, runtime] = run;
    run.ReceiveFromA();
    ASSERT_TRUE(recorder.WaitForFrames(1));
    runtime.SelectSource(kAddressA);
    ASSERT_TRUE(WaitUntil([&] { return installed.Read().receiver_creates == 2; }));
    EXPECT_EQ(installed.Read().receiver_destroys, 1);
    EXPECT_EQ(installed.Read().live_receivers, 1);
    EXPECT_EQ(runtime.GetCounters().reconnects, 1);
  });
}

TEST(OmtRuntime, AReceiverThatCannotBeMadeIsAnErrorAndTriedAgain) {
  RunInOwnProcess([](const fs::path& folder) {
    OmtRun run(folder);
    auto& [installed, recorder, runtime] = run;
    installed.SetAddresses({kAddressA});
    installed.SendGradient(kAddressA);
    installed.Get<OmtStandInFailCreation>("omt_stand_in_fail_creation")(true);
    runtime.Start();
    runtime.SelectSource(kAddressA);
    const int error = recorder.WaitForLink("error");
    ASSERT_GE(error, 0);
    EXPECT_EQ(recorder.Links()[error].message, "The OMT receiver could not be started.");
    EXPECT_TRUE(recorder.Links()[error].runtime_available);
    ASSERT_TRUE(WaitUntil([&] { return installed.Read().receiver_creates >= 3; }));
    installed.Get<OmtStandInFailCreation>("omt_stand_in_fail_creation")(false);
    ASSERT_GE(recorder.WaitForLink("connecting", error), 0);
    ASSERT_TRUE(recorder.WaitForFrames(1));
    EXPECT_EQ(runtime.GetLinkSnapshot().state, "connected");
    EXPECT_EQ(runtime.GetLinkSnapshot().message, "");
  });
}

TEST(OmtRuntime, ClearingTheChoiceDropsTheReceiverAndThePictureSize) {
  RunInOwnProcess([](const fs::path& folder) {
    OmtRun run(folder);
    auto& [installed, recorder, runtime] = run;
    run.ReceiveFromA();
    ASSERT_TRUE(recorder.WaitForFrames(1));
    const std::size_t before = recorder.LinkCount();
    runtime.ClearSelection();
    const int cleared = recorder.WaitForLink("no_source", before);
    ASSERT_GE(cleared, 0);
    EXPECT_EQ(recorder.Links()[cleared].width, 0);
    EXPECT_EQ(recorder.Links()[cleared].height, 0);
    EXPECT_EQ(recorder.Links()[cleared].source_name, "");
    EXPECT_EQ(installed.Read().live_receivers, 0);
    EXPECT_EQ(runtime.GetCounters().reconnects, 0) << "no new source was chosen";
  });
}

struct PictureCase {
  const char* name;
  std::uint32_t format;
  int stride;       // as the record gives it
  int row_bytes;    // of the pixels sent
  int data_length;  // as the record gives it; -1: the pixels' size
  int frame_type;
  bool delivered;
  bool rejected;
};

TEST(OmtRuntime, PicturesAreConvertedRejectedOrIgnoredByTheirRecord) {
  const PictureCase cases[] = {
      {"BGRA", omt::kFormatBgra, kWidth * 4, kWidth * 4, -1, 2, true, false},
      {"BGRX with the stride not given", omt::kFormatBgrx, -1, kWidth * 4, -1, 2, true, false},
      {"BGRA with padded rows", omt::kFormatBgra, kWidth * 4 + 16, kWidth * 4 + 16, -1, 2, true, false},
      {"UYVY", omt::kFormatUyvy, 0, kWidth * 2, -1, 2, true, false},
      {"UYVY one byte short", omt::kFormatUyvy, 0, kWidth * 2, kWidth * 2 * kHeight - 1, 2, false, true},
      {"BGRA rows shorter than the width", omt::kFormatBgra, kWidth * 4 - 4, kWidth * 4, -1, 2, false, true},
      {"an unknown format", FourCc('N', 'V', '1', '2'), 0, kWidth * 2, -1, 2, false, true},
      {"a frame that is not video", omt::kFormatBgra, kWidth * 4, kWidth * 4, -1, 1, false, false},
  };
  for (const PictureCase& c : cases) {
    SCOPED_TRACE(c.name);
    RunInOwnProcess([&c](const fs::path& folder) {
      OmtRun run(folder);
      auto& [installed, recorder, runtime] = run;
      // Mid-grey in every format: 128 in every byte (U and V at 128 carry no colour).
      const std::vector<std::uint8_t> pixels(static_cast<std::size_t>(c.row_bytes) * kHeight, 128);
      installed.SetAddresses({kAddressA});
      installed.Send(kAddressA, c.format, kWidth, kHeight, pixels, c.stride,
                     c.data_length < 0 ? static_cast<int>(pixels.size()) : c.data_length,
                     c.frame_type);
      runtime.Start();
      runtime.SelectSource(kAddressA);
      ASSERT_TRUE(WaitUntil([&] { return installed.Read().frames_sent >= 3; }));
      runtime.Stop();
      const NdiCounters counters = runtime.GetCounters();
      if (c.delivered) {
        ASSERT_GE(recorder.Frames().size(), 1u);
        const cv::Mat image = recorder.Frames().back().image;
        EXPECT_EQ(image.cols, kWidth);
        EXPECT_EQ(image.rows, kHeight);
        const cv::Vec3b pixel = image.at<cv::Vec3b>(kHeight - 1, kWidth - 1);
        for (int channel = 0; channel < 3; ++channel) EXPECT_NEAR(pixel[channel], 128, 24);
      } else {
        EXPECT_TRUE(recorder.Frames().empty());
      }
      EXPECT_EQ(counters.rejected_frames > 0, c.rejected);
      EXPECT_EQ(counters.delivered_frames, static_cast<std::int32_t>(recorder.Frames().size()));
    });
  }
}

// Libraries that cannot be used are known before a start, and their refusal stays whatever is
// chosen; usable ones are loaded by the check without a worker.
TEST(OmtRuntime, ACheckShowsTheRefusalBeforeAStartAndTheMessageStays) {
  RunInOwnProcess([](const fs::path& folder) {
    const InstalledOmt installed(folder);
    const OmtLibrarySetup setup = installed.Pin();
    fs::remove(installed.program() / "libomt.so");
    const std::string refusal = testing::OmtAbsentNote(installed.program());
    SdkOmtRuntime runtime(FastSettings(setup));
    runtime.CheckLibrary();
    EXPECT_FALSE(runtime.GetLinkSnapshot().runtime_available);
    EXPECT_EQ(runtime.GetLinkSnapshot().message, refusal);
    for (const char* chosen : {kAddressA, ""}) {
      SCOPED_TRACE(chosen);
      runtime.SelectSource(chosen);
      EXPECT_FALSE(runtime.GetLinkSnapshot().runtime_available);
      EXPECT_EQ(runtime.GetLinkSnapshot().message, refusal);
    }
  });
  RunInOwnProcess([](const fs::path& folder) {
    const InstalledOmt installed(folder);
    SdkOmtRuntime runtime(FastSettings(installed.Pin()));
    runtime.CheckLibrary();
    EXPECT_EQ(runtime.GetLinkSnapshot().message, "");
    EXPECT_EQ(installed.Read().discovery_calls, 0) << "no worker runs";
    runtime.SelectSource(kAddressA);
    EXPECT_EQ(runtime.GetLinkSnapshot().message, "");
  });
}

}  // namespace
}  // namespace tessvark
