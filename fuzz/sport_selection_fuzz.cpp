// "sport_selection.json" as it may be found in the data folder. A selection read whole must be
// written so that it reads back whole as the same selection; a crash, hang or sanitizer report
// is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz/fuzz_files.h"
#include "settings/sport_selection.h"

namespace {

tessvark::SportSelection Read(std::string_view text) {
  const tessvark::SportSelectionStore store(
      tessvark::fuzz::WriteInputFile("sport_selection.json", text));
  return store.ReadSelection();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const tessvark::SportSelection selection =
      Read(std::string_view(reinterpret_cast<const char*>(data), size));
  const std::string written = tessvark::SelectionDocument(selection);
  const tessvark::SportsCatalog catalog = tessvark::EmptyCatalog();
  tessvark::SelectionJson(selection, catalog);
  if (selection.selected_sport) {
    tessvark::SelectionJsonWithRoles(selection, catalog, *selection.selected_sport);
  }
  if (!selection.valid) return 0;
  const tessvark::SportSelection again = Read(written);
  if (!again.valid || tessvark::SelectionDocument(again) != written) {
    std::fprintf(stderr, "written %s\nread back %s (valid %d)\n", written.c_str(),
                 tessvark::SelectionDocument(again).c_str(), again.valid ? 1 : 0);
    std::abort();
  }
  return 0;
}
