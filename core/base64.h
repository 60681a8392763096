#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tessvark {

// Standard Base64 (RFC 4648 section 4) with "=" padding.
std::string EncodeBase64(const std::uint8_t* bytes, std::size_t length);

// Strict decoding: only text that EncodeBase64 would write for the decoded bytes is accepted, so a
// key or signature has exactly one accepted text. On failure `out` is left empty.
bool DecodeBase64(std::string_view text, std::vector<std::uint8_t>& out);

}  // namespace tessvark
