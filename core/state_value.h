#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/json_text.h"  // FormatPythonJsonNumber, the number form of ToJson

namespace tessvark {

enum class StateKind : std::int32_t {
  kNull = 0, kBool = 1, kInt = 2, kDouble = 3, kString = 4, kArray = 5, kObject = 6
};

struct StateMember;

// A node of the published scoreboard document. Built only in code; members keep insertion order,
// which is the order they are written in.
struct StateValue {
  StateKind kind = StateKind::kNull;
  bool bool_value = false;
  std::int64_t int_value = 0;
  double double_value = 0.0;
  std::string text;
  std::vector<StateValue> items;
  std::vector<StateMember> members;

  static StateValue MakeNull();
  static StateValue MakeBool(bool value);
  static StateValue MakeInt(std::int64_t value);
  static StateValue MakeDouble(double value);
  static StateValue MakeString(std::string&& text);
  static StateValue MakeArray(std::vector<StateValue>&& items);
  static StateValue MakeObject(std::vector<StateMember>&& members);
  // A string value when the optional holds text (also empty text), else null.
  static StateValue FromOptionalText(const std::optional<std::string>& text);
  // An integer's decimal text or a non-empty string's text; empty for anything else.
  static std::optional<std::string> ToOptionalText(const StateValue* value);

  const StateValue* Find(std::string_view key) const;
  // Replaces the value of the first member with this key, or appends a new member.
  void Set(std::string_view key, StateValue&& value);
  // Deep equality: kinds must match, doubles compare numerically, object member order is ignored.
  bool Equals(const StateValue& other) const;
  // Compact JSON. Throws std::invalid_argument when any double is not finite. Sorting by key is
  // offered for diagnostics; the published documents are always written in stored order.
  std::string ToJson(bool sort_keys = false) const;
};

struct StateMember {
  std::string key;
  StateValue value;
};

StateMember MakeStateMember(std::string_view key, StateValue&& value);

// A string as the state writes it: escaped by JsonEscapeSet::kState, in double quotes.
void AppendQuotedJsonString(std::string_view text, std::string& out);

}  // namespace tessvark
