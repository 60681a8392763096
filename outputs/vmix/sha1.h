#pragma once

#include <cstddef>
#include <cstdint>

namespace tessvark {

// SHA-1 (FIPS 180-4). Used only to derive name-based output identifiers, never for security.
void Sha1Digest(const void* data, std::size_t length, std::uint8_t digest[20]);

}  // namespace tessvark
