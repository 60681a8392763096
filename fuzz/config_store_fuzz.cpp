// The stored configuration of a data folder. The input holds up to four file texts separated by
// lines of "--": "source_config.json", "zone_store.json", "source_geometry.json" and
// "output_config.json" (an empty part leaves that file out). Loading never fails, and what the
// store writes from the loaded configuration must load as a configuration that it writes again
// byte for byte. A crash, hang or sanitizer report is a finding. (The written files need not be
// the files read: a legacy layout is migrated on the first reading.)
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz/fuzz_files.h"
#include "settings/config_store.h"

namespace {

constexpr const char* kFiles[] = {"source_config.json", "zone_store.json", "source_geometry.json",
                                  "output_config.json"};
constexpr std::string_view kSeparator = "\n--\n";

tessvark::SourceConfiguration Load() {
  tessvark::ConfigStore store(tessvark::fuzz::FuzzFolder());
  tessvark::SourceConfiguration config;
  store.Load(config);
  return config;
}

// The three files the store writes, in the order of kFiles.
std::array<std::string, 3> Written(const tessvark::SourceConfiguration& config) {
  return {tessvark::SourceConfigDocument(config), tessvark::ZoneStoreDocument(config),
          tessvark::GeometryDocument(config)};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  tessvark::fuzz::EmptyFuzzFolder();
  for (const char* name : kFiles) {
    const std::size_t end = rest.find(kSeparator);
    const std::string_view part = rest.substr(0, end);
    if (!part.empty()) tessvark::fuzz::WriteInputFile(name, part);
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + kSeparator.size());
  }

  const std::array<std::string, 3> written = Written(Load());
  tessvark::fuzz::EmptyFuzzFolder();
  for (std::size_t i = 0; i < written.size(); ++i) {
    tessvark::fuzz::WriteInputFile(kFiles[i], written[i]);
  }
  const std::array<std::string, 3> again = Written(Load());
  for (std::size_t i = 0; i < written.size(); ++i) {
    if (again[i] == written[i]) continue;
    std::fprintf(stderr, "%s written\n%s\nread back as\n%s\n", kFiles[i], written[i].c_str(),
                 again[i].c_str());
    std::abort();
  }
  return 0;
}
