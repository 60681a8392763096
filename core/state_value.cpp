#include "core/state_value.h"

#include "core/json_writer.h"

#include <algorithm>
#include <utility>

namespace tessvark {
namespace {

void WriteStateValue(const StateValue& value, bool sort_keys, JsonWriter& out) {
  switch (value.kind) {
    case StateKind::kNull:
      out.Null();
      return;
    case StateKind::kBool:
      out.Bool(value.bool_value);
      return;
    case StateKind::kInt:
      out.Int(value.int_value);
      return;
    case StateKind::kDouble:
      out.Double(value.double_value);
      return;
    case StateKind::kString:
      out.String(value.text);
      return;
    case StateKind::kArray:
      out.BeginArray();
      for (const StateValue& item : value.items) WriteStateValue(item, sort_keys, out);
      out.EndArray();
      return;
    case StateKind::kObject: {
      std::vector<const StateMember*> order;
      order.reserve(value.members.size());
      for (const StateMember& member : value.members) order.push_back(&member);
      if (sort_keys) {
        std::stable_sort(order.begin(), order.end(),
                         [](const StateMember* a, const StateMember* b) { return a->key < b->key; });
      }
      out.BeginObject();
      for (const StateMember* member : order) {
        out.Key(member->key);
        WriteStateValue(member->value, sort_keys, out);
      }
      out.EndObject();
      return;
    }
  }
}

}  // namespace

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
  JsonWriter writer(kStateJson);
  WriteStateValue(*this, sort_keys, writer);
  return writer.Take();
}

StateMember MakeStateMember(std::string_view key, StateValue&& value) {
  StateMember member{std::string(key), std::move(value)};
  value = StateValue::MakeNull();
  return member;
}

void AppendQuotedJsonString(std::string_view text, std::string& out) {
  out.push_back('"');
  AppendJsonEscaped(text, JsonEscapeSet::kState, out);
  out.push_back('"');
}

}  // namespace tessvark
