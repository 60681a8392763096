// A started session with the real NDI and OMT runtimes over our stand-in libraries, driven through
// its HTTP API as the operator interface drives it: the runtimes' sources are listed, chosen and
// read, and a runtime that cannot be loaded says why. Each scenario runs in a process of its own,
// since the libraries are loaded once per process.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <map>

#include <opencv2/imgcodecs.hpp>

#include "sources/ndi_library.h"
#include "sources/omt_library.h"
#include "stand_in_fixture.h"
#include "tools/example_media/example_scenes.h"
#include "zone_api_client.h"
#include "tests/support/wait_until.h"

namespace tessvark {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::ApiReply;
using testing::RunInOwnProcess;

constexpr char kNdiName[] = "SCOREBOARD (Cam 1)";
constexpr char kOmtAddress[] = "omt://127.0.0.1:6400";
const std::vector<std::string> kFootballKeys = {"home", "guest", "clock", "period", "down", "to_go"};
const std::vector<std::string> kHockeyKeys = {"home", "guest", "clock", "period", "home_shots",
                                              "guest_shots"};

// A stored configuration with no source chosen, whose NDI source reads the zones of the Example
// still and whose OMT source those of the Example clip.
::testing::AssertionResult StoreZoneProfiles(const fs::path& data_dir) {
  ConfigStore store(data_dir);
  SourceConfiguration configuration;
  store.Load(configuration);
  std::string error;
  if (!store.ApplyFactoryDefaults(configuration, testing::ExampleFolder() + "/factory-defaults.json",
                                  error)) {
    return ::testing::AssertionFailure() << error;
  }
  const std::pair<const char*, std::string> copies[] = {
      {"example-2", ProfileKey("ndi", kNdiName)}, {"example-1", ProfileKey("omt", kOmtAddress)}};
  for (const auto& [example, key] : copies) {
    const ZoneProfile* from = configuration.FindProfile(ProfileKey("example", example));
    if (from == nullptr) return ::testing::AssertionFailure() << "no profile " << example;
    const ZoneProfile copy = *from;
    ZoneProfile& own = configuration.FindOrAddProfile(key);
    own.zones = copy.zones;
    own.has_zones = copy.has_zones;
    own.corners = copy.corners;
    own.has_geometry = copy.has_geometry;
  }
  configuration.source_type = "none";
  configuration.source_id.clear();
  if (!store.Save(configuration, error)) return ::testing::AssertionFailure() << error;
  return ::testing::AssertionSuccess();
}

// A started session with both runtimes on, on its own data folder.
struct NetworkSession {
  explicit NetworkSession(const fs::path& folder) : data(folder / "data") {
    fs::create_directories(data);
  }
  bool Start() {
    NativeSessionOptions options = testing::TestSessionOptions(data);
    options.enable_ndi = true;
    options.enable_omt = true;
    session = std::make_unique<NativeSession>(std::move(options));
    if (!testing::StartSession(*session)) return false;
    api = std::make_unique<testing::ZoneApiClient>(session->Server().Port());
    return true;
  }
  std::optional<JsonValue> Sources() {
    const ApiReply reply = api->Get("/api/sources");
    if (reply.status != 200) return std::nullopt;
    return ParseJson(reply.body);
  }

  fs::path data;
  std::unique_ptr<NativeSession> session;
  std::unique_ptr<testing::ZoneApiClient> api;
};

// The entry of `id` in a source list (the NDI one, or the "omt" member's); null when unlisted.
const JsonValue* Listed(const JsonValue& list, const std::string& id) {
  const JsonValue* sources = list.FindMember("sources");
  if (sources == nullptr) return nullptr;
  for (const JsonValue& source : sources->items) {
    const JsonValue* value = source.FindMember("id");
    if (value != nullptr && value->text == id) return &source;
  }
  return nullptr;
}

// Waits for a state event that shows every value of `truth`.
::testing::AssertionResult StreamShows(int port, const std::map<std::string, std::string>& truth) {
  std::string last = "no event";
  const auto state = testing::WaitForStateEvent(
      port,
      [&](const JsonValue& event) {
        last.clear();
        bool all = true;
        for (const auto& [key, text] : truth) {
          last += key + "=" + testing::StateText(event, key) + " ";
          all = all && testing::StateText(event, key) == text;
        }
        return all;
      },
      testing::kPatience);
  if (state) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "last event: " << last;
}

TEST(NetworkSources, NdiAndOmtSendersAreListedChosenAndRead) {
  RunInOwnProcess([](const fs::path& folder) {
    // The NDI stand-in where NDI_RUNTIME_DIR_V6 points and the pinned OMT stand-ins, each loaded
    // once here, so that the session's own runtimes find them loaded whatever the machine's
    // library folders hold.
    const testing::InstalledNdi ndi(folder);
    NdiLibrarySearch search;
    search.standard_folders.clear();
    ASSERT_TRUE(AcquireNdiLibrary(search));
    ReleaseNdiLibrary();
    const testing::InstalledOmt omt(folder);
    std::string message;
    ASSERT_TRUE(LoadOmtLibrary(omt.Pin(), message)) << message;

    // The senders: the Example still over NDI, the first picture of the Example clip over OMT.
    const cv::Mat still = cv::imread(testing::ExampleFolder() + "/1.jpg", cv::IMREAD_COLOR);
    ASSERT_FALSE(still.empty());
    ndi.SetSources({{kNdiName, "127.0.0.1:5961"}});
    ndi.Send(kNdiName, testing::ToBgra(still), still.cols, still.rows, ndi::kFourCcBgrx, 40);
    const ExampleScene hockey = RenderHockeyScene(0);
    const std::vector<std::uint8_t> hockey_bgra = testing::ToBgra(hockey.image);
    omt.SetAddresses({kOmtAddress});
    omt.Send(kOmtAddress, omt::kFormatBgra, hockey.image.cols, hockey.image.rows, hockey_bgra,
             hockey.image.cols * 4, static_cast<int>(hockey_bgra.size()), omt::kFrameTypeVideo, 40);

    ASSERT_TRUE(StoreZoneProfiles(folder / "data"));
    NetworkSession run(folder);
    ASSERT_TRUE(run.Start());
    const int port = run.session->Server().Port();

    // NDI: a refresh starts discovery; the sender appears with its address.
    ASSERT_EQ(run.api->Post("/api/sources/refresh", R"({"type":"ndi"})").status, 200);
    ASSERT_TRUE(testing::WaitUntil([&] {
      const std::optional<JsonValue> sources = run.Sources();
      return sources && Listed(*sources, kNdiName) != nullptr;
    }));
    const std::optional<JsonValue> listed = run.Sources();
    EXPECT_EQ(Listed(*listed, kNdiName)->FindMember("url_address")->text, "127.0.0.1:5961");
    EXPECT_EQ(listed->FindMember("runtime_available")->text, "true");

    ApiReply chosen = run.api->Put("/api/source", std::string(R"({"type":"ndi","id":")") + kNdiName + "\"}");
    ASSERT_EQ(chosen.status, 200) << chosen.body;
    EXPECT_TRUE(StreamShows(port, testing::TruthByStateKey(RenderFootballScene().fields, kFootballKeys)));
    ApiReply status = run.api->Get("/api/status");
    EXPECT_NE(status.body.find(R"("receiver_state":"connected")"), std::string::npos) << status.body;
    EXPECT_NE(status.body.find(R"("resolution":{"width":1280,"height":720})"), std::string::npos);
    EXPECT_NE(status.body.find(R"("source_format":"NDI")"), std::string::npos);
    EXPECT_EQ(run.api->Get("/preview").content_type, "image/jpeg");

    // OMT: listed under "omt", chosen in place of the NDI sender, read.
    ASSERT_EQ(run.api->Post("/api/sources/refresh", R"({"type":"omt"})").status, 200);
    ASSERT_TRUE(testing::WaitUntil([&] {
      const std::optional<JsonValue> sources = run.Sources();
      return sources && Listed(*sources->FindMember("omt"), kOmtAddress) != nullptr;
    }));
    chosen = run.api->Put("/api/source", std::string(R"({"type":"omt","id":")") + kOmtAddress + "\"}");
    ASSERT_EQ(chosen.status, 200) << chosen.body;
    EXPECT_TRUE(StreamShows(port, testing::TruthByStateKey(hockey.fields, kHockeyKeys)));
    status = run.api->Get("/api/status");
    EXPECT_NE(status.body.find(R"("receiver_state":"connected")"), std::string::npos) << status.body;
    EXPECT_NE(status.body.find(R"("source_format":"OMT")"), std::string::npos);

    run.session->Stop();
  });
}

TEST(NetworkSources, ARuntimeThatCannotBeLoadedSaysWhyInTheSourceList) {
  struct Case {
    const char* omt;  // the built OMT library beside the program; none when null
    const char* omt_message;  // none: the not-installed message naming the program's folder
  };
  const Case cases[] = {
      {nullptr, nullptr},
      {"omt_incomplete/libomt.so",
       "The OMT runtime is missing a required entry point. Tessvark did not use it."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.omt != nullptr ? c.omt : "no OMT library");
    RunInOwnProcess([&c](const fs::path& folder) {
      unsetenv("NDI_RUNTIME_DIR_V6");
      NdiLibrarySearch nowhere;
      nowhere.standard_folders.clear();
      ASSERT_FALSE(AcquireNdiLibrary(nowhere));
      const testing::InstalledOmt installed(folder, c.omt != nullptr ? c.omt : "omt/libomt.so");
      if (c.omt == nullptr) fs::remove(installed.program() / "libomt.so");
      std::string message;
      ASSERT_FALSE(LoadOmtLibrary(installed.Pin(), message));

      NetworkSession run(folder);
      ASSERT_TRUE(run.Start());
      ASSERT_EQ(run.api->Post("/api/sources/refresh", R"({"type":"ndi"})").status, 200);
      ASSERT_EQ(run.api->Post("/api/sources/refresh", R"({"type":"omt"})").status, 200);
      const std::optional<JsonValue> sources = run.Sources();
      ASSERT_TRUE(sources);
      EXPECT_EQ(sources->FindMember("runtime_available")->text, "false");
      EXPECT_EQ(sources->FindMember("runtime_message")->text,
                "The NDI runtime is not installed: Tessvark looked for libndi.so.6 in NDI_RUNTIME_DIR_V6 "
                "(not set to an absolute folder). Examples remain available.");
      const JsonValue* omt = sources->FindMember("omt");
      EXPECT_EQ(omt->FindMember("runtime_available")->text, "false");
      const std::string omt_message =
          c.omt_message != nullptr ? std::string(c.omt_message)
                                   : "The OMT runtime is not installed: Tessvark looked for libvmx.so and libomt.so in " +
                                         installed.program().string() + ". Examples remain available.";
      EXPECT_EQ(omt->FindMember("runtime_message")->text, omt_message);

      const ApiReply refused = run.api->Put("/api/source", R"({"type":"omt","id":"omt://x:1"})");
      EXPECT_EQ(refused.status, 503);
      EXPECT_EQ(refused.body, testing::DetailJson("The OMT runtime is not available."));
      run.session->Stop();
    });
  }
}

}  // namespace
}  // namespace tessvark
