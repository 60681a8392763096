// The real program's updater against an update server of the bench's own on 127.0.0.1 (a test
// certificate authority and signing key made here), measured from outside:
//
//   update_bench PROGRAM slow-manifest [SECONDS_PER_BYTE] [WAIT_SECONDS]
//     the manifest sent one byte every SECONDS_PER_BYTE (default 6): how long the check takes to
//     end, whether a second check asked for 40 s into it reaches the server, and what the status
//     says at most WAIT_SECONDS (default 120) after it;
//   update_bench PROGRAM slow-installer [SECONDS_PER_BYTE] [WAIT_SECONDS]
//     the installer sent so: how long the download takes to end (at most WAIT_SECONDS) and what
//     the status says then;
//   update_bench PROGRAM memory [MIB]
//     an installer of MIB MiB (default 100): the program's largest resident memory while it
//     downloads and verifies it, against its memory before.

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "bench_program.h"
#include "core/json_value.h"
#include "core/sha256.h"
#include "core/version.h"
#include "update_signing.h"
#include "update_test_server.h"
#include "tests/support/temp_folder.h"

namespace {

using tessvark::JsonValue;
using tessvark::ParseJson;
using tessvark::bench::Clock;
using tessvark::bench::MillisecondsSince;
using tessvark::bench::Program;
using tessvark::bench::ResidentMiB;
using tessvark::testing::kTestUpdateHost;
using tessvark::testing::ScriptedReply;
using tessvark::testing::ScriptedUpdateServer;
using tessvark::testing::TestCertificateAuthority;
using tessvark::testing::TestManifest;
using tessvark::testing::TestSigningKey;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr char kManifestPath[] = "/updates/linux-update.json";

struct Status {
  std::string state;
  std::string error;
};

Status ReadStatus(httplib::Client& client) {
  const httplib::Result reply = client.Get("/api/updates");
  if (!reply || reply->status != 200) return {"(no answer)", ""};
  try {
    const JsonValue document = ParseJson(reply->body);
    const JsonValue& error = document.At("error");
    return {document.At("state").text,
            error.kind == tessvark::JsonKind::kNull ? "null" : error.text};
  } catch (const std::exception&) {
    return {"(unreadable)", ""};
  }
}

// Polls the status every 100 ms until `busy` no longer holds or `limit` passed; the milliseconds
// waited, and the largest resident memory of the program seen meanwhile.
double WaitWhile(httplib::Client& client, const std::string& busy, seconds limit, pid_t pid,
                 double& peak_mib) {
  const auto start = Clock::now();
  while (Clock::now() - start < limit && ReadStatus(client).state == busy) {
    peak_mib = std::max(peak_mib, ResidentMiB(pid));
    std::this_thread::sleep_for(milliseconds(100));
  }
  return MillisecondsSince(start);
}

httplib::Headers PageHeaders(httplib::Client& client, int port) {
  const httplib::Result page = client.Get("/");
  const std::string marker = "const CSRF_TOKEN = '";
  const std::size_t at = page ? page->body.find(marker) : std::string::npos;
  const std::string token =
      at == std::string::npos ? std::string() : page->body.substr(at + marker.size(), 43);
  return {{"Origin", "http://127.0.0.1:" + std::to_string(port)}, {"X-Tessvark-CSRF", token}};
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 2 ? argv[2] : "";
  if (mode != "slow-manifest" && mode != "slow-installer" && mode != "memory") {
    std::fprintf(stderr,
                 "usage: update_bench PROGRAM slow-manifest|slow-installer [SECONDS_PER_BYTE] "
                 "[WAIT_SECONDS]\n       update_bench PROGRAM memory [MIB]\n");
    return 2;
  }
  const bool slow = mode != "memory";
  const bool slow_manifest = mode == "slow-manifest";
  const tessvark::testing::TempFolder folder("update-bench");
  const std::filesystem::path root = folder.path();
  int result = 0;
  {
    TestCertificateAuthority authority(root.string(), "bench", {kTestUpdateHost});
    ScriptedUpdateServer server(authority);
    const TestSigningKey key;
    const std::size_t size =
        slow ? 64 : static_cast<std::size_t>((argc > 3 ? std::atoi(argv[3]) : 100)) << 20;
    const std::string installer = "#!/bin/sh\nexit 0\n" + std::string(size - 17, '#');
    TestManifest manifest;
    manifest.version = tessvark::kProgramVersion;
    manifest.build = tessvark::kProgramBuild + 1;
    manifest.size = installer.size();
    manifest.sha256 = tessvark::Sha256Hex(installer);
    const std::string installer_path =
        "/updates/Tessvark-update-" + std::to_string(manifest.build) + ".run";
    manifest.url = std::string("https://") + kTestUpdateHost + installer_path;
    const milliseconds drip(static_cast<long>((argc > 3 ? std::atof(argv[3]) : 6.0) * 1000));
    const seconds wait(argc > 4 ? std::atoi(argv[4]) : 120);
    server.Serve(kManifestPath, slow_manifest
                                    ? ScriptedReply(200, manifest.Signed(key)).Dripped(drip)
                                    : ScriptedReply(200, manifest.Signed(key)));
    // Streamed from one shared copy, so that the server holds the installer once.
    server.Serve(installer_path, slow ? ScriptedReply(200, installer).Dripped(drip)
                                      : ScriptedReply(200, installer).HeldAfter(installer.size()));

    const std::filesystem::path tmp = root / "tmp";
    std::filesystem::create_directories(tmp);
    std::filesystem::permissions(tmp, std::filesystem::perms::owner_all);
    std::ofstream(root / "channel.json")
        << "{\"host\":\"" << kTestUpdateHost << "\",\"port\":" << server.port()
        << ",\"connect_address\":\"127.0.0.1\",\"ca_file\":\"" << authority.ca_file()
        << "\",\"public_key\":\"" << key.PublicKeyBase64() << "\",\"first_check_ms\":3600000}";
    Program program(argv[1], root,
                    {"TESSVARK_TEST_UPDATE_CHANNEL=" + (root / "channel.json").string(),
                     "TMPDIR=" + tmp.string()});
    const int port = program.pid() > 0 ? program.WaitForPort() : 0;
    if (port == 0) {
      std::fprintf(stderr, "the program did not start; see %s/program.log\n", root.c_str());
      return 1;
    }
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(30, 0);
    const httplib::Headers headers = PageHeaders(client, port);
    double peak = ResidentMiB(program.pid());
    const double before = peak;

    client.Post("/api/updates/check", headers, "", "application/json");
    if (slow_manifest) {
      std::printf("manifest sent one byte each %.1f s\n", drip.count() / 1000.0);
      // A second check 40 s in, as the periodic one or the operator would ask.
      const auto start = Clock::now();
      while (Clock::now() - start < seconds(40) && ReadStatus(client).state == "checking") {
        std::this_thread::sleep_for(milliseconds(100));
      }
      const double ended = MillisecondsSince(start);
      std::this_thread::sleep_until(start + seconds(40));
      client.Post("/api/updates/check", headers, "", "application/json");
      const double more = WaitWhile(client, "checking", wait, program.pid(), peak);
      const Status status = ReadStatus(client);
      if (ended < 40000) {
        std::printf("check ended after %.1f s\n", ended / 1000.0);
      } else {
        std::printf("check still running after 40 s\n");
      }
      std::printf("second check asked at 40 s: the server saw %d manifest requests; %.1f s later "
                  "the state is %s, error %s\n",
                  server.Hits(kManifestPath), more / 1000.0, status.state.c_str(),
                  status.error.c_str());
    } else {
      WaitWhile(client, "checking", wait, program.pid(), peak);
      std::printf("after the check: %s\n", ReadStatus(client).state.c_str());
      client.Post("/api/updates/download", headers, "", "application/json");
      const double download = WaitWhile(client, "downloading", wait, program.pid(), peak);
      const Status status = ReadStatus(client);
      std::printf("download of %zu bytes%s: %s after %.1f s, state %s, error %s\n",
                  installer.size(), slow ? " (sent one byte at a time)" : "",
                  status.state == "downloading" ? "still downloading" : "ended",
                  download / 1000.0, status.state.c_str(), status.error.c_str());
      if (!slow) {
        std::printf("resident memory: %.1f MiB before, at most %.1f MiB while downloading and "
                    "verifying (+%.1f MiB)\n",
                    before, peak, peak - before);
      }
    }
    kill(program.pid(), SIGTERM);
    if (!program.WaitForExit(milliseconds(20000))) result = 3;
  }
  return result;
}
