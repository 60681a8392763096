#include "core/state_value.h"

#include "core/json_text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <utility>

namespace tessvark {

StateValue StateValue::MakeNull() { return StateValue{}; }

StateValue StateValue::MakeBool(bool value) {
  StateValue result;
  result.kind = StateKind::kBool;
  result.bool_value = value;
  return result;
}

StateValue StateValue::MakeInt(std::int64_t value) {
  StateValue result;
  result.kind = StateKind::kInt;
  result.int_value = value;
  return result;
}

StateValue StateValue::MakeDouble(double value) {
  StateValue result;
  result.kind = StateKind::kDouble;
  result.double_value = value;
  return result;
}

StateValue StateValue::MakeString(std::string&& text) {
  StateValue result;
  result.kind = StateKind::kString;
  result.text = std::move(text);
  text.clear();
  return result;
}

StateValue StateValue::MakeArray(std::vector<StateValue>&& items) {
  StateValue result;
  result.kind = StateKind::kArray;
  result.items = std::move(items);
  items.clear();
  return result;
}

StateValue StateValue::MakeObject(std::vector<StateMember>&& members) {
  StateValue result;
  result.kind = StateKind::kObject;
  result.members = std::move(members);
  members.clear();
  return result;
}

StateValue StateValue::FromOptionalText(const std::optional<std::string>& text) {
  if (!text) return MakeNull();
  return MakeString(std::string(*text));
}

std::optional<std::string> StateValue::ToOptionalText(const StateValue* value) {
  if (value == nullptr) return std::nullopt;
  if (value->kind == StateKind::kInt) return std::to_string(value->int_value);
  if (value->kind == StateKind::kString && !value->text.empty()) return value->text;
  return std::nullopt;
}

const StateValue* StateValue::Find(std::string_view key) const {
  for (const StateMember& member : members) {
    if (member.key == key) return &member.value;
  }
  return nullptr;
}

void StateValue::Set(std::string_view key, StateValue&& value) {
  for (StateMember& member : members) {
    if (member.key == key) {
      member.value = std::move(value);
      return;
    }
  }
  members.push_back(StateMember{std::string(key), std::move(value)});
}

bool StateValue::Equals(const StateValue& other) const {
  if (kind != other.kind) return false;
  switch (kind) {
    case StateKind::kNull:
      return true;
    case StateKind::kBool:
      return bool_value == other.bool_value;
    case StateKind::kInt:
      return int_value == other.int_value;
    case StateKind::kDouble:
      return double_value == other.double_value;
    case StateKind::kString:
      return text == other.text;
    case StateKind::kArray:
      if (items.size() != other.items.size()) return false;
      for (std::size_t i = 0; i < items.size(); ++i) {
        if (!items[i].Equals(other.items[i])) return false;
      }
      return true;
    case StateKind::kObject:
      if (members.size() != other.members.size()) return false;
      for (const StateMember& member : members) {
        const StateValue* match = other.Find(member.key);
        if (match == nullptr || !member.value.Equals(*match)) return false;
      }
      return true;
  }
  return false;
}

std::string StateValue::ToJson(bool sort_keys) const {
  std::string out;
  WriteStateJson(*this, out, sort_keys);
  return out;
}

StateMember MakeStateMember(const char* key, StateValue&& value) {
  StateMember member{key, std::move(value)};
  value = StateValue::MakeNull();
  return member;
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

void AppendQuotedJsonString(std::string_view text, std::string& out) {
  out.push_back('"');
  AppendJsonEscaped(text, JsonEscapeSet::kState, out);
  out.push_back('"');
}

void WriteStateJson(const StateValue& value, std::string& out, bool sort_keys) {
  switch (value.kind) {
    case StateKind::kNull:
      out += "null";
      return;
    case StateKind::kBool:
      out += value.bool_value ? "true" : "false";
      return;
    case StateKind::kInt:
      out += std::to_string(value.int_value);
      return;
    case StateKind::kDouble:
      out += FormatPythonJsonNumber(value.double_value);
      return;
    case StateKind::kString:
      AppendQuotedJsonString(value.text, out);
      return;
    case StateKind::kArray:
      out.push_back('[');
      for (std::size_t i = 0; i < value.items.size(); ++i) {
        if (i > 0) out.push_back(',');
        WriteStateJson(value.items[i], out, sort_keys);
      }
      out.push_back(']');
      return;
    case StateKind::kObject: {
      std::vector<const StateMember*> order;
      order.reserve(value.members.size());
      for (const StateMember& member : value.members) order.push_back(&member);
      if (sort_keys) {
        std::stable_sort(order.begin(), order.end(),
                         [](const StateMember* a, const StateMember* b) { return a->key < b->key; });
      }
      out.push_back('{');
      for (std::size_t i = 0; i < order.size(); ++i) {
        if (i > 0) out.push_back(',');
        AppendQuotedJsonString(order[i]->key, out);
        out.push_back(':');
        WriteStateJson(order[i]->value, out, sort_keys);
      }
      out.push_back('}');
      return;
    }
  }
}

}  // namespace tessvark
