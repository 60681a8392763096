// A stored zone list, read as a profile's zones and, as the whole text of "sport_zones.json",
// as the sport zone sets. The list reader keeps what it can use; the list written from it must
// read back as the same list. A crash, hang or sanitizer report is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/fuzz_files.h"
#include "session/ocr_zone.h"
#include "settings/sport_zones.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string written = tessvark::OcrZoneListJson(tessvark::ParseOcrZoneList(text));
  const std::string again = tessvark::OcrZoneListJson(tessvark::ParseOcrZoneList(written));
  if (again != written) {
    std::fprintf(stderr, "written %s\nread back %s\n", written.c_str(), again.c_str());
    std::abort();
  }

  const tessvark::SportZonesDocument document =
      tessvark::ReadSportZones(tessvark::fuzz::WriteInputFile("sport_zones.json", text));
  tessvark::SportZonesText(document);
  return 0;
}
