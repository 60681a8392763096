#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/display_format.h"
#include "core/json_value.h"

namespace tessvark {

// Overlays a display-format body (API request or file) on `format`, member by member while it
// validates: on false `format` may be partly changed, so callers pass a copy. `new_game` reports
// the body's "new_game"; a new game also clears goal to go and draws a new game id.
bool ParseDisplayFormat(std::string_view text, DisplayFormat& format, bool& new_game,
                        std::string& error);
// A list of {"ocr":..,"display":..} rows; `rows` is replaced only on success.
bool ParseDisplayTable(const JsonValue& value, std::vector<DisplayRow>& rows, std::string& error);

// The file text and the body of the API replies: compact JSON with every member always present.
std::string DisplayFormatJson(const DisplayFormat& format, bool football,
                              const std::optional<std::string>& preview_period,
                              const std::optional<std::string>& preview_down,
                              const std::optional<std::string>& preview_down_distance);
std::string DisplayTableJson(const std::vector<DisplayRow>& rows);

// A string in the escaping of the state writer, with the surrounding quotes.
std::string QuoteDisplayJsonText(std::string_view text);
// The quoted text, or "null" for nothing.
std::string OptionalDisplayTextJson(const std::optional<std::string>& text);

// Reads "display_format.json": the defaults for an empty path or a missing file (true); the
// defaults and an error text for a file that cannot be read or parsed (false). Throws
// std::filesystem::filesystem_error only when the existence test fails for a reason other than
// "not found".
bool ReadDisplayFormat(const std::filesystem::path& path, DisplayFormat& format,
                       std::string& error);

// Writes the format (football false, no previews) through the atomic writer. An existing file
// that does not parse as a display format is first kept as "<name>.unreadable". An empty path
// writes nothing and succeeds. On false the old file is unchanged.
bool SaveDisplayFormat(const std::filesystem::path& path, const DisplayFormat& format,
                       std::string& error);

}  // namespace tessvark
