#include "core/json_text.h"

#include <cmath>
#include <cstdio>

namespace tessvark {

std::string EscapeJsonText(std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (byte < 0x20) {
      out += "\\u00";
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0x0F]);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string FormatJsonNumber(double value) {
  if (!std::isfinite(value)) return "null";
  char buffer[40];
  const int length = std::snprintf(buffer, sizeof buffer, "%.17g", value);
  return std::string(buffer, static_cast<std::size_t>(length));
}

}  // namespace tessvark
