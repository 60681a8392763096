#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "server/server_state.h"
#include "server_fixture.h"

namespace tessvark::testing {
namespace {

StateValue OneValue(const char* key, const char* value) {
  std::vector<StateMember> members;
  members.push_back(MakeStateMember(key, StateValue::MakeString(value)));
  return StateValue::MakeObject(std::move(members));
}

StateValue HomeScore(const char* score) { return OneValue("home", score); }

class StateStreamTest : public ServerTest {
 protected:
  std::unique_ptr<RawConnection> OpenStream() {
    auto connection = std::make_unique<RawConnection>(port_);
    connection->Send(Build("GET", "/api/ui/state/stream"));
    return connection;
  }

  // Opens a stream and waits for its first event.
  std::unique_ptr<RawConnection> OpenLiveStream() {
    auto connection = OpenStream();
    EXPECT_TRUE(connection->ReadUntil("}\n\n", kPatience));
    return connection;
  }
};

// Heartbeats after 0.3 s, so that the silence of a stream shows within a test.
class FastHeartbeatTest : public StateStreamTest {
 protected:
  void Configure(LocalHttpServerOptions& options) override {
    options.event_heartbeat_seconds = 0.3;
    options.event_wait_seconds = 0.05;
  }
};

TEST_F(StateStreamTest, RefusedUntilTheStateIsAvailable) {
  const HttpReply reply = Get("/api/ui/state/stream");
  EXPECT_EQ(reply.status, 503);
  EXPECT_EQ(reply.body, "{\"detail\":\"Current OCR state is unavailable\"}");
  ExpectSecurityHeaders(reply);
}

TEST_F(StateStreamTest, FirstEventIsTheCurrentStateThenEveryChange) {
  store_.ApplyValues(HomeScore("3"));
  server_->SetStateAvailable(true);
  auto stream = OpenLiveStream();
  const HttpReply head = ParseReply(stream->received());
  EXPECT_EQ(head.status, 200);
  EXPECT_EQ(head.Header("Content-Type"), "text/event-stream");
  EXPECT_EQ(head.Header("Cache-Control"), "no-cache");
  EXPECT_EQ(head.Header("X-Accel-Buffering"), "no");
  // Every connection serves one request, so the stream says so too.
  EXPECT_EQ(head.HeaderCount("Connection"), 1u);
  EXPECT_EQ(head.Header("Connection"), "close");
  EXPECT_EQ(head.Header("Transfer-Encoding"), "chunked");
  ExpectSecurityHeaders(head);
  EXPECT_EQ(head.body,
            "id: 1\nevent: scoreboard\ndata: " + store_.SnapshotWithDisplay().ToJson() + "\n\n");

  store_.ApplyValues(HomeScore("4"));
  server_->WakeStreams();
  ASSERT_TRUE(stream->ReadUntil("id: 2\n", kPatience));
  ASSERT_TRUE(stream->ReadUntil("}\n\n", kPatience, stream->received().find("id: 2\n")));
  // Without a wake the stream still sees a change at its next poll.
  store_.ApplyValues(HomeScore("5"));
  ASSERT_TRUE(stream->ReadUntil("id: 3\n", kPatience));
  ASSERT_TRUE(stream->ReadUntil("}\n\n", kPatience, stream->received().find("id: 3\n")));
  const std::string body = ParseReply(stream->received()).body;
  const std::string last =
      "id: 3\nevent: scoreboard\ndata: " + store_.SnapshotWithDisplay().ToJson() + "\n\n";
  ASSERT_GE(body.size(), last.size());
  EXPECT_EQ(body.substr(body.size() - last.size()), last);
}

// Browsers ask for compressed replies; a compressed stream would hold events back.
TEST_F(StateStreamTest, EventsAreSentUncompressedToBrowsers) {
  server_->SetStateAvailable(true);
  RawConnection stream(port_);
  stream.Send(Build("GET", "/api/ui/state/stream", "Accept-Encoding: gzip, deflate, br\r\n"));
  ASSERT_TRUE(stream.ReadUntil("}\n\n", kPatience));
  EXPECT_EQ(ParseReply(stream.received()).Header("Content-Encoding"), "");
  store_.ApplyValues(HomeScore("1"));
  server_->WakeStreams();
  EXPECT_TRUE(stream.ReadUntil("id: 1\n", kPatience));
}

TEST_F(StateStreamTest, DisplayFormatChangeResendsTheSameSequence) {
  store_.ApplyValues(OneValue("period", "1"));
  server_->SetStateAvailable(true);
  auto stream = OpenLiveStream();
  const std::size_t first_end = stream->received().size();
  DisplayFormat format = DefaultDisplayFormat();
  format.period_rows = {{"1", "1st"}};
  ASSERT_TRUE(store_.SetDisplayFormat(format, false));
  server_->WakeStreams();
  ASSERT_TRUE(stream->ReadUntil("}\n\n", kPatience, first_end));
  const std::string body = ParseReply(stream->received()).body;
  const std::string event =
      "id: 1\nevent: scoreboard\ndata: " + store_.SnapshotWithDisplay().ToJson() + "\n\n";
  ASSERT_GE(body.size(), event.size());
  EXPECT_EQ(body.substr(body.size() - event.size()), event);
  EXPECT_NE(event.find("\"period_display\":\"1st\""), std::string::npos);
  EXPECT_EQ(body.rfind("id: 1\n"), body.size() - event.size());
  EXPECT_EQ(body.find("id: 1\n"), 0u);
}

// A heartbeat is written only by a look at the state that found nothing new to send, so the two
// heartbeats after an event show that the stream looked again, woken and unwoken, and sent no
// event for the unchanged state.
TEST_F(FastHeartbeatTest, UnchangedStateSendsOnlyHeartbeats) {
  store_.ApplyValues(HomeScore("3"));
  server_->SetStateAvailable(true);
  auto stream = OpenLiveStream();
  store_.ApplyValues(HomeScore("4"));
  server_->WakeStreams();
  ASSERT_TRUE(stream->ReadUntil("id: 2\n", kPatience));
  ASSERT_TRUE(stream->ReadUntil("}\n\n", kPatience, stream->received().find("id: 2\n")));
  const std::size_t after_event = stream->received().size();
  for (int i = 0; i < 3; ++i) server_->WakeStreams();
  ASSERT_TRUE(stream->ReadUntil(": heartbeat\n\n", kPatience, after_event));
  const std::size_t first = stream->received().find(": heartbeat\n\n", after_event);
  ASSERT_TRUE(stream->ReadUntil(": heartbeat\n\n", kPatience, first + 1));
  EXPECT_EQ(stream->received().find("id: ", after_event), std::string::npos);
}

// Eight clients on small buffers while the state changes with large events; the oldest never
// reads again, so its stream's writes stall. A page that opens beside them still gets its stream
// and the live values, and the stalled stream ends in its place.
TEST_F(StateStreamTest, OldestStreamGivesWayToANewPage) {
  server_->SetStateAvailable(true);
  std::vector<std::unique_ptr<RawConnection>> stuck;
  for (int i = 0; i < 8; ++i) {
    stuck.push_back(std::make_unique<RawConnection>(port_, 4096));
    stuck.back()->Send(Build("GET", "/api/ui/state/stream"));
    ASSERT_TRUE(stuck.back()->ReadUntil("}\n\n", kPatience));
  }
  const std::string large(16384, 'x');
  for (int i = 0; i < 40; ++i) {
    store_.ApplyValues(HomeScore((large + std::to_string(i)).c_str()));
    server_->WakeStreams();
  }
  // All but the oldest client catch up; the oldest never reads again.
  for (std::size_t i = 1; i < stuck.size(); ++i) ASSERT_TRUE(stuck[i]->ReadUntil("x39\"", kPatience));

  auto page = OpenLiveStream();
  const HttpReply opened = ParseReply(page->received());
  ASSERT_EQ(opened.status, 200) << opened.body;
  EXPECT_NE(opened.body.find(large + "39"), std::string::npos) << "the current state first";
  store_.ApplyValues(HomeScore("after"));
  server_->WakeStreams();
  EXPECT_TRUE(page->ReadUntil("\"home\":\"after\"", kPatience));
  // Once it reads again, the oldest client finds its stream ended.
  EXPECT_TRUE(stuck.front()->ReadToEnd(kPatience));

  // Every further page takes the place of the oldest stream left.
  for (int i = 0; i < 3; ++i) {
    auto next = OpenLiveStream();
    EXPECT_EQ(ParseReply(next->received()).status, 200) << "page " << i;
  }
}

// A client that reconnects leaves its old stream behind: that one gives way, not the page that
// has been reading all along.
TEST_F(StateStreamTest, AStreamWhoseClientLeftGivesWayBeforeALiveOne) {
  server_->SetStateAvailable(true);
  std::vector<std::unique_ptr<RawConnection>> streams;
  for (int i = 0; i < 8; ++i) streams.push_back(OpenLiveStream());
  streams[5]->Close();
  for (int i = 0; i < 3; ++i) {
    auto reconnected = OpenLiveStream();
    ASSERT_EQ(ParseReply(reconnected->received()).status, 200);
    reconnected->Close();
  }
  store_.ApplyValues(HomeScore("after"));
  server_->WakeStreams();
  EXPECT_TRUE(streams.front()->ReadUntil("\"home\":\"after\"", kPatience)) << "the oldest reader kept its stream";
}

TEST_F(StateStreamTest, TheStreamWithTheMostUnreadBytesGivesWayBeforeTheOldest) {
  server_->SetStateAvailable(true);
  std::vector<std::unique_ptr<RawConnection>> readers;
  for (int i = 0; i < 7; ++i) readers.push_back(OpenLiveStream());
  auto stuck = std::make_unique<RawConnection>(port_, 4096);
  stuck->Send(Build("GET", "/api/ui/state/stream"));
  ASSERT_TRUE(stuck->ReadUntil("}\n\n", kPatience));
  // One event larger than the stuck client's buffer; the readers take theirs.
  store_.ApplyValues(HomeScore(std::string(65536, 'x').c_str()));
  server_->WakeStreams();
  for (auto& reader : readers) ASSERT_TRUE(reader->ReadUntil("xx\"", kPatience, reader->received().size()));

  auto page = OpenLiveStream();
  ASSERT_EQ(ParseReply(page->received()).status, 200);
  EXPECT_TRUE(stuck->ReadToEnd(kPatience)) << "the client that did not read lost its stream";
  store_.ApplyValues(HomeScore("after"));
  server_->WakeStreams();
  EXPECT_TRUE(readers.front()->ReadUntil("\"home\":\"after\"", kPatience)) << "the oldest reader kept its stream";
}

// Each open stream keeps a worker; requests are still served beside eight of them.
TEST_F(StateStreamTest, OpenStreamsLeaveRoomForRequests) {
  server_->SetStateAvailable(true);
  std::vector<std::unique_ptr<RawConnection>> streams;
  for (int i = 0; i < 8; ++i) streams.push_back(OpenLiveStream());
  std::vector<std::unique_ptr<RawConnection>> requests;
  for (int i = 0; i < 40; ++i) {
    requests.push_back(std::make_unique<RawConnection>(port_));
    requests.back()->Send(Build("GET", "/api/health"));
  }
  for (auto& request : requests) {
    request->ReadToEnd(kPatience);
    EXPECT_EQ(ParseReply(request->received()).status, 200);
  }
}

TEST_F(StateStreamTest, UnavailableStateEndsEveryStream) {
  server_->SetStateAvailable(true);
  auto first = OpenLiveStream();
  auto second = OpenLiveStream();
  server_->SetStateAvailable(false);
  EXPECT_TRUE(first->ReadToEnd(kPatience));
  EXPECT_TRUE(second->ReadToEnd(kPatience));
  EXPECT_EQ(Get("/api/ui/state/stream").status, 503);
}

TEST_F(StateStreamTest, StopEndsOpenStreams) {
  server_->SetStateAvailable(true);
  std::vector<std::unique_ptr<RawConnection>> streams;
  for (int i = 0; i < 8; ++i) streams.push_back(OpenLiveStream());
  server_->Stop();
  EXPECT_EQ(server_->Port(), 0);
  for (auto& stream : streams) EXPECT_TRUE(stream->ReadToEnd(kPatience));
}

TEST_F(StateStreamTest, ReadsTheServersOwnStoreWhileNoneIsAttached) {
  server_->SetStateStore(nullptr);
  server_->SetStateAvailable(true);
  store_.ApplyValues(HomeScore("9"));
  auto stream = OpenLiveStream();
  EXPECT_EQ(ParseReply(stream->received()).body.rfind("id: 0\n", 0), 0u);
}

TEST(StateEventUnits, EventTextAndSequence) {
  std::vector<StateMember> members;
  members.push_back(MakeStateMember("sequence", StateValue::MakeInt(-5)));
  members.push_back(MakeStateMember("home", StateValue::MakeString("a\nb")));
  const StateValue document = StateValue::MakeObject(std::move(members));
  EXPECT_EQ(StateSequence(document), -5);
  EXPECT_EQ(FormatStateEvent(document),
            "id: -5\nevent: scoreboard\ndata: {\"sequence\":-5,\"home\":\"a\\nb\"}\n\n");
  std::vector<StateMember> text_sequence;
  text_sequence.push_back(MakeStateMember("sequence", StateValue::MakeString("7")));
  EXPECT_EQ(StateSequence(StateValue::MakeObject(std::move(text_sequence))), -1);
  EXPECT_EQ(StateSequence(StateValue::MakeNull()), -1);
}

}  // namespace
}  // namespace tessvark::testing
