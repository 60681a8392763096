#include <exception>

#include "core/json_value.h"
#include "settings/config_store.h"
#include "settings/settings_file.h"

namespace tessvark {
namespace {

bool IsStringEqual(const JsonValue* value, const char* text) {
  return value != nullptr && value->kind == JsonKind::kString && value->text == text;
}

const JsonValue* FindExampleElement(const JsonValue& profiles, const char* source_id) {
  for (const JsonValue& element : profiles.items) {
    if (element.kind == JsonKind::kObject && IsStringEqual(element.Find("source_type"), "example") &&
        IsStringEqual(element.Find("source_id"), source_id)) {
      return &element;
    }
  }
  return nullptr;
}

}  // namespace

bool ConfigStore::ApplyFactoryDefaults(SourceConfiguration& config,
                                       const std::filesystem::path& path, std::string& error) {
  const ConfigFileContents file = ReadConfigFile(path);
  if (!file.found || !file.read) {
    error = "Factory defaults are unavailable";
    return false;
  }
  JsonValue document;
  try {
    document = ParseJson(file.text);
  } catch (const std::exception&) {
    error = "Factory defaults are unreadable";
    return false;
  }
  const JsonValue* version = document.FindMember("version");
  if (version == nullptr || version->kind != JsonKind::kNumber || version->number != 1.0) {
    error = "Factory defaults version is not supported";
    return false;
  }
  const JsonValue* profiles = document.Find("profiles");
  if (profiles == nullptr || profiles->kind != JsonKind::kArray) {
    error = "Factory defaults have no profiles";
    return false;
  }
  for (const char* source_id : {"example-1", "example-2"}) {
    const JsonValue* element = FindExampleElement(*profiles, source_id);
    if (element == nullptr) continue;
    ZoneProfile& profile = config.FindOrAddProfile(ProfileKey("example", source_id));
    if (const JsonValue* zones = element->Find("zones");
        zones != nullptr && zones->kind == JsonKind::kArray) {
      profile.zones = WriteCompactJson(*zones);
      profile.has_zones = true;
    }
    const JsonValue* points = element->Find("geometry");
    if (points != nullptr) points = points->FindMember("points");
    ProfileCorners corners;
    if (points != nullptr && ReadCornerPoints(*points, corners)) {
      profile.corners = corners;
      profile.has_geometry = true;
    }
  }
  return true;
}

}  // namespace tessvark
