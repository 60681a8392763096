// A stored zone list as a profile's zones. The list reader keeps what it can use and gives the
// reason for every element it skips; the list written from it must read back as the same list,
// with nothing skipped. A crash, hang or sanitizer report is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/json_value.h"
#include "session/ocr_zone.h"

namespace {

// The number of elements when the text is a JSON array, else 0.
std::size_t ArrayLength(const std::string& text) {
  try {
    const tessvark::JsonValue document = tessvark::ParseJson(text);
    return document.kind == tessvark::JsonKind::kArray ? document.items.size() : 0;
  } catch (const std::runtime_error&) {
    return 0;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> refusals;
  const std::vector<tessvark::OcrZone> zones = tessvark::ParseOcrZoneList(text, &refusals);
  if (zones.size() + refusals.size() != ArrayLength(text)) {
    std::fprintf(stderr, "%zu zones and %zu refusals from %s\n", zones.size(), refusals.size(),
                 text.c_str());
    std::abort();
  }
  const std::string written = tessvark::OcrZoneListJson(zones);
  std::vector<std::string> refused_again;
  const std::string again =
      tessvark::OcrZoneListJson(tessvark::ParseOcrZoneList(written, &refused_again));
  if (again != written || !refused_again.empty()) {
    std::fprintf(stderr, "written %s\nread back %s\n", written.c_str(), again.c_str());
    for (const std::string& refusal : refused_again) std::fprintf(stderr, "%s\n", refusal.c_str());
    std::abort();
  }
  return 0;
}
