// "sport_zones.json" as it may be found in the data folder. Whatever the reader takes, entries
// and preserved elements alike, the file written from it must read back as the same document.
// A crash, hang or sanitizer report is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz/fuzz_files.h"
#include "settings/sport_zones.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string written = tessvark::SportZonesText(
      tessvark::ReadSportZones(tessvark::fuzz::WriteInputFile("sport_zones.json", text)));
  const std::string again = tessvark::SportZonesText(
      tessvark::ReadSportZones(tessvark::fuzz::WriteInputFile("sport_zones.json", written)));
  if (again != written) {
    std::fprintf(stderr, "written %s\nread back %s\n", written.c_str(), again.c_str());
    std::abort();
  }
  return 0;
}
