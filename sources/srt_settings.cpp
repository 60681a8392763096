#include "sources/srt_settings.h"

#include <cstddef>

namespace tessvark {

namespace {

bool IsDottedQuad(const std::string& text) {
  int groups = 0;
  std::size_t i = 0;
  for (;;) {
    int digits = 0;
    int value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      value = value * 10 + (text[i] - '0');
      ++digits;
      ++i;
      if (digits > 3) return false;
    }
    if (digits == 0 || value > 255) return false;
    ++groups;
    if (i == text.size()) return groups == 4;
    if (text[i] != '.' || groups == 4) return false;
    ++i;
  }
}

}  // namespace

ValidatedSrtSettings ValidateSrtSettings(const SrtSettings& settings) {
  ValidatedSrtSettings result;
  const auto refuse = [&result](const char* message) {
    result.message = message;
    return result;
  };
  if (settings.bind_address != "0.0.0.0" && !IsDottedQuad(settings.bind_address)) {
    return refuse("SRT address must be an IPv4 address");
  }
  if (settings.port < 1 || settings.port > 65535) {
    return refuse("SRT port must be an integer from 1 to 65535");
  }
  if (settings.latency_ms < 1 || settings.latency_ms > 8000) {
    return refuse("SRT latency must be an integer from 1 to 8000 ms");
  }
  if (!settings.passphrase.empty() &&
      (settings.passphrase.size() < 10 || settings.passphrase.size() > 80)) {
    return refuse("SRT passphrase must be empty or 10 to 80 bytes");
  }
  if (settings.passphrase.find('\0') != std::string::npos ||
      settings.stream_id.find('\0') != std::string::npos) {
    return refuse("SRT text contains a NUL byte");
  }
  if (settings.stream_id.size() > 512) return refuse("SRT stream ID must be 512 bytes or less");
  const std::int32_t key = settings.key_length;
  if (key != 0 && key != 16 && key != 24 && key != 32) return refuse("Unsupported SRT key length");

  result.ok = true;
  result.settings = settings;
  if (settings.passphrase.empty()) {
    result.settings.key_length = 0;
  } else if (key == 0) {
    result.settings.key_length = 32;
  }
  return result;
}

void WipeString(std::string& text) {
  // Written through a volatile pointer so the compiler cannot drop the stores as dead.
  volatile char* bytes = text.data();
  for (std::size_t i = 0; i < text.size(); ++i) bytes[i] = 0;
  text.clear();
}

std::optional<SrtOutputSize> ComputeSrtOutputSize(std::int32_t width, std::int32_t height) {
  constexpr std::int64_t kMaxSide = 8192;
  constexpr std::int64_t kMaxPixels = 8192LL * 4320;
  constexpr std::int64_t kLongestOutput = 1920;
  const auto within = [&](std::int64_t w, std::int64_t h) {
    return w >= 2 && w <= kMaxSide && h >= 2 && h <= kMaxSide && w * h <= kMaxPixels;
  };
  std::int64_t w = width;
  std::int64_t h = height;
  if (!within(w, h)) return std::nullopt;
  const std::int64_t longer = w > h ? w : h;
  if (longer > kLongestOutput) {
    w = w * kLongestOutput / longer;
    h = h * kLongestOutput / longer;
    if (w < 2) w = 2;
    if (h < 2) h = 2;
  }
  w -= w % 2;
  h -= h % 2;
  if (!within(w, h)) return std::nullopt;
  return SrtOutputSize{static_cast<std::int32_t>(w), static_cast<std::int32_t>(h)};
}

std::string BuildSrtListenerUrl(const SrtSettings& settings) {
  return "srt://" + settings.bind_address + ":" + std::to_string(settings.port) +
         "?mode=listener&transtype=live&latency=" +
         std::to_string(static_cast<std::int64_t>(settings.latency_ms) * 1000) +
         "&listen_timeout=2000000&timeout=5000000";
}

}  // namespace tessvark
