#include "core/json_text.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace tessvark {

namespace {

// U+FFFD as UTF-8 bytes.
constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

char ShortEscape(char c, JsonEscapeSet set) {
  const bool api = set == JsonEscapeSet::kApi;
  const bool catalog = set == JsonEscapeSet::kCatalog;
  switch (c) {
    case '"': return '"';
    case '\\': return '\\';
    case '\n': return 'n';
    case '\t': return api ? 0 : 't';
    case '\r': return api ? 0 : 'r';
    case '\b': return api || catalog ? 0 : 'b';
    case '\f': return api || catalog ? 0 : 'f';
    default: return 0;
  }
}

// The length of the UTF-8 sequence that starts at `at` when it is whole (a lead byte and as many
// continuation bytes as it announces), else 0.
std::size_t WholeSequenceLength(std::string_view text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  std::size_t length = 0;
  if (lead >= 0xC0 && lead <= 0xDF) length = 2;
  else if (lead >= 0xE0 && lead <= 0xEF) length = 3;
  else if (lead >= 0xF0 && lead <= 0xF7) length = 4;
  if (length == 0 || text.size() - at < length) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[at + k]);
    if (next < 0x80 || next > 0xBF) return 0;
  }
  return length;
}

}  // namespace

void AppendJsonEscaped(std::string_view text, JsonEscapeSet set, std::string& out) {
  static const char kHex[] = "0123456789abcdef";
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    const auto byte = static_cast<unsigned char>(c);
    if (const char short_form = ShortEscape(c, set)) {
      out.push_back('\\');
      out.push_back(short_form);
    } else if (byte < 0x20) {
      out += "\\u00";
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0x0F]);
    } else if (byte >= 0x80 && set == JsonEscapeSet::kVmixConfig) {
      const std::size_t length = WholeSequenceLength(text, i);
      if (length == 0) {
        out += kReplacementCharacter;
      } else {
        out.append(text.substr(i, length));
        i += length;
        continue;
      }
    } else {
      out.push_back(c);
    }
    ++i;
  }
}

std::string EscapeJsonText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  AppendJsonEscaped(text, JsonEscapeSet::kApi, out);
  return out;
}

std::string FormatJsonNumber(double value) {
  if (!std::isfinite(value)) return "null";
  char buffer[40];
  const int length = std::snprintf(buffer, sizeof buffer, "%.17g", value);
  return std::string(buffer, static_cast<std::size_t>(length));
}

std::string FormatPythonJsonNumber(double value) {
  if (!std::isfinite(value)) throw std::invalid_argument("Python json rejects non-finite numbers");
  if (value == 0.0) return std::signbit(value) ? "-0.0" : "0.0";
  char buffer[40];
  const int length = std::snprintf(buffer, sizeof buffer, "%.16g", value);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof buffer) {
    throw std::invalid_argument("cannot format JSON number");
  }
  std::string text(buffer, static_cast<std::size_t>(length));
  if (text.find_first_of(".eE") == std::string::npos) text += ".0";
  return text;
}

}  // namespace tessvark
