#include "core/sha256.h"

#include <cstdint>
#include <cstring>

namespace tessvark {
namespace {

constexpr std::uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::uint32_t Rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

struct Sha256 {
  std::uint32_t state[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                            0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::uint8_t buffer[64] = {};
  std::uint64_t buffered = 0;
  std::uint64_t total_length = 0;

  void Compress() {
    std::uint32_t w[64];
    for (int i = 0; i < 16; ++i) {
      w[i] = (std::uint32_t{buffer[4 * i]} << 24) | (std::uint32_t{buffer[4 * i + 1]} << 16) |
             (std::uint32_t{buffer[4 * i + 2]} << 8) | std::uint32_t{buffer[4 * i + 3]};
    }
    for (int i = 16; i < 64; ++i) {
      const std::uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
      const std::uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int i = 0; i < 64; ++i) {
      const std::uint32_t s1 = Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25);
      const std::uint32_t ch = (e & f) ^ (~e & g);
      const std::uint32_t t1 = h + s1 + ch + kRoundConstants[i] + w[i];
      const std::uint32_t s0 = Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22);
      const std::uint32_t maj = (a & b) ^ (a & c) ^ (b & c);
      const std::uint32_t t2 = s0 + maj;
      h = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    state[0] += a; state[1] += b; state[2] += c; state[3] += d;
    state[4] += e; state[5] += f; state[6] += g; state[7] += h;
    buffered = 0;
  }

  void Append(const std::uint8_t* data, std::size_t length) {
    while (length > 0) {
      const std::size_t take = length < 64 - buffered ? length : 64 - buffered;
      std::memcpy(buffer + buffered, data, take);
      buffered += take;
      data += take;
      length -= take;
      if (buffered == 64) Compress();
    }
  }

  void Finish() {
    const std::uint64_t bit_length = total_length * 8;
    buffer[buffered++] = 0x80;
    if (buffered > 56) {
      while (buffered < 64) buffer[buffered++] = 0;
      Compress();
    }
    while (buffered < 56) buffer[buffered++] = 0;
    for (int i = 7; i >= 0; --i) buffer[buffered++] = static_cast<std::uint8_t>(bit_length >> (8 * i));
    Compress();
  }
};

}  // namespace

std::string Sha256HexOfBytes(const void* data, std::size_t length) {
  Sha256 hash;
  hash.total_length = length;
  if (length > 0) hash.Append(static_cast<const std::uint8_t*>(data), length);
  hash.Finish();
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(64);
  for (const std::uint32_t word : hash.state) {
    for (int shift = 28; shift >= 0; shift -= 4) hex.push_back(kHex[(word >> shift) & 0x0F]);
  }
  return hex;
}

std::string Sha256Hex(std::string_view bytes) { return Sha256HexOfBytes(bytes.data(), bytes.size()); }

}  // namespace tessvark
