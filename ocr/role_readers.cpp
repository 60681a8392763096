#include "ocr/role_readers.h"

#include <algorithm>
#include <cctype>

#include "core/agent_roles.h"
#include "ocr/clock_layout.h"

namespace tessvark {
namespace {

InkLayout PlaceSlots(const PreparedZone& prepared, const std::string& role, const ClockLayoutDetection& detection,
                     ClockFormat format) {
  std::optional<double> hint;
  std::optional<std::string> separator;
  if (detection.detected) {
    hint = detection.separator_x;
    separator = detection.separator;
  }
  return PlaceDigitSlots(prepared, role, hint, separator, format);
}

// The zone's edge is the board around its digits, which is no ink where the processing fits the
// picture; a light board read with a dark board's threshold, or glass dimmed under a fixed one,
// turns it to ink nearly all round.
constexpr double kAllInkFrame = 0.85;

bool FrameIsAllInk(const cv::Mat& binary) {
  if (binary.rows < 4 || binary.cols < 4) return false;
  const int32_t ring = std::max(1, binary.rows / 16);
  const int32_t inner = cv::countNonZero(binary(cv::Range(ring, binary.rows - ring), cv::Range(ring, binary.cols - ring)));
  const double frame_pixels = static_cast<double>(binary.total()) - (binary.rows - 2 * ring) * (binary.cols - 2 * ring);
  return cv::countNonZero(binary) - inner >= kAllInkFrame * frame_pixels;
}

bool IsDigitReading(const SlotReading& reading) {
  return reading.status == "digit" && reading.digit.has_value();
}

// Prepares the picture, places the slots on its ink and recognises them. False when there is
// nothing to read; the result then already is the no-frame reading.
bool PrepareAndRecognize(const cv::Mat& zone_image, const std::string& role,
                         const std::optional<ZoneProcessing>& processing, const ClockLayoutDetection& detection,
                         ClockFormat format, ReaderResult& result, InkLayout* layout = nullptr) {
  if (zone_image.empty()) {
    result = NoFrameReading();
    return false;
  }
  PreparedZone prepared = PrepareZone(zone_image, ProcessingForReader(processing));
  result.image = prepared.binary;
  if (result.image.empty()) {
    result = NoFrameReading();
    return false;
  }
  InkLayout placed = PlaceSlots(prepared, role, detection, format);
  result.slots = RecognizeSlots(placed);
  if (FrameIsAllInk(prepared.binary)) {
    // The board around the digits came out as ink: whatever the slots sampled is no digit.
    for (SlotReading& slot : result.slots) {
      slot.digit.reset();
      slot.status = "unknown";
      slot.reason = "all_ink";
    }
  }
  if (layout != nullptr) *layout = std::move(placed);
  return true;
}

void SetNumber(ReaderResult& result, int32_t number) {
  result.ok = true;
  result.numeric = true;
  result.has_value = true;
  result.number = number;
  result.status = "ok";
}

// The common start of the two-digit readers. False when the result is already final: no
// picture, not two slots, or no units digit.
bool ReadTensAndUnits(const cv::Mat& zone_image, const std::string& role,
                      const std::optional<ZoneProcessing>& processing, ReaderResult& result) {
  if (!PrepareAndRecognize(zone_image, role, processing, {}, ClockFormat::Auto, result)) return false;
  if (result.slots.size() != 2) {
    result.status = "layout";
    return false;
  }
  if (!IsDigitReading(result.slots[1])) {
    result.status = "missing_units";
    return false;
  }
  return true;
}


SlotReading SeparatorEntry(const std::string& text, const std::string& status) {
  SlotReading entry;
  entry.kind = "separator";
  entry.separator_text = text;
  entry.status = status;
  return entry;
}

// The seconds of a clock text: the two digits after its colon, or the digits before its point.
int32_t SecondsOf(const std::string& text) {
  const size_t colon = text.find(':');
  const std::string seconds = colon != std::string::npos ? text.substr(colon + 1) : text.substr(0, text.find('.'));
  int32_t value = 0;
  for (char c : seconds) {
    if (c >= '0' && c <= '9') value = value * 10 + (c - '0');
  }
  return value;
}

void AppendReadings(std::vector<SlotReading>& out, const std::vector<SlotReading>& readings, size_t first,
                    size_t end) {
  for (size_t i = first; i < end && i < readings.size(); ++i) out.push_back(readings[i]);
}

// A reading without a value says why where a slot knows that it holds no digit at all, in
// place of the reader's word for a digit it could not tell.
void ExplainMissingValue(ReaderResult& result) {
  if (result.ok || result.status == "no_frame" || result.status == "layout") return;
  for (const SlotReading& slot : result.slots) {
    if (!slot.reason.empty()) {
      result.status = slot.reason;
      return;
    }
  }
}

}  // namespace

SlotReading ToSlotReading(const DigitResult& result) {
  SlotReading reading;
  reading.kind = "digit";
  reading.digit = result.digit;
  reading.status = result.status;
  reading.reason = result.reason;
  reading.scored = result.scored;
  reading.coverage = result.coverage;
  reading.scores = result.scores;
  return reading;
}

std::vector<SlotReading> RecognizeSlots(const cv::Mat& prepared, const DigitLayout& layout) {
  InkLayout fixed;
  fixed.picture = prepared;
  fixed.slots = layout;
  return RecognizeSlots(fixed);
}

std::vector<SlotReading> RecognizeSlots(const InkLayout& layout) {
  std::vector<SlotReading> readings;
  for (const DigitSlot& slot : layout.slots) {
    if (slot.kind != "digit") continue;
    const size_t index = readings.size();
    const std::optional<DigitCell> cell = index < layout.cells.size() ? layout.cells[index] : std::nullopt;
    readings.push_back(ToSlotReading(RecognizeDigit(layout.picture, slot, cell, layout.levels, layout.ink_from)));
  }
  return readings;
}

std::optional<std::vector<std::string>> DigitTexts(const std::vector<SlotReading>& readings, size_t first,
                                                   size_t end) {
  std::vector<std::string> texts;
  for (size_t i = first; i < end && i < readings.size(); ++i) {
    const SlotReading& reading = readings[i];
    if (IsDigitReading(reading)) {
      texts.push_back(std::to_string(*reading.digit));
    } else if (reading.status == "empty") {
      texts.emplace_back();
    } else {
      return std::nullopt;
    }
  }
  return texts;
}

std::string ConcatTexts(const std::vector<std::string>& texts) {
  std::string joined;
  for (const std::string& text : texts) joined += text;
  return joined;
}

std::string TrimLeadingSpace(const std::string& text) {
  size_t first = 0;
  while (first < text.size() && std::isspace(static_cast<unsigned char>(text[first]))) ++first;
  return text.substr(first);
}

ReaderResult NoFrameReading() {
  ReaderResult result;
  result.status = "no_frame";
  return result;
}

ReaderResult ReadPeriod(const cv::Mat& zone_image, const std::optional<ZoneProcessing>& processing) {
  ReaderResult result;
  if (!PrepareAndRecognize(zone_image, "period", processing, {}, ClockFormat::Auto, result)) {
    return result;
  }
  if (result.slots.empty()) {
    result.status = "layout";
  } else if (IsDigitReading(result.slots[0])) {
    SetNumber(result, *result.slots[0].digit);
  } else {
    result.status = result.slots[0].status;
  }
  ExplainMissingValue(result);
  return result;
}

ReaderResult ReadNumber(const cv::Mat& zone_image, const std::string& role,
                        const std::optional<ZoneProcessing>& processing) {
  ReaderResult result;
  if (ReadTensAndUnits(zone_image, role.empty() ? "home_score" : role, processing, result)) {
    const SlotReading& tens = result.slots[0];
    const SlotReading& units = result.slots[1];
    if (tens.status == "empty") {
      SetNumber(result, *units.digit);  // a blank tens digit reads as a one-digit number
    } else if (IsDigitReading(tens)) {
      SetNumber(result, *tens.digit * 10 + *units.digit);
    } else {
      result.status = "unrecognized";
    }
  }
  ExplainMissingValue(result);
  return result;
}

ReaderResult ReadShotClock(const cv::Mat& zone_image, const std::optional<ZoneProcessing>& processing) {
  ReaderResult result;
  if (ReadTensAndUnits(zone_image, "shot_clock", processing, result)) {
    const SlotReading& tens = result.slots[0];
    const SlotReading& units = result.slots[1];
    auto single_digit = [](const SlotReading& r) { return IsDigitReading(r) && *r.digit >= 0 && *r.digit <= 9; };
    if (!single_digit(tens) || !single_digit(units)) {
      // A shot clock always shows two digits; a blank tens slot is not a reading.
      result.status = "unrecognized";
    } else {
      SetNumber(result, *tens.digit * 10 + *units.digit);
      result.text = std::to_string(*tens.digit) + std::to_string(*units.digit);
    }
  }
  ExplainMissingValue(result);
  return result;
}

ReaderResult ReadCount(const cv::Mat& zone_image, const std::string& role,
                       const std::optional<ZoneProcessing>& processing) {
  ReaderResult result;
  const AgentRole* row = FindAgentRole(role);
  if (row == nullptr || row->reader != RoleReader::kCount) {
    result.status = "layout";
    return result;
  }
  InkLayout layout;
  if (!PrepareAndRecognize(zone_image, role, processing, {}, ClockFormat::Auto, result, &layout)) {
    return result;
  }
  if (layout.slots.size() != 1 || layout.slots[0].kind != "digit" || result.slots.empty()) {
    result.status = "layout";
    return result;
  }
  const SlotReading& reading = result.slots[0];
  if (IsDigitReading(reading) && *reading.digit >= 0 && *reading.digit <= 9) {
    SetNumber(result, *reading.digit);
  } else {
    result.status = reading.status;
  }
  ExplainMissingValue(result);
  return result;
}

InkLayout ReadingLayout(const cv::Mat& zone_image, const std::string& role,
                        const std::optional<ZoneProcessing>& processing, ClockFormat format) {
  ClockLayoutDetection detection;
  const bool clock = IsClockLikeRole(role);
  if (clock && format != ClockFormat::MinutesSeconds) detection = DetectZoneClockLayout(zone_image, processing);
  const PreparedZone prepared = PrepareZone(zone_image, ProcessingForReader(processing));
  if (prepared.binary.empty()) return InkLayout{};
  return PlaceSlots(prepared, role, detection, clock ? format : ClockFormat::Auto);
}

ClockLayoutDetection DetectZoneClockLayout(const cv::Mat& zone_image, const std::optional<ZoneProcessing>& processing) {
  // The separator is looked for on the colour crop: the prepared picture has lost the brightness
  // that tells a lit mark from the board. Dark digits on a light board are lit marks only once
  // inverted, as the readers see them; otherwise the board around a dark point passes for a colon.
  if (!processing || !processing->invert || zone_image.empty()) return DetectClockLayout(zone_image);
  cv::Mat inverted;
  cv::bitwise_not(zone_image, inverted);
  return DetectClockLayout(inverted);
}

ReaderResult ReadClock(const cv::Mat& zone_image, const std::string& role,
                       const std::optional<ZoneProcessing>& processing, ClockFormat format) {
  if (zone_image.empty()) return NoFrameReading();
  const std::string layout_role = role.empty() ? "clock" : role;
  const bool minutes_seconds = format == ClockFormat::MinutesSeconds;
  const bool fixed_format = minutes_seconds || format == ClockFormat::TwoDigitMinutesSeconds;

  ClockLayoutDetection detection;
  if (!minutes_seconds) detection = DetectZoneClockLayout(zone_image, processing);

  ReaderResult result;
  InkLayout layout;
  if (!PrepareAndRecognize(zone_image, layout_role, processing, detection, format, result, &layout)) return result;
  // The separator the ink shows both marks of (or the one mark of a point) stands over what
  // detection found in its narrow strip: a colon's lower mark alone passes there for a point.
  std::string separator = ":";
  const bool separator_known = detection.detected || layout.separator.has_value();
  if (detection.detected) result.separator_x = detection.separator_x;
  if (fixed_format) {
    result.separator = ":";
    result.mode = "minutes";
  } else if (layout.separator) {
    separator = *layout.separator;
    result.separator = separator;
    result.mode = separator == ":" ? "minutes" : "tenths";
    if (!detection.detected) result.separator_x = layout.separator_x;
  } else if (detection.detected) {
    separator = detection.separator;
    result.separator = detection.separator;
    result.mode = detection.mode;
  }

  const std::vector<SlotReading> readings = std::move(result.slots);
  const size_t n = readings.size();
  result.slots.clear();
  bool separator_unclear = layout.separator_in_doubt;

  if (minutes_seconds) {
    const auto minutes = DigitTexts(readings, 0, n > 0 ? 1 : 0);
    const auto seconds = DigitTexts(readings, 1, std::min<size_t>(n, 3));
    if (minutes && seconds) {
      const std::string m = ConcatTexts(*minutes);
      const std::string s = ConcatTexts(*seconds);
      if (!m.empty() && !s.empty()) {
        result.text = m + ":" + s;
        result.ok = true;
      }
    }
    AppendReadings(result.slots, readings, 0, 1);
    result.slots.push_back(SeparatorEntry(":", "separator"));
    AppendReadings(result.slots, readings, 1, 3);
  } else {
    const auto left = DigitTexts(readings, 0, std::min<size_t>(n, 2));
    if (separator == ".") {
      const auto right = DigitTexts(readings, 2, std::min<size_t>(n, 3));
      if (left && right) {
        const std::string l = TrimLeadingSpace(ConcatTexts(*left));
        const std::string r = right->empty() ? std::string() : right->front();
        if (!l.empty() && !r.empty()) {
          result.text = l + "." + r;
          result.ok = true;
        }
      }
    } else {
      const auto right = DigitTexts(readings, 2, std::min<size_t>(n, 4));
      if (left && right) {
        const std::string l = TrimLeadingSpace(ConcatTexts(*left));
        const std::string r = ConcatTexts(*right);
        if (r.size() == 1 && !fixed_format && detection.detected && detection.separator == ".") {
          // A colon before a single digit where detection saw a point: a slanted tenths point
          // that the ink showed as a colon as well may be either.
          separator_unclear = true;
        } else if (!l.empty() && !r.empty()) {
          result.text = l + ":" + r;
          result.ok = true;
        }
      }
    }
    AppendReadings(result.slots, readings, 0, 2);
    result.slots.push_back(SeparatorEntry(separator, separator_known ? "separator" : "unknown"));
    AppendReadings(result.slots, readings, 2, 4);
  }
  // Seconds run from 00 to 59: 60 or more is a misreading (solid ink, ghosts read as lit).
  const bool not_a_time = result.ok && SecondsOf(result.text) >= 60;
  if (separator_unclear || not_a_time) {
    result.ok = false;
    result.text.clear();
  }
  result.has_value = result.ok;
  result.status = result.ok ? "raw" : separator_unclear ? "separator_unclear" : not_a_time ? "not_a_time" : "unrecognized";
  ExplainMissingValue(result);
  return result;
}

}  // namespace tessvark
