#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "core/scoreboard_state_store.h"
#include "fake_runtime.h"
#include "http_test_client.h"
#include "server/local_http_server.h"
#include "tests/support/temp_folder.h"

namespace tessvark::testing {

inline constexpr char kTestIndexPage[] =
    "<!doctype html><meta name=\"t\" content=\"__TESSVARK_CSRF_TOKEN__\"><p>"
    "__TESSVARK_CSRF_TOKEN__</p>";

inline void WriteFile(const std::filesystem::path& path, const std::string& content) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

// A first port per test process, so that test programs running side by side rarely meet.
inline int TestFirstPort() { return 20000 + static_cast<int>((getpid() * 37) % 40000); }

// A running server on loopback with a fake runtime and a UI root of its own. A file
// "secret.txt" lies beside the UI root, where no request may reach it.
class ServerTest : public ::testing::Test {
 protected:
  virtual void Configure(LocalHttpServerOptions&) {}

  void SetUp() override {
    ui_root_ = root_ / "ui";
    WriteFile(root_ / "secret.txt", "SECRET-BESIDE-UI-ROOT");
    WriteFile(ui_root_ / "index.html", kTestIndexPage);
    WriteFile(ui_root_ / "assets" / "favicon.png", "\x89PNG-favicon-bytes");
    WriteFile(ui_root_ / "assets" / "tessvark-wordmark.png", "\x89PNG-wordmark-bytes");
    WriteFile(ui_root_ / "assets" / "example" / "3-poster.jpg", "\xff\xd8poster-jpeg");
    LocalHttpServerOptions options;
    options.ui_root = ui_root_.string();
    options.port = TestFirstPort();
    options.port_attempts = 200;
    Configure(options);
    server_ = std::make_unique<LocalHttpServer>(std::move(options));
    server_->SetStateStore(&store_);
    server_->SetRuntime(&runtime_);
    // Test programs running side by side may take the probed port just before the bind.
    bool started = false;
    for (int attempt = 0; attempt < 3 && !started; ++attempt) started = server_->Start();
    ASSERT_TRUE(started);
    port_ = server_->Port();
    token_ = ReadToken();
    ASSERT_EQ(token_.size(), 43u);
  }

  void TearDown() override { server_.reset(); }

  std::string Authority() const { return "127.0.0.1:" + std::to_string(port_); }

  // A request with a correct Host header, the given extra header lines and a body with its
  // Content-Length, as a browser sends it (none for an empty GET or HEAD).
  std::string Build(const std::string& method, const std::string& target,
                    const std::string& extra_headers = "", const std::string& body = "") const {
    std::string request =
        method + " " + target + " HTTP/1.1\r\nHost: " + Authority() + "\r\n" + extra_headers;
    if (!body.empty() || (method != "GET" && method != "HEAD")) {
      request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    }
    return request + "\r\n" + body;
  }

  // A request head with a correct Host header and no Content-Length: what follows is framed by
  // the extra headers, or by the end of the connection.
  std::string BuildUnframed(const std::string& method, const std::string& target,
                            const std::string& extra_headers) const {
    return method + " " + target + " HTTP/1.1\r\nHost: " + Authority() + "\r\n" + extra_headers +
           "\r\n";
  }

  // The Origin and token headers of the server's own page.
  std::string PageHeaders() const {
    return "Origin: http://" + Authority() + "\r\nX-Tessvark-CSRF: " + token_ + "\r\n";
  }

  HttpReply Send(const std::string& request) const { return ParseReply(Exchange(port_, request)); }
  HttpReply Get(const std::string& target) const { return Send(Build("GET", target)); }
  HttpReply Change(const std::string& method, const std::string& target,
                   const std::string& body = "") const {
    return Send(Build(method, target, PageHeaders(), body));
  }

  std::string ReadToken() const {
    const std::string page = Get("/").body;
    const std::string marker = "<meta name=\"t\" content=\"";
    const std::size_t at = page.find(marker);
    if (at == std::string::npos) return {};
    return page.substr(at + marker.size(), 43);
  }

  TempFolder root_{"server"};
  std::filesystem::path ui_root_;
  ScoreboardStateStore store_{"test-source", [] { return std::string("2026-01-01T00:00:00Z"); }};
  FakeRuntime runtime_;
  std::unique_ptr<LocalHttpServer> server_;
  int port_ = 0;
  std::string token_;
};

// The four headers every reply carries.
inline void ExpectSecurityHeaders(const HttpReply& reply) {
  EXPECT_EQ(reply.Header("X-Content-Type-Options"), "nosniff");
  EXPECT_EQ(reply.Header("X-Frame-Options"), "DENY");
  EXPECT_EQ(reply.Header("Content-Security-Policy").size(), 232u);
  EXPECT_FALSE(reply.Header("X-Tessvark-Instance").empty());
  EXPECT_EQ(reply.HeaderCount("x-tessvark-trust-rejection"), 0u);
  for (const auto& header : reply.headers) {
    EXPECT_NE(header.first.rfind("Access-Control-", 0), 0u) << header.first;
  }
}

inline constexpr char kRefusalBody[] = "{\"detail\":\"This local request is not authorized.\"}";

}  // namespace tessvark::testing
