// The NDI runtime against our NDI stand-in library: where the library is looked for and when it
// is refused, the reference-counted initialise and destroy bracket, discovery, receiving, link
// states with their timers, and the counters. Every scenario loads the library in a process of
// its own.

#include "sources/sdk_runtime.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

#include "sources/ndi_library.h"
#include "stand_in_fixture.h"
#include "tests/support/thread_names.h"

namespace tessvark {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::InstalledNdi;
using testing::RunInOwnProcess;
using testing::RuntimeRecorder;
using testing::StandInFunction;
using testing::StandInPath;
using testing::ThreadsNamed;
using testing::WaitUntil;

constexpr char kNotInstalled[] = "The NDI runtime is not installed. Examples remain available.";
// Found in none of the places looked in, with no standard folder and no usable folder variable.
constexpr char kFoundNowhere[] =
    "The NDI runtime is not installed: Tessvark looked for libndi.so.6 in NDI_RUNTIME_DIR_V6 (not set to an "
    "absolute folder). Examples remain available.";
constexpr char kNotElf[] = "The NDI runtime is not a 64-bit Linux library. Tessvark did not load it.";
constexpr char kNotLoaded[] = "The NDI runtime could not be loaded.";
constexpr char kWrongPublisher[] =
    "The NDI runtime is not signed by NewTek or Vizrt. Tessvark did not load it.";
constexpr int kWidth = testing::kGradientWidth;
constexpr int kHeight = testing::kGradientHeight;

// A search that looks nowhere but in NDI_RUNTIME_DIR_V6 (or in `standard` first).
NdiLibrarySearch TestSearch(std::vector<std::string> standard = {}) {
  NdiLibrarySearch search;
  search.standard_folders = std::move(standard);
  return search;
}

SdkRuntimeSettings FastSettings() {
  SdkRuntimeSettings settings;
  settings.library = TestSearch();
  settings.timers.stale_after = 300ms;
  settings.timers.offline_after = 900ms;
  settings.timers.first_picture_within = 400ms;
  settings.timers.reconnect_spacing = 100ms;
  settings.timers.capture_wait = 20ms;
  settings.timers.discovery_wait = 20ms;
  settings.timers.full_read_interval = 200ms;
  settings.timers.refresh_settle = 50ms;
  return settings;
}

// Timers that a connection with pictures every 20 ms never reaches, even on a loaded machine.
SdkRuntimeSettings PatientSettings() {
  SdkRuntimeSettings settings = FastSettings();
  settings.timers.stale_after = std::chrono::seconds(10);
  settings.timers.offline_after = std::chrono::seconds(20);
  settings.timers.first_picture_within = std::chrono::seconds(10);
  return settings;
}

// A runtime over the installed stand-in, with a recorder of what it tells.
struct NdiRun {
  explicit NdiRun(const fs::path& folder, SdkRuntimeSettings settings = FastSettings())
      : installed(folder), runtime(std::move(settings)) {
    recorder.Attach(runtime);
  }
  // "Cam 1" listed and sending, chosen and the runtime started; the position of the first
  // "connected" publication (-1 when none came).
  int ReceiveFromCam1() {
    installed.SetSources({{"Cam 1", nullptr}});
    installed.SendGradient("Cam 1");
    runtime.SelectSource("Cam 1");
    runtime.Start();
    return recorder.WaitForLink("connected");
  }

  InstalledNdi installed;
  RuntimeRecorder recorder;
  SdkRuntime runtime;
};

// A verifier that refuses every file, as a foreign publisher would be refused.
class RefusingVerifier final : public SignatureVerifier {
 public:
  bool Verify(const OpenedFile&, std::string& message) override {
    message = kWrongPublisher;
    return false;
  }
};

// The ownership rule, after which another library is renamed over the file that was judged, as
// a process racing the load would do between the check and the load.
class SwappingVerifier final : public SignatureVerifier {
 public:
  explicit SwappingVerifier(fs::path replacement) : replacement_(std::move(replacement)) {}
  bool Verify(const OpenedFile& file, std::string& message) override {
    const bool trusted = OwnerSignatureVerifier().Verify(file, message);
    fs::rename(replacement_, file.path);
    return trusted;
  }

 private:
  const fs::path replacement_;
};

struct RefusalCase {
  const char* name;
  // Puts what the case needs into the folder; returns the search to load with.
  std::function<NdiLibrarySearch(const fs::path&)> arrange;
  const char* message;  // "@" stands for the scenario folder, its links resolved
};

std::string InFolder(const char* message, const fs::path& folder) {
  std::string text = message;
  const std::string canonical = fs::canonical(folder).string();
  for (std::size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at)) {
    text.replace(at, 1, canonical);
    at += canonical.size();
  }
  return text;
}

TEST(NdiLibraryLoad, EachRefusalLeavesItsMessage) {
  const std::vector<RefusalCase> cases = {
      {"nothing anywhere",
       [](const fs::path& folder) {
         unsetenv("NDI_RUNTIME_DIR_V6");
         fs::create_directories(folder / "lib");
         return TestSearch({(fs::canonical(folder) / "lib").string(), "/nowhere"});
       },
       "The NDI runtime is not installed: Tessvark looked for libndi.so.6 in @/lib, /nowhere and "
       "NDI_RUNTIME_DIR_V6 (not set to an absolute folder). Examples remain available."},
      {"an empty folder named by the variable",
       [](const fs::path& folder) {
         fs::create_directories(folder / "ndi");
         setenv("NDI_RUNTIME_DIR_V6", (fs::canonical(folder) / "ndi").c_str(), 1);
         return TestSearch();
       },
       "The NDI runtime is not installed: Tessvark looked for libndi.so.6 in NDI_RUNTIME_DIR_V6 (@/ndi). "
       "Examples remain available."},
      {"a link under a trusted folder that leads outside every one",
       [](const fs::path& folder) {
         unsetenv("NDI_RUNTIME_DIR_V6");
         testing::CopyFileWithMode(StandInPath("ndi/libndi.so"), folder / "elsewhere/libndi.so.6");
         fs::create_directories(folder / "lib");
         fs::create_symlink(fs::canonical(folder) / "elsewhere/libndi.so.6", folder / "lib/libndi.so.6");
         return TestSearch({(fs::canonical(folder) / "lib").string()});
       },
       "The NDI runtime \"@/lib/libndi.so.6\" is a link to \"@/elsewhere/libndi.so.6\", outside "
       "the folders Tessvark loads it from. Tessvark did not load it."},
      {"a folder variable with ..",
       [](const fs::path& folder) {
         InstalledNdi installed(folder);
         setenv("NDI_RUNTIME_DIR_V6", (folder / "x/../ndi-runtime").c_str(), 1);
         return TestSearch();
       },
       kFoundNowhere},
      {"a relative folder variable",
       [](const fs::path& folder) {
         InstalledNdi installed(folder);
         chdir(folder.c_str());
         setenv("NDI_RUNTIME_DIR_V6", "ndi-runtime", 1);
         return TestSearch();
       },
       kFoundNowhere},
      {"a library of another machine",
       [](const fs::path& folder) {
         InstalledNdi installed(folder);
         std::vector<std::uint8_t> bytes = testing::ReadBytes(installed.library());
         bytes[18] = 3;  // e_machine: i386
         testing::WriteBytes(installed.library(), bytes);
         return TestSearch();
       },
       kNotElf},
      {"a text file",
       [](const fs::path& folder) {
         InstalledNdi installed(folder);
         testing::WriteBytes(installed.library(), std::vector<std::uint8_t>(200, 'x'));
         return TestSearch();
       },
       kNotElf},
      {"a library its group may write",
       [](const fs::path& folder) {
         InstalledNdi installed(folder);
         fs::permissions(installed.library(), fs::perms(0664));
         return TestSearch();
       },
       "The NDI runtime \"@/ndi-runtime/libndi.so.6\" can be changed by other users (mode 664). "
       "Tessvark did not load it."},
      {"a library in a folder that everyone may write",
       [](const fs::path& folder) {
         InstalledNdi installed(folder);
         fs::permissions(folder / "ndi-runtime", fs::perms(0777));
         return TestSearch();
       },
       "The folder \"@/ndi-runtime\" of the NDI runtime can be changed by other users (mode 777). "
       "Tessvark did not load it."},
      {"a library below a folder that everyone may write",
       [](const fs::path& folder) {
         testing::CopyFileWithMode(StandInPath("ndi/libndi.so"), folder / "shared/ndi/libndi.so.6");
         fs::permissions(folder / "shared", fs::perms(0777));
         setenv("NDI_RUNTIME_DIR_V6", (folder / "shared/ndi").c_str(), 1);
         return TestSearch();
       },
       "The folder \"@/shared\" of the NDI runtime can be changed by other users (mode 777). "
       "Tessvark did not load it."},
      {"a library the verifier refuses",
       [](const fs::path& folder) {
         InstalledNdi installed(folder);
         NdiLibrarySearch search = TestSearch();
         search.verifier = std::make_shared<RefusingVerifier>();
         return search;
       },
       kWrongPublisher},
      {"a library without one of the functions",
       [](const fs::path& folder) {
         InstalledNdi installed(folder, "ndi_incomplete/libndi.so");
         return TestSearch();
       },
       kNotLoaded},
  };
  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(c.name);
    RunInOwnProcess([&c](const fs::path& folder) {
      const NdiLibrarySearch search = c.arrange(folder);
      const std::string message = InFolder(c.message, folder);
      EXPECT_FALSE(AcquireNdiLibrary(search));
      EXPECT_EQ(LastNdiLoadMessage(), message);

      // The runtime shows the refusal and starts nothing; a stop keeps the refusal.
      SdkRuntimeSettings settings = FastSettings();
      settings.library = search;
      RuntimeRecorder recorder;
      SdkRuntime runtime(settings);
      recorder.Attach(runtime);
      runtime.Start();
      NdiLinkSnapshot snapshot = runtime.GetLinkSnapshot();
      EXPECT_FALSE(snapshot.runtime_available);
      EXPECT_EQ(snapshot.state, "offline");
      EXPECT_EQ(snapshot.message, message);
      runtime.Stop();
      snapshot = runtime.GetLinkSnapshot();
      EXPECT_EQ(snapshot.state, "offline");
      EXPECT_EQ(snapshot.message, message);
      EXPECT_EQ(recorder.LinkCount(), 0u) << "a refused start publishes nothing";
    });
  }
}

TEST(NdiLibraryLoad, AFailedAttemptIsNeverRepeated) {
  RunInOwnProcess([](const fs::path& folder) {
    unsetenv("NDI_RUNTIME_DIR_V6");
    EXPECT_FALSE(AcquireNdiLibrary(TestSearch()));
    EXPECT_EQ(LastNdiLoadMessage(), kFoundNowhere);
    // A library installed after the attempt is not looked at in this process.
    InstalledNdi installed(folder);
    EXPECT_FALSE(AcquireNdiLibrary(TestSearch()));
    EXPECT_EQ(LastNdiLoadMessage(), kFoundNowhere);
  });
}

// The file that was judged is the file that runs: another library renamed over it after the
// check never loads.
TEST(NdiLibraryLoad, AFileRenamedOverTheCheckedOneNeverRuns) {
  RunInOwnProcess([](const fs::path& folder) {
    InstalledNdi installed(folder);
    testing::CopyFileWithMode(StandInPath("ndi_incomplete/libndi.so"), folder / "ndi-runtime/other");
    NdiLibrarySearch search = TestSearch();
    search.verifier = std::make_shared<SwappingVerifier>(folder / "ndi-runtime/other");
    EXPECT_TRUE(AcquireNdiLibrary(search));
    EXPECT_EQ(LastNdiLoadMessage(), "");
    // The incomplete library lacks this function; the one loaded has it.
    EXPECT_NE(NdiLibraryFunctions().recv_get_performance, nullptr);
    EXPECT_EQ(installed.Read().initialize_calls, 0) << "the file now at the path is another one";
    ReleaseNdiLibrary();
  });
}

TEST(NdiLibraryLoad, ARefusedCandidateGivesWayToTheNext) {
  RunInOwnProcess([](const fs::path& folder) {
    testing::CopyFileWithMode(StandInPath("ndi/libndi.so"), folder / "lib/libndi.so.6",
                              fs::perms(0666));
    InstalledNdi installed(folder);
    // The folder variable may name its folder through a link and with a trailing slash.
    fs::create_directory_symlink(folder / "ndi-runtime", folder / "ndi-link");
    setenv("NDI_RUNTIME_DIR_V6", (folder / "ndi-link/").c_str(), 1);
    EXPECT_TRUE(AcquireNdiLibrary(TestSearch({(folder / "lib").string()})));
    EXPECT_EQ(LastNdiLoadMessage(),
              "The NDI runtime \"" + fs::canonical(folder).string() +
                  "/lib/libndi.so.6\" can be changed by other users (mode 666). Tessvark did not "
                  "load it.")
        << "the refusal of the first stays";
    EXPECT_EQ(installed.Read().initialize_calls, 1);
    ReleaseNdiLibrary();
  });
}

TEST(NdiLibraryLoad, InitialiseAndDestroyBracketTheHolders) {
  RunInOwnProcess([](const fs::path& folder) {
    InstalledNdi installed(folder);
    ASSERT_TRUE(AcquireNdiLibrary(TestSearch()));
    ASSERT_TRUE(AcquireNdiLibrary(TestSearch()));
    EXPECT_EQ(installed.Read().initialize_calls, 1) << "the second holder shares the first";
    ReleaseNdiLibrary();
    EXPECT_EQ(installed.Read().destroy_calls, 0);
    ReleaseNdiLibrary();
    EXPECT_EQ(installed.Read().destroy_calls, 1);
    ReleaseNdiLibrary();  // none held: nothing happens
    EXPECT_EQ(installed.Read().destroy_calls, 1);
    ASSERT_TRUE(AcquireNdiLibrary(TestSearch()));
    EXPECT_EQ(installed.Read().initialize_calls, 2) << "a new first holder initialises again";
    ReleaseNdiLibrary();
  });
}

TEST(NdiLibraryLoad, ALibraryThatCannotInitialiseIsReportedNotInstalled) {
  RunInOwnProcess([](const fs::path& folder) {
    InstalledNdi installed(folder);
    installed.Get<NdiStandInSetInitializeResult>("ndi_stand_in_set_initialize_result")(false);
    SdkRuntime runtime(FastSettings());
    runtime.Start();
    const NdiLinkSnapshot snapshot = runtime.GetLinkSnapshot();
    EXPECT_FALSE(snapshot.runtime_available);
    EXPECT_EQ(snapshot.state, "offline");
    EXPECT_EQ(snapshot.message, kNotInstalled);
    // Loaded once, the library is asked to initialise again by the next start.
    installed.Get<NdiStandInSetInitializeResult>("ndi_stand_in_set_initialize_result")(true);
    runtime.Start();
    EXPECT_TRUE(runtime.GetLinkSnapshot().runtime_available);
    EXPECT_EQ(installed.Read().initialize_calls, 2);
  });
}

TEST(NdiLibraryLoad, FinderOrReceiverThatCannotBeMadeGiveTheLibraryBack) {
  struct Case {
    bool finder;
    bool receiver;
  };
  for (const Case c : {Case{true, false}, Case{false, true}}) {
    SCOPED_TRACE(c.finder ? "no finder" : "no receiver");
    RunInOwnProcess([c](const fs::path& folder) {
      InstalledNdi installed(folder);
      ASSERT_TRUE(AcquireNdiLibrary(TestSearch()));  // loads the stand-in to script it
      installed.Get<NdiStandInFailCreation>("ndi_stand_in_fail_creation")(c.finder, c.receiver);
      ReleaseNdiLibrary();
      SdkRuntime runtime(FastSettings());
      runtime.Start();
      const NdiLinkSnapshot snapshot = runtime.GetLinkSnapshot();
      EXPECT_FALSE(snapshot.runtime_available);
      EXPECT_EQ(snapshot.state, "error");
      EXPECT_EQ(snapshot.message, "The NDI runtime could not be started.");
      const NdiStandInCounters counters = installed.Read();
      EXPECT_EQ(counters.initialize_calls, 2);
      EXPECT_EQ(counters.destroy_calls, 2) << "the runtime's reference was given back";
      EXPECT_EQ(counters.finder_destroys, c.finder ? 0 : 1);
      EXPECT_EQ(counters.receiver_destroys, c.receiver ? 0 : 1);
    });
  }
}

TEST(NdiRuntime, StartsOnceStopsHarmlesslyAndStartsAgain) {
  RunInOwnProcess([](const fs::path& folder) {
    InstalledNdi installed(folder);
    SdkRuntime runtime(FastSettings());
    runtime.Stop();  // before any start
    EXPECT_EQ(runtime.GetLinkSnapshot().state, "");
    runtime.Start();
    runtime.Start();
    NdiStandInCounters counters = installed.Read();
    EXPECT_EQ(counters.finder_creates, 1);
    EXPECT_EQ(counters.receiver_creates, 1);
    EXPECT_EQ(counters.color_format, ndi::kColorFormatBgrxBgra);
    EXPECT_EQ(counters.bandwidth, ndi::kBandwidthHighest);
    EXPECT_EQ(counters.allow_video_fields, 0);
    EXPECT_STREQ(counters.receiver_name, "Tessvark");
    EXPECT_TRUE(runtime.GetLinkSnapshot().runtime_available);
    EXPECT_EQ(runtime.GetLinkSnapshot().state, "no_source");
    runtime.Stop();
    runtime.Stop();
    counters = installed.Read();
    EXPECT_EQ(counters.finder_destroys, 1);
    EXPECT_EQ(counters.receiver_destroys, 1);
    EXPECT_EQ(counters.destroy_calls, 1);
    EXPECT_FALSE(runtime.GetLinkSnapshot().runtime_available);
    runtime.Start();
    EXPECT_EQ(installed.Read().finder_creates, 2);
    EXPECT_EQ(installed.Read().initialize_calls, 2);
  });
}

// A stack dump or `top -H` tells the runtime's two threads apart by their names.
TEST(NdiRuntime, TheFinderAndTheReceiverRunOnNamedThreadsUntilStop) {
  RunInOwnProcess([](const fs::path& folder) {
    InstalledNdi installed(folder);
    SdkRuntime runtime(FastSettings());
    runtime.Start();
    EXPECT_TRUE(WaitUntil([] {
      return ThreadsNamed(getpid(), "ndi-find") == 1 && ThreadsNamed(getpid(), "ndi-recv") == 1;
    }));
    runtime.Stop();
    // A joined thread may still be listed for a moment while the kernel finishes its exit.
    EXPECT_TRUE(WaitUntil([] {
      return ThreadsNamed(getpid(), "ndi-find") == 0 && ThreadsNamed(getpid(), "ndi-recv") == 0;
    }));
  });
}

TEST(NdiRuntime, DiscoveryListsNamedSendersOnceEachSorted) {
  RunInOwnProcess([](const fs::path& folder) {
    InstalledNdi installed(folder);
    SdkRuntime runtime(FastSettings());
    EXPECT_EQ(runtime.SourcesUpdatedAt(), 0.0);
    runtime.Start();
    installed.SetSources({{"Studio B", "10.0.0.2:5961"},
                          {nullptr, "10.0.0.9:5961"},
                          {"", "10.0.0.8:5961"},
                          {"Studio A", nullptr},
                          {"Studio B", "10.0.0.1:5961"},
                          {"Studio \xC3\xA9", "10.0.0.3:5961"}});
    ASSERT_TRUE(WaitUntil([&] { return runtime.ListSources().size() == 3; }));
    const std::vector<NdiSourceInfo> sources = runtime.ListSources();
    EXPECT_EQ(sources[0].id, "Studio A");
    EXPECT_EQ(sources[0].url_address, "");
    EXPECT_EQ(sources[1].id, "Studio B");
    EXPECT_EQ(sources[1].url_address, "10.0.0.2:5961") << "the first record of a name wins";
    EXPECT_EQ(sources[2].name, "Studio \xC3\xA9") << "bytes sort after ASCII";
    for (const NdiSourceInfo& source : sources) {
      EXPECT_EQ(source.name, source.id);
      EXPECT_TRUE(source.online);
    }
    EXPECT_GT(runtime.SourcesUpdatedAt(), 0.0);
  });
}

TEST(NdiRuntime, ARefreshReadsTheListWithoutWaitingForNews) {
  RunInOwnProcess([](const fs::path& folder) {
    InstalledNdi installed(folder);
    SdkRuntimeSettings settings = FastSettings();
    settings.timers.full_read_interval = std::chrono::hours(1);
    SdkRuntime runtime(settings);
    runtime.Start();
    // The first pass reads the (empty) list; a later change that discovery does not announce is
    // seen only by a forced read.
    ASSERT_TRUE(WaitUntil([&] { return installed.Read().source_reads >= 1; }));
    installed.SetSources({{"Quiet", "10.0.0.4:5961"}}, false);
    runtime.RefreshSources();
    ASSERT_TRUE(WaitUntil([&] { return runtime.ListSources().size() == 1; }));
    EXPECT_EQ(runtime.ListSources()[0].id, "Quiet");
    EXPECT_GE(installed.Read().zero_waits, 2) << "forced reads do not wait for discovery";
  });
}

TEST(NdiRuntime, AnUnlistedChoiceIsOfflineUntilDiscoveredThenPicturesConnect) {
  RunInOwnProcess([](const fs::path& folder) {
    NdiRun run(folder);
    auto& [installed, recorder, runtime] = run;
    runtime.Start();
    runtime.SelectSource("Cam 1");
    EXPECT_EQ(recorder.LinksOnThisThread(), 1u) << "the change is published on the caller's thread";
    EXPECT_EQ(recorder.Links().back().state, "offline");
    EXPECT_EQ(recorder.Links().back().selected_source, "Cam 1");

    installed.SetSources({{"Cam 1", "10.0.0.5:5961"}});
    const int connecting = recorder.WaitForLink("connecting");
    ASSERT_GE(connecting, 0);
    EXPECT_EQ(recorder.Links()[connecting].source_name, "Cam 1");
    EXPECT_STREQ(installed.Read().connected_name, "Cam 1");
    EXPECT_STREQ(installed.Read().connected_url, "10.0.0.5:5961");

    installed.SendGradient("Cam 1");
    ASSERT_GE(recorder.WaitForLink("connected", connecting), 0);
    ASSERT_TRUE(recorder.WaitForFrames(5));
    const std::vector<NdiFrame> frames = recorder.Frames();
    for (std::size_t i = 0; i < frames.size(); ++i) {
      EXPECT_EQ(frames[i].source, "Cam 1");
      ASSERT_EQ(frames[i].image.type(), CV_8UC3);
      EXPECT_EQ(frames[i].width, kWidth);
      EXPECT_EQ(frames[i].height, kHeight);
      EXPECT_EQ(frames[i].frame_rate_n, 30000);
      EXPECT_EQ(frames[i].frame_rate_d, 1001);
      EXPECT_EQ(testing::FrameIndexOf(frames[i].image), frames[i].timecode);
      if (i > 0) {
        EXPECT_EQ(frames[i].timecode, frames[i - 1].timecode + 1) << "no picture skipped";
      }
      // Away from the index, the gradient survives the conversion.
      EXPECT_EQ(frames[i].image.at<cv::Vec3b>(7, 5), cv::Vec3b(5, 7, 12));
    }
    const NdiLinkSnapshot snapshot = runtime.GetLinkSnapshot();
    EXPECT_EQ(snapshot.width, kWidth);
    EXPECT_EQ(snapshot.frame_rate_n, 30000);
    EXPECT_GT(snapshot.last_frame_at, 0.0);
    runtime.Stop();
    const NdiCounters counters = runtime.GetCounters();
    EXPECT_GE(counters.delivered_frames, 5);
    EXPECT_EQ(counters.released_frames, counters.video_frames) << "every picture handed back";
    EXPECT_EQ(installed.Read().video_freed, installed.Read().video_sent);
    EXPECT_EQ(counters.reconnects, 0);
    EXPECT_EQ(runtime.GetLinkSnapshot().state, "offline") << "stopped with a source selected";
  });
}

TEST(NdiRuntime, AQuietSenderTurnsStaleThenOfflineAndComesBack) {
  RunInOwnProcess([](const fs::path& folder) {
    NdiRun run(folder);
    auto& [installed, recorder, runtime] = run;
    installed.SetSources({{"Cam 1", "10.0.0.5:5961"}});
    installed.SendGradient("Cam 1");
    runtime.SelectSource("Cam 1");
    runtime.Start();
    const int connected = recorder.WaitForLink("connected");
    ASSERT_GE(connected, 0);
    installed.StopSending("Cam 1");
    const int stale = recorder.WaitForLink("stale", connected);
    ASSERT_GE(stale, 0);
    const int offline = recorder.WaitForLink("offline", stale);
    ASSERT_GE(offline, 0);
    EXPECT_EQ(recorder.Links()[offline].message, "");
    installed.SendGradient("Cam 1");
    EXPECT_GE(recorder.WaitForLink("connected", offline), 0);
  });
}

TEST(NdiRuntime, StaleAndOfflineKeepTheirRealThresholds) {
  RunInOwnProcess([](const fs::path& folder) {
    InstalledNdi installed(folder);
    SdkRuntimeSettings settings;  // the standard timers
    settings.library = TestSearch();
    RuntimeRecorder recorder;
    SdkRuntime runtime(settings);
    recorder.Attach(runtime);
    installed.SetSources({{"Cam 1", nullptr}});
    installed.SendGradient("Cam 1");
    runtime.SelectSource("Cam 1");
    runtime.Start();
    ASSERT_TRUE(recorder.WaitForFrames(3));
    installed.StopSending("Cam 1");
    const int stale = recorder.WaitForLink("stale");
    ASSERT_GE(stale, 0);
    const double last_picture = recorder.Links()[stale].last_frame_at;
    const double stale_at = recorder.Links()[stale].updated_at;
    const int offline = recorder.WaitForLink("offline", stale);
    ASSERT_GE(offline, 0);
    const double offline_at = recorder.Links()[offline].updated_at;
    // Lower bounds only: a loaded machine can make the states late, never early. The wall-clock
    // stamps trail the steady-clock readings the timers use by a little.
    EXPECT_GE(stale_at - last_picture, 2.49);
    EXPECT_GE(offline_at - last_picture, 7.99);
  });
}

TEST(NdiRuntime, AConnectionWithoutPicturesGoesOffline) {
  RunInOwnProcess([](const fs::path& folder) {
    NdiRun run(folder);
    auto& [installed, recorder, runtime] = run;
    installed.SetSources({{"Silent", nullptr}});
    runtime.Start();
    ASSERT_TRUE(WaitUntil([&] { return runtime.ListSources().size() == 1; }));
    runtime.SelectSource("Silent");
    const int connecting = recorder.WaitForLink("connecting");
    ASSERT_GE(connecting, 0);
    ASSERT_TRUE(WaitUntil([&] { return installed.Read().connects == 1; }));
    EXPECT_STREQ(installed.Read().connected_url, "(null)") << "no URL address: none passed";
    EXPECT_GE(recorder.WaitForLink("offline", connecting), 0);
    EXPECT_STREQ(installed.Read().connected_name, "Silent") << "the connection is kept";
  });
}

TEST(NdiRuntime, ACaptureErrorIsReportedAndTheReceiverConnectsAgain) {
  RunInOwnProcess([](const fs::path& folder) {
    NdiRun run(folder);
    auto& [installed, recorder, runtime] = run;
    const int connected = run.ReceiveFromCam1();
    ASSERT_GE(connected, 0);
    installed.Get<NdiStandInQueue>("ndi_stand_in_queue")(1, 0, 0);
    const int error = recorder.WaitForLink("error", connected);
    ASSERT_GE(error, 0);
    EXPECT_EQ(recorder.Links()[error].message, "NDI receiver error");
    EXPECT_EQ(recorder.Links()[error].source_name, "");
    EXPECT_GE(recorder.WaitForLink("connected", error), 0);
    EXPECT_EQ(runtime.GetCounters().reconnects, 1);
    EXPECT_EQ(installed.Read().connects, 2);
  });
}

TEST(NdiRuntime, AudioMetadataAndTheLibrarysDropCountAreCounted) {
  RunInOwnProcess([](const fs::path& folder) {
    InstalledNdi installed(folder);
    SdkRuntime runtime(FastSettings());
    installed.Get<NdiStandInSetDropped>("ndi_stand_in_set_dropped")((std::int64_t{1} << 32) + 7);
    installed.Get<NdiStandInQueue>("ndi_stand_in_queue")(0, 2, 3);
    runtime.Start();
    ASSERT_TRUE(WaitUntil([&] {
      const NdiCounters counters = runtime.GetCounters();
      return counters.audio_frames == 2 && counters.metadata_frames == 3 &&
             counters.dropped_frames == 7;
    }));
    EXPECT_EQ(installed.Read().audio_freed, 2);
    EXPECT_EQ(installed.Read().metadata_freed, 3);
  });
}

TEST(NdiRuntime, PicturesInAnotherFormatAreRejectedAndHandedBack) {
  RunInOwnProcess([](const fs::path& folder) {
    NdiRun run(folder);
    auto& [installed, recorder, runtime] = run;
    installed.SetSources({{"Cam 1", nullptr}});
    installed.SendGradient("Cam 1", FourCc('U', 'Y', 'V', 'Y'));
    runtime.SelectSource("Cam 1");
    runtime.Start();
    ASSERT_TRUE(WaitUntil([&] { return runtime.GetCounters().rejected_frames >= 3; }));
    runtime.Stop();
    const NdiCounters counters = runtime.GetCounters();
    EXPECT_EQ(counters.delivered_frames, 0);
    EXPECT_EQ(counters.rejected_frames, counters.video_frames);
    EXPECT_EQ(counters.released_frames, counters.video_frames);
    EXPECT_TRUE(recorder.Frames().empty());
  });
}

TEST(NdiRuntime, ASenderLeavingDiscoveryIsOfflineWhileItsPicturesStillConnect) {
  RunInOwnProcess([](const fs::path& folder) {
    NdiRun run(folder);
    auto& [installed, recorder, runtime] = run;
    const int connected = run.ReceiveFromCam1();
    ASSERT_GE(connected, 0);
    installed.SetSources({{"Cam 2", nullptr}});
    const int offline = recorder.WaitForLink("offline", connected);
    ASSERT_GE(offline, 0);
    EXPECT_GE(recorder.WaitForLink("connected", offline), 0);
    EXPECT_EQ(installed.Read().disconnects, 0);
  });
}

TEST(NdiRuntime, ChoosingTheConnectedSenderAgainPublishesNothing) {
  RunInOwnProcess([](const fs::path& folder) {
    NdiRun run(folder, PatientSettings());
    auto& [installed, recorder, runtime] = run;
    ASSERT_GE(run.ReceiveFromCam1(), 0);
    const std::size_t before = recorder.LinksOnThisThread();
    runtime.SelectSource("Cam 1");
    EXPECT_EQ(recorder.LinksOnThisThread(), before);
    EXPECT_EQ(runtime.GetLinkSnapshot().state, "connected");
  });
}

TEST(NdiRuntime, AnUnlistedChoiceKeepsTheOldConnectionAndDropsItsPictures) {
  RunInOwnProcess([](const fs::path& folder) {
    NdiRun run(folder, PatientSettings());
    auto& [installed, recorder, runtime] = run;
    ASSERT_GE(run.ReceiveFromCam1(), 0);
    runtime.SelectSource("Cam 9");
    EXPECT_EQ(runtime.GetLinkSnapshot().state, "offline");
    const NdiCounters before = runtime.GetCounters();
    ASSERT_TRUE(WaitUntil([&] { return runtime.GetCounters().video_frames >= before.video_frames + 3; }));
    EXPECT_EQ(runtime.GetCounters().delivered_frames, before.delivered_frames);
    EXPECT_EQ(runtime.GetLinkSnapshot().state, "offline");
    EXPECT_STREQ(installed.Read().connected_name, "Cam 1");
    // An empty choice disconnects.
    runtime.ClearSelection();
    ASSERT_TRUE(WaitUntil([&] { return installed.Read().disconnects == 1; }));
    EXPECT_EQ(runtime.GetLinkSnapshot().state, "no_source");
  });
}

TEST(NdiRuntime, AFailingThreadPublishesTheReceiverErrorAndEnds) {
  RunInOwnProcess([](const fs::path& folder) {
    NdiRun run(folder);
    auto& [installed, recorder, runtime] = run;
    runtime.SetFrameCallback([](const NdiFrame&) { throw std::runtime_error("receiver broke"); });
    const int connected = run.ReceiveFromCam1();
    ASSERT_GE(connected, 0);
    const int error = recorder.WaitForLink("error", connected);
    ASSERT_GE(error, 0);
    EXPECT_EQ(recorder.Links()[error].message, "NDI receiver error");
    // The receiver thread has ended: pictures are no longer taken.
    const std::int64_t sent = installed.Read().video_sent;
    const std::int64_t reads = installed.Read().source_reads;
    ASSERT_TRUE(WaitUntil([&] { return installed.Read().source_reads >= reads + 3; }));
    EXPECT_EQ(installed.Read().video_sent, sent);
  });
}

// A check of the library shows a refusal before anything is started, and a refused runtime keeps
// saying why whatever is chosen afterwards, so the operator is never told of a plain "offline".
TEST(NdiRuntime, ARefusedLibraryIsKnownBeforeAStartAndItsMessageStays) {
  RunInOwnProcess([](const fs::path& folder) {
    unsetenv("NDI_RUNTIME_DIR_V6");
    fs::create_directories(folder / "lib");
    SdkRuntimeSettings settings = FastSettings();
    settings.library = TestSearch({(folder / "lib").string()});
    const std::string not_installed = "The NDI runtime is not installed: Tessvark looked for libndi.so.6 in " +
                                      (folder / "lib").string() +
                                      " and NDI_RUNTIME_DIR_V6 (not set to an absolute folder). Examples remain available.";
    RuntimeRecorder recorder;
    SdkRuntime runtime(settings);
    recorder.Attach(runtime);
    runtime.CheckLibrary();
    NdiLinkSnapshot snapshot = runtime.GetLinkSnapshot();
    EXPECT_FALSE(snapshot.runtime_available);
    EXPECT_EQ(snapshot.message, not_installed);
    for (const char* chosen : {"Cam 1", "", "Cam 2"}) {
      SCOPED_TRACE(chosen);
      runtime.SelectSource(chosen);
      snapshot = runtime.GetLinkSnapshot();
      EXPECT_FALSE(snapshot.runtime_available);
      EXPECT_EQ(snapshot.message, not_installed);
      EXPECT_EQ(recorder.Links().back().message, not_installed) << "as published";
    }
    // The start the session makes for a choice fails the same way, and the choice after it too.
    runtime.Start();
    runtime.SelectSource("Cam 1");
    EXPECT_EQ(runtime.GetLinkSnapshot().message, not_installed);
    runtime.Stop();
    EXPECT_EQ(runtime.GetLinkSnapshot().message, not_installed);
  });
}

TEST(NdiRuntime, ACheckOfAUsableLibraryStartsNothingAndIsMadeOnce) {
  RunInOwnProcess([](const fs::path& folder) {
    InstalledNdi installed(folder);
    SdkRuntime runtime(FastSettings());
    runtime.CheckLibrary();
    runtime.CheckLibrary();
    NdiStandInCounters counters = installed.Read();
    EXPECT_EQ(counters.initialize_calls, 1);
    EXPECT_EQ(counters.destroy_calls, 1) << "the check holds no reference";
    EXPECT_EQ(counters.finder_creates, 0);
    EXPECT_EQ(counters.receiver_creates, 0);
    EXPECT_FALSE(runtime.GetLinkSnapshot().runtime_available);
    EXPECT_EQ(runtime.GetLinkSnapshot().message, "");
    runtime.Start();
    runtime.CheckLibrary();  // after a start: nothing
    EXPECT_TRUE(runtime.GetLinkSnapshot().runtime_available);
    EXPECT_EQ(installed.Read().initialize_calls, 2);
    EXPECT_EQ(installed.Read().finder_creates, 1);
  });
}

// A sender that leaves discovery and stops sending: the full reads say "offline" and the
// receiver's timers must not answer "stale" in between.
TEST(NdiRuntime, ASenderThatLeftDiscoveryStaysOffline) {
  RunInOwnProcess([](const fs::path& folder) {
    NdiRun run(folder);
    auto& [installed, recorder, runtime] = run;
    const int connected = run.ReceiveFromCam1();
    ASSERT_GE(connected, 0);
    // Every picture sent is taken first: a picture still on its way would rightly show
    // "connected" again.
    installed.StopSending("Cam 1");
    ASSERT_TRUE(WaitUntil([&] {
      const NdiCounters counters = runtime.GetCounters();
      return counters.released_frames == installed.Read().video_sent &&
             recorder.Frames().size() == static_cast<std::size_t>(counters.delivered_frames);
    }));
    const std::size_t dropped = recorder.LinkCount();
    installed.SetSources({});
    ASSERT_TRUE(WaitUntil([&] { return runtime.GetLinkSnapshot().state == "offline"; }));
    // Past the whole stale window and several full reads of the list.
    const std::int64_t reads = installed.Read().source_reads;
    const double last_picture = runtime.GetLinkSnapshot().last_frame_at;
    ASSERT_TRUE(WaitUntil([&] {
      return installed.Read().source_reads >= reads + 6 &&
             runtime.GetLinkSnapshot().updated_at - last_picture > 1.5;
    }));
    const std::vector<NdiLinkSnapshot> links = recorder.Links();
    std::size_t offline = dropped;
    while (offline < links.size() && links[offline].state != "offline") ++offline;
    for (std::size_t i = offline; i < links.size(); ++i) {
      EXPECT_EQ(links[i].state, "offline") << "publication " << i;
    }
    EXPECT_EQ(runtime.GetLinkSnapshot().state, "offline");
  });
}

}  // namespace
}  // namespace tessvark
