#pragma once

#include <cstdint>
#include <string>

namespace tessvark::testing {

// 64-bit FNV-1a of the text: a short, stable fingerprint for results recorded in fixture files.
inline uint64_t TextDigest(const std::string& text) {
  uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  return hash;
}

}  // namespace tessvark::testing
