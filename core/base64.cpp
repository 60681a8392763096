#include "core/base64.h"

namespace tessvark {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int AlphabetValue(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::string EncodeBase64(const std::uint8_t* bytes, std::size_t length) {
  std::string out;
  out.reserve((length + 2) / 3 * 4);
  for (std::size_t i = 0; i < length; i += 3) {
    const std::size_t count = length - i < 3 ? length - i : 3;
    const unsigned b0 = bytes[i];
    const unsigned b1 = count > 1 ? bytes[i + 1] : 0;
    const unsigned b2 = count > 2 ? bytes[i + 2] : 0;
    out.push_back(kAlphabet[b0 >> 2]);
    out.push_back(kAlphabet[((b0 & 0x03) << 4) | (b1 >> 4)]);
    out.push_back(count > 1 ? kAlphabet[((b1 & 0x0F) << 2) | (b2 >> 6)] : '=');
    out.push_back(count > 2 ? kAlphabet[b2 & 0x3F] : '=');
  }
  return out;
}

bool DecodeBase64(std::string_view text, std::vector<std::uint8_t>& out) {
  out.clear();
  if (text.size() % 4 != 0) return false;
  std::vector<std::uint8_t> bytes;
  bytes.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const int v0 = AlphabetValue(text[i]);
    const int v1 = AlphabetValue(text[i + 1]);
    if (v0 < 0 || v1 < 0) return false;
    const bool pad2 = text[i + 2] == '=';
    const bool pad3 = text[i + 3] == '=';
    const int v2 = pad2 ? 0 : AlphabetValue(text[i + 2]);
    const int v3 = pad3 ? 0 : AlphabetValue(text[i + 3]);
    if (v2 < 0 || v3 < 0) return false;
    if (pad2 && !pad3) return false;
    if ((pad2 || pad3) && i + 4 != text.size()) return false;
    bytes.push_back(static_cast<std::uint8_t>((v0 * 4 + v1 / 16) % 256));
    if (!pad2) bytes.push_back(static_cast<std::uint8_t>((v1 * 16 + v2 / 4) % 256));
    if (!pad3) bytes.push_back(static_cast<std::uint8_t>((v2 * 64 + v3) % 256));
  }
  // Refuses texts with non-zero unused bits, so every byte string has exactly one accepted text.
  if (EncodeBase64(bytes.data(), bytes.size()) != text) return false;
  out = std::move(bytes);
  return true;
}

}  // namespace tessvark
