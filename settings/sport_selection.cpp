#include "settings/sport_selection.h"

#include <algorithm>
#include <exception>

#include "core/json_value.h"
#include "settings/catalog_text.h"
#include "settings/settings_file.h"
#include "settings/sport_zones.h"

namespace tessvark {
namespace {

constexpr const char* kSaveFailed = "sport selection could not be saved";

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

std::string ByKnownSource(const SportSelection& selection, const SportsCatalog& catalog) {
  std::string out = "{";
  for (const auto& [key, code] : selection.by_source) {
    if (catalog.FindSport(code) == nullptr) continue;
    if (out.size() > 1) out += ',';
    out += QuoteCatalogJson(key) + ":" + QuoteCatalogJson(code);
  }
  return out + "}";
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
  std::string out = "{\"by_source\":{";
  for (std::size_t i = 0; i < selection.by_source.size(); ++i) {
    if (i > 0) out += ',';
    out += QuoteCatalogJson(selection.by_source[i].first) + ":" +
           QuoteCatalogJson(selection.by_source[i].second);
  }
  out += "},\"selected_sport\":";
  out += selection.selected_sport ? QuoteCatalogJson(*selection.selected_sport) : "null";
  out += ",\"version\":1}";
  return out;
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
  if (!ReplaceSettingsFile(path, text, is_usable)) {
    error = kSaveFailed;
    return false;
  }
  return true;
}

std::string SelectionJson(const SportSelection& selection, const SportsCatalog& catalog) {
  const bool known = selection.selected_sport && catalog.FindSport(*selection.selected_sport);
  return "{\"selected_sport\":" +
         (known ? QuoteCatalogJson(*selection.selected_sport) : std::string("null")) +
         ",\"by_source\":" + ByKnownSource(selection, catalog) + "}";
}

std::string SelectionJsonWithRoles(const SportSelection& selection, const SportsCatalog& catalog,
                                   const std::string& sport_code) {
  std::string out = SelectionJson(selection, catalog);
  out.pop_back();
  std::string roles = "{";
  if (const Sport* sport = catalog.FindSport(sport_code)) {
    for (const DataDefinition& definition : sport->definitions) {
      if (definition.support != DefinitionSupport::kNative || definition.agent_role.empty()) {
        continue;
      }
      const std::optional<std::string> key = catalog.ResolveRole(sport_code, definition.agent_role);
      if (!key) continue;
      if (roles.size() > 1) roles += ',';
      roles += QuoteCatalogJson(definition.agent_role) + ":" + QuoteCatalogJson(*key);
    }
  }
  return out + ",\"agent_roles\":" + roles + "}}";
}

}  // namespace tessvark
