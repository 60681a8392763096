#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tessvark {

// Settings of the SRT listener, with the defaults of a new record.
struct SrtSettings {
  std::string bind_address = "0.0.0.0";   // IPv4, dotted decimal
  std::int32_t port = 9000;               // UDP
  std::int32_t latency_ms = 120;
  std::int32_t key_length = 0;            // bytes: 0, 16, 24 or 32
  std::string stream_id;                  // empty: any
  std::string passphrase;                 // empty: no encryption
  bool retry_decoder_open = true;         // a failed opening of the H.264 decoder is tried once more
};

struct ValidatedSrtSettings {
  bool ok = false;
  std::string message;    // the refusal; empty when ok
  SrtSettings settings;   // the accepted values; the defaults when refused
};

// Checks the settings in a fixed order and returns the first refusal. An accepted copy has key
// length 0 without a passphrase and 32 for a passphrase with key length 0.
ValidatedSrtSettings ValidateSrtSettings(const SrtSettings& settings);

// Overwrites every byte of the text with zero, then empties it (its storage stays allocated), so a
// passphrase that is given up does not linger in memory.
void WipeString(std::string& text);

struct SrtOutputSize {
  std::int32_t width = 0;
  std::int32_t height = 0;
};

// The size a received picture is published at: at most 1920 pixels on the longer side, both sides
// even. Nothing for a picture outside 2..8192 on a side or above 8192 x 4320 pixels.
std::optional<SrtOutputSize> ComputeSrtOutputSize(std::int32_t width, std::int32_t height);

// The FFmpeg listener URL for accepted settings; the latency goes in as microseconds.
std::string BuildSrtListenerUrl(const SrtSettings& settings);

}  // namespace tessvark
