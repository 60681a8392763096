// The stored configuration of a data folder. The input holds up to four file texts separated by
// lines of "--": "source_config.json", "zone_store.json", "source_geometry.json" and
// "output_config.json" (an empty part leaves that file out). Loading never fails. The files the
// store writes from the loaded configuration need not be the files read, nor load as the same
// configuration: the first reading migrates legacy layouts (the top-level zone list becomes the
// current source's profile, even an empty one). From then on a configuration must load as it
// was written, so the files written from it are written again byte for byte. A crash, hang or
// sanitizer report is a finding.
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

// Leaves only those files in the folder.
void Rewrite(const std::array<std::string, 3>& files) {
  tessvark::fuzz::EmptyFuzzFolder();
  for (std::size_t i = 0; i < files.size(); ++i) tessvark::fuzz::WriteInputFile(kFiles[i], files[i]);
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

  Rewrite(Written(Load()));
  const std::array<std::string, 3> written = Written(Load());
  Rewrite(written);
  const std::array<std::string, 3> again = Written(Load());
  for (std::size_t i = 0; i < written.size(); ++i) {
    if (again[i] == written[i]) continue;
    std::fprintf(stderr, "%s written\n%s\nread back as\n%s\n", kFiles[i], written[i].c_str(),
                 again[i].c_str());
    std::abort();
  }
  return 0;
}
