#pragma once

#include <string>
#include <string_view>

namespace tessvark {

// The JSON writers escape the double quote and the backslash with a backslash and every other
// byte below 0x20 as \u00xx; they differ only in which control bytes keep a short form and in
// what becomes of bytes from 0x80 up.
enum class JsonEscapeSet {
  kState,    // \b \t \n \f \r: the scoreboard state, display format, vMix text and updater writers
  kApi,      // \n only: API replies, the configuration files and the sport zone sets
  kCatalog,  // \t \n \r: the sports catalog and sport selection
  // The short forms of kState, whole UTF-8 sequences kept as they are and every byte that is not
  // part of one replaced by U+FFFD (as UTF-8): the vMix configuration, whose own reader takes raw
  // UTF-8 but no non-ASCII \u escapes, so that it reads every written file back.
  kVmixConfig,
};

// Appends the escaped content of a JSON string, without quotes. The first three sets pass bytes
// from 0x80 up unchanged.
void AppendJsonEscaped(std::string_view text, JsonEscapeSet set, std::string& out);

// The escaping of the API replies and the settings files: double quote, backslash and newline
// take a backslash form, every other byte below 0x20 becomes \u00xx, bytes from 0x80 pass.
// Returns the content of a JSON string without the surrounding quotes.
std::string EscapeJsonText(std::string_view text);

// "%.17g" for finite values, "null" otherwise.
std::string FormatJsonNumber(double value);

// The number form of the scoreboard state: 16 significant digits, ".0" appended when there is
// no point or exponent, "0.0" or "-0.0" for zero. Throws std::invalid_argument for a value that
// is not finite.
std::string FormatPythonJsonNumber(double value);

}  // namespace tessvark
