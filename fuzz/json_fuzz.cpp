// Any byte string must either parse or be refused with std::runtime_error. A parsed tree's
// literals must be taken from the input, and a crash, hang or sanitizer report is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string_view>

#include "core/json_value.h"

namespace {

void CheckLiterals(const tessvark::JsonValue& value, std::string_view input) {
  if (value.kind == tessvark::JsonKind::kNumber && input.find(value.text) == std::string_view::npos) std::abort();
  for (const auto& item : value.items) CheckLiterals(item, input);
  for (const auto& member : value.members) CheckLiterals(member.value, input);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  try {
    CheckLiterals(tessvark::ParseJson(input), input);
  } catch (const std::runtime_error&) {
  }
  return 0;
}
