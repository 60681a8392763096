// What a desktop can do to the program's tray, measured on a private session bus: how long a
// flood of the menu keeps a quit waiting, how many browsers an Activate flood starts, and how
// soon Debian's own watcher lists the item when it starts after the program or restarts.
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/server/bench_program.h"
#include "tray_stand_in.h"

namespace tessvark::bench {
namespace {

using testing::DebianWatcher;
using testing::PrivateSessionBus;
using testing::StandInHost;

// The item's bus name once the program has put it up; empty when it did not within 30 s.
std::string WaitForItem(StandInHost& host, const Program& program) {
  const std::string service = "org.kde.StatusNotifierItem-" + std::to_string(program.pid()) + "-1";
  const auto end = Clock::now() + std::chrono::seconds(30);
  while (Clock::now() < end) {
    if (!host.NameOwner(service).empty()) return service;
    std::this_thread::sleep_for(milliseconds(20));
  }
  return std::string();
}

int Flood(Program& program, StandInHost& host, const std::string& service, long ids_count,
          long names_count) {
  std::vector<std::int32_t> ids(static_cast<std::size_t>(ids_count));
  for (std::size_t i = 0; i < ids.size(); ++i) ids[i] = static_cast<std::int32_t>(i % 5);
  const std::vector<std::string> names(static_cast<std::size_t>(names_count), "x");
  const auto sent = Clock::now();
  if (!host.SendGroupProperties(service, "/MenuBar", ids, names)) return 1;
  // The bus takes about a second to check a message this size; the quit comes while the
  // program would be answering it.
  std::this_thread::sleep_for(milliseconds(1500));
  kill(program.pid(), SIGTERM);
  const auto asked = Clock::now();
  const std::optional<double> ended = program.WaitForExit(milliseconds(600000));
  std::printf("flood %ld ids x %ld names: SIGTERM %.0f ms after sending; exit %s%.0f ms after it\n",
              ids_count, names_count, std::chrono::duration<double, std::milli>(asked - sent).count(),
              ended ? "" : "not within 600000 ms, ", ended.value_or(600000.0));
  return 0;
}

int ActivateFlood(StandInHost& host, const std::string& service, double seconds,
                  const std::string& opened_record) {
  const auto start = Clock::now();
  long calls = 0;
  while (MillisecondsSince(start) < seconds * 1000.0) {
    host.Activate(service);
    ++calls;
  }
  // The browsers the stand-in opener recorded, once the last one had time to start.
  std::this_thread::sleep_for(milliseconds(2000));
  std::ifstream record(opened_record);
  long opened = 0;
  for (std::string line; std::getline(record, line);) ++opened;
  std::printf("activate for %.1f s: %ld calls, %ld browsers started\n", seconds, calls, opened);
  return 0;
}

int Watcher(StandInHost& host, const std::string& bus_address, const std::string& service,
            int restarts, const std::string& log) {
  const auto listed = [&] {
    const std::optional<std::vector<std::string>> items = host.RegisteredItems();
    if (!items) return false;
    for (const std::string& item : *items) {
      if (item.find(service) != std::string::npos) return true;
    }
    return false;
  };
  for (int round = 0; round <= restarts; ++round) {
    const auto start = Clock::now();
    DebianWatcher watcher(bus_address, log);
    if (!watcher.started()) return 1;
    bool shown = false;
    while (!shown && MillisecondsSince(start) < 15000.0) {
      shown = listed();
      if (!shown) std::this_thread::sleep_for(milliseconds(20));
    }
    std::printf("watcher %s: %s\n", round == 0 ? "started after the program" : "restarted",
                shown ? ("listed after " + std::to_string(static_cast<long>(MillisecondsSince(start))) +
                         " ms").c_str()
                      : "not listed within 15000 ms");
    watcher.Stop();
    while (!host.NameOwner("org.kde.StatusNotifierWatcher").empty()) {
      std::this_thread::sleep_for(milliseconds(20));
    }
  }
  return 0;
}

}  // namespace
}  // namespace tessvark::bench

int main(int argc, char** argv) {
  using namespace tessvark::bench;
  const std::string mode = argc >= 3 ? argv[2] : "";
  if (mode != "flood" && mode != "activate" && mode != "watcher") {
    std::fprintf(stderr,
                 "usage: tray_bench PROGRAM flood [IDS] [NAMES] | activate [SECONDS] | "
                 "watcher [RESTARTS]\n");
    return 2;
  }
  const std::filesystem::path root =
      std::filesystem::temp_directory_path() / ("tray-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(root / "bin");
  PrivateSessionBus bus(root.string());
  if (bus.address().empty()) {
    std::fprintf(stderr, "tray_bench: no private bus: %s\n", bus.problem().c_str());
    return 1;
  }
  // A stand-in browser opener that records each address, found first on PATH.
  const std::string opened = (root / "opened.txt").string();
  const std::string opener = (root / "bin" / "xdg-open").string();
  std::ofstream(opener) << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" << opened << "'\n";
  chmod(opener.c_str(), 0700);
  const char* path = std::getenv("PATH");
  Program program(argv[1], root,
                  {"DBUS_SESSION_BUS_ADDRESS=" + bus.address(), "DISPLAY=:97",
                   "PATH=" + (root / "bin").string() + ":" + (path ? path : "/usr/bin:/bin")});
  int result = 1;
  StandInHost host(bus.address());
  const std::string service = program.WaitForPort() > 0 ? WaitForItem(host, program) : "";
  if (service.empty()) {
    std::fprintf(stderr, "tray_bench: the program's item did not come up\n");
  } else if (mode == "flood") {
    result = Flood(program, host, service, argc >= 4 ? std::atol(argv[3]) : 100000,
                   argc >= 5 ? std::atol(argv[4]) : 1000000);
  } else if (mode == "activate") {
    result = ActivateFlood(host, service, argc >= 4 ? std::atof(argv[3]) : 3.5, opened);
  } else {
    result = Watcher(host, bus.address(), service, argc >= 4 ? std::atoi(argv[3]) : 2,
                     (root / "watcher.log").string());
  }
  std::error_code ignored;
  std::filesystem::remove_all(root, ignored);
  return result;
}
