#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tessvark {

// SHA-256 (FIPS 180-4) of the bytes as 64 lower-case hexadecimal digits.
std::string Sha256HexOfBytes(const void* data, std::size_t length);
std::string Sha256Hex(std::string_view bytes);

}  // namespace tessvark
