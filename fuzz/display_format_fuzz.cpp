// A display-format text as an API body and as "display_format.json". A refusal must say why;
// a crash, hang or sanitizer report is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/fuzz_files.h"
#include "settings/display_format_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  tessvark::DisplayFormat body;
  bool new_game = false;
  std::string error;
  if (tessvark::ParseDisplayFormat(text, body, new_game, error)) {
    tessvark::DisplayFormatJson(body, true, std::string("1"), std::string("2"), std::string("2 & 10"));
  } else if (error.empty()) {
    std::abort();
  }

  tessvark::DisplayFormat stored;
  std::string file_error;
  if (!tessvark::ReadDisplayFormat(tessvark::fuzz::WriteInputFile("display_format.json", text), stored,
                                   file_error) &&
      file_error.empty()) {
    std::abort();
  }
  tessvark::DisplayFormatJson(stored, false, std::nullopt, std::nullopt, std::nullopt);
  return 0;
}
