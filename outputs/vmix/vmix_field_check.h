#pragma once

#include <string>
#include <vector>

#include "core/json_value.h"
#include "core/json_writer.h"
#include "outputs/vmix/vmix_output_config.h"

namespace tessvark {

// A mapping that the vMix host cannot show: its output's input is not among the host's inputs,
// or that input has no text field of the mapped name. vMix takes a SetText for such a field
// without complaint, so nothing else would ever tell the operator.
struct VmixFieldWarning {
  std::string output_id;
  std::string input;  // the output's input reference
  std::string field;  // empty when the input itself is missing
  std::string message;
};

// Looks each output's input up among `inputs` (the "inputs" array of a read API document, Input
// matched as vMix matches it: by key, number or title) and names every mapped field that the
// input does not have, once per output and field. Outputs without an input reference or without
// mappings are passed over.
std::vector<VmixFieldWarning> FindUnknownVmixFields(const VmixOutputConfig& config,
                                                    const JsonValue& inputs);

// [{"output_id":...,"input":...,"field":... or null,"message":...},...]
void WriteVmixFieldWarnings(const std::vector<VmixFieldWarning>& warnings, JsonWriter& out);

}  // namespace tessvark
