// The stored "output_config.json" and the API body of the vMix output. The file reader never
// fails; whatever it read, the document written from it must read back as the same
// configuration. A body the strict reader accepts must survive the same trip, and a refusal
// carries 400 or 422 with a message. The writer replaces each byte that is not part of a UTF-8
// character with U+FFFD, so from text with bytes above 0x7F only the second trip must give
// back what the first one read.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/json_value.h"
#include "outputs/vmix/vmix_output_config.h"
#include "settings/config_json.h"

namespace {

std::string StoredForm(const tessvark::VmixOutputConfig& config) {
  return tessvark::WriteCompactJson(tessvark::VmixOutputConfigToJson(config));
}

tessvark::VmixOutputConfig WrittenAndRead(std::string_view previous, const tessvark::VmixOutputConfig& config) {
  return tessvark::ParseVmixOutputConfigFile(tessvark::BuildOutputConfigDocument(previous, config));
}

void CheckReadsBack(std::string_view previous, const tessvark::VmixOutputConfig& config) {
  const bool ascii = std::all_of(previous.begin(), previous.end(), [](char c) { return (c & 0x80) == 0; });
  const tessvark::VmixOutputConfig once = WrittenAndRead(previous, config);
  const std::string expected = StoredForm(ascii ? config : once);
  const std::string again = StoredForm(ascii ? once : WrittenAndRead(previous, once));
  if (again != expected) {
    std::fprintf(stderr, "written %s\nread back %s\n", expected.c_str(), again.c_str());
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  CheckReadsBack(text, tessvark::ParseVmixOutputConfigFile(text));

  tessvark::VmixOutputConfig requested;
  std::int32_t status = 200;
  std::string message;
  if (tessvark::ParseVmixConfigRequest(text, requested, status, message)) {
    CheckReadsBack(text, requested);
  } else if ((status != 400 && status != 422) || message.empty()) {
    std::abort();
  }
  return 0;
}
