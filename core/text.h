#pragma once

#include <string>
#include <string_view>

namespace tessvark {

// ASCII-only helpers: bytes from 0x80 up are never changed or treated as white space.
std::string ToLowerAscii(std::string_view text);
// Removes leading and trailing space, tab, line feed, vertical tab, form feed and carriage return.
std::string TrimAsciiWhitespace(std::string_view text);

}  // namespace tessvark
