#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "ocr/clock_layout.h"
#include "ocr/digit_layout.h"
#include "ocr/digit_recognition.h"
#include "ocr/ink_layout.h"
#include "ocr/zone_preprocessing.h"

namespace tessvark {

// The reading of one slot, or the separator entry that the clock reader inserts.
struct SlotReading {
  std::string kind;  // "digit" or "separator"
  std::optional<int32_t> digit;
  std::optional<std::string> separator_text;  // only on the separator entry
  std::string status;  // "digit", "empty", "unknown"; "separator" or "unknown" on the separator
  std::string reason;  // why an "unknown" is no digit, where the recognizer knows (see DigitResult)
  bool scored = false;  // the segments were sampled (the DigitResult flag of the same name)
  SegmentValues coverage{};
  SegmentValues scores{};
};

// One reading of one scoreboard field. has_value always equals ok.
struct ReaderResult {
  bool ok = false;
  bool numeric = false;
  int32_t number = 0;
  std::string text;  // set by the clock and shot-clock readers
  bool has_value = false;
  // "ok", "raw", "no_frame", "layout", "unrecognized", "missing_units", ...; where the reader can
  // say why no digit or value can be right: "all_ink" (solid ink, no digit), "not_a_time" (seconds
  // of 60 or more) or "separator_unclear" (a colon and a point the ink does not tell apart).
  std::string status;
  std::vector<SlotReading> slots;
  std::optional<std::string> separator;
  std::optional<std::string> mode;  // "minutes" or "tenths"
  std::optional<double> separator_x;
  cv::Mat image;  // the prepared picture, kept for display
};

// Recognises every digit slot of the layout in order; separator slots give nothing.
std::vector<SlotReading> RecognizeSlots(const cv::Mat& prepared, const DigitLayout& layout);
// The digit slots of a layout placed on the ink, each digit read in its cell where the ink showed
// one, against the picture's grey levels where they are known.
std::vector<SlotReading> RecognizeSlots(const InkLayout& layout);
SlotReading ToSlotReading(const DigitResult& result);

// The texts of readings [first, end): a digit's decimal text, "" for an empty slot; any other
// reading makes the whole result absent. The walk stops at the end of the list.
std::optional<std::vector<std::string>> DigitTexts(const std::vector<SlotReading>& readings, size_t first,
                                                   size_t end);
std::string ConcatTexts(const std::vector<std::string>& texts);
std::string TrimLeadingSpace(const std::string& text);
ReaderResult NoFrameReading();

// The layout a reader reads a zone picture in: the prepared picture (upright where its characters
// lean) and the slots placed on it, as the readers place them. No slots for an empty picture.
InkLayout ReadingLayout(const cv::Mat& zone_image, const std::string& role,
                        const std::optional<ZoneProcessing>& processing, ClockFormat format);

// Clock-layout detection on a zone's colour crop as the readers see it: inverted when the zone's
// invert option is set.
ClockLayoutDetection DetectZoneClockLayout(const cv::Mat& zone_image, const std::optional<ZoneProcessing>& processing);

// The readers never throw for a bad picture; every outcome is a status word. OpenCV errors
// raised inside preparation pass to the caller.
ReaderResult ReadClock(const cv::Mat& zone_image, const std::string& role,
                       const std::optional<ZoneProcessing>& processing, ClockFormat format);
ReaderResult ReadPeriod(const cv::Mat& zone_image, const std::optional<ZoneProcessing>& processing);
ReaderResult ReadNumber(const cv::Mat& zone_image, const std::string& role,
                        const std::optional<ZoneProcessing>& processing);
ReaderResult ReadShotClock(const cv::Mat& zone_image, const std::optional<ZoneProcessing>& processing);
ReaderResult ReadCount(const cv::Mat& zone_image, const std::string& role,
                       const std::optional<ZoneProcessing>& processing);

}  // namespace tessvark
