#include "core/json_writer.h"

#include <cmath>
#include <cstdio>
#include <utility>

#include "core/json_value.h"

namespace tessvark {

JsonWriter::JsonWriter(JsonStyle style, int depth) : style_(style), depth_(depth) {}

void JsonWriter::AppendPadding(int depth) {
  const int indent = *style_.indent > 0 ? *style_.indent : 0;
  const int columns = depth > 0 ? indent * depth : 0;
  text_.append(static_cast<std::size_t>(columns), ' ');
}

void JsonWriter::BeginItem() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (counts_.empty()) return;
  if (counts_.back()++ > 0) text_ += ',';
  if (style_.indent) {
    text_ += '\n';
    AppendPadding(depth_ + static_cast<int>(counts_.size()) - 1);
    text_ += "  ";
  }
}

void JsonWriter::Open(char bracket) {
  BeginItem();
  text_ += bracket;
  counts_.push_back(0);
}

void JsonWriter::Close(char bracket) {
  const int count = counts_.back();
  counts_.pop_back();
  if (style_.indent && count > 0) {
    text_ += '\n';
    AppendPadding(depth_ + static_cast<int>(counts_.size()));
  }
  text_ += bracket;
}

JsonWriter& JsonWriter::BeginObject() {
  Open('{');
  return *this;
}

JsonWriter& JsonWriter::EndObject() {
  Close('}');
  return *this;
}

JsonWriter& JsonWriter::BeginArray() {
  Open('[');
  return *this;
}

JsonWriter& JsonWriter::EndArray() {
  Close(']');
  return *this;
}

JsonWriter& JsonWriter::Key(std::string_view key) {
  BeginItem();
  text_ += '"';
  AppendJsonEscaped(key, style_.escape, text_);
  text_ += style_.indent ? "\": " : "\":";
  after_key_ = true;
  return *this;
}

JsonWriter& JsonWriter::String(std::string_view text) {
  BeginItem();
  text_ += '"';
  AppendJsonEscaped(text, style_.escape, text_);
  text_ += '"';
  return *this;
}

JsonWriter& JsonWriter::OptionalString(const std::optional<std::string>& text) {
  return text ? String(*text) : Null();
}

JsonWriter& JsonWriter::StringOrNull(std::string_view text) {
  return text.empty() ? Null() : String(text);
}

JsonWriter& JsonWriter::Bool(bool value) { return Raw(value ? "true" : "false"); }

JsonWriter& JsonWriter::Null() { return Raw("null"); }

JsonWriter& JsonWriter::Double(double value) {
  return Raw(style_.numbers == JsonNumberForm::kState ? FormatPythonJsonNumber(value)
                                                      : FormatJsonNumber(value));
}

JsonWriter& JsonWriter::Fixed(double value, int decimals) {
  if (!std::isfinite(value)) return Null();
  // "%.*f" of the largest double needs 309 digits before the point.
  char buffer[400];
  std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
  return Raw(buffer);
}

JsonWriter& JsonWriter::Value(const JsonValue& value) {
  switch (value.kind) {
    case JsonKind::kNull:
      return Null();
    case JsonKind::kBool:
      return Bool(value.bool_value);
    case JsonKind::kNumber:
      if (style_.numbers != JsonNumberForm::kAsWritten) return Double(value.number);
      return Raw(value.text.empty() ? std::string_view("0") : std::string_view(value.text));
    case JsonKind::kString:
      return String(value.text);
    case JsonKind::kArray:
      BeginArray();
      for (const JsonValue& item : value.items) Value(item);
      return EndArray();
    case JsonKind::kObject:
      BeginObject();
      for (const JsonMember& member : value.members) Key(member.key).Value(member.value);
      return EndObject();
  }
  return *this;
}

JsonWriter& JsonWriter::Raw(std::string_view json) {
  BeginItem();
  text_ += json;
  return *this;
}

std::string JsonWriter::Take() {
  std::string text = std::move(text_);
  text_.clear();
  counts_.clear();
  after_key_ = false;
  return text;
}

}  // namespace tessvark
