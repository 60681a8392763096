#pragma once

#include <string>
#include <string_view>

#include "core/json_text.h"

namespace tessvark {

// A JSON string of the API replies: the escaped text in double quotes.
inline std::string QuotedJsonText(std::string_view text) {
  return "\"" + EscapeJsonText(text) + "\"";
}

inline const char* JsonBool(bool value) { return value ? "true" : "false"; }

}  // namespace tessvark
