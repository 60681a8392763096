// vMix's API document as any host may send it. The first byte chooses whether a vMix root is
// required; the rest is the document, and also a host name for the discovery check. A reading
// must either succeed with an input list or fail with a reason; a crash, hang or sanitizer
// report is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "outputs/vmix/vmix_api_document.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool require_vmix_root = (data[0] & 1) != 0;
  const std::string_view document(reinterpret_cast<const char*>(data + 1), size - 1);
  const tessvark::VmixApiResponse response = tessvark::ReadVmixApiResponse(document, require_vmix_root);
  if (response.ok != response.error.empty()) std::abort();
  if (response.inputs.kind != tessvark::JsonKind::kArray) std::abort();
  std::string message;
  tessvark::ValidateVmixDiscoveryTarget(document, 8088, message);
  return 0;
}
