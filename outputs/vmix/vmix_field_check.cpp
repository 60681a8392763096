#include "outputs/vmix/vmix_field_check.h"

#include <algorithm>
#include <optional>

namespace tessvark {
namespace {

std::string TextMember(const JsonValue& object, const char* key) {
  const JsonValue* value = object.Find(key);
  return value != nullptr && value->kind == JsonKind::kString ? value->text : std::string();
}

std::optional<std::string> InputReference(const VmixOutput& output) {
  if (output.input_key) return output.input_key;
  if (output.input_number) return output.input_number;
  return output.input_title;
}

const JsonValue* FindInput(const JsonValue& inputs, const std::string& reference) {
  for (const char* key : {"key", "number", "title"}) {
    for (const JsonValue& input : inputs.items) {
      if (TextMember(input, key) == reference) return &input;
    }
  }
  return nullptr;
}

bool HasTextField(const JsonValue& input, const std::string& field) {
  const JsonValue* fields = input.Find("text_fields");
  if (fields == nullptr) return false;
  return std::any_of(fields->items.begin(), fields->items.end(), [&field](const JsonValue& name) {
    return name.kind == JsonKind::kString && name.text == field;
  });
}

}  // namespace

std::vector<VmixFieldWarning> FindUnknownVmixFields(const VmixOutputConfig& config,
                                                    const JsonValue& inputs) {
  std::vector<VmixFieldWarning> warnings;
  for (const VmixOutput& output : config.outputs) {
    const std::optional<std::string> reference = InputReference(output);
    if (!reference || reference->empty() || output.mappings.empty()) continue;
    const JsonValue* input = FindInput(inputs, *reference);
    if (input == nullptr) {
      warnings.push_back({output.id, *reference, {},
                          "vMix has no input \xE2\x80\x9C" + *reference + "\xE2\x80\x9D."});
      continue;
    }
    std::string title = TextMember(*input, "title");
    if (title.empty()) title = *reference;
    std::vector<std::string> named;
    for (const VmixMapping& mapping : output.mappings) {
      if (HasTextField(*input, mapping.field) ||
          std::find(named.begin(), named.end(), mapping.field) != named.end()) {
        continue;
      }
      named.push_back(mapping.field);
      warnings.push_back({output.id, *reference, mapping.field,
                          "\xE2\x80\x9C" + mapping.field + "\xE2\x80\x9D is not a text field of \xE2\x80\x9C" +
                              title + "\xE2\x80\x9D."});
    }
  }
  return warnings;
}

void WriteVmixFieldWarnings(const std::vector<VmixFieldWarning>& warnings, JsonWriter& out) {
  out.BeginArray();
  for (const VmixFieldWarning& warning : warnings) {
    out.BeginObject();
    out.Key("output_id").String(warning.output_id);
    out.Key("input").String(warning.input);
    out.Key("field").StringOrNull(warning.field);
    out.Key("message").String(warning.message);
    out.EndObject();
  }
  out.EndArray();
}

}  // namespace tessvark
