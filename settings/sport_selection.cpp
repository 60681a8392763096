#include "settings/sport_selection.h"

#include <algorithm>
#include <exception>

#include "core/json_value.h"
#include "core/json_writer.h"
#include "settings/settings_file.h"
#include "settings/sport_zones.h"

namespace tessvark {
namespace {

// Reads a selection from `text` into `selection`; every fault stops the read and leaves what was
// read so far with valid false.
void ParseSelectionText(const std::string& text, SportSelection& selection) {
  JsonValue root;
  try {
    root = ParseJson(text);
  } catch (const std::exception&) {
    return;
  }
  const JsonValue* version = root.FindMember("version");
  if (version == nullptr || version->kind != JsonKind::kNumber || version->number != 1.0) return;
  const JsonValue* sport = root.Find("selected_sport");
  if (sport == nullptr) return;
  if (sport->kind == JsonKind::kString) {
    selection.selected_sport = sport->text;
  } else if (sport->kind != JsonKind::kNull) {
    return;
  }
  const JsonValue* by_source = root.Find("by_source");
  if (by_source == nullptr || by_source->kind != JsonKind::kObject) return;
  for (const JsonMember& member : by_source->members) {
    if (member.value.kind == JsonKind::kString) {
      selection.by_source.emplace_back(member.key, member.value.text);
    }
  }
  selection.valid = true;
}

// {"selected_sport":..,"by_source":{..}} of sports the catalog knows, left open for more members.
void WriteKnownSelection(const SportSelection& selection, const SportsCatalog& catalog,
                         JsonWriter& out) {
  const bool known = selection.selected_sport && catalog.FindSport(*selection.selected_sport);
  out.BeginObject();
  out.Key("selected_sport");
  if (known) {
    out.String(*selection.selected_sport);
  } else {
    out.Null();
  }
  out.Key("by_source").BeginObject();
  for (const auto& [key, code] : selection.by_source) {
    if (catalog.FindSport(code) != nullptr) out.Key(key).String(code);
  }
  out.EndObject();
}

}  // namespace

SportSelectionStore::SportSelectionStore(std::filesystem::path path) : path_(std::move(path)) {}

SportSelection SportSelectionStore::ReadSelection() const {
  if (path_.empty()) return cached_;
  SportSelection selection;
  if (!IsRegularSettingsFile(path_)) return selection;
  std::string text;
  std::string reason;
  if (!SportsCatalogStore::ReadCatalogFile(path_, text, reason)) return selection;
  ParseSelectionText(text, selection);
  return selection;
}

bool SportSelectionStore::SaveSelection(const std::string& sport_code,
                                        const std::string& source_key, std::string& error) {
  SportSelection selection = ReadSelection();
  if (!selection.valid) selection = SportSelection{};
  selection.version = 1;
  selection.selected_sport = sport_code;
  selection.valid = true;
  if (!source_key.empty()) {
    bool found = false;
    for (auto& [key, code] : selection.by_source) {
      if (key != source_key) continue;
      code = sport_code;
      found = true;
    }
    if (!found) selection.by_source.emplace_back(source_key, sport_code);
  }
  std::stable_sort(selection.by_source.begin(), selection.by_source.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  if (!path_.empty() && !WriteSelectionFile(path_, SelectionDocument(selection), error)) {
    return false;
  }
  cached_ = std::move(selection);
  return true;
}

std::string SelectionDocument(const SportSelection& selection) {
  JsonWriter out(kCatalogJson);
  out.BeginObject();
  out.Key("by_source").BeginObject();
  for (const auto& [key, code] : selection.by_source) out.Key(key).String(code);
  out.EndObject();
  out.Key("selected_sport").OptionalString(selection.selected_sport);
  out.Key("version").Int(1);
  return out.EndObject().Take();
}

bool WriteSelectionFile(const std::filesystem::path& path, std::string_view text,
                        std::string& error) {
  if (path.empty() || IsRefusedStorePath(path)) {
    error = "sport selection path is not the development store";
    return false;
  }
  const auto is_usable = [](const std::string& existing) {
    SportSelection selection;
    ParseSelectionText(existing, selection);
    return selection.valid;
  };
  return ReplaceSettingsFile(path, text, is_usable, "sport selection", error);
}

std::string SelectionJson(const SportSelection& selection, const SportsCatalog& catalog) {
  JsonWriter out(kCatalogJson);
  WriteKnownSelection(selection, catalog, out);
  return out.EndObject().Take();
}

std::string SelectionJsonWithRoles(const SportSelection& selection, const SportsCatalog& catalog,
                                   const std::string& sport_code) {
  JsonWriter out(kCatalogJson);
  WriteKnownSelection(selection, catalog, out);
  out.Key("agent_roles").BeginObject();
  if (const Sport* sport = catalog.FindSport(sport_code)) {
    for (const DataDefinition& definition : sport->definitions) {
      if (definition.support != DefinitionSupport::kNative || definition.agent_role.empty()) {
        continue;
      }
      const std::optional<std::string> key = catalog.ResolveRole(sport_code, definition.agent_role);
      if (key) out.Key(definition.agent_role).String(*key);
    }
  }
  out.EndObject();
  return out.EndObject().Take();
}

}  // namespace tessvark
