// A whole session on a temporary data folder with its server on loopback: the stored
// configuration, the Example sources, the live frame path and stopping.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <thread>

#include <httplib.h>
#include <opencv2/imgcodecs.hpp>

#include "core/steady_clock.h"
#include "session/native_session.h"
#include "session_fixture.h"
#include "tests/support/wait_until.h"
#include "tools/example_media/example_scenes.h"

namespace tessvark {
namespace {

using namespace std::chrono_literals;
using testing::FakeNdiRuntime;
using testing::StateText;
using testing::TempFolder;
using testing::WaitUntil;

const std::vector<std::string> kFootballKeys = {"home", "guest", "clock", "period", "down", "to_go"};
const std::vector<std::string> kHockeyKeys = {"home", "guest", "clock", "period", "home_shots",
                                              "guest_shots"};

bool MatchesTruth(const JsonValue& state, const std::map<std::string, std::string>& truth) {
  for (const auto& [key, text] : truth) {
    if (StateText(state, key) != text) return false;
  }
  return true;
}

std::string Describe(const JsonValue& state, const std::vector<std::string>& keys) {
  std::string out;
  for (const std::string& key : keys) out += key + "=" + StateText(state, key) + " ";
  return out;
}

// Waits for a state event that shows `truth`; a failure names what the last event showed of
// `keys`.
::testing::AssertionResult StateEventShowsTruth(int port, const std::map<std::string, std::string>& truth,
                                                const std::vector<std::string>& keys) {
  std::optional<JsonValue> last;
  const auto state = testing::WaitForStateEvent(
      port,
      [&](const JsonValue& event) {
        last = event;
        return MatchesTruth(event, truth);
      },
      testing::kPatience);
  if (state) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << (last ? Describe(*last, keys) : "no event");
}

// Delivers the picture as the receiver's source every 40 ms until `done` answers.
::testing::AssertionResult DeliverUntil(FakeNdiRuntime& runtime, const std::string& source, const cv::Mat& picture,
                                        const std::function<::testing::AssertionResult()>& done) {
  std::atomic<bool> delivering{true};
  std::thread receiver([&] {
    while (delivering) {
      runtime.Deliver(source, picture);
      std::this_thread::sleep_for(40ms);
    }
  });
  ::testing::AssertionResult result = done();
  delivering = false;
  receiver.join();
  return result;
}

// Whether a UDP socket can bind 127.0.0.1:port, that is whether no listener holds it.
bool UdpPortIsFree(int port) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return bound;
}

// A UDP port on loopback that is free now.
int FreeUdpPort() {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

// An age that no delay of a loaded machine turns into "too old": received a minute from now.
constexpr std::int64_t kFresh = -60'000'000'000;

VideoFrame LiveFrame(const cv::Mat& image, const std::string& source, std::int64_t generation,
                     std::int64_t age_ns) {
  VideoFrame frame;
  frame.image = image;
  frame.width = image.cols;
  frame.height = image.rows;
  frame.row_stride = static_cast<std::int32_t>(image.step[0]);
  frame.received_at = SteadyClockNanoseconds() - age_ns;
  frame.source = source;
  frame.source_generation = generation;
  return frame;
}

// Waits until an operation answers with `status`.
bool EventuallyStatus(const std::function<RuntimeResponse()>& call, int status) {
  return WaitUntil([&] { return call().status == status; });
}

::testing::AssertionResult Stored(const std::filesystem::path& data_dir, const std::string& type,
                                  const std::string& id, const std::string& zones_from_example) {
  std::string error;
  if (testing::StoreSelection(data_dir, type, id, zones_from_example, error)) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << error;
}

// The three documents of a configuration as the store writes them.
std::vector<std::string> Documents(const SourceConfiguration& configuration) {
  return {SourceConfigDocument(configuration), ZoneStoreDocument(configuration),
          GeometryDocument(configuration)};
}

SourceConfiguration LoadConfiguration(const std::filesystem::path& folder) {
  SourceConfiguration configuration;
  const ConfigLoadResult result = ConfigStore(folder).Load(configuration);
  EXPECT_FALSE(result.zone_store_rewritten);
  EXPECT_FALSE(result.geometry_needs_rewrite);
  return configuration;
}

TEST(NativeSessionConfiguration, WrittenAtStartReloadsIdentically) {
  TempFolder folder("reload");
  {
    NativeSession session(testing::TestSessionOptions(folder.path()));
    ASSERT_TRUE(testing::StartSession(session));
    session.Stop();
  }
  for (const char* file : {"source_config.json", "zone_store.json", "source_geometry.json"}) {
    EXPECT_TRUE(std::filesystem::exists(folder / file)) << file << " written at start";
  }
  const SourceConfiguration first = LoadConfiguration(folder.path());
  EXPECT_EQ(first.source_type, "ndi") << "a first start selects nothing";
  EXPECT_EQ(first.source_id, "");
  const ZoneProfile* clip = first.FindProfile(ProfileKey("example", "example-1"));
  ASSERT_NE(clip, nullptr);
  EXPECT_EQ(ParseOcrZoneList(clip->zones).size(), 11u) << "the factory-default zones";
  EXPECT_TRUE(clip->has_geometry);

  {
    NativeSession session(testing::TestSessionOptions(folder.path()));
    ASSERT_TRUE(testing::StartSession(session));
  }
  EXPECT_EQ(Documents(LoadConfiguration(folder.path())), Documents(first))
      << "a second start writes back what the first wrote";
}

TEST(NativeSessionConfiguration, WithoutDataFolderNothingIsWritten) {
  TempFolder folder("nodata");
  NativeSessionOptions options = testing::TestSessionOptions({});
  NativeSession session(std::move(options));
  ASSERT_TRUE(testing::StartSession(session));
  session.Stop();
  EXPECT_TRUE(std::filesystem::is_empty(folder.path()));
}

TEST(NativeSessionConfiguration, OldExampleIdStartsAsTheClip) {
  TempFolder folder("example3");
  ASSERT_TRUE(Stored(folder.path(), "example", "example-3", ""));
  NativeSession session(testing::TestSessionOptions(folder.path()));
  ASSERT_TRUE(testing::StartSession(session));
  session.Stop();
  SourceConfiguration loaded;
  ConfigStore(folder.path()).Load(loaded);
  EXPECT_EQ(loaded.source_id, "example-1");
}

TEST(NativeSessionConfiguration, StoredSelectionIsAppliedAsStored) {
  struct Case {
    const char* type;
    const char* id;
    const char* expected;  // a piece of the status the session answers with
  };
  const Case cases[] = {
      {"rtsp", "cam", R"("source_type":"none","source_id":null)"},
      {"ndi", "", R"("source_type":"none","source_id":null)"},
      {"ndi", "Cam (1)", R"x("source_type":"ndi","source_id":"Cam (1)","source_name":"Cam (1)")x"},
      {"example", "example-2", R"("source_id":"example-2","source_name":"Example 2")"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.type) + "/" + c.id);
    TempFolder folder("applied");
    ASSERT_TRUE(Stored(folder.path(), c.type, c.id, ""));
    NativeSession session(testing::TestSessionOptions(folder.path()));
    ASSERT_TRUE(testing::StartSession(session));
    const RuntimeResponse status = session.SetSrtSettings("{}");
    EXPECT_NE(status.body.find(c.expected), std::string::npos) << status.body;
  }
}

TEST(NativeSessionExample, MissingMediaLeaveTheSelectionWithoutPictures) {
  for (const char* id : {"example-1", "example-2"}) {
    SCOPED_TRACE(id);
    TempFolder folder("missing-media");
    ASSERT_TRUE(Stored(folder.path(), "example", id, ""));
    NativeSessionOptions options = testing::TestSessionOptions(folder.path());
    options.ui_root = (folder / "ui").string();
    NativeSession session(std::move(options));
    // Start looks for the media itself and starts no input without them, so nothing can come
    // later.
    ASSERT_TRUE(testing::StartSession(session));
    const RuntimeResponse source = session.GetPreview(false);
    EXPECT_EQ(source.status, 503);
    EXPECT_EQ(source.content_type, "text/html; charset=utf-8");
    EXPECT_EQ(source.body, "Waiting for source...");
    EXPECT_EQ(session.GetPreview(true).body, "Waiting for working frame...");
    const RuntimeResponse status = session.SetSrtSettings("{}");
    EXPECT_NE(status.body.find(R"("receiver_state":"error")"), std::string::npos) << status.body;
  }
}

TEST(NativeSessionExample, StillReadsItsDrawnValues) {
  TempFolder folder("still");
  ASSERT_TRUE(Stored(folder.path(), "example", "example-2", ""));
  NativeSession session(testing::TestSessionOptions(folder.path()));
  ASSERT_TRUE(testing::StartSession(session));
  const auto truth = testing::TruthByStateKey(RenderFootballScene().fields, kFootballKeys);
  ASSERT_EQ(truth.size(), kFootballKeys.size());
  EXPECT_TRUE(StateEventShowsTruth(session.Server().Port(), truth, kFootballKeys));
  EXPECT_EQ(session.GetPreview(false).content_type, "image/jpeg");
  EXPECT_EQ(session.GetPreview(true).status, 200);
}

TEST(NativeSessionExample, ClipReadsTheValuesOfItsPictures) {
  TempFolder folder("clip");
  ASSERT_TRUE(Stored(folder.path(), "example", "example-1", ""));
  NativeSession session(testing::TestSessionOptions(folder.path()));
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(testing::StartSession(session));
  // The player paces the clip by the wall clock from its start, so a state read now shows one of
  // the pictures played so far; on a slow machine (or under ThreadSanitizer) analysis can lag the
  // player by seconds, so every picture since the start counts, newest first. The board's values
  // change on whole seconds only, so one picture stands for each second of the clip: rendering
  // every frame's picture instead takes longer than the wait itself under ThreadSanitizer.
  std::map<int, std::map<std::string, std::string>> truths;
  const auto truth_of_second = [&truths](int second) -> const std::map<std::string, std::string>& {
    second %= kExampleVideoFrames / kExampleFps;
    auto found = truths.find(second);
    if (found == truths.end()) {
      const ExampleScene scene = RenderHockeyScene(second * kExampleFps);
      found = truths.emplace(second, testing::TruthByStateKey(scene.fields, kHockeyKeys)).first;
    }
    return found->second;
  };
  int matched = 0;
  std::optional<JsonValue> unmatched;
  testing::WaitForStateEvent(
      session.Server().Port(),
      [&](const JsonValue& event) {
        if (StateText(event, "clock").empty()) return false;
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        const int newest = (static_cast<int>(seconds * kExampleFps) + 2) / kExampleFps;
        bool found = false;
        for (int second = newest; second >= 0 && !found; --second) {
          found = MatchesTruth(event, truth_of_second(second));
        }
        if (found) {
          ++matched;
        } else {
          unmatched = event;
        }
        return matched >= 3;
      },
      // Ends at the third match; the limit only marks a failure.
      testing::kClipPatience);
  EXPECT_GE(matched, 3) << "three states of the clip's pictures";
  EXPECT_FALSE(unmatched.has_value()) << Describe(*unmatched, kHockeyKeys);
}

// A started session whose stored selection is the NDI source "Board (Cam 1)" of a fake runtime,
// with the zones and geometry of an Example profile.
class NdiBoardSession {
 public:
  NdiBoardSession(const std::string& name, const std::string& zones_from_example)
      : folder_(name), runtime_(std::make_shared<FakeNdiRuntime>()) {
    started_ = Stored(folder_.path(), "ndi", "Board (Cam 1)", zones_from_example);
    NativeSessionOptions options = testing::TestSessionOptions(folder_.path());
    options.ndi_runtime = runtime_;
    session_ = std::make_unique<NativeSession>(std::move(options));
    if (started_ && !testing::StartSession(*session_)) started_ = ::testing::AssertionFailure() << "no start";
  }
  const ::testing::AssertionResult& started() const { return started_; }
  FakeNdiRuntime& runtime() { return *runtime_; }
  NativeSession& session() { return *session_; }

 private:
  TempFolder folder_;
  std::shared_ptr<FakeNdiRuntime> runtime_;
  std::unique_ptr<NativeSession> session_;
  ::testing::AssertionResult started_ = ::testing::AssertionFailure();
};

TEST(NativeSessionFrames, ReceiverFramesOfTheSelectedSourceReachTheStream) {
  NdiBoardSession board("ndi", "example-2");
  ASSERT_TRUE(board.started());
  FakeNdiRuntime& runtime = board.runtime();
  NativeSession& session = board.session();
  EXPECT_EQ(runtime.starts(), 1) << "the stored NDI selection starts its runtime";
  EXPECT_EQ(runtime.selected(), "Board (Cam 1)");

  const cv::Mat still = cv::imread(testing::ExampleFolder() + "/1.jpg", cv::IMREAD_COLOR);
  ASSERT_FALSE(still.empty());
  // A picture of another source is ignored: the runtime calls the session on this thread, so the
  // picture was refused by the time Deliver returns.
  ASSERT_TRUE(runtime.Deliver("Other (Cam 2)", still));
  EXPECT_EQ(session.GetPreview(false).status, 503);
  EXPECT_EQ(session.FrameSlot().Sequence(), 0);

  const auto truth = testing::TruthByStateKey(RenderFootballScene().fields, kFootballKeys);
  EXPECT_TRUE(DeliverUntil(runtime, "Board (Cam 1)", still, [&] {
    return StateEventShowsTruth(session.Server().Port(), truth, kFootballKeys);
  }));
  EXPECT_EQ(session.GetPreview(false).status, 200);
  session.Stop();
  EXPECT_GE(runtime.stops(), 1);
  EXPECT_FALSE(runtime.Deliver("Board (Cam 1)", still)) << "Stop takes the session's callbacks back";
}

cv::Mat DecodedPreview(const RuntimeResponse& reply) {
  const std::vector<uchar> bytes(reply.body.begin(), reply.body.end());
  return cv::imdecode(bytes, cv::IMREAD_COLOR);
}

// Mean absolute difference of two pictures of one size, over the area given in fractions.
double MeanDifference(const cv::Mat& a, const cv::Mat& b, const cv::Rect2d& area) {
  const cv::Rect pixels(static_cast<int>(area.x * a.cols), static_cast<int>(area.y * a.rows),
                        static_cast<int>(area.width * a.cols), static_cast<int>(area.height * a.rows));
  const cv::Scalar mean = cv::mean(cv::abs(cv::Mat(a(pixels)) - cv::Mat(b(pixels))));
  return (mean[0] + mean[1] + mean[2]) / 3.0;
}

TEST(NativeSessionFrames, PreviewsShowTheNewestPictureWhenAskedFor) {
  NdiBoardSession board("previews", "example-1");
  ASSERT_TRUE(board.started());
  FakeNdiRuntime& runtime = board.runtime();
  NativeSession& session = board.session();

  // Two pictures of the clip three seconds apart: their clocks differ.
  const ExampleScene scenes[2] = {RenderHockeyScene(12), RenderHockeyScene(3 * kExampleFps + 12)};
  SourceGeometry geometry;
  geometry.top_left = {scenes[0].corners[0].x, scenes[0].corners[0].y};
  geometry.top_right = {scenes[0].corners[1].x, scenes[0].corners[1].y};
  geometry.bottom_right = {scenes[0].corners[2].x, scenes[0].corners[2].y};
  geometry.bottom_left = {scenes[0].corners[3].x, scenes[0].corners[3].y};
  cv::Rect2d clock_area;
  for (const FieldTruth& field : scenes[0].fields) {
    if (field.name == "clock") clock_area = cv::Rect2d(field.x, field.y, field.width, field.height);
  }
  const cv::Rect2d whole(0, 0, 1, 1);

  for (int shown = 0; shown < 2; ++shown) {
    SCOPED_TRACE(shown);
    const auto truth = testing::TruthByStateKey(scenes[shown].fields, kHockeyKeys);
    // Delivered until analysed, and until the preview thread (which may still hold an older
    // picture when the analysis ends) has kept the new picture twice since.
    ASSERT_TRUE(DeliverUntil(runtime, "Board (Cam 1)", scenes[shown].image, [&]() -> ::testing::AssertionResult {
      const ::testing::AssertionResult analysed = StateEventShowsTruth(session.Server().Port(), truth, kHockeyKeys);
      if (!analysed) return analysed;
      const std::uint64_t stored = session.FrameCounters().previews_stored;
      if (WaitUntil([&] { return session.FrameCounters().previews_stored >= stored + 2; })) {
        return ::testing::AssertionSuccess();
      }
      return ::testing::AssertionFailure() << "the preview thread kept no picture";
    }));

    // Nothing asked for a preview while the pictures came; asked now, each shows the picture
    // just analysed and not the one before, whatever was encoded earlier.
    const cv::Mat source = DecodedPreview(session.GetPreview(false));
    const cv::Mat working = DecodedPreview(session.GetPreview(true));
    ASSERT_EQ(source.size(), scenes[shown].image.size());
    EXPECT_LT(MeanDifference(source, scenes[shown].image, whole),
              MeanDifference(source, scenes[1 - shown].image, whole));
    const cv::Mat expected = WarpSourceFrame(scenes[shown].image, geometry);
    const cv::Mat other = WarpSourceFrame(scenes[1 - shown].image, geometry);
    ASSERT_EQ(working.size(), expected.size());
    EXPECT_LT(MeanDifference(working, expected, clock_area), MeanDifference(working, other, clock_area));
    EXPECT_EQ(session.GetPreview(true).body, session.GetPreview(true).body) << "a kept preview is not encoded anew";
  }
}

class SrtSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::make_unique<TempFolder>(
        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    ASSERT_TRUE(Stored(folder_->path(), "srt", "srt-in", "example-2"));
    session_ = std::make_unique<NativeSession>(testing::TestSessionOptions(folder_->path()));
    ASSERT_TRUE(testing::StartSession(*session_));
    srt_port_ = FreeUdpPort();
    const RuntimeResponse settings = session_->SetSrtSettings(
        "{\"bind_address\":\"127.0.0.1\",\"port\":" + std::to_string(srt_port_) + "}");
    ASSERT_EQ(settings.status, 200) << settings.body;
  }

  std::unique_ptr<TempFolder> folder_;
  std::unique_ptr<NativeSession> session_;
  int srt_port_ = 0;
};

TEST_F(SrtSessionTest, FramesOfAnOldGenerationOrTooOldAreNotAnalysed) {
  const RuntimeResponse listening = session_->SetSrtListening("{\"listening\":true}");
  ASSERT_EQ(listening.status, 200) << listening.body;
  EXPECT_NE(listening.body.find("\"signal\":\"connecting\""), std::string::npos) << listening.body;
  const cv::Mat still = cv::imread(testing::ExampleFolder() + "/1.jpg", cv::IMREAD_COLOR);

  // Listening opened generation 1; a frame stamped with the stored generation 0 is stale. Both
  // threads take it and drop it.
  session_->FrameSlot().Publish(LiveFrame(still, "srt-in", 0, kFresh));
  ASSERT_TRUE(WaitUntil([&] {
    const FramePathCounters counters = session_->FrameCounters();
    return counters.preview_taken >= 1 && counters.feeder_taken >= 1;
  }));
  EXPECT_EQ(session_->GetPreview(false).status, 503) << "not kept as preview";
  EXPECT_EQ(session_->GetPreview(true).status, 503) << "not analysed";

  // A frame 2.5 s old may be shown, but never analysed.
  session_->FrameSlot().Publish(LiveFrame(still, "srt-in", 1, 2'500'000'000));
  EXPECT_TRUE(EventuallyStatus([&] { return session_->GetPreview(false); }, 200));
  ASSERT_TRUE(WaitUntil([&] { return session_->FrameCounters().frames_too_old >= 1; }));
  EXPECT_EQ(session_->GetPreview(true).status, 503) << "too old to analyse";

  session_->FrameSlot().Publish(LiveFrame(still, "srt-in", 1, kFresh));
  EXPECT_TRUE(EventuallyStatus([&] { return session_->GetPreview(true); }, 200));
}

TEST_F(SrtSessionTest, SettingsAreCheckedBeforeTheyAreKept) {
  struct Case {
    const char* body;
    int status;
    const char* expected;  // a detail, or a piece of the status reply
  };
  const Case cases[] = {
      {R"({"port":9000.5})", 400, "SRT port must be an integer from 1 to 65535"},
      {R"({"port":"9000"})", 400, "SRT port must be an integer from 1 to 65535"},
      {R"({"port":70000})", 400, "SRT port must be an integer from 1 to 65535"},
      {R"({"mode":"caller"})", 400, "SRT mode must be listener"},
      {R"({"bind_address":"256.0.0.1"})", 400, "SRT address must be an IPv4 address"},
      {R"({"bind_address":"1.2.3"})", 400, "SRT address must be an IPv4 address"},
      {R"({"passphrase":"123456789"})", 400, "SRT passphrase must be empty or 10 to 80 bytes"},
      {R"({"passphrase":"1234567890"})", 200, R"("key_length":32,"stream_id":"","passphrase_set":true)"},
      {R"({"clear_passphrase":true})", 200, R"("key_length":0,"stream_id":"","passphrase_set":false)"},
      {R"({"bind_address":"010.0.0.1","stream_id":"cam\"1"})", 200, R"("stream_id":"cam\"1")"},
      // The address in force is reported, so the interface can show it.
      {R"({"bind_address":"127.0.0.2"})", 200, R"("srt":{"mode":"listener","bind_address":"127.0.0.2",)"},
      {R"([1])", 422, "Request body must be an object"},
  };
  for (const Case& c : cases) {
    const RuntimeResponse reply = session_->SetSrtSettings(c.body);
    EXPECT_EQ(reply.status, c.status) << c.body;
    EXPECT_NE(reply.body.find(c.expected), std::string::npos) << c.body << " -> " << reply.body;
    EXPECT_EQ(reply.body.find("1234567890"), std::string::npos) << "the passphrase is never shown";
  }
  const RuntimeResponse listening = session_->SetSrtListening(R"({"listening":"yes"})");
  EXPECT_EQ(listening.status, 400);
  EXPECT_EQ(listening.body, R"({"detail":"SRT listening requires a boolean"})");
}

TEST(NativeSessionSrt, ListeningNeedsTheSrtSourceSelected) {
  NativeSession session(testing::TestSessionOptions({}));
  ASSERT_TRUE(testing::StartSession(session));
  const RuntimeResponse start = session.SetSrtListening(R"({"listening":true})");
  EXPECT_EQ(start.status, 400);
  EXPECT_EQ(start.body, R"({"detail":"Select the SRT source before listening"})");
  const RuntimeResponse stop = session.SetSrtListening(R"({"listening":false})");
  EXPECT_EQ(stop.status, 200);
  EXPECT_NE(stop.body.find(R"("source_type":"none","source_id":null)"), std::string::npos) << stop.body;
  EXPECT_NE(stop.body.find(R"("status":"waiting")"), std::string::npos) << stop.body;
}

TEST_F(SrtSessionTest, StopRacesWithApiCallsAndLeavesNothingRunning) {
  std::atomic<bool> running{true};
  std::atomic<int> refused{0};
  std::atomic<int> route_answers{0};
  std::atomic<int> direct_answers{0};
  std::vector<std::thread> callers;
  const std::string settings =
      "{\"bind_address\":\"127.0.0.1\",\"port\":" + std::to_string(srt_port_) + "}";
  // One caller goes through the server's real route, as the interface does.
  const int port = session_->Server().Port();
  const std::string token = testing::ReadCsrfToken(port);
  ASSERT_FALSE(token.empty());
  callers.emplace_back([&] {
    httplib::Client client("127.0.0.1", port);
    const httplib::Headers headers = {{"Origin", "http://127.0.0.1:" + std::to_string(port)},
                                      {"X-Tessvark-CSRF", token}};
    bool on = true;
    while (running) {
      const httplib::Result reply = client.Post(
          "/api/source/srt/listening", headers,
          on ? R"({"listening":true})" : R"({"listening":false})", "application/json");
      if (reply && reply->status == 200) ++route_answers;
      on = !on;
    }
  });
  for (int i = 0; i < 4; ++i) {
    callers.emplace_back([&, i] {
      while (running) {
        RuntimeResponse reply;
        switch (i) {
          case 0: reply = session_->SetSrtListening("{\"listening\":true}"); break;
          case 1: reply = session_->SetSrtSettings(settings); break;
          case 2: reply = session_->SetSrtListening("{\"listening\":false}"); break;
          default: reply = session_->GetPreview(true); break;
        }
        ++direct_answers;
        if (reply.status == 503 && reply.body == "{\"detail\":\"The session is stopping.\"}") ++refused;
      }
    });
  }
  // Every caller has reached the session before Stop, and some are refused after it began.
  EXPECT_TRUE(WaitUntil([&] { return route_answers.load() > 0 && direct_answers.load() >= 8; }));
  session_->Stop();
  EXPECT_TRUE(WaitUntil([&] { return refused.load() > 0; }));
  running = false;
  for (std::thread& caller : callers) caller.join();

  EXPECT_GT(route_answers.load(), 0) << "the route reached the session before Stop";
  EXPECT_GT(refused.load(), 0) << "starting after Stop began is refused";
  EXPECT_TRUE(UdpPortIsFree(srt_port_)) << "no SRT listener outlives Stop";
  const RuntimeResponse late = session_->SetSrtListening("{\"listening\":true}");
  EXPECT_EQ(late.status, 503) << late.body;
  EXPECT_TRUE(UdpPortIsFree(srt_port_));
  EXPECT_EQ(session_->Server().Port(), 0);
  session_->Stop();
  session_.reset();
}

TEST(NativeSessionLifecycle, RoutesAnswerWhileTheSessionStartsAndStops) {
  TempFolder folder("routes");
  ASSERT_TRUE(Stored(folder.path(), "example", "example-2", ""));
  NativeSessionOptions options = testing::TestSessionOptions(folder.path());
  // The client asks the first port of the range until the session says which one it bound: a test
  // program running beside this one may have taken the first.
  std::atomic<int> port{options.port};
  NativeSession session(std::move(options));
  std::atomic<bool> polling{true};
  std::atomic<int> rounds{0};
  std::atomic<int> answers{0};
  std::thread client([&] {
    while (polling) {
      ++rounds;
      httplib::Client http("127.0.0.1", port.load());
      http.set_connection_timeout(std::chrono::milliseconds(100));
      for (const char* path : {"/preview", "/preview/working", "/api/status"}) {
        if (const httplib::Result reply = http.Get(path); reply && reply->status != 403) ++answers;
      }
    }
  });
  // The client is asking before the session starts, while it runs and while it stops.
  ASSERT_TRUE(WaitUntil([&] { return rounds.load() > 0; }));
  const bool started = testing::StartSession(session);
  if (started) port = session.Server().Port();
  // Under load the first answers can take a while; stop only once some came, or after a bound.
  WaitUntil([&] { return !started || answers.load() > 0; });
  const int rounds_running = rounds.load();
  WaitUntil([&] { return rounds.load() > rounds_running + 1; });
  session.Stop();
  polling = false;
  client.join();
  ASSERT_TRUE(started);
  EXPECT_GT(answers.load(), 0);
}

TEST(NativeSessionLifecycle, StopTwiceAndDestroy) {
  TempFolder folder("twice");
  NativeSession session(testing::TestSessionOptions(folder.path()));
  ASSERT_TRUE(testing::StartSession(session));
  EXPECT_GT(session.Server().Port(), 0);
  session.Stop();
  EXPECT_EQ(session.Server().Port(), 0);
  session.Stop();
  EXPECT_EQ(session.Server().Port(), 0);
  EXPECT_EQ(session.FrameSlot().Publish(VideoFrame{}), nullptr) << "the slot stays closed";
}

TEST(NativeSessionLifecycle, NoFreePortFailsTheStartAndStopStillWorks) {
  TempFolder folder("busy");
  NativeSessionOptions options = testing::TestSessionOptions(folder.path());
  options.host = "127.0.0.2";  // the server listens only on 127.0.0.1
  NativeSession session(std::move(options));
  EXPECT_FALSE(session.Start());
  session.Stop();
  EXPECT_EQ(session.Server().Port(), 0);
}

}  // namespace
}  // namespace tessvark
