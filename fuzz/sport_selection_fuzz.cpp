// "sport_selection.json" as it may be found in the data folder; a crash, hang or sanitizer
// report is a finding.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz/fuzz_files.h"
#include "settings/sport_selection.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const tessvark::SportSelectionStore store(tessvark::fuzz::WriteInputFile("sport_selection.json", text));
  const tessvark::SportSelection selection = store.ReadSelection();
  tessvark::SelectionDocument(selection);
  const tessvark::SportsCatalog catalog = tessvark::EmptyCatalog();
  tessvark::SelectionJson(selection, catalog);
  if (selection.selected_sport) tessvark::SelectionJsonWithRoles(selection, catalog, *selection.selected_sport);
  return 0;
}
