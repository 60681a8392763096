#include "ocr/digit_layout.h"

#include <algorithm>

#include "core/agent_roles.h"
#include "ocr/zone_geometry.h"

namespace tessvark {
namespace {

DigitSlot MakeSlot(const char* kind, std::optional<int32_t> digit_index, double left, double right,
                   int32_t height) {
  DigitSlot slot;
  slot.kind = kind;
  slot.digit_index = digit_index;
  slot.left = RoundHalfEven(left);
  slot.right = RoundHalfEven(right);
  slot.top = 0;
  slot.bottom = height - 1;
  return slot;
}

struct SeparatorSpan {
  double left = 0.0;
  double right = 0.0;
  double right_middle = 0.0;  // where the right part splits into its two digits
};

SeparatorSpan SpanAround(double centre, double w) {
  const double half_width = std::max(w * 0.055, 4.0) * 0.5;
  SeparatorSpan span;
  span.left = std::max(centre - half_width, 1.0);
  span.right = std::min(centre + half_width, w - 2.0);
  span.right_middle = (w - span.right) * 0.5 + span.right;
  return span;
}

// The layout of the role's row; one digit for a role the table does not know.
RoleLayout LayoutOf(const std::string& role) {
  const AgentRole* row = FindAgentRole(role);
  return row != nullptr ? row->layout : RoleLayout::kOneDigit;
}

}  // namespace

ClockFormat ParseClockFormat(const std::string& text) {
  if (text == "m:ss") return ClockFormat::MinutesSeconds;
  if (text == "mm:ss") return ClockFormat::TwoDigitMinutesSeconds;
  return ClockFormat::Auto;
}

std::string ClockFormatName(ClockFormat format) {
  switch (format) {
    case ClockFormat::MinutesSeconds:
      return "m:ss";
    case ClockFormat::TwoDigitMinutesSeconds:
      return "mm:ss";
    default:
      return "auto";
  }
}

bool IsClockFormatName(const std::string& text) {
  return text == "auto" || text == "m:ss" || text == "mm:ss";
}

bool IsClockLikeRole(const std::string& role) { return LayoutOf(role) == RoleLayout::kClock; }

DigitLayout EqualDigitLayout(int32_t width, int32_t height, int32_t count) {
  const double w = std::max(width, 1);
  const int32_t h = std::max(height, 1);
  const int32_t n = std::max(count, 1);
  DigitLayout layout;
  for (int32_t i = 0; i < n; ++i) {
    layout.push_back(MakeSlot("digit", i, i * w / n, (i + 1) * w / n - 1.0, h));
  }
  return layout;
}

DigitLayout AutoClockLayout(int32_t width, int32_t height, std::optional<double> separator_hint) {
  const double w = std::max(width, 1);
  const int32_t h = std::max(height, 1);
  double centre = separator_hint.value_or(w * 0.5);
  centre = std::min(centre, w * 0.7);
  centre = std::max(centre, w * 0.3);
  const SeparatorSpan s = SpanAround(centre, w);
  return {MakeSlot("digit", 0, 0.0, s.left * 0.5 - 1.0, h),
          MakeSlot("digit", 1, s.left * 0.5, s.left - 1.0, h),
          MakeSlot("separator", std::nullopt, s.left, s.right - 1.0, h),
          MakeSlot("digit", 2, s.right, s.right_middle - 1.0, h),
          MakeSlot("digit", 3, s.right_middle, w - 1.0, h)};
}

DigitLayout MinuteSecondsLayout(int32_t width, int32_t height) {
  const double w = std::max(width, 1);
  const int32_t h = std::max(height, 1);
  const SeparatorSpan s = SpanAround(w / 3.0, w);
  return {MakeSlot("digit", 0, 0.0, s.left - 1.0, h),
          MakeSlot("separator", std::nullopt, s.left, s.right - 1.0, h),
          MakeSlot("digit", 1, s.right, s.right_middle - 1.0, h),
          MakeSlot("digit", 2, s.right_middle, w - 1.0, h)};
}

DigitLayout BuildDigitLayout(const std::string& role, int32_t width, int32_t height,
                             std::optional<double> separator_hint, ClockFormat format) {
  switch (LayoutOf(role)) {
    case RoleLayout::kTwoDigits:
      return EqualDigitLayout(width, height, 2);
    case RoleLayout::kClock:
      if (format == ClockFormat::MinutesSeconds) return MinuteSecondsLayout(width, height);
      return AutoClockLayout(width, height, separator_hint);
    case RoleLayout::kOneDigit:
      break;
  }
  return EqualDigitLayout(width, height, 1);
}

}  // namespace tessvark
