#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tessvark {

// A code: 1 to `maximum` bytes, the first a lower-case letter, the others lower-case letters,
// digits or "_".
bool IsCatalogCode(std::string_view text, std::size_t maximum);

// Every run of white-space bytes becomes one space; leading and trailing white space goes.
std::string CollapseWhitespace(std::string_view text);

// A quoted JSON string in the escaping of the catalog and the sport selection: tab, line feed and
// carriage return as \t, \n, \r, double quote and backslash with a backslash, every other byte
// below 0x20 as \u00xx, all other bytes unchanged.
std::string QuoteCatalogJson(std::string_view text);

}  // namespace tessvark
