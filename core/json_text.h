#pragma once

#include <string>
#include <string_view>

namespace tessvark {

// The JSON writers escape the double quote and the backslash with a backslash and every other
// byte below 0x20 as \u00xx; they differ only in which control bytes keep a short form. Bytes from
// 0x80 up always pass unchanged.
enum class JsonEscapeSet {
  kState,    // \b \t \n \f \r: the scoreboard state, display format, vMix text and updater writers
  kApi,      // \n only: API replies, the configuration files and the sport zone sets
  kCatalog,  // \t \n \r: the sports catalog and sport selection
};

// Appends the escaped content of a JSON string, without quotes.
void AppendJsonEscaped(std::string_view text, JsonEscapeSet set, std::string& out);

// The escaping of the API replies and the settings files: double quote, backslash and newline
// take a backslash form, every other byte below 0x20 becomes \u00xx, bytes from 0x80 pass.
// Returns the content of a JSON string without the surrounding quotes.
std::string EscapeJsonText(std::string_view text);

// A whole JSON string: the escaped text in double quotes.
std::string QuotedJsonText(std::string_view text, JsonEscapeSet set = JsonEscapeSet::kApi);

// "%.17g" for finite values, "null" otherwise.
std::string FormatJsonNumber(double value);

}  // namespace tessvark
