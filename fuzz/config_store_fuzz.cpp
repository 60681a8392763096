// The stored configuration of a data folder. The input holds up to four file texts separated by
// lines of "--": "source_config.json", "zone_store.json", "source_geometry.json" and
// "output_config.json" (an empty part leaves that file out). Loading never fails, and what the
// store writes from the loaded configuration is loaded again. A crash, hang or sanitizer report
// is a finding. (The written files need not read back unchanged: a legacy layout is migrated on
// the first reading.)
#include <cstddef>
#include <cstdint>
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

  const tessvark::SourceConfiguration loaded = Load();
  const std::string written[] = {tessvark::SourceConfigDocument(loaded), tessvark::ZoneStoreDocument(loaded),
                                 tessvark::GeometryDocument(loaded)};
  tessvark::fuzz::EmptyFuzzFolder();
  for (int i = 0; i < 3; ++i) tessvark::fuzz::WriteInputFile(kFiles[i], written[i]);
  Load();
  return 0;
}
