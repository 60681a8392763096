#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/json_value.h"

namespace tessvark {

// One scoreboard source written into one vMix text field.
struct VmixMapping {
  std::string source;
  std::string field;
};

// One vMix title input and the fields written into it.
struct VmixOutput {
  std::string id;
  bool enabled = true;
  std::optional<std::string> input_key;
  std::optional<std::string> input_number;
  std::optional<std::string> input_title;
  // Shown to the user only; never part of the input reference.
  std::optional<std::string> input_type;
  std::vector<VmixMapping> mappings;
};

// The vMix member of "output_config.json". The default-made value is the default configuration.
struct VmixOutputConfig {
  bool enabled = true;
  std::string host;
  std::int32_t port = 8088;
  std::optional<std::string> computer_name;
  // The single-input form of older files; turned into one output when "outputs" is absent.
  std::string input;
  std::string home_field = "Home.Text";
  std::string guest_field = "Guest.Text";
  std::string period_field = "Period.Text";
  std::string clock_field = "Clock.Text";
  std::vector<VmixOutput> outputs;
};

struct VmixOutputParseResult {
  bool ok = true;
  std::int32_t status = 200;
  std::string message;
  VmixOutput output;
};

// The scoreboard sources a mapping may name: every role of the role table and the display values
// of kVmixDisplaySources, compared byte for byte.
bool IsVmixSourceName(std::string_view text);

// The input key, else the number, else the title; absent when the output has none of them.
const std::optional<std::string>& VmixInputReference(const VmixOutput& output);

bool VmixOutputEquals(const VmixOutput& a, const VmixOutput& b);

// One field of one input that two mappings write (vMix shows one value per field).
struct VmixFieldMappedTwice {
  std::string input;
  std::string field;
};

// The first field of an input that two mappings write, in one output or in two outputs naming the
// same input; outputs without an input are never written and are passed over.
std::optional<VmixFieldMappedTwice> FindFieldMappedTwice(const std::vector<VmixOutput>& outputs);

// Reads a configuration object. Lenient mode (the stored file) never fails and falls back to
// defaults; strict mode (API bodies) returns false with status 422 and a message at the first
// violation, leaving `out` unusable.
bool VmixOutputConfigFromJson(const JsonValue& value, bool strict, VmixOutputConfig& out,
                              std::int32_t& status, std::string& message);
VmixOutputParseResult VmixOutputFromJson(const JsonValue* item, unsigned index, bool strict);

// Lenient reader of the whole "output_config.json" text; the defaults for anything unusable.
VmixOutputConfig ParseVmixOutputConfigFile(std::string_view text);

// Strict reader of a request body holding the configuration object itself. On failure the
// status is 400 for text that is not JSON and 422 otherwise.
bool ParseVmixConfigRequest(std::string_view body, VmixOutputConfig& out, std::int32_t& status,
                            std::string& message);

// Readers' helpers, exposed for the tests of their rules.
std::string ReadMappingField(const JsonValue* mapping, std::string_view name, bool strict,
                             std::int32_t& status, std::string& message, bool& failed);
std::optional<std::string> ReadOptionalText(const JsonValue* value);
bool JsonTruthy(const JsonValue* value, bool default_value);

// Name-based (version 5) UUID of "qov-ocr:vmix-output:" + text in the URL namespace.
std::string MakeVmixOutputId(std::string_view text);

// The "vmix" object as it is stored; reading it back leniently gives the same configuration.
JsonValue VmixOutputConfigToJson(const VmixOutputConfig& config);

// The new "output_config.json" text: the previous object with its "vmix" member replaced (or
// appended), every other member kept where it stands. Never fails: a previous text that is not
// a JSON object is dropped.
std::string BuildOutputConfigDocument(std::string_view previous_text, const VmixOutputConfig& config);

}  // namespace tessvark
