#include "settings/config_store.h"

#include <exception>
#include <utility>

#include "core/json_value.h"
#include "core/json_writer.h"
#include "settings/atomic_write.h"
#include "settings/settings_file.h"

namespace tessvark {
namespace {

constexpr const char* kSourceConfigFile = "source_config.json";
constexpr const char* kZoneStoreFile = "zone_store.json";
constexpr const char* kGeometryFile = "source_geometry.json";
constexpr const char* kOutputConfigFile = "output_config.json";
constexpr const char* kCopyFailed = "Could not keep a copy of the unusable configuration";

bool ParseQuietly(const std::string& text, JsonValue& value) {
  try {
    value = ParseJson(text);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool IsNumberOne(const JsonValue* value) {
  return value != nullptr && value->kind == JsonKind::kNumber && value->number == 1.0;
}

// A number whose literal is too large for a double is written back as null, so a document
// holding one would not come back as it was.
bool HoldsNonFiniteNumber(const JsonValue& value) {
  if (value.kind == JsonKind::kNumber) return !value.FiniteNumber().has_value();
  for (const JsonValue& item : value.items) {
    if (HoldsNonFiniteNumber(item)) return true;
  }
  for (const JsonMember& member : value.members) {
    if (HoldsNonFiniteNumber(member.value)) return true;
  }
  return false;
}

const JsonValue* StringMember(const JsonValue& object, const char* key) {
  const JsonValue* value = object.FindMember(key);
  return value != nullptr && value->kind == JsonKind::kString ? value : nullptr;
}

// The three files: one member a line, indented by two spaces, with values that are compact JSON.
constexpr JsonStyle kConfigFileJson{JsonEscapeSet::kApi, JsonNumberForm::kApi, 2};

// A member mapping profile keys to compact values, one entry a line. An empty map still stands
// open over two lines, as the files have always had it.
void WriteKeyedMember(const char* name,
                      const std::vector<std::pair<std::string, std::string>>& entries,
                      JsonWriter& out) {
  out.Key(name);
  if (entries.empty()) {
    out.Raw("{\n  }");
    return;
  }
  out.BeginObject();
  for (const auto& [key, value] : entries) out.Key(key).Raw(value);
  out.EndObject();
}

std::string PointsEntry(const ProfileCorners& corners) {
  return "{\"points\": " + WriteCornerPoints(corners) + "}";
}

// The members that open every file: its version and the selected source.
JsonWriter FileHead(int version, const SourceConfiguration& config) {
  JsonWriter out(kConfigFileJson);
  out.BeginObject();
  out.Key("version").Int(version);
  out.Key("source_type").String(config.source_type);
  out.Key("source_id").String(config.source_id);
  return out;
}

std::string FileText(JsonWriter& out) { return out.EndObject().Take() + '\n'; }

const ZoneProfile* CurrentProfile(const SourceConfiguration& config) {
  return config.FindProfile(ProfileKey(config.source_type, config.source_id));
}

// "profiles" of the zone store: the first "profiles" object's array members, then the first
// "hide_empty" object's bool members, then the top-level list, which wins for its own key.
void ReadZoneProfiles(const JsonValue& document, SourceConfiguration& config) {
  if (const JsonValue* profiles = document.Find("profiles");
      profiles != nullptr && profiles->kind == JsonKind::kObject) {
    for (const JsonMember& member : profiles->members) {
      if (member.value.kind != JsonKind::kArray) continue;
      ZoneProfile& profile = config.FindOrAddProfile(member.key);
      profile.zones = WriteCompactJson(member.value);
      profile.has_zones = true;
    }
  }
  if (const JsonValue* hide = document.Find("hide_empty");
      hide != nullptr && hide->kind == JsonKind::kObject) {
    for (const JsonMember& member : hide->members) {
      if (member.value.kind != JsonKind::kBool) continue;
      ZoneProfile& profile = config.FindOrAddProfile(member.key);
      profile.hide_empty = member.value.bool_value;
      profile.has_hide_empty = true;
    }
  }
  const JsonValue* zones = document.Find("zones");
  const JsonValue* type = StringMember(document, "source_type");
  const JsonValue* id = StringMember(document, "source_id");
  if (zones != nullptr && zones->kind == JsonKind::kArray && type != nullptr && id != nullptr) {
    ZoneProfile& profile = config.FindOrAddProfile(ProfileKey(type->text, id->text));
    profile.zones = WriteCompactJson(*zones);
    profile.has_zones = true;
  }
}

SourceConfiguration LoadDefaults() {
  SourceConfiguration config;
  config.source_type = "ndi";
  return config;
}

}  // namespace

ZoneProfile* SourceConfiguration::FindProfile(const std::string& key) {
  for (ZoneProfile& profile : profiles) {
    if (profile.key == key) return &profile;
  }
  return nullptr;
}

const ZoneProfile* SourceConfiguration::FindProfile(const std::string& key) const {
  for (const ZoneProfile& profile : profiles) {
    if (profile.key == key) return &profile;
  }
  return nullptr;
}

ZoneProfile& SourceConfiguration::FindOrAddProfile(const std::string& key) {
  if (ZoneProfile* found = FindProfile(key)) return *found;
  ZoneProfile& added = profiles.emplace_back();
  added.key = key;
  return added;
}

std::string ProfileKey(const std::string& source_type, const std::string& source_id) {
  return JsonWriter(kApiJson)
      .BeginObject()
      .Key("source_id").String(source_id)
      .Key("source_type").String(source_type)
      .EndObject()
      .Take();
}

bool ParseProfileKey(const std::string& key, std::string& source_type, std::string& source_id) {
  JsonValue value;
  if (!ParseQuietly(key, value) || value.kind != JsonKind::kObject) return false;
  const JsonValue* type = StringMember(value, "source_type");
  const JsonValue* id = StringMember(value, "source_id");
  if (type == nullptr || id == nullptr) return false;
  source_type = type->text;
  source_id = id->text;
  return true;
}

std::string SourceConfigDocument(const SourceConfiguration& config) {
  JsonWriter out = FileHead(1, config);
  out.Key("ndi_source_id").String(config.ndi_source_id);
  out.Key("ndi_source_name").String(config.ndi_source_name);
  return FileText(out);
}

std::string ZoneStoreDocument(const SourceConfiguration& config) {
  const ZoneProfile* current = CurrentProfile(config);
  std::vector<std::pair<std::string, std::string>> zones;
  std::vector<std::pair<std::string, std::string>> hide_empty;
  for (const ZoneProfile& profile : config.profiles) {
    if (profile.has_zones || profile.has_hide_empty) zones.emplace_back(profile.key, profile.zones);
    if (profile.has_hide_empty) {
      hide_empty.emplace_back(profile.key, profile.hide_empty ? "true" : "false");
    }
  }
  JsonWriter out = FileHead(1, config);
  out.Key("zones").Raw(current != nullptr ? current->zones : "[]");
  WriteKeyedMember("profiles", zones, out);
  if (!hide_empty.empty()) WriteKeyedMember("hide_empty", hide_empty, out);
  return FileText(out);
}

std::string GeometryDocument(const SourceConfiguration& config) {
  const ZoneProfile* current = CurrentProfile(config);
  const ProfileCorners corners =
      current != nullptr && current->has_geometry ? current->corners : IdentityCorners();
  std::vector<std::pair<std::string, std::string>> entries;
  for (const ZoneProfile& profile : config.profiles) {
    if (profile.has_geometry) entries.emplace_back(profile.key, PointsEntry(profile.corners));
  }
  JsonWriter out = FileHead(2, config);
  out.Key("geometry").Raw(PointsEntry(corners));
  WriteKeyedMember("profiles", entries, out);
  return FileText(out);
}

ConfigStore::ConfigStore(std::filesystem::path directory) : directory_(std::move(directory)) {
  pending_geometry_.copy_name = "source_geometry.legacy-v1.json";
  pending_source_config_.copy_name = "source_config.json.unreadable";
  pending_zone_store_.copy_name = "zone_store.json.unreadable";
  pending_output_config_.copy_name = "output_config.json.unreadable";
}

ConfigLoadResult ConfigStore::Load(SourceConfiguration& config) {
  MutexLock lock(mutex_);
  config = LoadDefaults();
  for (PendingCopy* pending : {&pending_geometry_, &pending_source_config_, &pending_zone_store_,
                               &pending_output_config_}) {
    pending->text.clear();
    pending->unread = false;
  }
  ConfigLoadResult result;
  LoadSourceConfig(config);
  result.zone_store_rewritten = LoadZoneStore(config);
  result.geometry_needs_rewrite = LoadGeometry(config);
  LoadOutputConfig(config);
  return result;
}

void ConfigStore::LoadSourceConfig(SourceConfiguration& config) {
  ConfigFileContents file = ReadConfigFile(directory_ / kSourceConfigFile);
  if (!file.found) return;
  if (!file.read) {
    pending_source_config_.unread = true;
    return;
  }
  JsonValue document;
  if (!ParseQuietly(file.text, document) || document.kind != JsonKind::kObject) {
    pending_source_config_.text = std::move(file.text);
    return;
  }
  if (const JsonValue* type = StringMember(document, "source_type");
      type != nullptr && IsKnownSourceType(type->text)) {
    config.source_type = type->text;
  }
  if (const JsonValue* id = StringMember(document, "ndi_source_id")) config.ndi_source_id = id->text;
  if (const JsonValue* name = StringMember(document, "ndi_source_name")) {
    config.ndi_source_name = name->text;
  }
  if (config.ndi_source_name.empty() && !config.ndi_source_id.empty()) {
    config.ndi_source_name = config.ndi_source_id;
  }
  if (const JsonValue* id = StringMember(document, "source_id")) {
    config.source_id = id->text;
  } else if (config.source_type == "ndi") {
    config.source_id = config.ndi_source_id;
  }
  const JsonValue* version = document.Find("version");
  if (version != nullptr && !IsNumberOne(version)) {
    pending_source_config_.text = std::move(file.text);
    config = LoadDefaults();
  }
}

bool ConfigStore::LoadZoneStore(SourceConfiguration& config) {
  ConfigFileContents file = ReadConfigFile(directory_ / kZoneStoreFile);
  if (!file.found) return false;
  if (!file.read) {
    pending_zone_store_.unread = true;
    return false;
  }
  JsonValue document;
  const bool parsed = ParseQuietly(file.text, document);
  if (parsed && document.kind == JsonKind::kObject && IsNumberOne(document.Find("version"))) {
    ReadZoneProfiles(document, config);
    // Its zone lists now hold null where the file held such a number: the file as it was is
    // kept before it is rewritten, so that a hand-edited or damaged zone is not lost unseen.
    if (!HoldsNonFiniteNumber(document)) return false;
  } else if (parsed && document.kind == JsonKind::kArray) {
    ZoneProfile& profile = config.FindOrAddProfile(ProfileKey("example", "bundled-scoreboard"));
    profile.zones = WriteCompactJson(document);
    profile.has_zones = true;
  }
  std::string ignored;
  if (!KeepUnusableCopy(pending_zone_store_.copy_name, file.text, ignored)) {
    // Without a copy the file must survive every later save until a copy can be made.
    pending_zone_store_.text = std::move(file.text);
    return false;
  }
  return WriteFileAtomically(directory_ / kZoneStoreFile, ZoneStoreDocument(config), ignored);
}

bool ConfigStore::LoadGeometry(SourceConfiguration& config) {
  ConfigFileContents file = ReadConfigFile(directory_ / kGeometryFile);
  if (!file.found) return false;
  if (!file.read) {
    pending_geometry_.unread = true;
    return false;
  }
  JsonValue document;
  const JsonValue* version = nullptr;
  if (ParseQuietly(file.text, document) && document.kind == JsonKind::kObject) {
    version = document.Find("version");
  }
  if (version == nullptr || version->kind != JsonKind::kNumber ||
      (version->number != 1.0 && version->number != 2.0)) {
    pending_geometry_.text = std::move(file.text);
    return false;
  }
  if (version->number == 1.0) {
    std::string ignored;
    if (KeepUnusableCopy(pending_geometry_.copy_name, file.text, ignored)) return true;
    pending_geometry_.text = std::move(file.text);
    return false;
  }
  const JsonValue* profiles = document.Find("profiles");
  if (profiles == nullptr) return false;
  bool unusable_part = profiles->kind != JsonKind::kObject;
  for (const JsonMember& member : profiles->members) {
    const JsonValue* points = member.value.FindMember("points");
    ProfileCorners corners;
    if (points == nullptr || !ReadCornerPoints(*points, corners)) {
      unusable_part = true;
      continue;
    }
    ZoneProfile& profile = config.FindOrAddProfile(member.key);
    profile.corners = corners;
    profile.has_geometry = true;
  }
  if (unusable_part) pending_geometry_.text = std::move(file.text);
  return unusable_part;
}

void ConfigStore::LoadOutputConfig(SourceConfiguration& config) {
  ConfigFileContents file = ReadConfigFile(directory_ / kOutputConfigFile);
  config.output_config_loaded = file.found && file.read;
  if (file.found && !file.read) pending_output_config_.unread = true;
  if (!config.output_config_loaded) return;
  JsonValue document;
  const bool parsed = ParseQuietly(file.text, document);
  if (!parsed || document.kind != JsonKind::kObject) {
    // The vMix settings in it are rebuilt from defaults at the next save: keep the text first.
    config.output_config_loaded = parsed;
    pending_output_config_.text = std::move(file.text);
    return;
  }
  config.output_config_text = std::move(file.text);
  if (const JsonValue* vmix = document.Find("vmix")) {
    const JsonValue* enabled = vmix->FindMember("enabled");
    if (enabled != nullptr && enabled->kind == JsonKind::kBool) {
      config.vmix_enabled = enabled->bool_value;
    }
  }
  const std::pair<const char*, bool*> switches[] = {
      {"sse", &config.sse_enabled}, {"rest", &config.rest_enabled}, {"rss", &config.rss_enabled}};
  for (const auto& [name, flag] : switches) {
    const JsonValue* value = document.Find(name);
    if (value == nullptr) continue;
    if (value->kind == JsonKind::kObject) value = value->Find("enabled");
    if (value != nullptr && value->kind == JsonKind::kBool) *flag = value->bool_value;
  }
}

bool ConfigStore::KeepPendingCopy(PendingCopy& pending, const std::string& file_name,
                                  std::string& error) {
  if (!pending.IsSet()) return true;
  if (pending.unread) {
    if (!KeepUnreadableFile(directory_ / file_name, pending.copy_name)) {
      error = kCopyFailed;
      return false;
    }
  } else if (!KeepUnusableCopy(pending.copy_name, pending.text, error)) {
    return false;
  }
  pending.text.clear();
  pending.unread = false;
  return true;
}

bool ConfigStore::Save(const SourceConfiguration& config, std::string& error) {
  return Write(PrepareSave(config), error);
}

ConfigSave ConfigStore::PrepareSave(SourceConfiguration config) {
  return ConfigSave{prepared_.fetch_add(1) + 1, std::move(config)};
}

bool ConfigStore::Write(const ConfigSave& save, std::string& error) {
  MutexLock lock(mutex_);
  if (save.sequence < written_) {
    error = "A later configuration was saved first";
    return false;
  }
  const SourceConfiguration& config = save.config;
  for (const ZoneProfile& profile : config.profiles) {
    if (profile.has_geometry && !IsStableQuad(profile.corners)) {
      error = "Refusing a geometry that cannot define a stable perspective";
      return false;
    }
    JsonValue zones;
    if (!ParseQuietly(profile.zones, zones)) {
      error = "Zone profile is not valid JSON";
      return false;
    }
    if (zones.kind != JsonKind::kArray) {
      error = "Zone profile is not a list";
      return false;
    }
  }
  if (!KeepPendingCopy(pending_geometry_, kGeometryFile, error) ||
      !KeepPendingCopy(pending_source_config_, kSourceConfigFile, error) ||
      !KeepPendingCopy(pending_zone_store_, kZoneStoreFile, error)) {
    return false;
  }
  if (!WriteFileAtomically(directory_ / kZoneStoreFile, ZoneStoreDocument(config), error) ||
      !WriteFileAtomically(directory_ / kGeometryFile, GeometryDocument(config), error) ||
      !WriteFileAtomically(directory_ / kSourceConfigFile, SourceConfigDocument(config), error)) {
    return false;
  }
  written_ = save.sequence;
  return true;
}

bool ConfigStore::SaveOutputConfig(const std::string& text, std::string& error) {
  MutexLock lock(mutex_);
  return KeepPendingCopy(pending_output_config_, kOutputConfigFile, error) &&
         WriteFileAtomically(directory_ / kOutputConfigFile, text, error);
}

bool ConfigStore::KeepUnusableCopy(const std::string& name, const std::string& text,
                                   std::string& error) {
  if (KeepTextCopy(directory_, name, text)) return true;
  error = kCopyFailed;
  return false;
}

}  // namespace tessvark
