#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/json_value.h"
#include "outputs/vmix/xml_reader.h"

namespace tessvark {

// What vMix's "/api/" document says about the instance and its inputs.
struct VmixApiResponse {
  bool ok = false;
  std::string error;
  std::optional<std::string> computer_name;
  std::optional<std::string> version;
  std::optional<std::string> edition;
  // An array of objects with "number", "key", "title", "type", "value" and "text_fields".
  JsonValue inputs;

  VmixApiResponse();
};

// Reads the document. With `require_vmix_root` the root must be "vmix" and a non-empty
// "version" must exist ("The host did not return a vMix API response"); any XML fault gives
// "not well-formed". Never throws.
VmixApiResponse ReadVmixApiResponse(std::string_view xml, bool require_vmix_root);

void CollectVmixInputs(const XmlElement& element, int depth, JsonValue& inputs);
void CollectVmixTextFields(const XmlElement& element, bool match_this, int depth,
                           std::vector<std::string>& names);

// Whether the input listing may be sent to this host and port: loopback, private or link-local
// IPv4 (not 169.254.169.254) or a well-formed host name. False with one message otherwise.
bool ValidateVmixDiscoveryTarget(std::string_view host, std::int32_t port, std::string& message);

}  // namespace tessvark
