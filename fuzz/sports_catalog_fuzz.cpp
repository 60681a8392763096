// A sports catalog file as the data folder's cached copy. Loading installs it only when all of
// it is valid, else falls back (here to the empty catalog); a crash, hang or sanitizer report is
// a finding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "fuzz/fuzz_files.h"
#include "settings/sports_catalog.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  tessvark::SportsCatalogStore store;
  store.LoadCatalog(tessvark::fuzz::WriteInputFile("sports-catalog.json", text),
                    tessvark::fuzz::FuzzFolder() / "no-bundled-catalog.json");
  if (store.catalog.origin != "cache" && !store.catalog.sports.empty()) std::abort();
  tessvark::CatalogJson(store.catalog);
  for (const tessvark::Sport& sport : store.catalog.sports) {
    store.catalog.AgentRoles(sport.code);
    store.catalog.ResolveRole(sport.code, "home");
  }
  return 0;
}
