// A display-format text as an API body and as "display_format.json". A refusal must say why,
// and a format either reader accepts must be written so that the file reads back as the same
// format. A crash, hang or sanitizer report is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/fuzz_files.h"
#include "settings/display_format_file.h"

namespace {

// The file text the format is saved as.
std::string Stored(const tessvark::DisplayFormat& format) {
  return tessvark::DisplayFormatJson(format, false, std::nullopt, std::nullopt, std::nullopt);
}

void CheckReadsBack(const tessvark::DisplayFormat& format) {
  const std::string written = Stored(format);
  tessvark::DisplayFormat read;
  std::string error;
  if (!tessvark::ReadDisplayFormat(tessvark::fuzz::WriteInputFile("display_format.json", written),
                                   read, error) ||
      Stored(read) != written) {
    std::fprintf(stderr, "written %s\nread back %s (%s)\n", written.c_str(), Stored(read).c_str(),
                 error.c_str());
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  tessvark::DisplayFormat body = tessvark::DefaultDisplayFormat();
  bool new_game = false;
  std::string error;
  if (tessvark::ParseDisplayFormat(text, body, new_game, error)) {
    tessvark::DisplayFormatJson(body, true, std::string("1"), std::string("2"), std::string("2 & 10"));
    CheckReadsBack(body);
  } else if (error.empty()) {
    std::abort();
  }

  tessvark::DisplayFormat stored;
  std::string file_error;
  if (tessvark::ReadDisplayFormat(tessvark::fuzz::WriteInputFile("display_format.json", text), stored,
                                  file_error)) {
    CheckReadsBack(stored);
  } else if (file_error.empty()) {
    std::abort();
  }
  return 0;
}
