#include "settings/catalog_text.h"

#include "core/json_writer.h"

namespace tessvark {
namespace {

bool IsWhitespaceByte(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

bool IsCatalogCode(std::string_view text, std::size_t maximum) {
  if (text.empty() || text.size() > maximum) return false;
  if (text[0] < 'a' || text[0] > 'z') return false;
  for (const char c : text) {
    const bool allowed = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
    if (!allowed) return false;
  }
  return true;
}

std::string CollapseWhitespace(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  bool pending_space = false;
  for (const char c : text) {
    if (IsWhitespaceByte(c)) {
      pending_space = !out.empty();
      continue;
    }
    if (pending_space) out.push_back(' ');
    pending_space = false;
    out.push_back(c);
  }
  return out;
}

std::string QuoteCatalogJson(std::string_view text) {
  return JsonWriter(kCatalogJson).String(text).Take();
}

}  // namespace tessvark
