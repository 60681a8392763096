#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tessvark {

// A zone's clock format, stored as an int32.
enum class ClockFormat : int32_t {
  Auto = 0,
  MinutesSeconds = 1,          // "m:ss"
  TwoDigitMinutesSeconds = 2,  // "mm:ss"
};

// One slot of a layout; all four bounds are inclusive pixel positions in the zone picture.
struct DigitSlot {
  std::string kind;  // "digit" or "separator"
  std::optional<int32_t> digit_index;
  int32_t left = 0;
  int32_t top = 0;
  int32_t right = 0;
  int32_t bottom = 0;
};

using DigitLayout = std::vector<DigitSlot>;

ClockFormat ParseClockFormat(const std::string& text);
std::string ClockFormatName(ClockFormat format);
bool IsClockFormatName(const std::string& text);

// The roles read as times, the only ones for which a clock format matters.
bool IsClockLikeRole(const std::string& role);

// count (at least 1) equal digit slots across the picture.
DigitLayout EqualDigitLayout(int32_t width, int32_t height, int32_t count);

// Two digits, a separator centred on the hint (clamped to 30..70 % of the width), two digits.
DigitLayout AutoClockLayout(int32_t width, int32_t height, std::optional<double> separator_hint);

// One digit, a separator at a third of the width, two digits.
DigitLayout MinuteSecondsLayout(int32_t width, int32_t height);

// The layout for a zone picture of the given size read in the given role.
DigitLayout BuildDigitLayout(const std::string& role, int32_t width, int32_t height,
                             std::optional<double> separator_hint, ClockFormat format);

}  // namespace tessvark
