#include "core/json_text.h"

#include <cmath>
#include <cstdio>

namespace tessvark {

namespace {

char ShortEscape(char c, JsonEscapeSet set) {
  switch (c) {
    case '"': return '"';
    case '\\': return '\\';
    case '\n': return 'n';
    case '\t': return set == JsonEscapeSet::kApi ? 0 : 't';
    case '\r': return set == JsonEscapeSet::kApi ? 0 : 'r';
    case '\b': return set == JsonEscapeSet::kState ? 'b' : 0;
    case '\f': return set == JsonEscapeSet::kState ? 'f' : 0;
    default: return 0;
  }
}

}  // namespace

void AppendJsonEscaped(std::string_view text, JsonEscapeSet set, std::string& out) {
  static const char kHex[] = "0123456789abcdef";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (const char short_form = ShortEscape(c, set)) {
      out.push_back('\\');
      out.push_back(short_form);
    } else if (byte < 0x20) {
      out += "\\u00";
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0x0F]);
    } else {
      out.push_back(c);
    }
  }
}

std::string EscapeJsonText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  AppendJsonEscaped(text, JsonEscapeSet::kApi, out);
  return out;
}

std::string QuotedJsonText(std::string_view text, JsonEscapeSet set) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  AppendJsonEscaped(text, set, out);
  out.push_back('"');
  return out;
}

std::string FormatJsonNumber(double value) {
  if (!std::isfinite(value)) return "null";
  char buffer[40];
  const int length = std::snprintf(buffer, sizeof buffer, "%.17g", value);
  return std::string(buffer, static_cast<std::size_t>(length));
}

}  // namespace tessvark
