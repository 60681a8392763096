#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "settings/sports_catalog.h"

namespace tessvark {

// The sport chosen last, and per source (keyed by its ProfileKey text) the sport chosen while
// that source was selected.
struct SportSelection {
  std::int32_t version = 1;
  std::optional<std::string> selected_sport;
  std::vector<std::pair<std::string, std::string>> by_source;  // (source key, sport code)
  bool valid = false;  // read completely from the file, or made by a save
};

// "sport_selection.json" of the data folder; without a data folder (empty path) the selection
// lives in `cached` only. No lock of its own: the session's catalog mutex guards every call.
class SportSelectionStore {
 public:
  explicit SportSelectionStore(std::filesystem::path path = {});

  // The selection in the file (valid false when it is missing or unusable, possibly with the
  // sport read before the fault), or the cached one for an empty path. Throws
  // std::filesystem::filesystem_error only when the status query fails for a reason other than
  // "not found".
  SportSelection ReadSelection() const;
  // Makes `sport_code` the selected sport and, for a non-empty `source_key`, that source's sport;
  // writes the file and keeps the result on success.
  bool SaveSelection(const std::string& sport_code, const std::string& source_key,
                     std::string& error);

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  SportSelection cached_;
};

// The file text: {"by_source":{..},"selected_sport":..,"version":1} without white space.
std::string SelectionDocument(const SportSelection& selection);

// Replaces the file through a fresh temporary file, committed to disk before the rename. A text
// larger than the reader takes is refused. An existing file that does not read as a complete
// selection is first kept as "<name>.unreadable" (or with a nanosecond suffix); when that copy
// fails nothing is written.
bool WriteSelectionFile(const std::filesystem::path& path, std::string_view text,
                        std::string& error);

// The API form: the selected sport and the pairs whose codes the catalog knows.
std::string SelectionJson(const SportSelection& selection, const SportsCatalog& catalog);
// The API form with "agent_roles": each native agent role of the sport to its data key.
std::string SelectionJsonWithRoles(const SportSelection& selection, const SportsCatalog& catalog,
                                   const std::string& sport_code);

}  // namespace tessvark
