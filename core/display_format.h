#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/state_value.h"

namespace tessvark {

// One row of a display table: a value as the OCR reads it (trimmed, never empty) and the text
// shown instead (may be empty: then the value itself is shown).
struct DisplayRow {
  std::string ocr;
  std::string display;
};

// How recognised period and down values are shown, and how the down joins the distance to go.
struct DisplayFormat {
  std::int32_t version = 1;
  std::string game_id;
  std::vector<DisplayRow> period_rows;  // no two rows share an ocr value
  std::vector<DisplayRow> down_rows;    // same rule
  std::string separator = "&";          // "&", "et", "and" or "custom"
  std::string custom_separator;         // used only with the separator "custom"
  std::string goal_text = "Goal";
  bool goal_to_go = false;
};

// The rows "1" to "4", each shown as itself.
std::vector<DisplayRow> DefaultDisplayRows();
// 32 lower-case hexadecimal digits from the non-deterministic random source.
std::string NewGameId();
// Both tables DefaultDisplayRows, separator "&", goal text "Goal", a new game id.
DisplayFormat DefaultDisplayFormat();

// Nothing for no or empty text; the first row's display for a matching ocr value (the text itself
// when that display is empty); the text itself when no row matches.
std::optional<std::string> LookupDisplayText(const std::vector<DisplayRow>& rows,
                                             const std::optional<std::string>& text);

// "<down> <separator> <distance>", the distance being the goal text under the goal flag and the
// to-go text otherwise; nothing when the down or the distance is missing.
std::optional<std::string> DownDistanceText(const std::optional<std::string>& down,
                                            const std::optional<std::string>& to_go,
                                            const DisplayFormat& format, bool goal);

// Sets "period_display", "down_display", "down_distance" and "goal_to_go" on `state` (appended
// in that order when absent), computed from its "period", "down" and "to_go" members.
void SetDisplayValues(StateValue& state, const DisplayFormat& format, bool football);

}  // namespace tessvark
