#include "session/session_catalogs.h"

#include <cstdio>
#include <set>

#include "session/role_vocabulary.h"
#include "settings/display_format_file.h"

namespace tessvark {
namespace {

RuntimeResponse NotFound() { return MakeErrorResponse(404, "Not Found"); }

// A display text of the state: its text when it is a string, else nothing.
std::optional<std::string> DisplayText(const StateValue& state, const char* key) {
  const StateValue* value = state.Find(key);
  if (value == nullptr || value->kind != StateKind::kString) return std::nullopt;
  return value->text;
}

// The chosen sport code of a body {"sport":"<code>"}, or nothing for any other body.
std::optional<std::string> ChosenSport(const std::string& body) {
  try {
    const JsonValue request = ParseJson(body);
    if (!HasExactKeys(request, {"sport"})) return std::nullopt;
    const JsonValue* sport = request.Find("sport");
    if (sport->kind != JsonKind::kString) return std::nullopt;
    return sport->text;
  } catch (const std::runtime_error&) {
    return std::nullopt;
  }
}

}  // namespace

SessionCatalogs::SessionCatalogs(SessionEngine& engine, AnalysisWorker& worker,
                                 SessionServer& server, SessionOutputs& outputs, Mutex& settings)
    : engine_(engine), worker_(worker), server_(server), outputs_(outputs), settings_(settings) {}

void SessionCatalogs::Load(const std::filesystem::path& data, const std::string& catalog_path) {
  const auto in_data = [&data](const char* name) {
    return data.empty() ? std::filesystem::path() : data / name;
  };
  SportZonesDocument sport_zones;
  std::optional<std::string> sport;
  {
    MutexLock catalog(mutex_);
    catalog_store_.LoadCatalog(in_data("sports-catalog.json"), catalog_path);
    std::fprintf(stderr, "catalog=%s\n", catalog_store_.catalog.origin.c_str());
    std::fflush(stderr);
    selection_store_ = SportSelectionStore(in_data("sport_selection.json"));
    display_format_path_ = in_data("display_format.json");
    std::string error;
    ReadDisplayFormat(display_format_path_, display_format_, error);
    sport_zones = ReadSportZones(in_data("sport_zones.json"));
    const SportSelection selection = selection_store_.ReadSelection();
    if (selection.valid && selection.selected_sport &&
        catalog_store_.catalog.FindSport(*selection.selected_sport) != nullptr) {
      sport_generation_ = 1;
      sport = selection_store_.ReadSelection().selected_sport;
    }
  }
  {
    MutexLock engine(engine_.mutex);
    engine_.zones.sport_zones = std::move(sport_zones);
  }
  if (sport) ApplySport(*sport);
}

void SessionCatalogs::ApplySport(const std::string& code) {
  std::vector<std::string> roles;
  std::uint64_t generation = 0;
  {
    MutexLock catalog(mutex_);
    roles = catalog_store_.catalog.AgentRoles(code);
    if (sport_generation_ == 0) sport_generation_ = 1;
    generation = sport_generation_;
  }
  outputs_.SetActiveSources(roles, generation);
  {
    MutexLock engine(engine_.mutex);
    ZoneBook& book = engine_.zones;
    book.sport_active = true;
    book.active_sport = code;
    book.active_roles = std::set<std::string>(roles.begin(), roles.end());
    // The sport's zones and roles start from no readings; the vMix output holds until the
    // worker publishes under this generation.
    worker_.SetZones(engine_.RefreshSetup(), generation);
  }
  ReapplyDisplayFormat();
}

DisplayFormat SessionCatalogs::DisplayFormatInForce(bool& football) {
  DisplayFormat format;
  {
    MutexLock catalog(mutex_);
    format = display_format_;
  }
  {
    MutexLock engine(engine_.mutex);
    football = engine_.zones.active_sport == "football";
  }
  return format;
}

void SessionCatalogs::ReapplyDisplayFormat() {
  bool football = false;
  const DisplayFormat format = DisplayFormatInForce(football);
  if (!worker_.StateStore().SetDisplayFormat(format, football)) return;
  outputs_.PublishValues(worker_.StateStore().SnapshotWithDisplay());
  server_.WakeStreams();
}

RuntimeResponse SessionCatalogs::HandleSports(const std::string& method, const std::string& path,
                                              const std::string& body) {
  if (path == "/api/sports/roles" && method == "GET") {
    // The role table is fixed for the program's life: it is written once.
    static const std::string vocabulary = RoleVocabularyJson(AgentRoleTable());
    return MakeOkResponse(std::string(vocabulary));
  }
  if (path == "/api/sports/catalog" && method == "GET") {
    MutexLock catalog(mutex_);
    return MakeOkResponse(CatalogJson(catalog_store_.catalog));
  }
  if (path == "/api/sports/catalog/apply" && method == "POST") {
    MutexLock catalog(mutex_);
    const std::string outcome = catalog_store_.ApplyCachedCatalog(analysis_started_.load());
    if (outcome == "busy") return MakeErrorResponse(409, "ocr is running");
    if (outcome == "applied") return MakeOkResponse(CatalogJson(catalog_store_.catalog));
    return MakeErrorResponse(409, "catalog was not applied");
  }
  if (path == "/api/sports/selection" && method == "GET") {
    MutexLock catalog(mutex_);
    return MakeOkResponse(SelectionJson(selection_store_.ReadSelection(), catalog_store_.catalog));
  }
  if (path == "/api/sports/selection" && method == "PUT") return ChooseSport(body);
  return NotFound();
}

RuntimeResponse SessionCatalogs::ChooseSport(const std::string& body) {
  const std::optional<std::string> code = ChosenSport(body);
  if (!code) return MakeErrorResponse(400, "sport is invalid");
  // Saving the choice and applying it are one step: otherwise a choice saved first could be
  // applied last, and the running sport would differ from the stored one.
  MutexLock settings(settings_);
  std::string reply;
  {
    MutexLock catalog(mutex_);
    const SportsCatalog& sports = catalog_store_.catalog;
    if (sports.FindSport(*code) == nullptr) return MakeErrorResponse(400, "sport is invalid");
    std::string source_key;
    {
      MutexLock engine(engine_.mutex);
      SourceSelection& selection = engine_.selection;
      if (selection.selected && selection.type != SourceKind::kNone) {
        source_key = ProfileKey(std::string(SourceKindName(selection.type)), selection.id);
      }
    }
    std::string error;
    if (!selection_store_.SaveSelection(*code, source_key, error)) {
      return MakeErrorResponse(500, "Configuration could not be saved");
    }
    ++sport_generation_;
    reply = SelectionJsonWithRoles(selection_store_.ReadSelection(), sports, *code);
  }
  ApplySport(*code);
  return MakeOkResponse(std::move(reply));
}

RuntimeResponse SessionCatalogs::HandleDisplayFormat(const std::string& method,
                                                     const std::string& path,
                                                     const std::string& body) {
  if (path != "/api/display-format") return NotFound();
  if (method == "GET") return DisplayFormatReply();
  if (method == "PUT") return ChangeDisplayFormat(body);
  return MakeErrorResponse(405, "Method Not Allowed");
}

RuntimeResponse SessionCatalogs::ChangeDisplayFormat(const std::string& body) {
  // The body is laid over the format in force and saved, and the result handed to the state, in
  // one step, so that two changes of different members both stay.
  MutexLock settings(settings_);
  {
    MutexLock catalog(mutex_);
    DisplayFormat format = display_format_;
    bool new_game = false;
    std::string error;
    if (!ParseDisplayFormat(body, format, new_game, error)) return MakeErrorResponse(422, error);
    if (!SaveDisplayFormat(display_format_path_, format, error)) {
      return MakeErrorResponse(500, error);
    }
    display_format_ = std::move(format);
  }
  ReapplyDisplayFormat();
  return DisplayFormatReply();
}

RuntimeResponse SessionCatalogs::DisplayFormatReply() {
  bool football = false;
  const DisplayFormat format = DisplayFormatInForce(football);
  const StateValue snapshot = worker_.StateStore().SnapshotWithDisplay();
  return MakeOkResponse(DisplayFormatJson(format, football, DisplayText(snapshot, "period_display"),
                                          DisplayText(snapshot, "down_display"),
                                          DisplayText(snapshot, "down_distance")));
}

}  // namespace tessvark
