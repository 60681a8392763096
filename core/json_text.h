#pragma once

#include <string>
#include <string_view>

namespace tessvark {

// The escaping of the API replies and the settings files: double quote, backslash and newline
// take a backslash form, every other byte below 0x20 becomes \u00xx, bytes from 0x80 pass.
// Returns the content of a JSON string without the surrounding quotes.
std::string EscapeJsonText(std::string_view text);

// "%.17g" for finite values, "null" otherwise.
std::string FormatJsonNumber(double value);

}  // namespace tessvark
