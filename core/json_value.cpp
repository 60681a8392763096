#include "core/json_value.h"

#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <utility>

#include <locale.h>

namespace tessvark {
namespace {

bool IsJsonWhitespace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// strtod follows the process locale (a comma decimal point under some), so numbers are read in
// the "C" locale whatever the host program set.
double ParseDoubleInCLocale(const std::string& literal) {
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  return strtod_l(literal.c_str(), nullptr, c_locale);
}

[[noreturn]] void Fail(const char* message) { throw std::runtime_error(message); }

}  // namespace

// Reads one document. Recursion depth is bounded by kMaxJsonDepth.
class JsonParser {
 public:
  explicit JsonParser(std::string_view text) : text_(text) {}

  void SkipWhitespace() {
    while (pos_ < text_.size() && IsJsonWhitespace(text_[pos_])) ++pos_;
  }
  bool AtEnd() const { return pos_ >= text_.size(); }

  JsonValue ParseValue() {
    SkipWhitespace();
    if (AtEnd()) Fail("unexpected end of JSON");
    switch (text_[pos_]) {
      case '"': {
        JsonValue value;
        value.kind = JsonKind::kString;
        value.text = ParseString();
        return value;
      }
      case '[':
        return ParseArray();
      case 't':
      case 'f':
        return ParseBool();
      case 'n': {
        if (text_.size() - pos_ < 4 || text_.compare(pos_, 4, "null") != 0) Fail("expected null");
        pos_ += 4;
        JsonValue value;
        value.text = "null";
        return value;
      }
      case '{':
        return ParseObject();
      default:
        return ParseNumber();
    }
  }

  JsonValue ParseArray() {
    EnterNesting();
    ++pos_;
    JsonValue value;
    value.kind = JsonKind::kArray;
    SkipWhitespace();
    if (AtEnd()) Fail("unexpected end of JSON");
    if (text_[pos_] == ']') {
      ++pos_;
      --depth_;
      return value;
    }
    for (;;) {
      value.items.push_back(ParseValue());
      SkipWhitespace();
      if (AtEnd()) Fail("unexpected end of JSON");
      const char c = text_[pos_++];
      if (c == ']') break;
      if (c != ',') Fail("expected comma or array end");
    }
    --depth_;
    return value;
  }

  JsonValue ParseObject() {
    EnterNesting();
    ++pos_;
    JsonValue value;
    value.kind = JsonKind::kObject;
    SkipWhitespace();
    if (AtEnd()) Fail("unexpected end of JSON");
    if (text_[pos_] == '}') {
      ++pos_;
      --depth_;
      return value;
    }
    for (;;) {
      SkipWhitespace();
      if (AtEnd()) Fail("unexpected end of JSON");
      if (text_[pos_] != '"') Fail("object key must be a string");
      JsonMember member;
      member.key = ParseString();
      SkipWhitespace();
      if (AtEnd()) Fail("unexpected end of JSON");
      if (text_[pos_++] != ':') Fail("expected colon");
      member.value = ParseValue();
      value.members.push_back(std::move(member));
      SkipWhitespace();
      if (AtEnd()) Fail("unexpected end of JSON");
      const char c = text_[pos_++];
      if (c == '}') break;
      if (c != ',') Fail("expected comma or object end");
    }
    --depth_;
    return value;
  }

  std::string ParseString() {
    if (AtEnd()) Fail("unexpected end of JSON");
    if (text_[pos_++] != '"') Fail("expected string");
    std::string out;
    for (;;) {
      if (AtEnd()) Fail("unexpected end of JSON");
      const char c = text_[pos_++];
      if (c == '"') return out;
      if (c != '\\') {
        out.push_back(c);
        continue;
      }
      if (AtEnd()) Fail("unexpected end of JSON");
      const char e = text_[pos_++];
      switch (e) {
        case '"':
        case '/':
        case '\\':
          out.push_back(e);
          break;
        case 'b': out.push_back('\b'); break;
        case 'f': out.push_back('\f'); break;
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 't': out.push_back('\t'); break;
        case 'u': {
          unsigned code = 0;
          for (int i = 0; i < 4; ++i) {
            if (AtEnd()) Fail("unexpected end of JSON");
            const int digit = HexDigitValue(text_[pos_++]);
            if (digit < 0) Fail("bad unicode escape");
            code = code * 16 + static_cast<unsigned>(digit);
          }
          if (code >= 0x80) Fail("non-ascii unicode escape is not used by the reference");
          out.push_back(static_cast<char>(code));
          break;
        }
        default:
          Fail("bad string escape");
      }
    }
  }

  JsonValue ParseNumber() {
    const std::size_t start = pos_;
    if (AtEnd()) Fail("unexpected end of JSON");
    if (text_[pos_] == '-') {
      ++pos_;
      if (AtEnd()) Fail("unexpected end of JSON");
    }
    if (!IsDigit(text_[pos_])) Fail("expected number");
    while (!AtEnd() && IsDigit(text_[pos_])) ++pos_;
    if (!AtEnd() && text_[pos_] == '.') {
      ++pos_;
      while (!AtEnd() && IsDigit(text_[pos_])) ++pos_;
    }
    if (!AtEnd() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
      ++pos_;
      if (!AtEnd() && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
      while (!AtEnd() && IsDigit(text_[pos_])) ++pos_;
    }
    JsonValue value;
    value.kind = JsonKind::kNumber;
    value.text.assign(text_.substr(start, pos_ - start));
    value.number = ParseDoubleInCLocale(value.text);
    return value;
  }

  JsonValue ParseBool() {
    JsonValue value;
    value.kind = JsonKind::kBool;
    if (text_.size() - pos_ >= 4 && text_.compare(pos_, 4, "true") == 0) {
      pos_ += 4;
      value.bool_value = true;
      value.text = "true";
      return value;
    }
    if (text_.size() - pos_ >= 5 && text_.compare(pos_, 5, "false") == 0) {
      pos_ += 5;
      value.text = "false";
      return value;
    }
    Fail("expected boolean");
  }

 private:
  void EnterNesting() {
    if (++depth_ > kMaxJsonDepth) Fail("JSON nesting too deep");
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  int depth_ = 0;
};

JsonValue JsonValue::MakeNull() { return JsonValue{}; }

const JsonValue* JsonValue::Find(std::string_view key) const {
  for (const JsonMember& member : members) {
    if (member.key == key) return &member.value;
  }
  return nullptr;
}

const JsonValue& JsonValue::At(std::string_view key) const {
  const JsonValue* value = Find(key);
  if (value == nullptr) throw std::runtime_error("missing JSON key: " + std::string(key));
  return *value;
}

const JsonValue* JsonValue::FindMember(const char* key) const {
  if (kind != JsonKind::kObject || key == nullptr) return nullptr;
  return Find(key);
}

std::optional<double> JsonValue::FiniteNumber() const {
  if (kind != JsonKind::kNumber || !std::isfinite(number)) return std::nullopt;
  return number;
}

JsonMember MakeJsonMember(const char* key, JsonValue&& value) {
  JsonMember member;
  member.key = key;
  member.value = std::move(value);
  value = JsonValue::MakeNull();
  return member;
}

bool HasExactKeys(const JsonValue& value, std::initializer_list<const char*> keys) {
  if (value.kind != JsonKind::kObject || value.members.size() != keys.size()) return false;
  for (const char* key : keys) {
    if (value.Find(key) == nullptr) return false;
  }
  return true;
}

JsonValue ParseJson(std::string_view text) {
  JsonParser parser(text);
  parser.SkipWhitespace();
  JsonValue value = parser.ParseValue();
  parser.SkipWhitespace();
  if (!parser.AtEnd()) throw std::runtime_error("trailing JSON");
  return value;
}

}  // namespace tessvark
