#include "core/text.h"

namespace tessvark {
namespace {

bool IsAsciiWhitespace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

std::string ToLowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string TrimAsciiWhitespace(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && IsAsciiWhitespace(text[begin])) ++begin;
  while (end > begin && IsAsciiWhitespace(text[end - 1])) --end;
  return std::string(text.substr(begin, end - begin));
}

}  // namespace tessvark
