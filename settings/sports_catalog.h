#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/json_value.h"

namespace tessvark {

enum class DefinitionSupport : std::int32_t { kNative = 0, kUnsupported = 1 };

// One datum a sport exposes; native data carry the agent role under which a zone delivers it.
struct DataDefinition {
  std::string id;
  std::string group_name;
  std::string data_key;
  std::string display_name;
  std::string data_type;
  std::string data_format;
  std::int32_t ocr_interval_ms = 200;
  bool enabled = true;
  std::int32_t sort_order = 0;
  DefinitionSupport support = DefinitionSupport::kUnsupported;
  std::string reader;
  std::string agent_role;
  std::vector<std::string> aliases;
  std::vector<std::string> detected_formats;
  std::string public_key;
  std::string state_group;
  std::string state_field;
  bool ocr_available = false;  // exactly the native definitions
  std::string zone_type;       // from the agent role's table row
  std::string ocr_name;        // the table row's display name
};

struct Sport {
  std::string id;
  std::string code;
  std::string name;
  std::string label;  // "American Football" for the code "football", else the name
  std::optional<std::string> description;
  bool enabled = true;
  std::int32_t sort_order = 0;
  std::vector<DataDefinition> definitions;
};

struct SportsCatalog {
  std::string schema_version = "1";
  std::int32_t catalog_version = 0;
  std::string catalog_id;
  std::string published_at;
  std::string origin = "unavailable";  // "cache", "bundled" or "unavailable"
  std::string reason;
  bool downloads_enabled = false;
  bool intervals_applied = false;
  std::vector<Sport> sports;

  // The first sport with this code (byte for byte), or null.
  const Sport* FindSport(const std::string& code) const;
  // The agent roles of the sport's native definitions, in definition order, repeats kept.
  std::vector<std::string> AgentRoles(const std::string& code) const;
  // The data key of the first definition whose data key, else agent role, else alias is `name`.
  std::optional<std::string> ResolveRole(const std::string& code, const std::string& name) const;
};

// The catalog installed when no file is valid: no sports, reason "no valid catalog".
SportsCatalog EmptyCatalog();

struct CatalogParseResult {
  bool ok = false;
  std::string reason;  // the first fault found
};

// Each name of a sport (data keys, agent roles, aliases) to the data key it stands for; lives only
// while one sport is parsed.
struct Fnv1aHash {
  std::size_t operator()(const std::string& text) const;
};
using SportNameMap = std::unordered_map<std::string, std::string, Fnv1aHash>;

// Validates a whole catalog document strictly; `catalog` is replaced only when all of it passes.
// The origin is left empty for the caller.
CatalogParseResult ParseCatalog(const std::string& text, SportsCatalog& catalog);
bool ParseDefinition(const JsonValue& value, SportNameMap& names, DataDefinition& definition,
                     std::string& reason);
bool ParseDefinitionParameters(const JsonValue& parameters, const std::string& data_key,
                               DataDefinition& definition, std::string& reason);

// The value rules of the catalog file.
bool ReadCatalogUuid(const JsonValue& value, std::string& uuid);
bool ReadCatalogText(const JsonValue& value, std::size_t maximum, std::string& text);
// True when `name` is absent from `object`; else ReadCatalogText with 80 bytes.
bool ReadOptionalCatalogText(const JsonValue& object, const char* name, std::string& text);
bool ReadIntInRange(const JsonValue& value, std::int64_t& out, std::int64_t minimum,
                    std::int64_t maximum);

// The API form of the catalog and of one definition: compact JSON.
std::string CatalogJson(const SportsCatalog& catalog);
std::string DefinitionJson(const DataDefinition& definition);

// The current catalog of the session, guarded by the session's catalog mutex.
struct SportsCatalogStore {
  std::filesystem::path cache_path;      // the data folder's copy; empty without a data folder
  std::filesystem::path resources_path;  // the copy in the program's resources folder
  SportsCatalog catalog;

  // Reads a whole file of at most 1 MiB; reason "unreadable" or "catalog is too large".
  static bool ReadCatalogFile(const std::filesystem::path& path, std::string& text,
                              std::string& reason);
  // Installs the cached catalog when valid, else the bundled one, else the empty catalog.
  void LoadCatalog(const std::filesystem::path& cache, const std::filesystem::path& resources);
  // "busy" while OCR runs, "invalid" when the cached file is not valid, else "applied".
  std::string ApplyCachedCatalog(bool ocr_started);
};

}  // namespace tessvark
