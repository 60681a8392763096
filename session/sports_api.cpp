// The sports catalog, the sport choice and the display format behind their routes.

#include "session/native_session.h"
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

RuntimeResponse NativeSession::HandleSports(const std::string& method, const std::string& path,
                                            const std::string& body) {
  SessionState& state = *state_;
  if (path == "/api/sports/catalog" && method == "GET") {
    std::lock_guard<std::mutex> catalog(state.catalog_mutex);
    return MakeOkResponse(CatalogJson(state.catalog_store.catalog));
  }
  if (path == "/api/sports/catalog/apply" && method == "POST") {
    std::lock_guard<std::mutex> catalog(state.catalog_mutex);
    const std::string outcome = state.catalog_store.ApplyCachedCatalog(state.ocr_started.load());
    if (outcome == "busy") return MakeErrorResponse(409, "ocr is running");
    if (outcome == "applied") return MakeOkResponse(CatalogJson(state.catalog_store.catalog));
    return MakeErrorResponse(409, "catalog was not applied");
  }
  if (path == "/api/sports/selection" && method == "GET") {
    std::lock_guard<std::mutex> catalog(state.catalog_mutex);
    return MakeOkResponse(
        SelectionJson(state.selection_store.ReadSelection(), state.catalog_store.catalog));
  }
  if (path == "/api/sports/selection" && method == "PUT") return ChooseSport(body);
  return NotFound();
}

RuntimeResponse NativeSession::ChooseSport(const std::string& body) {
  const std::optional<std::string> code = ChosenSport(body);
  if (!code) return MakeErrorResponse(400, "sport is invalid");
  SessionState& state = *state_;
  // Saving the choice and applying it are one step: otherwise a choice saved first could be
  // applied last, and the running sport would differ from the stored one.
  std::lock_guard<std::mutex> settings(settings_mutex_);
  std::string reply;
  {
    std::lock_guard<std::mutex> catalog(state.catalog_mutex);
    const SportsCatalog& sports = state.catalog_store.catalog;
    if (sports.FindSport(*code) == nullptr) return MakeErrorResponse(400, "sport is invalid");
    std::string source_key;
    {
      std::lock_guard<std::mutex> engine(state.engine_mutex);
      if (state.selected && !state.source_type.empty() && state.source_type != "none") {
        source_key = ProfileKey(state.source_type, state.source_id);
      }
    }
    std::string error;
    if (!state.selection_store.SaveSelection(*code, source_key, error)) {
      return MakeErrorResponse(500, "Configuration could not be saved");
    }
    ++state.sport_generation;
    reply = SelectionJsonWithRoles(state.selection_store.ReadSelection(), sports, *code);
  }
  ApplySport(*code);
  return MakeOkResponse(std::move(reply));
}

RuntimeResponse NativeSession::HandleDisplayFormat(const std::string& method,
                                                   const std::string& path,
                                                   const std::string& body) {
  if (path != "/api/display-format") return NotFound();
  if (method == "GET") return DisplayFormatReply();
  if (method == "PUT") return ChangeDisplayFormat(body);
  return MakeErrorResponse(405, "Method Not Allowed");
}

RuntimeResponse NativeSession::ChangeDisplayFormat(const std::string& body) {
  SessionState& state = *state_;
  // The body is laid over the format in force and saved, and the result handed to the state, in
  // one step, so that two changes of different members both stay.
  std::lock_guard<std::mutex> settings(settings_mutex_);
  {
    std::lock_guard<std::mutex> catalog(state.catalog_mutex);
    DisplayFormat format = state.display_format;
    bool new_game = false;
    std::string error;
    if (!ParseDisplayFormat(body, format, new_game, error)) return MakeErrorResponse(422, error);
    if (!SaveDisplayFormat(state.display_format_path, format, error)) {
      return MakeErrorResponse(500, error);
    }
    state.display_format = std::move(format);
  }
  ReapplyDisplayFormat();
  return DisplayFormatReply();
}

RuntimeResponse NativeSession::DisplayFormatReply() {
  bool football = false;
  const DisplayFormat format = DisplayFormatInForce(football);
  const StateValue snapshot = worker_.StateStore().SnapshotWithDisplay();
  return MakeOkResponse(DisplayFormatJson(format, football, DisplayText(snapshot, "period_display"),
                                          DisplayText(snapshot, "down_display"),
                                          DisplayText(snapshot, "down_distance")));
}

}  // namespace tessvark
