#include "outputs/vmix/vmix_json_text.h"

#include "core/json_writer.h"

namespace tessvark {

JsonValue MakeJsonString(std::string&& text) {
  JsonValue value = JsonValue::MakeNull();
  value.kind = JsonKind::kString;
  value.text = std::move(text);
  return value;
}

JsonValue MakeJsonOptionalString(const std::optional<std::string>& text) {
  if (!text) return JsonValue::MakeNull();
  return MakeJsonString(std::string(*text));
}

JsonValue MakeJsonBool(bool flag) {
  JsonValue value = JsonValue::MakeNull();
  value.kind = JsonKind::kBool;
  value.bool_value = flag;
  value.text = flag ? "true" : "false";
  return value;
}

JsonValue MakeJsonNumberText(std::string&& text, double number) {
  JsonValue value = JsonValue::MakeNull();
  value.kind = JsonKind::kNumber;
  value.number = number;
  value.text = std::move(text);
  return value;
}

JsonValue MakeJsonObject() {
  JsonValue value = JsonValue::MakeNull();
  value.kind = JsonKind::kObject;
  return value;
}

JsonValue MakeJsonArray() {
  JsonValue value = JsonValue::MakeNull();
  value.kind = JsonKind::kArray;
  return value;
}

void SetJsonMember(JsonValue& object, std::string_view key, JsonValue&& value) {
  for (JsonMember& member : object.members) {
    if (member.key == key) {
      member.value = std::move(value);
      return;
    }
  }
  object.members.push_back(JsonMember{std::string(key), std::move(value)});
}

void WriteJsonString(std::string_view text, std::string& out) {
  out += JsonWriter(kVmixConfigJson).String(text).Take();
}

void WriteJsonPretty(const JsonValue& value, std::string& out, int indent, int depth) {
  JsonStyle style = kVmixConfigJson;
  style.indent = indent;
  out += JsonWriter(style, depth).Value(value).Take();
}

std::string ToPrettyJsonText(const JsonValue& value) {
  return JsonWriter(kVmixConfigJson).Value(value).Take() + '\n';
}

std::string EscapeVmixJsonText(std::string_view text) {
  std::string out;
  AppendJsonEscaped(text, JsonEscapeSet::kState, out);
  return out;
}

std::string OptionalTextJson(const std::optional<std::string>& text) {
  return JsonWriter(kStateJson).OptionalString(text).Take();
}

}  // namespace tessvark
