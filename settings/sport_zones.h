#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "core/json_value.h"

namespace tessvark {

// The zones an operator drew for one source while one sport was selected.
struct SportZoneProfile {
  std::string sport;        // sport code
  std::string source_type;  // 1 to 32 bytes, no zero byte
  std::string source_id;    // 1 to 240 bytes, no zero byte
  std::string zones;        // compact JSON array text
};

// "sport_zones.json" in memory. Entries are matched by (sport, source type, source id); the
// first match counts. Elements the reader does not understand travel along in `preserved`, which
// is written as a member of its own and read back from it.
struct SportZonesDocument {
  std::int32_t version = 1;
  std::vector<SportZoneProfile> profiles;
  // compact JSON text of each unusable "profiles" element, then of each "preserved" element
  std::vector<std::string> preserved;
};

// 1 to `limit` bytes and no zero byte.
bool IsBoundedText(std::string_view text, std::size_t limit);
// An array of objects whose "id" and "role" are bounded texts (80) and whose "x", "y", "width"
// and "height" are finite numbers.
bool ValidateSportZoneList(const JsonValue& zones);
// Why the reader would not take an entry of these values back (it would land in `preserved` and
// its zones be gone); empty when it would. The one judgement of the reader and of whoever wants
// to refuse an entry before it is saved.
std::string SportZoneEntryProblem(std::string_view sport, std::string_view source_type,
                                  std::string_view source_id, const JsonValue& zones);
bool ParseSportZoneProfile(const JsonValue& element, SportZoneProfile& profile);

// The document in "sport_zones.json", or the empty document for an empty path and for a file that
// is missing, larger than 1 MiB, unreadable, not JSON or not version 1. Throws
// std::filesystem::filesystem_error only when the status query fails for a reason other than
// "not found".
SportZonesDocument ReadSportZones(const std::filesystem::path& path);

// One line of compact JSON, the entries sorted by sport, source type and source id.
std::string SportZonesText(const SportZonesDocument& document);

// Writes the document; an empty path writes nothing and succeeds.
bool SaveSportZones(const std::filesystem::path& path, const SportZonesDocument& document,
                    std::string& error);

// Replaces the file through a fresh temporary file, committed to disk before the rename. A text
// larger than ReadSportZones takes is refused ("sport zones would be larger than 1048576 bytes").
// An existing file that does not read as a document is first kept as "<name>.unreadable" (or with
// a nanosecond suffix); when that copy fails nothing is written.
bool WriteSportZonesFile(const std::filesystem::path& path, std::string_view text,
                         std::string& error);

// True for a path that must not be written: ".." left after lexical normalisation, or a path
// inside the old data folder.
bool IsRefusedStorePath(const std::filesystem::path& path);

}  // namespace tessvark
