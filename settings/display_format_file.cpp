#include "settings/display_format_file.h"

#include <exception>
#include <initializer_list>

#include "core/json_writer.h"
#include "core/state_value.h"
#include "core/text.h"
#include "settings/atomic_write.h"
#include "settings/settings_file.h"

namespace tessvark {
namespace {

constexpr const char* kSaveFailed = "Display format could not be saved";

bool IsOneOf(std::string_view text, std::initializer_list<std::string_view> allowed) {
  for (const std::string_view candidate : allowed) {
    if (text == candidate) return true;
  }
  return false;
}

bool Fail(std::string& error, const char* text) {
  error = text;
  return false;
}

// Reads an optional string member into `out`; false with `message` for another kind of value.
bool ReadStringMember(const JsonValue& root, const char* key, std::string& out,
                      const char* message, std::string& error) {
  const JsonValue* value = root.Find(key);
  if (value == nullptr) return true;
  if (value->kind != JsonKind::kString) return Fail(error, message);
  out = value->text;
  return true;
}

bool ReadBoolMember(const JsonValue& root, const char* key, bool& out, const char* message,
                    std::string& error) {
  const JsonValue* value = root.Find(key);
  if (value == nullptr) return true;
  if (value->kind != JsonKind::kBool) return Fail(error, message);
  out = value->bool_value;
  return true;
}

}  // namespace

bool ParseDisplayTable(const JsonValue& value, std::vector<DisplayRow>& rows, std::string& error) {
  if (value.kind != JsonKind::kArray) return Fail(error, "A display table must be a list");
  std::vector<DisplayRow> parsed;
  for (const JsonValue& element : value.items) {
    const JsonValue* ocr = element.FindMember("ocr");
    const JsonValue* display = element.FindMember("display");
    if (ocr == nullptr || display == nullptr) {
      return Fail(error, "A display row needs ocr and display");
    }
    if (ocr->kind != JsonKind::kString || display->kind != JsonKind::kString) {
      return Fail(error, "Display rows use text");
    }
    std::string trimmed = TrimAsciiWhitespace(ocr->text);
    if (trimmed.empty()) return Fail(error, "Display rows use text");
    for (const DisplayRow& row : parsed) {
      if (row.ocr == trimmed) return Fail(error, "A display table cannot repeat an OCR value");
    }
    for (const JsonMember& member : element.members) {
      if (!IsOneOf(member.key, {"ocr", "display"})) {
        return Fail(error, "A display row has an unknown field");
      }
    }
    parsed.push_back({std::move(trimmed), display->text});
  }
  rows = std::move(parsed);
  return true;
}

bool ParseDisplayFormat(std::string_view text, DisplayFormat& format, bool& new_game,
                        std::string& error) {
  JsonValue root;
  try {
    root = ParseJson(text);
  } catch (const std::exception&) {
    return Fail(error, "Request body is not valid JSON");
  }
  if (root.kind != JsonKind::kObject) return Fail(error, "Request body must be an object");
  new_game = false;
  for (const JsonMember& member : root.members) {
    if (!IsOneOf(member.key, {"version", "game_id", "period", "down", "separator",
                              "separator_custom", "goal_text", "goal_to_go", "new_game",
                              "football", "preview"})) {
      return Fail(error, "Display format has an unknown field");
    }
  }
  if (const JsonValue* version = root.Find("version");
      version != nullptr && (version->kind != JsonKind::kNumber || version->number != 1.0)) {
    return Fail(error, "Display format version is not supported");
  }
  if (const JsonValue* game_id = root.Find("game_id")) {
    if (game_id->kind != JsonKind::kString) return Fail(error, "game_id must be text");
    std::string trimmed = TrimAsciiWhitespace(game_id->text);
    if (trimmed.empty()) return Fail(error, "game_id must be text");
    format.game_id = std::move(trimmed);
  }
  if (format.game_id.empty()) format.game_id = NewGameId();
  if (const JsonValue* period = root.Find("period");
      period != nullptr && !ParseDisplayTable(*period, format.period_rows, error)) {
    return false;
  }
  if (const JsonValue* down = root.Find("down");
      down != nullptr && !ParseDisplayTable(*down, format.down_rows, error)) {
    return false;
  }
  if (const JsonValue* separator = root.Find("separator")) {
    if (separator->kind != JsonKind::kString ||
        !IsOneOf(separator->text, {"&", "et", "and", "custom"})) {
      return Fail(error, "Separator must be &, et, and, or custom");
    }
    format.separator = separator->text;
  }
  if (!ReadStringMember(root, "separator_custom", format.custom_separator,
                        "Custom separator must be text", error) ||
      !ReadStringMember(root, "goal_text", format.goal_text, "Goal text must be text", error) ||
      !ReadBoolMember(root, "goal_to_go", format.goal_to_go, "Goal to Go must be true or false",
                      error) ||
      !ReadBoolMember(root, "new_game", new_game, "new_game must be true or false", error)) {
    return false;
  }
  if (new_game) {
    format.goal_to_go = false;
    format.game_id = NewGameId();
  }
  return true;
}

std::string QuoteDisplayJsonText(std::string_view text) {
  return JsonWriter(kStateJson).String(text).Take();
}

std::string OptionalDisplayTextJson(const std::optional<std::string>& text) {
  return JsonWriter(kStateJson).OptionalString(text).Take();
}

namespace {

void WriteDisplayTable(const std::vector<DisplayRow>& rows, JsonWriter& out) {
  out.BeginArray();
  for (const DisplayRow& row : rows) {
    out.BeginObject().Key("ocr").String(row.ocr).Key("display").String(row.display).EndObject();
  }
  out.EndArray();
}

}  // namespace

std::string DisplayTableJson(const std::vector<DisplayRow>& rows) {
  JsonWriter out(kStateJson);
  WriteDisplayTable(rows, out);
  return out.Take();
}

std::string DisplayFormatJson(const DisplayFormat& format, bool football,
                              const std::optional<std::string>& preview_period,
                              const std::optional<std::string>& preview_down,
                              const std::optional<std::string>& preview_down_distance) {
  JsonWriter out(kStateJson);
  out.BeginObject();
  out.Key("version").Int(1);
  out.Key("game_id").String(format.game_id);
  WriteDisplayTable(format.period_rows, out.Key("period"));
  WriteDisplayTable(format.down_rows, out.Key("down"));
  out.Key("separator").String(format.separator);
  out.Key("separator_custom").String(format.custom_separator);
  out.Key("goal_text").String(format.goal_text);
  out.Key("goal_to_go").Bool(format.goal_to_go);
  out.Key("football").Bool(football);
  out.Key("preview").BeginObject();
  out.Key("period").OptionalString(preview_period);
  out.Key("down").OptionalString(preview_down);
  out.Key("down_distance").OptionalString(preview_down_distance);
  out.EndObject();
  return out.EndObject().Take();
}

bool ReadDisplayFormat(const std::filesystem::path& path, DisplayFormat& format,
                       std::string& error) {
  format = DefaultDisplayFormat();
  error.clear();
  if (path.empty() || !std::filesystem::exists(path)) return true;
  const ConfigFileContents file = ReadConfigFile(path);
  if (!file.found || !file.read) {
    error = "Display format could not be read";
    return false;
  }
  bool new_game = false;
  if (!ParseDisplayFormat(file.text, format, new_game, error)) {
    format = DefaultDisplayFormat();
    return false;
  }
  return true;
}

bool SaveDisplayFormat(const std::filesystem::path& path, const DisplayFormat& format,
                       std::string& error) {
  error.clear();
  if (path.empty()) return true;
  const auto is_usable = [](const std::string& existing) {
    DisplayFormat ignored = DefaultDisplayFormat();
    bool new_game = false;
    std::string message;
    return ParseDisplayFormat(existing, ignored, new_game, message);
  };
  std::string ignored;
  if (!KeepCopyOfUnusableFile(path, path.filename().string() + ".unreadable", kSettingsFileLimit,
                              is_usable) ||
      !WriteFileAtomically(path, DisplayFormatJson(format, false, {}, {}, {}), ignored)) {
    error = kSaveFailed;
    return false;
  }
  return true;
}

}  // namespace tessvark
