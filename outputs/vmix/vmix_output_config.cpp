#include "outputs/vmix/vmix_output_config.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <stdexcept>

#include "core/agent_roles.h"
#include "core/text.h"
#include "outputs/vmix/sha1.h"
#include "outputs/vmix/vmix_json_text.h"
#include "outputs/vmix/vmix_set_text.h"

namespace tessvark {
namespace {

constexpr std::int32_t kDefaultPort = 8088;
constexpr std::int32_t kUnprocessable = 422;

std::int32_t ClampPortNumber(double number) {
  const double truncated = std::trunc(number);
  if (!(truncated >= 1.0)) return 1;
  if (truncated > 65535.0) return 65535;
  return static_cast<std::int32_t>(truncated);
}

// A trimmed base-10 integer that uses up the whole text, within 32 bits; else the default port.
std::int32_t ReadPortText(const std::string& raw) {
  const std::string text = TrimAsciiWhitespace(raw);
  if (text.empty()) return kDefaultPort;
  std::size_t i = 0;
  bool negative = false;
  if (text[0] == '+' || text[0] == '-') {
    negative = text[0] == '-';
    i = 1;
  }
  if (i == text.size()) return kDefaultPort;
  std::int64_t value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return kDefaultPort;
    value = value * 10 + (text[i] - '0');
    if (value > std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1) return kDefaultPort;
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<std::int32_t>::max() ||
      value < std::numeric_limits<std::int32_t>::min()) {
    return kDefaultPort;
  }
  return ClampPortNumber(static_cast<double>(value));
}

bool Fail(std::int32_t& status, std::string& message, const char* text) {
  status = kUnprocessable;
  message = text;
  return false;
}

VmixOutputParseResult FailOutput(const char* text) {
  VmixOutputParseResult result;
  result.ok = false;
  result.status = kUnprocessable;
  result.message = text;
  return result;
}

bool IsOneOf(const std::string& key, std::initializer_list<const char*> names) {
  for (const char* name : names) {
    if (key == name) return true;
  }
  return false;
}

std::string NumberTextOrTruncated(const JsonValue& value) {
  if (!value.text.empty()) return value.text;
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.0f", std::trunc(value.number));
  return buffer;
}

const JsonValue& EmptyObject() {
  static const JsonValue empty = [] {
    JsonValue value = JsonValue::MakeNull();
    value.kind = JsonKind::kObject;
    return value;
  }();
  return empty;
}

void MakeIdentifiersUnique(std::vector<VmixOutput>& outputs) {
  std::vector<std::string> seen;
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    VmixOutput& output = outputs[i];
    for (const std::string& id : seen) {
      if (id == output.id) {
        output.id = MakeVmixOutputId(output.id + ":" + std::to_string(i));
        break;
      }
    }
    seen.push_back(output.id);
  }
}

}  // namespace

bool IsVmixSourceName(std::string_view text) {
  if (FindAgentRole(text) != nullptr) return true;
  for (const std::string_view display : kVmixDisplaySources) {
    if (display == text) return true;
  }
  return false;
}

const std::optional<std::string>& VmixInputReference(const VmixOutput& output) {
  if (output.input_key) return output.input_key;
  if (output.input_number) return output.input_number;
  return output.input_title;
}

std::optional<VmixFieldMappedTwice> FindFieldMappedTwice(const std::vector<VmixOutput>& outputs) {
  std::vector<std::pair<const std::string*, const std::string*>> seen;
  for (const VmixOutput& output : outputs) {
    const std::optional<std::string>& input = VmixInputReference(output);
    if (!input) continue;
    for (const VmixMapping& mapping : output.mappings) {
      for (const auto& [seen_input, seen_field] : seen) {
        if (*seen_input == *input && *seen_field == mapping.field) return VmixFieldMappedTwice{*input, mapping.field};
      }
      seen.emplace_back(&*input, &mapping.field);
    }
  }
  return std::nullopt;
}

bool VmixOutputEquals(const VmixOutput& a, const VmixOutput& b) {
  if (a.id != b.id || a.enabled != b.enabled || a.input_key != b.input_key ||
      a.input_number != b.input_number || a.input_title != b.input_title ||
      a.input_type != b.input_type || a.mappings.size() != b.mappings.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.mappings.size(); ++i) {
    if (a.mappings[i].source != b.mappings[i].source || a.mappings[i].field != b.mappings[i].field) {
      return false;
    }
  }
  return true;
}

std::optional<std::string> ReadOptionalText(const JsonValue* value) {
  if (value == nullptr) return std::nullopt;
  std::string text;
  switch (value->kind) {
    case JsonKind::kNull:
    case JsonKind::kArray:
    case JsonKind::kObject:
      return std::nullopt;
    case JsonKind::kBool:
      text = value->bool_value ? "True" : "False";
      break;
    case JsonKind::kNumber:
      text = NumberTextOrTruncated(*value);
      break;
    case JsonKind::kString:
      text = value->text;
      break;
  }
  text = TrimAsciiWhitespace(text);
  if (text.empty()) return std::nullopt;
  return text;
}

bool JsonTruthy(const JsonValue* value, bool default_value) {
  if (value == nullptr) return default_value;
  switch (value->kind) {
    case JsonKind::kNull: return false;
    case JsonKind::kBool: return value->bool_value;
    case JsonKind::kNumber: return !(value->number == 0.0);
    case JsonKind::kString: return !TrimAsciiWhitespace(value->text).empty();
    case JsonKind::kArray:
    case JsonKind::kObject: return true;
  }
  return default_value;
}

std::string ReadMappingField(const JsonValue* mapping, std::string_view name, bool strict,
                             std::int32_t& status, std::string& message, bool& failed) {
  std::string fallback = "Clock.Text";
  if (name == "home") fallback = "Home.Text";
  else if (name == "guest") fallback = "Guest.Text";
  else if (name == "period") fallback = "Period.Text";
  if (mapping == nullptr) return fallback;
  const JsonValue* member = mapping->Find(name);
  if (member == nullptr) return fallback;
  if (strict && member->kind != JsonKind::kString) {
    failed = true;
    status = kUnprocessable;
    message = "vMix mapping fields must be strings";
    return fallback;
  }
  std::string text;
  if (member->kind != JsonKind::kArray && member->kind != JsonKind::kObject) text = member->text;
  text = TrimAsciiWhitespace(text);
  return text.empty() ? fallback : text;
}

VmixOutputParseResult VmixOutputFromJson(const JsonValue* item, unsigned index, bool strict) {
  const JsonValue* object = item;
  if (item == nullptr || item->kind == JsonKind::kNull) {
    object = &EmptyObject();
  } else if (item->kind != JsonKind::kObject) {
    if (strict) return FailOutput("vMix output must be an object");
    object = &EmptyObject();
  }
  if (strict) {
    for (const JsonMember& member : object->members) {
      if (!IsOneOf(member.key, {"id", "enabled", "input_key", "input_number", "input_title",
                                "input_type", "mappings"})) {
        return FailOutput("Unknown vMix output field");
      }
    }
  }

  VmixOutputParseResult result;
  VmixOutput& output = result.output;
  output.input_key = ReadOptionalText(object->Find("input_key"));
  output.input_number = ReadOptionalText(object->Find("input_number"));
  output.input_title = ReadOptionalText(object->Find("input_title"));
  output.input_type = ReadOptionalText(object->Find("input_type"));

  const std::optional<std::string>& reference = VmixInputReference(output);
  const std::string reference_text = reference ? *reference : "output-" + std::to_string(index);
  std::optional<std::string> id = ReadOptionalText(object->Find("id"));
  output.id = id ? *id : MakeVmixOutputId(reference_text + ":" + std::to_string(index));

  const JsonValue* enabled = object->Find("enabled");
  if (strict) {
    if (enabled != nullptr && enabled->kind != JsonKind::kBool) {
      return FailOutput("vMix output enabled must be a boolean");
    }
    output.enabled = enabled == nullptr || enabled->bool_value;
  } else {
    output.enabled = JsonTruthy(enabled, true);
  }

  const JsonValue* mappings = object->Find("mappings");
  if (strict && mappings != nullptr && mappings->kind != JsonKind::kArray) {
    return FailOutput("vMix mappings must be a list");
  }
  if (mappings == nullptr || mappings->kind != JsonKind::kArray) return result;

  for (const JsonValue& entry : mappings->items) {
    if (entry.kind != JsonKind::kObject) {
      if (strict) return FailOutput("vMix mapping must be an object");
      continue;
    }
    if (strict) {
      for (const JsonMember& member : entry.members) {
        if (!IsOneOf(member.key, {"source", "field"})) return FailOutput("Unknown vMix mapping field");
      }
    }
    std::string source;
    if (const JsonValue* value = entry.Find("source"); value != nullptr && value->kind == JsonKind::kString) {
      source = TrimAsciiWhitespace(value->text);
    }
    std::string field;
    if (const JsonValue* value = entry.Find("field"); value != nullptr) {
      if (value->kind == JsonKind::kString) {
        field = TrimAsciiWhitespace(value->text);
      } else if (!strict && value->kind != JsonKind::kNull && value->kind != JsonKind::kArray &&
                 value->kind != JsonKind::kObject) {
        field = TrimAsciiWhitespace(value->text);
      }
    }
    if (strict && !source.empty() && !IsVmixSourceName(source)) {
      return FailOutput("Unknown vMix source");
    }
    if (!IsVmixSourceName(source) || field.empty()) continue;
    bool duplicate = false;
    for (const VmixMapping& existing : output.mappings) {
      if (existing.field == field) duplicate = true;
    }
    // A request keeps the second mapping so that the whole configuration's check refuses it with
    // its name; a stored file keeps the first.
    if (!duplicate || strict) output.mappings.push_back(VmixMapping{std::move(source), std::move(field)});
  }
  return result;
}

bool VmixOutputConfigFromJson(const JsonValue& value, bool strict, VmixOutputConfig& out,
                              std::int32_t& status, std::string& message) {
  out = VmixOutputConfig();
  if (value.kind != JsonKind::kObject) return true;

  const JsonValue* enabled = value.Find("enabled");
  if (strict) {
    if (enabled != nullptr && enabled->kind != JsonKind::kBool) {
      return Fail(status, message, "enabled must be a boolean");
    }
    out.enabled = enabled != nullptr && enabled->bool_value;
  } else {
    out.enabled = JsonTruthy(enabled, true);
  }

  const JsonValue* host = value.Find("host");
  if (host != nullptr && host->kind == JsonKind::kString) {
    out.host = TrimAsciiWhitespace(host->text);
  } else if (strict && host != nullptr && host->kind != JsonKind::kNull) {
    return Fail(status, message, "host must be a string");
  }

  const JsonValue* port = value.Find("port");
  if (port == nullptr || port->kind == JsonKind::kNull) {
    out.port = kDefaultPort;
  } else if (port->kind == JsonKind::kNumber) {
    out.port = ClampPortNumber(port->number);
  } else if (strict) {
    return Fail(status, message, "port must be an integer");
  } else if (port->kind == JsonKind::kString) {
    out.port = ReadPortText(port->text);
  } else {
    out.port = kDefaultPort;
  }

  if (const JsonValue* name = value.Find("computer_name"); name != nullptr && name->kind == JsonKind::kString) {
    std::string text = TrimAsciiWhitespace(name->text);
    if (!text.empty()) out.computer_name = std::move(text);
  }

  const JsonValue* input = value.Find("input");
  if (input != nullptr && input->kind == JsonKind::kString) {
    out.input = TrimAsciiWhitespace(input->text);
  } else if (strict && input != nullptr && input->kind != JsonKind::kNull) {
    return Fail(status, message, "input must be a string");
  }

  const JsonValue* mapping = value.Find("mapping");
  if (strict && mapping != nullptr && mapping->kind != JsonKind::kObject && mapping->kind != JsonKind::kNull) {
    return Fail(status, message, "mapping must be an object");
  }
  if (mapping != nullptr && mapping->kind != JsonKind::kObject) mapping = nullptr;
  bool mapping_failed = false;
  out.home_field = ReadMappingField(mapping, "home", strict, status, message, mapping_failed);
  out.guest_field = ReadMappingField(mapping, "guest", strict, status, message, mapping_failed);
  out.period_field = ReadMappingField(mapping, "period", strict, status, message, mapping_failed);
  out.clock_field = ReadMappingField(mapping, "clock", strict, status, message, mapping_failed);
  if (mapping_failed) return Fail(status, message, "vMix mapping fields must be strings");

  const JsonValue* outputs = value.Find("outputs");
  if (strict && outputs != nullptr && outputs->kind != JsonKind::kArray && outputs->kind != JsonKind::kNull) {
    return Fail(status, message, "outputs must be a list");
  }
  if (outputs != nullptr) {
    if (outputs->kind == JsonKind::kArray) {
      for (std::size_t i = 0; i < outputs->items.size(); ++i) {
        VmixOutputParseResult item = VmixOutputFromJson(&outputs->items[i], static_cast<unsigned>(i), strict);
        if (!item.ok) {
          status = item.status;
          message = item.message;
          return false;
        }
        out.outputs.push_back(std::move(item.output));
      }
    }
    if (strict) {
      if (const std::optional<VmixFieldMappedTwice> twice = FindFieldMappedTwice(out.outputs)) {
        status = kUnprocessable;
        message = "vMix field \"" + twice->field + "\" of input \"" + twice->input +
                  "\" is mapped twice: keep one of the two mappings";
        return false;
      }
    }
  } else if (!out.input.empty()) {
    VmixOutput legacy;
    legacy.id = MakeVmixOutputId(out.input);
    legacy.input_key = out.input;
    const std::pair<const char*, const std::string*> pairs[] = {{"home_score", &out.home_field},
                                                                {"guest_score", &out.guest_field},
                                                                {"period", &out.period_field},
                                                                {"clock", &out.clock_field}};
    for (const auto& [source, field] : pairs) {
      if (!field->empty()) legacy.mappings.push_back(VmixMapping{source, *field});
    }
    out.outputs.push_back(std::move(legacy));
  }
  MakeIdentifiersUnique(out.outputs);
  return true;
}

VmixOutputConfig ParseVmixOutputConfigFile(std::string_view text) {
  VmixOutputConfig config;
  if (text.empty()) return config;
  JsonValue document;
  try {
    document = ParseJson(text);
  } catch (const std::exception&) {
    return config;
  }
  if (document.kind != JsonKind::kObject) return config;
  const JsonValue* vmix = document.Find("vmix");
  if (vmix == nullptr) vmix = &document;
  if (vmix->kind != JsonKind::kObject) return config;
  std::int32_t status = 200;
  std::string message;
  VmixOutputConfigFromJson(*vmix, false, config, status, message);
  return config;
}

bool ParseVmixConfigRequest(std::string_view body, VmixOutputConfig& out, std::int32_t& status,
                            std::string& message) {
  JsonValue document;
  try {
    document = ParseJson(body);
  } catch (const std::exception&) {
    status = 400;
    message = "Request body is not valid JSON";
    return false;
  }
  if (document.kind != JsonKind::kObject) return Fail(status, message, "Request body must be an object");
  return VmixOutputConfigFromJson(document, true, out, status, message);
}

std::string MakeVmixOutputId(std::string_view text) {
  static constexpr std::uint8_t kUrlNamespace[16] = {0x6b, 0xa7, 0xb8, 0x11, 0x9d, 0xad, 0x11, 0xd1,
                                                     0x80, 0xb4, 0x00, 0xc0, 0x4f, 0xd4, 0x30, 0xc8};
  std::string name(reinterpret_cast<const char*>(kUrlNamespace), sizeof kUrlNamespace);
  name += "qov-ocr:vmix-output:";
  name.append(text.data(), text.size());
  std::uint8_t digest[20];
  Sha1Digest(name.data(), name.size(), digest);
  digest[6] = static_cast<std::uint8_t>((digest[6] & 0x0F) | 0x50);
  digest[8] = static_cast<std::uint8_t>((digest[8] & 0x3F) | 0x80);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string id;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) id += '-';
    id += kHex[digest[i] >> 4];
    id += kHex[digest[i] & 0x0F];
  }
  return id;
}

JsonValue VmixOutputConfigToJson(const VmixOutputConfig& config) {
  JsonValue root = MakeJsonObject();
  SetJsonMember(root, "enabled", MakeJsonBool(config.enabled));
  SetJsonMember(root, "host", MakeJsonString(std::string(config.host)));
  SetJsonMember(root, "port", MakeJsonNumberText(std::to_string(config.port), config.port));
  SetJsonMember(root, "computer_name", MakeJsonOptionalString(config.computer_name));
  SetJsonMember(root, "input", MakeJsonString(std::string(config.input)));
  JsonValue mapping = MakeJsonObject();
  SetJsonMember(mapping, "home", MakeJsonString(std::string(config.home_field)));
  SetJsonMember(mapping, "guest", MakeJsonString(std::string(config.guest_field)));
  SetJsonMember(mapping, "period", MakeJsonString(std::string(config.period_field)));
  SetJsonMember(mapping, "clock", MakeJsonString(std::string(config.clock_field)));
  SetJsonMember(root, "mapping", std::move(mapping));
  JsonValue outputs = MakeJsonArray();
  for (const VmixOutput& output : config.outputs) {
    JsonValue item = MakeJsonObject();
    SetJsonMember(item, "id", MakeJsonString(std::string(output.id)));
    SetJsonMember(item, "enabled", MakeJsonBool(output.enabled));
    SetJsonMember(item, "input_key", MakeJsonOptionalString(output.input_key));
    SetJsonMember(item, "input_number", MakeJsonOptionalString(output.input_number));
    SetJsonMember(item, "input_title", MakeJsonOptionalString(output.input_title));
    SetJsonMember(item, "input_type", MakeJsonOptionalString(output.input_type));
    JsonValue mappings = MakeJsonArray();
    for (const VmixMapping& pair : output.mappings) {
      JsonValue entry = MakeJsonObject();
      SetJsonMember(entry, "source", MakeJsonString(std::string(pair.source)));
      SetJsonMember(entry, "field", MakeJsonString(std::string(pair.field)));
      mappings.items.push_back(std::move(entry));
    }
    SetJsonMember(item, "mappings", std::move(mappings));
    outputs.items.push_back(std::move(item));
  }
  SetJsonMember(root, "outputs", std::move(outputs));
  return root;
}

std::string BuildOutputConfigDocument(std::string_view previous_text, const VmixOutputConfig& config) {
  JsonValue document = MakeJsonObject();
  if (!previous_text.empty()) {
    try {
      JsonValue previous = ParseJson(previous_text);
      if (previous.kind == JsonKind::kObject) document = std::move(previous);
    } catch (const std::exception&) {
      // An unreadable previous file is replaced by a document holding only the vMix member.
    }
  }
  SetJsonMember(document, "vmix", VmixOutputConfigToJson(config));
  return ToPrettyJsonText(document);
}

}  // namespace tessvark
