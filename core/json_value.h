#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessvark {

enum class JsonKind : std::int32_t { kNull = 0, kBool = 1, kNumber = 2, kString = 3, kArray = 4, kObject = 5 };

struct JsonMember;

// One node of a parsed JSON document. Numbers keep the literal they were written with in `text`
// (null, true and false too); object members stay in document order with duplicates kept.
struct JsonValue {
  JsonKind kind = JsonKind::kNull;
  bool bool_value = false;
  double number = 0.0;
  std::string text;
  std::vector<JsonValue> items;
  std::vector<JsonMember> members;

  static JsonValue MakeNull();

  // First member with this key, byte for byte; null for a missing key or a value that is not
  // an object (which has no members).
  const JsonValue* Find(std::string_view key) const;
  // Like Find, but throws std::runtime_error("missing JSON key: " + key) when there is none.
  const JsonValue& At(std::string_view key) const;
  // Like Find, but null unless this value is an object.
  const JsonValue* FindMember(const char* key) const;
  // The number when this is a number with a finite value; empty otherwise.
  std::optional<double> FiniteNumber() const;
};

struct JsonMember {
  std::string key;
  JsonValue value;
};

JsonMember MakeJsonMember(const char* key, JsonValue&& value);

// True when `value` is an object with exactly as many members as `keys` and every name is the
// key of some member.
bool HasExactKeys(const JsonValue& value, std::initializer_list<const char*> keys);

// Parses one JSON document. Throws std::runtime_error with a short fixed message on any syntax
// error, on text after the value ("trailing JSON") and on nesting deeper than kMaxJsonDepth.
JsonValue ParseJson(std::string_view text);

// Arrays and objects nested deeper than this are refused, so that a hostile body cannot exhaust
// the stack of the thread that parses it.
inline constexpr int kMaxJsonDepth = 512;

}  // namespace tessvark
