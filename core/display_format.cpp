#include "core/display_format.h"

#include <random>

#include "core/text.h"

namespace tessvark {

std::vector<DisplayRow> DefaultDisplayRows() {
  return {{"1", "1"}, {"2", "2"}, {"3", "3"}, {"4", "4"}};
}

std::string NewGameId() {
  static constexpr char kHex[] = "0123456789abcdef";
  std::random_device random;
  std::string id(32, '0');
  for (char& c : id) c = kHex[(random() >> 28) & 0x0F];
  return id;
}

DisplayFormat DefaultDisplayFormat() {
  DisplayFormat format;
  format.game_id = NewGameId();
  format.period_rows = DefaultDisplayRows();
  format.down_rows = DefaultDisplayRows();
  return format;
}

std::optional<std::string> LookupDisplayText(const std::vector<DisplayRow>& rows,
                                             const std::optional<std::string>& text) {
  if (!text || text->empty()) return std::nullopt;
  for (const DisplayRow& row : rows) {
    if (row.ocr == *text) return row.display.empty() ? *text : row.display;
  }
  return text;
}

std::optional<std::string> DownDistanceText(const std::optional<std::string>& down,
                                            const std::optional<std::string>& to_go,
                                            const DisplayFormat& format, bool goal) {
  const std::optional<std::string> shown_down = LookupDisplayText(format.down_rows, down);
  if (!shown_down) return std::nullopt;
  const std::string separator = format.separator == "custom"
                                    ? TrimAsciiWhitespace(format.custom_separator)
                                    : format.separator;
  std::string distance;
  if (goal) {
    if (TrimAsciiWhitespace(format.goal_text).empty()) return std::nullopt;
    distance = format.goal_text;
  } else {
    if (!to_go || to_go->empty()) return std::nullopt;
    distance = *to_go;
  }
  if (separator.empty()) return *shown_down + " " + distance;
  return *shown_down + " " + separator + " " + distance;
}

void SetDisplayValues(StateValue& state, const DisplayFormat& format, bool football) {
  const std::optional<std::string> period = StateValue::ToOptionalText(state.Find("period"));
  const std::optional<std::string> down = StateValue::ToOptionalText(state.Find("down"));
  const std::optional<std::string> to_go = StateValue::ToOptionalText(state.Find("to_go"));
  // Goal to go belongs to American football alone.
  const bool goal = football && format.goal_to_go;
  state.Set("period_display",
            StateValue::FromOptionalText(LookupDisplayText(format.period_rows, period)));
  state.Set("down_display", StateValue::FromOptionalText(LookupDisplayText(format.down_rows, down)));
  state.Set("down_distance", StateValue::FromOptionalText(DownDistanceText(down, to_go, format, goal)));
  state.Set("goal_to_go", StateValue::MakeBool(goal));
}

}  // namespace tessvark
