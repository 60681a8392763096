#include "settings/sports_catalog.h"

#include <cmath>
#include <exception>
#include <initializer_list>

#include "core/agent_roles.h"
#include "settings/catalog_text.h"
#include "settings/settings_file.h"

namespace tessvark {
namespace {

constexpr std::int64_t kInt32Max = 2147483647;
constexpr std::size_t kMaxSports = 100;

bool IsOneOf(const std::string& text, std::initializer_list<const char*> allowed) {
  for (const char* candidate : allowed) {
    if (text == candidate) return true;
  }
  return false;
}

bool IsTimerFormat(const std::string& text) {
  return IsOneOf(text, {"mm:ss", "hh:mm:ss", "ss", "ss.s"});
}

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool IsCatalogTime(const JsonValue& value) {
  if (value.kind != JsonKind::kString || value.text.size() != 20) return false;
  const std::string& t = value.text;
  for (std::size_t i = 0; i < t.size(); ++i) {
    char expected = 0;
    switch (i + 1) {
      case 5: case 8: expected = '-'; break;
      case 11: expected = 'T'; break;
      case 14: case 17: expected = ':'; break;
      case 20: expected = 'Z'; break;
      default: break;
    }
    if (expected != 0 ? t[i] != expected : (t[i] < '0' || t[i] > '9')) return false;
  }
  return true;
}

bool ReadBool(const JsonValue* value, bool& out) {
  if (value == nullptr || value->kind != JsonKind::kBool) return false;
  out = value->bool_value;
  return true;
}

bool ReadInt32(const JsonValue* value, std::int32_t& out, std::int64_t minimum,
               std::int64_t maximum) {
  std::int64_t read = 0;
  if (value == nullptr || !ReadIntInRange(*value, read, minimum, maximum)) return false;
  out = static_cast<std::int32_t>(read);
  return true;
}

bool IsTypeFormatPair(const JsonValue* type, const JsonValue* format) {
  if (type == nullptr || format == nullptr || type->kind != JsonKind::kString ||
      format->kind != JsonKind::kString) {
    return false;
  }
  if (type->text == "timer") return IsTimerFormat(format->text);
  return IsOneOf(type->text, {"integer", "decimal", "text", "boolean"}) &&
         type->text == format->text;
}

bool Fail(std::string& reason, const char* text) {
  reason = text;
  return false;
}

CatalogParseResult Refuse(const char* reason) { return {false, reason}; }

// Maps each name to the data key; a name already standing for another key collides.
bool MapNames(const DataDefinition& definition, SportNameMap& names) {
  std::vector<const std::string*> all = {&definition.data_key};
  if (!definition.agent_role.empty()) all.push_back(&definition.agent_role);
  for (const std::string& alias : definition.aliases) all.push_back(&alias);
  for (const std::string* name : all) {
    const auto [entry, inserted] = names.emplace(*name, definition.data_key);
    if (!inserted && entry->second != definition.data_key) return false;
  }
  return true;
}

bool ParseSport(const JsonValue& value, std::vector<std::string>& codes, Sport& sport,
                std::string& reason) {
  if (!HasExactKeys(value, {"id", "code", "name", "description", "enabled", "sort_order",
                            "definitions"})) {
    return Fail(reason, "sport is invalid");
  }
  const JsonValue& code = *value.Find("code");
  if (code.kind != JsonKind::kString || !IsCatalogCode(code.text, 32)) {
    return Fail(reason, "sport code is invalid");
  }
  for (const std::string& seen : codes) {
    if (seen == code.text) return Fail(reason, "sport code is invalid");
  }
  sport.code = code.text;
  if (!ReadBool(value.Find("enabled"), sport.enabled)) return Fail(reason, "enabled is invalid");
  const JsonValue& definitions = *value.Find("definitions");
  if (definitions.kind != JsonKind::kArray || definitions.items.empty()) {
    return Fail(reason, "definitions are invalid");
  }
  if (!ReadCatalogUuid(*value.Find("id"), sport.id) ||
      !ReadCatalogText(*value.Find("name"), 80, sport.name)) {
    return Fail(reason, sport.id.size() != 36 ? "identifier is invalid" : "text is invalid");
  }
  const JsonValue& description = *value.Find("description");
  const bool absent = description.kind == JsonKind::kNull ||
                      (description.kind == JsonKind::kString && description.text.empty());
  if (!absent) {
    std::string text;
    if (!ReadCatalogText(description, 500, text)) return Fail(reason, "text is invalid");
    sport.description = std::move(text);
  }
  if (!ReadInt32(value.Find("sort_order"), sport.sort_order, 0, kInt32Max)) {
    return Fail(reason, "sort order is invalid");
  }
  sport.label = sport.code == "football" ? "American Football" : sport.name;
  SportNameMap names;
  for (const JsonValue& item : definitions.items) {
    DataDefinition definition;
    if (!ParseDefinition(item, names, definition, reason)) return false;
    sport.definitions.push_back(std::move(definition));
  }
  codes.push_back(sport.code);
  return true;
}

void AppendTextArray(const std::vector<std::string>& texts, std::string& out) {
  out += '[';
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (i > 0) out += ',';
    out += QuoteCatalogJson(texts[i]);
  }
  out += ']';
}

void AppendMember(std::string& out, const char* key, const std::string& json_value) {
  if (out.back() != '{') out += ',';
  out += '"';
  out += key;
  out += "\":";
  out += json_value;
}

std::string BoolText(bool value) { return value ? "true" : "false"; }

}  // namespace

std::size_t Fnv1aHash::operator()(const std::string& text) const {
  std::uint64_t hash = 14695981039346656037ull;
  for (const char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  return static_cast<std::size_t>(hash);
}

const Sport* SportsCatalog::FindSport(const std::string& code) const {
  for (const Sport& sport : sports) {
    if (sport.code == code) return &sport;
  }
  return nullptr;
}

std::vector<std::string> SportsCatalog::AgentRoles(const std::string& code) const {
  std::vector<std::string> roles;
  const Sport* sport = FindSport(code);
  if (sport == nullptr) return roles;
  for (const DataDefinition& definition : sport->definitions) {
    if (definition.support == DefinitionSupport::kNative && definition.ocr_available &&
        !definition.agent_role.empty()) {
      roles.push_back(definition.agent_role);
    }
  }
  return roles;
}

std::optional<std::string> SportsCatalog::ResolveRole(const std::string& code,
                                                      const std::string& name) const {
  const Sport* sport = FindSport(code);
  if (sport == nullptr) return std::nullopt;
  for (const DataDefinition& definition : sport->definitions) {
    if (definition.data_key == name) return definition.data_key;
  }
  for (const DataDefinition& definition : sport->definitions) {
    if (definition.agent_role == name) return definition.data_key;
  }
  for (const DataDefinition& definition : sport->definitions) {
    for (const std::string& alias : definition.aliases) {
      if (alias == name) return definition.data_key;
    }
  }
  return std::nullopt;
}

SportsCatalog EmptyCatalog() {
  SportsCatalog catalog;
  catalog.catalog_id = "00000000-0000-4000-8000-000000000000";
  catalog.published_at = "1970-01-01T00:00:00Z";
  catalog.origin = "unavailable";
  catalog.reason = "no valid catalog";
  return catalog;
}

bool ReadCatalogUuid(const JsonValue& value, std::string& uuid) {
  if (value.kind != JsonKind::kString || value.text.size() != 36) return false;
  uuid = value.text;
  for (std::size_t i = 0; i < uuid.size(); ++i) {
    const bool dash_position = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash_position ? uuid[i] != '-' : !IsHexDigit(uuid[i])) return false;
    if (uuid[i] >= 'A' && uuid[i] <= 'F') uuid[i] = static_cast<char>(uuid[i] - 'A' + 'a');
  }
  return true;
}

bool ReadCatalogText(const JsonValue& value, std::size_t maximum, std::string& text) {
  if (value.kind != JsonKind::kString) return false;
  std::string collapsed = CollapseWhitespace(value.text);
  if (collapsed.empty() || collapsed.size() > maximum) return false;
  text = std::move(collapsed);
  return true;
}

bool ReadOptionalCatalogText(const JsonValue& object, const char* name, std::string& text) {
  const JsonValue* value = object.Find(name);
  return value == nullptr || ReadCatalogText(*value, 80, text);
}

bool ReadIntInRange(const JsonValue& value, std::int64_t& out, std::int64_t minimum,
                    std::int64_t maximum) {
  const std::optional<double> number = value.FiniteNumber();
  if (!number || std::floor(*number) != *number) return false;
  if (*number < static_cast<double>(minimum) || *number > static_cast<double>(maximum)) {
    return false;
  }
  out = static_cast<std::int64_t>(*number);
  return true;
}

bool ParseDefinitionParameters(const JsonValue& parameters, const std::string& data_key,
                               DataDefinition& definition, std::string& reason) {
  if (parameters.kind != JsonKind::kObject) return Fail(reason, "parameters are invalid");
  for (const JsonMember& member : parameters.members) {
    if (!IsOneOf(member.key, {"support", "reader", "agent_role", "aliases", "public_key",
                              "detected_formats", "state_group", "state_field"})) {
      return Fail(reason, "parameters are invalid");
    }
  }
  const JsonValue* support = parameters.Find("support");
  if (support == nullptr || support->kind != JsonKind::kString ||
      !IsOneOf(support->text, {"native", "unsupported"})) {
    return Fail(reason, "support is invalid");
  }
  if (support->text == "unsupported") {
    if (parameters.members.size() != 1) return Fail(reason, "unsupported data claims a reader");
    definition.support = DefinitionSupport::kUnsupported;
    return true;
  }
  const JsonValue* reader = parameters.Find("reader");
  const JsonValue* role = parameters.Find("agent_role");
  if (reader == nullptr || role == nullptr || reader->kind != JsonKind::kString ||
      role->kind != JsonKind::kString ||
      !IsOneOf(reader->text, {"two_cell", "single_digit", "clock", "period", "possession"})) {
    return Fail(reason, "reader is invalid");
  }
  const AgentRole* row = FindAgentRole(role->text);
  if (row == nullptr) return Fail(reason, "reader is invalid");
  std::vector<std::string> aliases;
  if (const JsonValue* list = parameters.Find("aliases")) {
    if (list->kind != JsonKind::kArray) return Fail(reason, "alias is invalid");
    for (const JsonValue& alias : list->items) {
      if (alias.kind != JsonKind::kString || !IsCatalogCode(alias.text, 64)) {
        return Fail(reason, "alias is invalid");
      }
      aliases.push_back(alias.text);
    }
  }
  bool visible = role->text == data_key;
  for (const std::string& alias : aliases) visible = visible || alias == role->text;
  if (!visible) return Fail(reason, "agent role is hidden");
  std::vector<std::string> formats;
  if (const JsonValue* list = parameters.Find("detected_formats")) {
    if (list->kind != JsonKind::kArray) return Fail(reason, "format is invalid");
    for (const JsonValue& format : list->items) {
      if (format.kind != JsonKind::kString || !IsTimerFormat(format.text)) {
        return Fail(reason, "format is invalid");
      }
      formats.push_back(format.text);
    }
  }
  if (!ReadOptionalCatalogText(parameters, "public_key", definition.public_key) ||
      !ReadOptionalCatalogText(parameters, "state_group", definition.state_group) ||
      !ReadOptionalCatalogText(parameters, "state_field", definition.state_field)) {
    return Fail(reason, "text is invalid");
  }
  definition.support = DefinitionSupport::kNative;
  definition.reader = reader->text;
  definition.agent_role = role->text;
  definition.aliases = std::move(aliases);
  definition.detected_formats = std::move(formats);
  definition.ocr_available = true;
  definition.zone_type = row->zone_type;
  definition.ocr_name = row->display_name;
  return true;
}

bool ParseDefinition(const JsonValue& value, SportNameMap& names, DataDefinition& definition,
                     std::string& reason) {
  if (!HasExactKeys(value, {"id", "group_name", "data_key", "display_name", "data_type",
                            "data_format", "ocr_interval_ms", "enabled", "sort_order",
                            "parameters"})) {
    return Fail(reason, "definition is invalid");
  }
  const JsonValue& data_key = *value.Find("data_key");
  if (data_key.kind != JsonKind::kString || !IsCatalogCode(data_key.text, 64)) {
    return Fail(reason, "data key is invalid");
  }
  const JsonValue* type = value.Find("data_type");
  const JsonValue* format = value.Find("data_format");
  if (!IsTypeFormatPair(type, format)) return Fail(reason, "type is invalid");
  if (!ReadInt32(value.Find("ocr_interval_ms"), definition.ocr_interval_ms, 100, 60000)) {
    return Fail(reason, "interval is invalid");
  }
  if (!ReadBool(value.Find("enabled"), definition.enabled)) return Fail(reason, "enabled is invalid");
  if (!ReadInt32(value.Find("sort_order"), definition.sort_order, 0, kInt32Max)) {
    return Fail(reason, "sort order is invalid");
  }
  if (!ReadCatalogUuid(*value.Find("id"), definition.id) ||
      !ReadCatalogText(*value.Find("group_name"), 64, definition.group_name) ||
      !ReadCatalogText(*value.Find("display_name"), 80, definition.display_name)) {
    return Fail(reason, "text is invalid");
  }
  if (!ParseDefinitionParameters(*value.Find("parameters"), data_key.text, definition, reason)) {
    return false;
  }
  definition.data_key = data_key.text;
  definition.data_type = type->text;
  definition.data_format = format->text;
  if (!MapNames(definition, names)) return Fail(reason, "alias collides");
  return true;
}

CatalogParseResult ParseCatalog(const std::string& text, SportsCatalog& catalog) {
  JsonValue root;
  try {
    root = ParseJson(text);
  } catch (const std::exception&) {
    return Refuse("catalog is invalid");
  }
  if (root.kind != JsonKind::kObject) return Refuse("catalog is invalid");
  // These members describe the copy at hand, never the catalog itself: the loader decides them.
  std::erase_if(root.members, [](const JsonMember& member) {
    return IsOneOf(member.key, {"origin", "downloads_enabled", "intervals_applied"});
  });
  if (!HasExactKeys(root, {"schema_version", "catalog_version", "catalog_id", "published_at",
                           "sports"})) {
    return Refuse("catalog version is invalid");
  }
  SportsCatalog parsed;
  const JsonValue& schema = *root.Find("schema_version");
  if (schema.kind != JsonKind::kString || schema.text != "1") {
    return Refuse("catalog version is invalid");
  }
  if (!ReadInt32(root.Find("catalog_version"), parsed.catalog_version, 0, kInt32Max)) {
    return Refuse("catalog version is invalid");
  }
  const JsonValue& published = *root.Find("published_at");
  if (!IsCatalogTime(published)) return Refuse("published time is invalid");
  parsed.published_at = published.text;
  const JsonValue& sports = *root.Find("sports");
  if (sports.kind != JsonKind::kArray || sports.items.empty() || sports.items.size() > kMaxSports) {
    return Refuse("sports are invalid");
  }
  if (!ReadCatalogUuid(*root.Find("catalog_id"), parsed.catalog_id)) {
    return Refuse("identifier is invalid");
  }
  std::vector<std::string> codes;
  for (const JsonValue& item : sports.items) {
    Sport sport;
    std::string reason;
    if (!ParseSport(item, codes, sport, reason)) return {false, reason};
    parsed.sports.push_back(std::move(sport));
  }
  parsed.origin.clear();
  catalog = std::move(parsed);
  return {true, ""};
}

std::string DefinitionJson(const DataDefinition& definition) {
  std::string out = "{";
  AppendMember(out, "id", QuoteCatalogJson(definition.id));
  AppendMember(out, "group_name", QuoteCatalogJson(definition.group_name));
  AppendMember(out, "data_key", QuoteCatalogJson(definition.data_key));
  AppendMember(out, "display_name", QuoteCatalogJson(definition.display_name));
  AppendMember(out, "data_type", QuoteCatalogJson(definition.data_type));
  AppendMember(out, "data_format", QuoteCatalogJson(definition.data_format));
  AppendMember(out, "ocr_interval_ms", std::to_string(definition.ocr_interval_ms));
  AppendMember(out, "enabled", BoolText(definition.enabled));
  AppendMember(out, "sort_order", std::to_string(definition.sort_order));
  std::string parameters = "{";
  if (definition.support == DefinitionSupport::kUnsupported) {
    AppendMember(parameters, "support", "\"unsupported\"");
  } else {
    AppendMember(parameters, "support", "\"native\"");
    AppendMember(parameters, "reader", QuoteCatalogJson(definition.reader));
    AppendMember(parameters, "agent_role", QuoteCatalogJson(definition.agent_role));
    if (!definition.aliases.empty()) {
      std::string aliases;
      AppendTextArray(definition.aliases, aliases);
      AppendMember(parameters, "aliases", aliases);
    }
    if (!definition.detected_formats.empty()) {
      std::string formats;
      AppendTextArray(definition.detected_formats, formats);
      AppendMember(parameters, "detected_formats", formats);
    }
    for (const auto& [key, text] : {std::pair{"public_key", &definition.public_key},
                                    std::pair{"state_group", &definition.state_group},
                                    std::pair{"state_field", &definition.state_field}}) {
      if (!text->empty()) AppendMember(parameters, key, QuoteCatalogJson(*text));
    }
  }
  AppendMember(out, "parameters", parameters + "}");
  std::string ocr = "{";
  if (definition.ocr_available) {
    AppendMember(ocr, "available", "true");
    AppendMember(ocr, "reader", "\"historical\"");
    AppendMember(ocr, "role", QuoteCatalogJson(definition.agent_role));
    AppendMember(ocr, "zone_type", QuoteCatalogJson(definition.zone_type));
    AppendMember(ocr, "name", QuoteCatalogJson(definition.ocr_name));
    AppendMember(ocr, "interval_ms", std::to_string(definition.ocr_interval_ms));
    if (definition.zone_type == "clock") {
      AppendMember(ocr, "produced_formats", "[\"M:SS\",\"MM:SS\",\"S.t\",\"SS.t\"]");
    }
  } else {
    AppendMember(ocr, "available", "false");
  }
  AppendMember(out, "ocr", ocr + "}");
  return out + "}";
}

std::string CatalogJson(const SportsCatalog& catalog) {
  std::string out = "{";
  AppendMember(out, "schema_version", QuoteCatalogJson(catalog.schema_version));
  AppendMember(out, "catalog_version", std::to_string(catalog.catalog_version));
  AppendMember(out, "catalog_id", QuoteCatalogJson(catalog.catalog_id));
  AppendMember(out, "published_at", QuoteCatalogJson(catalog.published_at));
  AppendMember(out, "origin", QuoteCatalogJson(catalog.origin));
  AppendMember(out, "downloads_enabled", BoolText(catalog.downloads_enabled));
  AppendMember(out, "intervals_applied", BoolText(catalog.intervals_applied));
  if (!catalog.reason.empty()) AppendMember(out, "reason", QuoteCatalogJson(catalog.reason));
  std::string sports = "[";
  for (const Sport& sport : catalog.sports) {
    if (sports.size() > 1) sports += ',';
    std::string item = "{";
    AppendMember(item, "id", QuoteCatalogJson(sport.id));
    AppendMember(item, "code", QuoteCatalogJson(sport.code));
    AppendMember(item, "name", QuoteCatalogJson(sport.name));
    AppendMember(item, "label", QuoteCatalogJson(sport.label));
    AppendMember(item, "description",
                 sport.description ? QuoteCatalogJson(*sport.description) : "null");
    AppendMember(item, "enabled", BoolText(sport.enabled));
    AppendMember(item, "sort_order", std::to_string(sport.sort_order));
    std::string definitions = "[";
    for (const DataDefinition& definition : sport.definitions) {
      if (definitions.size() > 1) definitions += ',';
      definitions += DefinitionJson(definition);
    }
    AppendMember(item, "definitions", definitions + "]");
    sports += item + "}";
  }
  AppendMember(out, "sports", sports + "]");
  return out + "}";
}

bool SportsCatalogStore::ReadCatalogFile(const std::filesystem::path& path, std::string& text,
                                         std::string& reason) {
  switch (ReadFileUpTo(path, kSettingsFileLimit, text)) {
    case LimitedReadStatus::kRead:
      return true;
    case LimitedReadStatus::kTooLarge:
      reason = "catalog is too large";
      return false;
    case LimitedReadStatus::kUnreadable:
      break;
  }
  reason = "unreadable";
  return false;
}

void SportsCatalogStore::LoadCatalog(const std::filesystem::path& cache,
                                     const std::filesystem::path& resources) {
  cache_path = cache;
  resources_path = resources;
  for (const auto& [path, origin] : {std::pair{&cache_path, "cache"},
                                     std::pair{&resources_path, "bundled"}}) {
    if (path->empty()) continue;
    std::string text;
    std::string reason;
    SportsCatalog parsed;
    if (!ReadCatalogFile(*path, text, reason) || !ParseCatalog(text, parsed).ok) continue;
    parsed.origin = origin;
    catalog = std::move(parsed);
    return;
  }
  catalog = EmptyCatalog();
}

std::string SportsCatalogStore::ApplyCachedCatalog(bool ocr_started) {
  if (ocr_started) return "busy";
  std::string text;
  std::string reason;
  SportsCatalog parsed;
  if (!ReadCatalogFile(cache_path, text, reason) || !ParseCatalog(text, parsed).ok) {
    return "invalid";
  }
  parsed.origin = "cache";
  catalog = std::move(parsed);
  return "applied";
}

}  // namespace tessvark
