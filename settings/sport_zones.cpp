#include "settings/sport_zones.h"

#include <algorithm>
#include <exception>
#include <tuple>

#include "core/json_writer.h"
#include "core/paths.h"
#include "settings/catalog_text.h"
#include "settings/config_json.h"
#include "settings/settings_file.h"

namespace tessvark {
namespace {

const JsonValue* FirstString(const JsonValue& object, const char* key) {
  const JsonValue* value = object.Find(key);
  return value != nullptr && value->kind == JsonKind::kString ? value : nullptr;
}

bool IsFiniteNumber(const JsonValue* value) {
  return value != nullptr && value->FiniteNumber().has_value();
}

// The document in `text`; false when it is not a version-1 object with a "profiles" array.
bool ParseSportZonesText(const std::string& text, SportZonesDocument& document) {
  JsonValue root;
  try {
    root = ParseJson(text);
  } catch (const std::exception&) {
    return false;
  }
  const JsonValue* version = root.FindMember("version");
  const JsonValue* profiles = root.FindMember("profiles");
  if (version == nullptr || version->kind != JsonKind::kNumber || version->number != 1.0 ||
      profiles == nullptr || profiles->kind != JsonKind::kArray) {
    return false;
  }
  for (const JsonValue& element : profiles->items) {
    SportZoneProfile profile;
    if (ParseSportZoneProfile(element, profile)) {
      document.profiles.push_back(std::move(profile));
    } else {
      document.preserved.push_back(WriteCompactJson(element));
    }
  }
  // What an earlier reading preserved is written in a member of its own; without reading it
  // back those elements would be gone after the second save.
  if (const JsonValue* preserved = root.FindMember("preserved");
      preserved != nullptr && preserved->kind == JsonKind::kArray) {
    for (const JsonValue& element : preserved->items) {
      document.preserved.push_back(WriteCompactJson(element));
    }
  }
  return true;
}

}  // namespace

bool IsBoundedText(std::string_view text, std::size_t limit) {
  return !text.empty() && text.size() <= limit && text.find('\0') == std::string_view::npos;
}

bool ValidateSportZoneList(const JsonValue& zones) {
  if (zones.kind != JsonKind::kArray) return false;
  for (const JsonValue& zone : zones.items) {
    if (zone.kind != JsonKind::kObject) return false;
    const JsonValue* id = FirstString(zone, "id");
    const JsonValue* role = FirstString(zone, "role");
    if (id == nullptr || role == nullptr || !IsBoundedText(id->text, 80) ||
        !IsBoundedText(role->text, 80)) {
      return false;
    }
    for (const char* key : {"x", "y", "width", "height"}) {
      if (!IsFiniteNumber(zone.Find(key))) return false;
    }
  }
  return true;
}

std::string SportZoneEntryProblem(std::string_view sport, std::string_view source_type,
                                  std::string_view source_id, const JsonValue& zones) {
  if (!IsCatalogCode(sport, 32)) return "the sport code is not valid";
  if (!IsBoundedText(source_type, 32)) {
    return "the source type must be 1 to 32 bytes without a zero byte";
  }
  if (!IsBoundedText(source_id, 240)) {
    return "the source id must be 1 to 240 bytes without a zero byte";
  }
  if (!ValidateSportZoneList(zones)) {
    return "each zone needs an id and a role of 1 to 80 bytes and finite coordinates";
  }
  return {};
}

bool ParseSportZoneProfile(const JsonValue& element, SportZoneProfile& profile) {
  if (element.kind != JsonKind::kObject) return false;
  const JsonValue* sport = FirstString(element, "sport");
  const JsonValue* type = FirstString(element, "source_type");
  const JsonValue* id = FirstString(element, "source_id");
  const JsonValue* zones = element.Find("zones");
  if (sport == nullptr || type == nullptr || id == nullptr || zones == nullptr) return false;
  if (!SportZoneEntryProblem(sport->text, type->text, id->text, *zones).empty()) return false;
  profile.sport = sport->text;
  profile.source_type = type->text;
  profile.source_id = id->text;
  profile.zones = WriteCompactJson(*zones);
  return true;
}

SportZonesDocument ReadSportZones(const std::filesystem::path& path) {
  SportZonesDocument document;
  if (path.empty() || !IsRegularSettingsFile(path)) return document;
  std::string text;
  if (ReadFileUpTo(path, kSettingsFileLimit, text) != LimitedReadStatus::kRead) return document;
  SportZonesDocument read;
  if (!ParseSportZonesText(text, read)) return document;
  return read;
}

std::string SportZonesText(const SportZonesDocument& document) {
  std::vector<const SportZoneProfile*> sorted;
  sorted.reserve(document.profiles.size());
  for (const SportZoneProfile& profile : document.profiles) sorted.push_back(&profile);
  // std::string compares its bytes as unsigned values, a prefix first.
  std::sort(sorted.begin(), sorted.end(), [](const SportZoneProfile* a, const SportZoneProfile* b) {
    return std::tie(a->sport, a->source_type, a->source_id) <
           std::tie(b->sport, b->source_type, b->source_id);
  });
  JsonWriter out(kApiJson);
  out.BeginObject();
  out.Key("profiles").BeginArray();
  for (const SportZoneProfile* profile : sorted) {
    out.BeginObject();
    out.Key("source_id").String(profile->source_id);
    out.Key("source_type").String(profile->source_type);
    out.Key("sport").String(profile->sport);
    out.Key("zones").Raw(profile->zones);
    out.EndObject();
  }
  out.EndArray();
  if (!document.preserved.empty()) {
    out.Key("preserved").BeginArray();
    for (const std::string& element : document.preserved) out.Raw(element);
    out.EndArray();
  }
  out.Key("version").Int(1);
  return out.EndObject().Take();
}

bool SaveSportZones(const std::filesystem::path& path, const SportZonesDocument& document,
                    std::string& error) {
  if (path.empty()) return true;
  SportZonesDocument copy = document;
  copy.version = 1;
  return WriteSportZonesFile(path, SportZonesText(copy), error);
}

bool WriteSportZonesFile(const std::filesystem::path& path, std::string_view text,
                         std::string& error) {
  if (path.empty() || IsRefusedStorePath(path)) {
    error = "sport zone path is not the development store";
    return false;
  }
  const auto is_usable = [](const std::string& existing) {
    SportZonesDocument ignored;
    return ParseSportZonesText(existing, ignored);
  };
  return ReplaceSettingsFile(path, text, is_usable, "sport zones", error);
}

bool IsRefusedStorePath(const std::filesystem::path& path) {
  const std::string text = path.lexically_normal().string();
  return text.find("..") != std::string::npos || IsInOldDataFolder(text);
}

}  // namespace tessvark
