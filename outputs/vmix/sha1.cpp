#include "outputs/vmix/sha1.h"

#include <cstring>

namespace tessvark {
namespace {

std::uint32_t RotateLeft(std::uint32_t value, int bits) {
  return (value << bits) | (value >> (32 - bits));
}

void ProcessBlock(const std::uint8_t* block, std::uint32_t state[5]) {
  std::uint32_t w[80];
  for (int i = 0; i < 16; ++i) {
    w[i] = (std::uint32_t{block[4 * i]} << 24) | (std::uint32_t{block[4 * i + 1]} << 16) |
           (std::uint32_t{block[4 * i + 2]} << 8) | std::uint32_t{block[4 * i + 3]};
  }
  for (int i = 16; i < 80; ++i) w[i] = RotateLeft(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
  std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
  for (int i = 0; i < 80; ++i) {
    std::uint32_t f = 0;
    std::uint32_t k = 0;
    if (i < 20) {
      f = (b & c) | (~b & d);
      k = 0x5A827999u;
    } else if (i < 40) {
      f = b ^ c ^ d;
      k = 0x6ED9EBA1u;
    } else if (i < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8F1BBCDCu;
    } else {
      f = b ^ c ^ d;
      k = 0xCA62C1D6u;
    }
    const std::uint32_t temp = RotateLeft(a, 5) + f + e + k + w[i];
    e = d;
    d = c;
    c = RotateLeft(b, 30);
    b = a;
    a = temp;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
}

}  // namespace

void Sha1Digest(const void* data, std::size_t length, std::uint8_t digest[20]) {
  std::uint32_t state[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  std::size_t offset = 0;
  for (; length - offset >= 64; offset += 64) ProcessBlock(bytes + offset, state);

  // The tail, the 0x80 marker and the 64-bit bit length fill one or two final blocks.
  std::uint8_t tail[128] = {};
  const std::size_t rest = length - offset;
  if (rest > 0) std::memcpy(tail, bytes + offset, rest);
  tail[rest] = 0x80;
  const std::size_t tail_size = rest < 56 ? 64 : 128;
  const std::uint64_t bit_length = static_cast<std::uint64_t>(length) * 8u;
  for (int i = 0; i < 8; ++i) {
    tail[tail_size - 1 - i] = static_cast<std::uint8_t>(bit_length >> (8 * i));
  }
  for (std::size_t block = 0; block < tail_size; block += 64) ProcessBlock(tail + block, state);

  for (int i = 0; i < 5; ++i) {
    digest[4 * i] = static_cast<std::uint8_t>(state[i] >> 24);
    digest[4 * i + 1] = static_cast<std::uint8_t>(state[i] >> 16);
    digest[4 * i + 2] = static_cast<std::uint8_t>(state[i] >> 8);
    digest[4 * i + 3] = static_cast<std::uint8_t>(state[i]);
  }
}

}  // namespace tessvark
