#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <httplib.h>

#include "core/json_value.h"
#include "session/native_session.h"
#include "session_fixture.h"

namespace tessvark::testing {

struct ApiReply {
  int status = 0;
  std::string body;
  std::string content_type;
};

// Calls the session's routes the way the operator interface does: from the page's origin with
// its CSRF token.
class ZoneApiClient {
 public:
  explicit ZoneApiClient(int port)
      : client_("127.0.0.1", port),
        headers_{{"Origin", "http://127.0.0.1:" + std::to_string(port)},
                 {"X-Tessvark-CSRF", ReadCsrfToken(port)}} {}

  ApiReply Get(const std::string& path) { return Reply(client_.Get(path, headers_)); }
  ApiReply Put(const std::string& path, const std::string& body) {
    return Reply(client_.Put(path, headers_, body, "application/json"));
  }
  ApiReply Post(const std::string& path, const std::string& body) {
    return Reply(client_.Post(path, headers_, body, "application/json"));
  }
  ApiReply Delete(const std::string& path) { return Reply(client_.Delete(path, headers_)); }

 private:
  static ApiReply Reply(const httplib::Result& result) {
    if (!result) return {};
    return {result->status, result->body, result->get_header_value("Content-Type")};
  }

  httplib::Client client_;
  httplib::Headers headers_;
};

inline std::string DetailJson(const std::string& detail) {
  return "{\"detail\":\"" + detail + "\"}";
}

// One refused request: what is sent (a body or a path) and the status and detail answered.
struct Refusal {
  std::string request;
  int status;
  std::string detail;
};

// Sends each request with `send` and checks the answer.
template <typename Send>
void ExpectRefusals(const std::vector<Refusal>& refusals, Send send) {
  for (const Refusal& refusal : refusals) {
    SCOPED_TRACE(refusal.request);
    const ApiReply reply = send(refusal.request);
    EXPECT_EQ(reply.status, refusal.status);
    EXPECT_EQ(reply.body, DetailJson(refusal.detail));
  }
}

// A session on its own data folder that selects the Example still picture and keeps the zones it
// stores (the factory defaults are written once, not laid over the zones at each start).
class ExampleStillSession {
 public:
  explicit ExampleStillSession(const std::string& name) : folder_(name) {}

  // Stores the selection `type`/`id` (the still picture when not given) and starts.
  bool Start(const std::string& type = "example", const std::string& id = "example-2") {
    std::string error;
    if (!type.empty() && !StoreSelection(folder_.path(), type, id, "", error)) return false;
    return Restart();
  }
  // Starts a new session on the same data folder.
  bool Restart() {
    session_.reset();
    NativeSessionOptions options = TestSessionOptions(folder_.path());
    options.load_example_defaults = false;
    options.sports_catalog_path = sports_catalog_path;
    session_ = std::make_unique<NativeSession>(std::move(options));
    if (!StartSession(*session_)) return false;
    client_ = std::make_unique<ZoneApiClient>(session_->Server().Port());
    return true;
  }

  // The sports catalog of the next start; none when empty.
  std::string sports_catalog_path;

  NativeSession& session() { return *session_; }
  ZoneApiClient& api() { return *client_; }
  std::filesystem::path folder() const { return folder_.path(); }

 private:
  TempFolder folder_;
  std::unique_ptr<NativeSession> session_;
  std::unique_ptr<ZoneApiClient> client_;
};

// Replaces a data folder by a plain file, so that nothing can be saved into it.
inline void BreakDataFolder(const std::filesystem::path& folder) {
  std::filesystem::remove_all(folder);
  std::ofstream(folder) << "not a folder";
}

// The zone list the server answers now, parsed.
inline JsonValue ListedZones(ZoneApiClient& api) { return ParseJson(api.Get("/api/zones").body); }

inline const JsonValue* FindZone(const JsonValue& zones, const std::string& id) {
  for (const JsonValue& zone : zones.items) {
    const JsonValue* member = zone.Find("id");
    if (member != nullptr && member->text == id) return &zone;
  }
  return nullptr;
}

}  // namespace tessvark::testing
