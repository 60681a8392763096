#pragma once

#include <cstddef>
#include <cstdint>

namespace tessvark {

// True only when `signature` (64 bytes) is a valid detached Ed25519 signature of the message under
// `public_key` (32 bytes). Null key or signature, or a null message with a non-zero length: false.
bool VerifyEd25519(const std::uint8_t* public_key, const std::uint8_t* message, std::size_t length,
                   const std::uint8_t* signature);

}  // namespace tessvark
