#include "ocr/digit_recognition.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include <opencv2/imgproc.hpp>

#include "ocr/level_counts.h"
#include "ocr/zone_geometry.h"

namespace tessvark {
namespace {

// A mark at most this share of a box's height in both directions may be one LED of a dotted
// segment; at least kLeastDots of them make a dotted digit (a 1 of three LEDs per segment).
constexpr double kDotShare = 0.25;
constexpr size_t kLeastDots = 6;
// Gaps between LEDs up to this many times their usual gap are closed.
constexpr double kDotGapSlack = 1.3;
// An unlit segment at least this share of the way from the board's grey to the lit segments' is
// nearly lit; the digits' lit and unlit parts must differ by kLeastContrast levels for it to tell.
constexpr double kNearlyLit = 0.6;
constexpr double kLeastContrast = 20.0;
// A slot with no digit's ink holds one all the same when as many pixels as the emptiness test
// allows ink lie below the ink level but past this share of the way to it from the board's level
// (ghosts of unlit segments stay well below).
constexpr double kNearlyInk = 0.8;
constexpr double kEmptyInkShare = 0.024;
// Nearly lit rows above or below a digit's box count as its own up to this share of its height.
constexpr double kNearlyLitReach = 0.4;
// Two digits whose patterns score closer than this fit the segments alike.
constexpr double kTieMargin = 0.01;
// A box narrower than this share of its height cannot hold the seven windows of a whole digit.
constexpr double kNarrowBoxShare = 0.3;
// Gaps along a stroke up to this share of its height are closed before its pieces are counted.
constexpr double kStrokeGapShare = 0.08;
// A box at least this share of its height wide may hold a whole digit and its counters; a
// narrower one may be a fat 1's.
constexpr double kWholeDigitBoxShare = 0.45;
// A counter whose window is inked over at least this share is filled: a digit's counters stay
// dark but for noise and the blur of thin faces.
constexpr double kFilledCounter = 0.9;
// A piece of ink at a side of the slot at most this share of the slot wide may be a neighbour's.
constexpr double kEdgePieceShare = 0.2;
// Faint ink that reaches over this share of the slot's height is what a dim frame left of a digit.
constexpr double kFaintDigitSpanShare = 0.4;

double Clamp01(double value) {
  if (!(value > 0.0)) return 0.0;  // also NaN
  return std::min(value, 1.0);
}

// Groups the indices where keep() holds into runs of consecutive indices.
template <typename Predicate>
std::vector<IndexRun> RunsWhere(size_t count, Predicate keep) {
  std::vector<IndexRun> runs;
  for (size_t i = 0; i < count; ++i) {
    if (!keep(i)) continue;
    const int32_t index = static_cast<int32_t>(i);
    if (!runs.empty() && runs.back().end == index - 1) {
      runs.back().end = index;
    } else {
      runs.push_back(IndexRun{index, index});
    }
  }
  return runs;
}

std::vector<IndexRun> StrongRuns(const std::vector<uint64_t>& profile) {
  uint64_t peak = 0;
  for (uint64_t value : profile) peak = std::max(peak, value);
  const double limit = std::max(0.2 * static_cast<double>(peak), 2.0);
  return RunsWhere(profile.size(), [&](size_t i) { return static_cast<double>(profile[i]) >= limit; });
}

// The longest run of ink pixels in a row of length n (leftmost when tied).
std::optional<IndexRun> LongestRowRun(const uchar* row, int32_t n) {
  std::optional<IndexRun> best;
  int32_t start = -1;
  for (int32_t x = 0; x <= n; ++x) {
    const bool ink = x < n && row[x] != 0;
    if (ink && start < 0) start = x;
    if (!ink && start >= 0) {
      const IndexRun run{start, x - 1};
      if (!best || run.Length() > best->Length()) best = run;
      start = -1;
    }
  }
  return best;
}

struct Window {
  int32_t x0 = 0;
  int32_t y0 = 0;
  int32_t x1 = 0;
  int32_t y1 = 0;
  bool Empty() const { return x1 <= x0 || y1 <= y0; }
};

Window SampleWindow(const cv::Mat& mask, double x0, double y0, double x1, double y1) {
  auto clamp_to = [](int32_t value, int32_t limit) { return std::max(std::min(value, limit), 0); };
  return Window{clamp_to(RoundHalfEven(x0), mask.cols), clamp_to(RoundHalfEven(y0), mask.rows),
                clamp_to(RoundHalfEven(x1), mask.cols), clamp_to(RoundHalfEven(y1), mask.rows)};
}

DigitResult EmptyResult(double confidence) {
  DigitResult result;
  result.status = "empty";
  result.confidence = confidence;
  return result;
}

// Exact |x| * 1000 rounded half to even, from the significand in integer arithmetic.
double RoundOneToThousandths(double x) {
  if (x == 0.0 || !std::isfinite(x)) return x;
  const double magnitude = std::abs(x);
  // From 2^52 on every double is an integer, and so is its product with 1000.
  if (magnitude >= 4503599627370496.0) return x;
  int exponent = 0;
  const double fraction = std::frexp(magnitude, &exponent);  // magnitude = fraction * 2^exponent
  const auto significand = static_cast<uint64_t>(std::ldexp(fraction, 53));
  const int shift = 53 - exponent;  // magnitude = significand / 2^shift, shift > 0 here
  const unsigned __int128 product = static_cast<unsigned __int128>(significand) * 1000u;
  uint64_t k = 0;
  if (shift < 100) {
    const unsigned __int128 one = 1;
    const unsigned __int128 quotient = product >> shift;
    const unsigned __int128 remainder = product & ((one << shift) - 1);
    const unsigned __int128 half = one << (shift - 1);
    k = static_cast<uint64_t>(quotient);
    if (remainder > half || (remainder == half && (k & 1u) != 0)) ++k;
  }
  const double rounded = static_cast<double>(k) / 1000.0;
  return x < 0.0 ? -rounded : rounded;
}

// Ink at a side of the slot that stands apart from the rest, thin against it, is the colon's dots
// or the neighbouring digit's edge reaching into the slot: its columns are left out. True when a
// piece was left out.
bool DropEdgeColumnPieces(std::vector<uint64_t>& columns) {
  const int32_t w = static_cast<int32_t>(columns.size());
  const std::vector<IndexRun> pieces = RunsWhere(columns.size(), [&](size_t i) { return columns[i] >= 2; });
  if (pieces.size() < 2) return false;
  auto widest_other = [&](size_t skip) {
    int32_t widest = 0;
    for (size_t i = 0; i < pieces.size(); ++i) {
      if (i != skip) widest = std::max(widest, pieces[i].Length());
    }
    return widest;
  };
  bool dropped = false;
  auto drop_if_apart = [&](size_t index, int32_t edge) {
    const IndexRun& run = pieces[index];
    if ((run.start != edge && run.end != edge) || run.Length() > kEdgePieceShare * w ||
        2 * run.Length() > widest_other(index)) {
      return;
    }
    for (int32_t x = run.start; x <= run.end; ++x) columns[x] = 0;
    dropped = true;
  };
  drop_if_apart(0, 0);
  drop_if_apart(pieces.size() - 1, w - 1);
  return dropped;
}

struct SegmentWindow {
  double x0, y0, x1, y1;
};

// The seven sampling windows of an h by w box, in segment order.
std::array<SegmentWindow, 7> SegmentWindows(double h, double w) {
  const double th = std::max(0.11 * h, 2.0);
  const double tw = std::max(0.2 * w, 2.0);
  return {{
      {0.25 * w, 0.0, 0.75 * w, th},
      {w - tw, 0.15 * h, w, 0.42 * h},
      {w - tw, 0.58 * h, w, 0.85 * h},
      {0.25 * w, 0.98 * h - th, 0.75 * w, 0.98 * h},
      {0.0, 0.58 * h, tw, 0.85 * h},
      {0.0, 0.15 * h, tw, 0.42 * h},
      {0.25 * w, 0.5 * h - th / 2.0, 0.75 * w, 0.5 * h + th / 2.0},
  }};
}

// Fills, column by column, runs of at most gap empty pixels between two ink pixels.
cv::Mat CloseVertically(const cv::Mat& mask, int32_t gap) {
  cv::Mat closed = mask.clone();
  for (int32_t x = 0; x < closed.cols; ++x) {
    int32_t last_ink = -1;
    for (int32_t y = 0; y < closed.rows; ++y) {
      if (closed.ptr<uchar>(y)[x] == 0) continue;
      if (last_ink >= 0 && y - last_ink - 1 <= gap) {
        for (int32_t fill = last_ink + 1; fill < y; ++fill) closed.ptr<uchar>(fill)[x] = 1;
      }
      last_ink = y;
    }
  }
  return closed;
}

bool IsSideSegment(size_t segment) { return segment == 1 || segment == 2 || segment == 4 || segment == 5; }

// The rows, as shares of a box's height, about the middle of the upper and the lower side
// segments: clear of the bars even where they are a fifth of the height thick.
constexpr std::pair<double, double> kUpperCore{0.24, 0.38};
constexpr std::pair<double, double> kLowerCore{0.62, 0.76};

// The pattern of a digit drawn in one of its forms, or none.
const DigitPattern* PatternOf(int32_t digit, int32_t variant) {
  for (const DigitPattern& p : DigitPatterns()) {
    if (p.digit == digit && p.variant == variant) return &p;
  }
  return nullptr;
}

// The box with the gaps between its LEDs closed along their segments; the box as it is without
// LEDs.
cv::Mat CloseLedGaps(const cv::Mat& box_image, const std::vector<cv::Rect>& dots) {
  if (dots.empty()) return box_image;
  // The usual gap between an LED and its nearest neighbour, which lies along its segment; a
  // digit's inside is wider and stays open.
  std::vector<int32_t> gaps;
  for (size_t i = 0; i < dots.size(); ++i) {
    int32_t nearest = -1;
    for (size_t j = 0; j < dots.size(); ++j) {
      if (i == j) continue;
      const cv::Rect& a = dots[i];
      const cv::Rect& b = dots[j];
      const int32_t dx = std::max({b.x - (a.x + a.width), a.x - (b.x + b.width), 0});
      const int32_t dy = std::max({b.y - (a.y + a.height), a.y - (b.y + b.height), 0});
      const int32_t gap = std::max(dx, dy);
      if (nearest < 0 || gap < nearest) nearest = gap;
    }
    gaps.push_back(nearest);
  }
  std::nth_element(gaps.begin(), gaps.begin() + static_cast<std::ptrdiff_t>(gaps.size() / 2), gaps.end());
  const int32_t gap = RoundHalfEven(kDotGapSlack * gaps[gaps.size() / 2]);
  if (gap < 1) return box_image;
  cv::Mat closed = CloseVertically(box_image, gap);
  cv::Mat turned;
  cv::transpose(closed, turned);
  cv::transpose(CloseVertically(turned, gap), closed);
  return closed;
}

// Which segments hold an LED: one whose centre lies in the segment's window. Sparse LEDs fill too
// little of a bar's row for it to sample as a bar.
SegmentValues SegmentsHoldingLeds(const std::vector<cv::Rect>& dots, double h, double w) {
  SegmentValues held{};
  const std::array<SegmentWindow, 7> windows = SegmentWindows(h, w);
  for (const cv::Rect& dot : dots) {
    const double x = dot.x + (dot.width - 1) / 2.0;
    const double y = dot.y + (dot.height - 1) / 2.0;
    for (size_t i = 0; i < 7; ++i) {
      const SegmentWindow& r = windows[i];
      if (x >= r.x0 && x < r.x1 && y >= r.y0 && y < r.y1) held[i] = 1.0;
    }
  }
  return held;
}

}  // namespace

std::optional<int32_t> ConfirmDigit(const cv::Mat& box_image, int32_t digit, int32_t variant) {
  const cv::Mat& b = box_image;
  if (b.rows < 8 || b.cols < 5) return digit;
  const DigitPattern* pattern = PatternOf(digit, variant);
  if (pattern == nullptr) return digit;
  const double h = b.rows;
  const double w = b.cols;
  const std::array<SegmentWindow, 7> windows = SegmentWindows(h, w);
  auto any_ink = [&](const Window& win) {
    for (int32_t y = win.y0; y < win.y1; ++y) {
      const uchar* row = b.ptr<uchar>(y);
      if (std::any_of(row + win.x0, row + win.x1, [](uchar v) { return v != 0; })) return true;
    }
    return false;
  };
  std::array<bool, 7> lit = pattern->lit;
  bool changed = false;
  for (size_t i = 0; i < 7; ++i) {
    if (!pattern->lit[i]) continue;
    const SegmentWindow& r = windows[i];
    bool own_ink = true;
    if (IsSideSegment(i)) {
      // The rows about the middle of the segment, which neither bar beside it reaches.
      const bool upper = i == 1 || i == 5;
      const double y0 = upper ? kUpperCore.first * h : kLowerCore.first * h;
      const double y1 = upper ? kUpperCore.second * h : kLowerCore.second * h;
      own_ink = any_ink(SampleWindow(b, r.x0, y0, r.x1, y1));
    } else {
      // A bar stands out of the side strokes: some of its columns hold no ink about the middle of
      // the side segments beside it. A fat stroke reaching into the bar's window holds ink there.
      const Window bar = SampleWindow(b, r.x0, r.y0, r.x1, r.y1);
      const Window upper = SampleWindow(b, 0.0, kUpperCore.first * h, w, kUpperCore.second * h);
      const Window lower = SampleWindow(b, 0.0, kLowerCore.first * h, w, kLowerCore.second * h);
      // Ink in a column over some rows: any of them, or (a side stroke, not a bar's edge) most.
      auto column_ink = [&](const Window& rows, int32_t x, bool most) {
        int32_t inked = 0;
        for (int32_t y = rows.y0; y < rows.y1; ++y) inked += b.ptr<uchar>(y)[x] != 0 ? 1 : 0;
        return most ? 2 * inked > rows.y1 - rows.y0 : inked > 0;
      };
      int32_t own_columns = 0;
      for (int32_t x = bar.x0; x < bar.x1; ++x) {
        if (!column_ink(bar, x, false)) continue;
        const bool above = i != 0 && column_ink(upper, x, true);  // g and d have a side segment above
        const bool below = i != 3 && column_ink(lower, x, true);  // a and g have one below
        own_columns += (i == 6 ? !(above && below) : !(above || below)) ? 1 : 0;
      }
      own_ink = own_columns > 0;
    }
    if (!own_ink) {
      lit[i] = false;
      changed = true;
    }
  }
  if (!changed) return digit;
  // Without the segments its neighbours lit, the digit is another one, or it stands as it was
  // read when no digit lights just the rest.
  for (const DigitPattern& other : DigitPatterns()) {
    if (other.lit == lit) return other.digit;
  }
  return digit;
}

bool HoldsNearlyLitDigit(const cv::Mat& levels, int32_t ink_from) {
  if (levels.empty()) return false;
  LevelCounts histogram;
  for (int32_t y = 0; y < levels.rows; ++y) {
    const uchar* row = levels.ptr<uchar>(y);
    for (int32_t x = 0; x < levels.cols; ++x) histogram.Add(row[x]);
  }
  const double board = histogram.LevelAt(histogram.total / 2);
  if (ink_from - board < kLeastContrast) return false;
  const double nearly_ink = board + kNearlyInk * (ink_from - board);
  uint32_t nearly = 0;
  for (int level = 0; level < std::min(ink_from, 256); ++level) {
    if (level >= nearly_ink) nearly += histogram.counts[level];
  }
  return nearly >= kEmptyInkShare * static_cast<double>(histogram.total);
}

bool UnlitSegmentsStayDark(const cv::Mat& mask, const cv::Mat& levels, const DigitBox& box, int32_t digit,
                           int32_t variant) {
  if (box.image.empty() || mask.size() != levels.size()) return true;
  const DigitPattern* pattern = PatternOf(digit, variant);
  if (pattern == nullptr) return true;
  const cv::Range columns(box.left, box.right + 1);
  LevelCounts lit;
  LevelCounts dark;
  for (int32_t y = box.top; y <= box.bottom; ++y) {
    const uchar* level = levels.ptr<uchar>(y);
    const uchar* ink = mask.ptr<uchar>(y);
    for (int32_t x = columns.start; x < columns.end; ++x) (ink[x] != 0 ? lit : dark).Add(level[x]);
  }
  if (lit.total == 0 || dark.total == 0) return true;
  const double bright = lit.LevelAt(lit.total / 2);
  const double board = dark.LevelAt(dark.total / 2);
  if (bright - board < kLeastContrast) return true;
  const double nearly_lit = board + kNearlyLit * (bright - board);

  // The digit's rows as its nearly lit segments show them: a bar just below the threshold lies
  // above or below the rows its lit ink spans.
  auto nearly_lit_row = [&](int32_t y) {
    const uchar* level = levels.ptr<uchar>(y);
    return std::any_of(level + columns.start, level + columns.end, [&](uchar v) { return v >= nearly_lit; });
  };
  const int32_t reach = RoundHalfEven(kNearlyLitReach * (box.bottom - box.top + 1));
  int32_t top = box.top;
  int32_t bottom = box.bottom;
  while (top > 0 && box.top - top < reach && nearly_lit_row(top - 1)) --top;
  while (bottom + 1 < levels.rows && bottom - box.bottom < reach && nearly_lit_row(bottom + 1)) ++bottom;
  const cv::Mat b = levels(cv::Range(top, bottom + 1), columns);
  if (b.rows < 8 || b.cols < 5) return true;
  const cv::Mat ink = mask(cv::Range(top, bottom + 1), columns);

  const std::array<SegmentWindow, 7> windows = SegmentWindows(b.rows, b.cols);
  // A line is nearly lit when most of its measured pixels are: its median is; a line mostly on or
  // beside the lit ink is not measured.
  auto nearly_lit_line = [&](int32_t measured, int32_t bright, int32_t length) {
    return 2 * measured > length && 2 * bright >= measured;
  };
  // Ink and the pixels across from it (beside a side segment's column, above or below a bar's
  // row) are lit by the ink's own blur and edges: they tell nothing of the segment measured.
  auto inked = [&](int32_t y, int32_t x) {
    return y >= 0 && y < ink.rows && x >= 0 && x < ink.cols && ink.ptr<uchar>(y)[x] != 0;
  };
  for (size_t i = 0; i < 7; ++i) {
    if (pattern->lit[i]) continue;
    const SegmentWindow& r = windows[i];
    const Window win = SampleWindow(b, r.x0, r.y0, r.x1, r.y1);
    if (win.Empty()) continue;
    // A lit segment fills its window along its length: a bar a row of it, a side segment a column.
    bool lit_line = false;
    if (IsSideSegment(i)) {
      for (int32_t x = win.x0; x < win.x1 && !lit_line; ++x) {
        int32_t measured = 0;
        int32_t bright_pixels = 0;
        for (int32_t y = win.y0; y < win.y1; ++y) {
          if (inked(y, x - 1) || inked(y, x) || inked(y, x + 1)) continue;
          ++measured;
          bright_pixels += b.ptr<uchar>(y)[x] >= nearly_lit ? 1 : 0;
        }
        lit_line = nearly_lit_line(measured, bright_pixels, win.y1 - win.y0);
      }
    } else {
      for (int32_t y = win.y0; y < win.y1 && !lit_line; ++y) {
        int32_t measured = 0;
        int32_t bright_pixels = 0;
        for (int32_t x = win.x0; x < win.x1; ++x) {
          if (inked(y - 1, x) || inked(y, x) || inked(y + 1, x)) continue;
          ++measured;
          bright_pixels += b.ptr<uchar>(y)[x] >= nearly_lit ? 1 : 0;
        }
        lit_line = nearly_lit_line(measured, bright_pixels, win.x1 - win.x0);
      }
    }
    if (lit_line) return false;
  }
  return true;
}

const std::array<DigitPattern, 12>& DigitPatterns() {
  static const std::array<DigitPattern, 12> patterns = {{
      {0, 0, {true, true, true, true, true, true, false}},
      {1, 0, {false, true, true, false, false, false, false}},
      {2, 0, {true, true, false, true, true, false, true}},
      {3, 0, {true, true, true, true, false, false, true}},
      {4, 0, {false, true, true, false, false, true, true}},
      {5, 0, {true, false, true, true, false, true, true}},
      {6, 0, {true, false, true, true, true, true, true}},
      {7, 0, {true, true, true, false, false, false, false}},
      {8, 0, {true, true, true, true, true, true, true}},
      {9, 0, {true, true, true, true, false, true, true}},
      {9, 1, {true, true, true, false, false, true, true}},
      {7, 1, {true, true, true, false, false, true, false}},
  }};
  return patterns;
}

bool FillsDigitCounters(const cv::Mat& box_image) {
  const cv::Mat& b = box_image;
  if (b.rows < 8 || b.cols < 5 || b.cols < kWholeDigitBoxShare * b.rows) return false;
  // The middle of each counter, clear of the bars and side strokes even of bold faces.
  auto filled = [&](double y0, double y1) {
    const Window win = SampleWindow(b, 0.38 * b.cols, y0 * b.rows, 0.62 * b.cols, y1 * b.rows);
    if (win.Empty()) return false;
    const int32_t ink = cv::countNonZero(b(cv::Range(win.y0, win.y1), cv::Range(win.x0, win.x1)));
    return ink >= kFilledCounter * (win.x1 - win.x0) * (win.y1 - win.y0);
  };
  // The box as a whole is ink too: a fat stroke fills the counters' windows of a narrow box.
  const bool mostly_ink = cv::countNonZero(b) >= kFilledCounter * static_cast<double>(b.total());
  return mostly_ink && filled(0.25, 0.36) && filled(0.64, 0.75);
}

cv::Mat NormalizeSlotImage(const cv::Mat& image) {
  cv::Mat value;
  if (image.channels() > 1) {
    std::vector<cv::Mat> channels;
    cv::split(image, channels);
    value = channels[0].clone();
    for (size_t i = 1; i < channels.size(); ++i) cv::max(value, channels[i], value);
  } else {
    value = image;
  }
  cv::Mat lit;
  cv::compare(value, 0, lit, cv::CMP_GT);
  cv::Mat mask = cv::Mat::zeros(image.rows, image.cols, CV_8U);
  mask.setTo(1, lit);
  return mask;
}

std::vector<IndexRun> TrimEdgeBands(std::vector<IndexRun> runs, int32_t length) {
  const double small = 0.1 * length;
  const double gap = 0.03 * length;
  while (runs.size() >= 2) {
    const IndexRun& first = runs[0];
    if (first.start == 0 && first.Length() <= small && runs[1].start - first.end - 1 >= gap) {
      runs.erase(runs.begin());
    } else {
      break;
    }
  }
  while (runs.size() >= 2) {
    const IndexRun& last = runs.back();
    const IndexRun& before = runs[runs.size() - 2];
    if (last.end == length - 1 && last.Length() <= small && last.start - before.end - 1 >= gap) {
      runs.pop_back();
    } else {
      break;
    }
  }
  return runs;
}

std::optional<IndexRun> GrowInkExtent(const std::vector<uint64_t>& profile,
                                      const std::vector<IndexRun>& strong_runs, int32_t tolerance) {
  const std::vector<IndexRun> coarse = RunsWhere(profile.size(), [&](size_t i) { return profile[i] >= 2; });
  std::vector<bool> taken(coarse.size(), false);
  std::optional<IndexRun> extent;
  for (size_t i = 0; i < coarse.size(); ++i) {
    for (const IndexRun& strong : strong_runs) {
      if (coarse[i].start <= strong.end && strong.start <= coarse[i].end) {
        taken[i] = true;
        break;
      }
    }
    if (!taken[i]) continue;
    if (!extent) {
      extent = coarse[i];
    } else {
      extent->start = std::min(extent->start, coarse[i].start);
      extent->end = std::max(extent->end, coarse[i].end);
    }
  }
  if (!extent) return std::nullopt;
  bool grew = true;
  while (grew) {
    grew = false;
    for (size_t i = 0; i < coarse.size(); ++i) {
      if (taken[i]) continue;
      const int32_t left_gap = extent->start - coarse[i].end - 1;
      const int32_t right_gap = coarse[i].start - extent->end - 1;
      if ((left_gap >= 0 && left_gap <= tolerance) || (right_gap >= 0 && right_gap <= tolerance)) {
        taken[i] = true;
        grew = true;
        extent->start = std::min(extent->start, coarse[i].start);
        extent->end = std::max(extent->end, coarse[i].end);
      }
    }
  }
  return extent;
}

std::optional<IndexRun> FindHorizontalBarExtent(const cv::Mat& mask, int32_t top, int32_t bottom,
                                                int32_t band_width) {
  const int32_t minimum = 2 * std::max(band_width, 1);
  std::optional<IndexRun> best;
  for (int32_t y = std::max(top, 0); y <= bottom && y < mask.rows; ++y) {
    const std::optional<IndexRun> run = LongestRowRun(mask.ptr<uchar>(y), mask.cols);
    if (!run || run->Length() < minimum) continue;
    if (!best || run->Length() > best->Length() ||
        (run->Length() == best->Length() && run->start > best->start)) {
      best = run;
    }
  }
  return best;
}

std::vector<InkComponent> InkComponents(const cv::Mat& mask, cv::Mat* labels) {
  // The runs of ink of every row, joined with the runs they touch in the row above (4-connected:
  // sharing a column); a component is a set of joined runs.
  struct Run {
    int32_t y;
    int32_t x0;
    int32_t x1;
  };
  std::vector<Run> runs;
  std::vector<int32_t> parent;
  auto root = [&](int32_t i) {
    while (parent[i] != i) i = parent[i] = parent[parent[i]];
    return i;
  };
  size_t above = 0;  // the first run of the row above
  for (int32_t y = 0; y < mask.rows; ++y) {
    const uchar* row = mask.ptr<uchar>(y);
    const size_t first = runs.size();
    for (int32_t x = 0; x < mask.cols;) {
      if (row[x] == 0) {
        ++x;
        continue;
      }
      const int32_t x0 = x;
      while (x < mask.cols && row[x] != 0) ++x;
      const int32_t index = static_cast<int32_t>(runs.size());
      runs.push_back(Run{y, x0, x - 1});
      parent.push_back(index);
      for (size_t j = above; j < first; ++j) {
        if (runs[j].x1 < x0 || runs[j].x0 > x - 1) continue;
        const int32_t a = root(index);
        const int32_t b = root(static_cast<int32_t>(j));
        if (a != b) parent[std::max(a, b)] = std::min(a, b);
      }
    }
    above = first;
  }
  // Components numbered in the order of their first pixel, rows from the top.
  std::vector<int32_t> number(runs.size(), -1);
  std::vector<InkComponent> components;
  std::vector<int32_t> right;
  std::vector<int32_t> bottom;
  if (labels != nullptr) *labels = cv::Mat::zeros(mask.rows, mask.cols, CV_32S);
  for (size_t i = 0; i < runs.size(); ++i) {
    const int32_t r = root(static_cast<int32_t>(i));
    if (number[r] < 0) {
      number[r] = static_cast<int32_t>(components.size());
      components.push_back(InkComponent{0, cv::Rect(runs[i].x0, runs[i].y, 1, 1)});
      right.push_back(runs[i].x1);
      bottom.push_back(runs[i].y);
    }
    const int32_t c = number[r];
    InkComponent& component = components[c];
    component.size += runs[i].x1 - runs[i].x0 + 1;
    component.box.x = std::min(component.box.x, runs[i].x0);
    right[c] = std::max(right[c], runs[i].x1);
    bottom[c] = std::max(bottom[c], runs[i].y);
    if (labels != nullptr) {
      int32_t* row = labels->ptr<int32_t>(runs[i].y);
      std::fill(row + runs[i].x0, row + runs[i].x1 + 1, c + 1);
    }
  }
  for (size_t c = 0; c < components.size(); ++c) {
    components[c].box.width = right[c] - components[c].box.x + 1;
    components[c].box.height = bottom[c] - components[c].box.y + 1;
  }
  return components;
}

int CountSignificantComponents(const cv::Mat& mask) {
  const std::vector<InkComponent> components = InkComponents(mask);
  if (components.empty()) return 0;
  int64_t largest = 0;
  for (const InkComponent& c : components) largest = std::max(largest, c.size);
  const double minimum = std::max(0.15 * static_cast<double>(largest), 4.0);
  return static_cast<int>(std::count_if(components.begin(), components.end(), [&](const InkComponent& c) {
    return static_cast<double>(c.size) >= minimum;
  }));
}

std::vector<cv::Rect> LedsOf(const cv::Mat& box_image) {
  const double h = box_image.rows;
  std::vector<cv::Rect> dots;
  int32_t significant = 0;
  for (const InkComponent& c : InkComponents(box_image)) {
    if (c.size < 2) continue;  // a speck
    ++significant;
    if (c.box.height <= kDotShare * h && c.box.width <= kDotShare * h) dots.push_back(c.box);
  }
  // Segments of LEDs: many small marks, and hardly anything else.
  if (dots.size() < kLeastDots || 4 * dots.size() < 3 * static_cast<size_t>(significant)) return {};
  return dots;
}

cv::Mat CloseDottedInk(const cv::Mat& box_image) { return CloseLedGaps(box_image, LedsOf(box_image)); }

std::optional<IndexRun> FindDigitRows(const std::vector<uint64_t>& rows) {
  const int32_t h = static_cast<int32_t>(rows.size());
  const std::vector<IndexRun> runs = TrimEdgeBands(StrongRuns(rows), h);
  if (runs.empty()) return std::nullopt;
  const int32_t tolerance = std::max(RoundHalfEven(0.03 * h), 1);
  const std::optional<IndexRun> grown = GrowInkExtent(rows, runs, tolerance);
  return grown ? *grown : IndexRun{runs.front().start, runs.back().end};
}

InkProfile MeasureInkProfile(const cv::Mat& mask, bool drop_edge_pieces) {
  InkProfile profile;
  const int32_t h = mask.rows;
  const int32_t w = mask.cols;
  if (h < 1 || w < 1) return profile;

  std::vector<uint64_t> rows(h, 0);
  bool any = false;
  for (int32_t y = 0; y < h; ++y) {
    const uchar* row = mask.ptr<uchar>(y);
    for (int32_t x = 0; x < w; ++x) {
      if (row[x] == 0) continue;
      rows[y] += row[x];
      if (!any) {
        profile.ink_left = profile.ink_right = x;
        profile.ink_top = profile.ink_bottom = y;
        any = true;
      }
      profile.ink_left = std::min(profile.ink_left, x);
      profile.ink_right = std::max(profile.ink_right, x);
      profile.ink_bottom = y;
    }
  }
  if (!any) return profile;
  profile.found = true;

  const std::vector<IndexRun> row_runs = TrimEdgeBands(StrongRuns(rows), h);
  const std::optional<IndexRun> digit_rows = FindDigitRows(rows);
  profile.top = digit_rows ? digit_rows->start : profile.ink_top;
  profile.bottom = digit_rows ? digit_rows->end : profile.ink_bottom;

  std::vector<uint64_t> columns(w, 0);
  for (int32_t y = profile.top; y <= profile.bottom; ++y) {
    const uchar* row = mask.ptr<uchar>(y);
    for (int32_t x = 0; x < w; ++x) columns[x] += row[x];
  }
  if (drop_edge_pieces) {
    profile.edge_pieces = DropEdgeColumnPieces(columns);
  } else {
    std::vector<uint64_t> kept = columns;
    profile.edge_pieces = DropEdgeColumnPieces(kept);
  }
  const std::vector<IndexRun> column_runs = StrongRuns(columns);
  if (column_runs.empty()) {
    profile.band_left = profile.ink_left;
    profile.band_right = profile.ink_right;
  } else {
    profile.band_left = column_runs.front().start;
    profile.band_right = column_runs.back().end;
  }
  const int32_t column_tolerance = std::max(RoundHalfEven(0.03 * w), 1);
  const std::optional<IndexRun> grown_columns = GrowInkExtent(columns, column_runs, column_tolerance);
  profile.grown_left = grown_columns ? grown_columns->start : profile.band_left;
  profile.grown_right = grown_columns ? grown_columns->end : profile.band_right;

  const int32_t band_width = profile.band_right - profile.band_left + 1;
  profile.width_ratio = static_cast<double>(band_width) / std::max(w, 1);

  std::vector<int32_t> lengths;
  for (const IndexRun& run : row_runs) lengths.push_back(run.Length());
  std::sort(lengths.begin(), lengths.end(), std::greater<int32_t>());
  if (lengths.size() >= 2) {
    profile.stroke_length = (lengths[0] + lengths[1]) / 2.0;
  } else if (lengths.size() == 1) {
    profile.stroke_length = lengths[0];
  } else {
    profile.stroke_length = std::max((profile.bottom - profile.top + 1 - band_width) * 0.5, 1.0);
  }

  int32_t nominal = RoundHalfEven(2.0 * band_width + profile.stroke_length);
  const std::optional<IndexRun> bar = FindHorizontalBarExtent(mask, profile.top, profile.bottom, band_width);
  if (bar) {
    profile.bar_found = true;
    nominal = std::max(nominal, bar->Length() + band_width);
  }
  profile.nominal_width = std::max(band_width, std::min(nominal, w));
  return profile;
}

namespace {

// No row's longest ink run stands distinctly out of the others: a stroke, not a digit with bars.
bool HasEvenRows(const cv::Mat& region) {
  std::vector<int32_t> lengths;
  for (int32_t y = 0; y < region.rows; ++y) {
    const std::optional<IndexRun> run = LongestRowRun(region.ptr<uchar>(y), region.cols);
    if (run) lengths.push_back(run->Length());
  }
  if (lengths.size() < 4) return false;
  std::sort(lengths.begin(), lengths.end());
  const size_t middle = lengths.size() / 2;
  const double median = lengths.size() % 2 == 1 ? lengths[middle]
                                                 : (lengths[middle - 1] + lengths[middle]) / 2.0;
  return lengths.back() < std::max(median + 2.0, 1.8 * median);
}

cv::Mat CloseStrokeGaps(const cv::Mat& mask) {
  return CloseVertically(mask, std::max(RoundHalfEven(kStrokeGapShare * mask.rows), 2));
}

}  // namespace

bool LooksLikeLoneStroke(const cv::Mat& mask, const InkProfile& profile) {
  if (profile.bottom < profile.top || profile.band_right < profile.band_left) return false;
  const cv::Mat band = mask(cv::Range(profile.top, profile.bottom + 1),
                            cv::Range(profile.band_left, profile.band_right + 1));
  if (band.empty()) return false;
  // A row of LEDs, or the two segments of a slanted 1, leave short gaps along the stroke; closed
  // up, they are the one stroke they show.
  const cv::Mat stroke = CloseStrokeGaps(band);
  if (CountSignificantComponents(stroke) != 1 || !HasEvenRows(stroke)) return false;
  const int32_t height = std::max(profile.bottom - profile.top + 1, 1);
  return height * 0.45 >= profile.band_right - profile.band_left + 1;
}

bool LooksLikeBarlessStroke(const cv::Mat& mask, const InkProfile& profile) {
  if (profile.bottom < profile.top || profile.grown_right < profile.grown_left) return false;
  const cv::Mat ink = mask(cv::Range(profile.top, profile.bottom + 1),
                           cv::Range(profile.grown_left, profile.grown_right + 1));
  const int32_t height = std::max(profile.bottom - profile.top + 1, 1);
  return HasEvenRows(CloseStrokeGaps(ink)) && height * 0.45 >= profile.band_right - profile.band_left + 1;
}

FaintInk ClassifyFaintInk(const cv::Mat& mask) {
  int32_t rows_with_ink = 0;
  int32_t top = -1;
  int32_t bottom = -1;
  int32_t left = mask.cols;
  int32_t right = -1;
  for (int32_t y = 0; y < mask.rows; ++y) {
    const uchar* row = mask.ptr<uchar>(y);
    bool any = false;
    for (int32_t x = 0; x < mask.cols; ++x) {
      if (row[x] == 0) continue;
      any = true;
      left = std::min(left, x);
      right = std::max(right, x);
    }
    if (!any) continue;
    ++rows_with_ink;
    if (top < 0) top = y;
    bottom = y;
  }
  if (right < 0) return FaintInk::Blank;
  // Ink at a side of the slot belongs to the neighbouring digit.
  if (left == 0 || right == mask.cols - 1) return FaintInk::Blank;
  // What a dim frame leaves of a digit (thin pieces of its segments) stands over much of the
  // slot's height and fills its span; specks scattered over the slot do not.
  const int32_t span = bottom - top + 1;
  if (span < kFaintDigitSpanShare * mask.rows || 2 * rows_with_ink < span) return FaintInk::Blank;
  const bool narrow = 2 * (right - left + 1) <= mask.cols;
  if (narrow && HasEvenRows(CloseStrokeGaps(mask(cv::Range(top, bottom + 1), cv::Range(left, right + 1))))) {
    return FaintInk::Stroke;
  }
  return FaintInk::Digit;
}

namespace {

// The box of the mask's columns left..right over the profile's digit rows.
DigitBox BoxOver(const cv::Mat& mask, const InkProfile& profile, int32_t left, int32_t right, const char* method) {
  DigitBox box;
  box.found = true;
  box.left = left;
  box.right = right;
  box.top = profile.top;
  box.bottom = profile.bottom;
  box.width_ratio = profile.width_ratio;
  box.edge_pieces = profile.edge_pieces;
  box.method = method;
  if (right >= left && profile.bottom >= profile.top) {
    box.image = mask(cv::Range(profile.top, profile.bottom + 1), cv::Range(left, right + 1)).clone();
  }
  return box;
}

// The ink's own columns, reaching as far as its widest bar, whose thin ends the column profile
// may miss.
DigitBox OwnInkBox(const cv::Mat& mask, const InkProfile& profile) {
  int32_t left = profile.grown_left;
  int32_t right = profile.grown_right;
  const std::optional<IndexRun> bar =
      FindHorizontalBarExtent(mask, profile.top, profile.bottom, profile.band_right - profile.band_left + 1);
  if (bar) {
    left = std::min(left, bar->start);
    right = std::max(right, bar->end);
  }
  return BoxOver(mask, profile, left, right, "projection_vertical_preserved_horizontal");
}

// The box of a digit's cell, given in picture coordinates, within a slot starting at (left, top).
DigitBox CellBox(const cv::Mat& mask, const DigitCell& cell, int32_t left, int32_t top) {
  auto clamp_to = [](int32_t value, int32_t last) { return std::max(std::min(value, last), 0); };
  DigitBox box;
  box.found = true;
  box.left = clamp_to(cell.left - left, mask.cols - 1);
  box.right = clamp_to(cell.right - left, mask.cols - 1);
  box.top = clamp_to(cell.top - top, mask.rows - 1);
  box.bottom = clamp_to(cell.bottom - top, mask.rows - 1);
  box.width_ratio = static_cast<double>(box.right - box.left + 1) / std::max(mask.cols, 1);
  box.method = "projection_wide";
  if (box.right >= box.left && box.bottom >= box.top) {
    box.image = mask(cv::Range(box.top, box.bottom + 1), cv::Range(box.left, box.right + 1)).clone();
  }
  return box;
}

}  // namespace

DigitBox FindDigitBox(const cv::Mat& mask, bool drop_edge_pieces) {
  const InkProfile profile = MeasureInkProfile(mask, drop_edge_pieces);
  if (!profile.found) return DigitBox{};
  const int32_t w = mask.cols;
  const int32_t l = profile.nominal_width;

  if (profile.width_ratio >= 0.45) return BoxOver(mask, profile, profile.band_left, profile.band_right, "projection_wide");
  enum class Anchor { Left, Right, Undecided };
  const bool right_fits = profile.band_right - l + 1 >= 0;
  const bool left_fits = profile.band_left + l - 1 < w;
  Anchor anchor = Anchor::Undecided;
  if (right_fits && !left_fits) {
    anchor = Anchor::Right;
  } else if (left_fits && !right_fits) {
    anchor = Anchor::Left;
  } else {
    const double position = (profile.band_left + profile.band_right + 1) / (2.0 * std::max(w, 1));
    if (position >= 2.0 / 3.0) {
      anchor = Anchor::Right;
    } else if (position <= 1.0 / 3.0) {
      anchor = Anchor::Left;
    }
  }
  if (anchor == Anchor::Undecided) {
    if (LooksLikeLoneStroke(mask, profile)) {
      return BoxOver(mask, profile, std::max(0, profile.grown_right - l + 1), profile.grown_right,
                     "nominal_width_right_anchored");
    }
    return BoxOver(mask, profile, profile.grown_left, profile.grown_right, "projection_vertical_preserved_horizontal");
  }

  const char* bar_method = "horizontal_bar_extent";
  const DigitBox widened =
      anchor == Anchor::Right
          ? BoxOver(mask, profile, std::max(0, profile.grown_right - l + 1), profile.grown_right,
                    profile.bar_found ? bar_method : "nominal_width_right_anchored")
          : BoxOver(mask, profile, profile.grown_left, std::min(profile.grown_left + l - 1, w - 1),
                    profile.bar_found ? bar_method : "nominal_width_left_anchored");
  // A whole digit narrower than its slot, widened, fills one side of the box, where a 3 or a 7
  // samples as a 1. A 1 is taken from a widened box only when the ink is a stroke without a bar.
  if (!widened.image.empty() && !LooksLikeBarlessStroke(mask, profile) && ScoreSegments(widened.image).digit == 1) {
    return OwnInkBox(mask, profile);
  }
  return widened;
}

double SampleVerticalBar(const cv::Mat& mask, double x0, double y0, double x1, double y1) {
  const Window win = SampleWindow(mask, x0, y0, x1, y1);
  if (win.Empty()) return 0.0;
  uint64_t ink = 0;
  for (int32_t y = win.y0; y < win.y1; ++y) {
    const uchar* row = mask.ptr<uchar>(y);
    for (int32_t x = win.x0; x < win.x1; ++x) ink += row[x];
  }
  return static_cast<double>(ink) / (static_cast<double>(win.x1 - win.x0) * (win.y1 - win.y0));
}

double SampleHorizontalBar(const cv::Mat& mask, double x0, double y0, double x1, double y1) {
  const Window win = SampleWindow(mask, x0, y0, x1, y1);
  if (win.Empty()) return 0.0;
  const int32_t d = win.x1 - win.x0;
  const int32_t bridge = std::max(d / 8, 1);
  int32_t longest_chain = 0;
  int32_t most_ink = 0;
  std::vector<IndexRun> runs;
  for (int32_t y = win.y0; y < win.y1; ++y) {
    const uchar* row = mask.ptr<uchar>(y) + win.x0;
    runs.clear();
    int32_t ink = 0;
    for (int32_t x = 0; x < d; ++x) {
      if (row[x] == 0) continue;
      ++ink;
      if (!runs.empty() && runs.back().end == x - 1) {
        runs.back().end = x;
      } else {
        runs.push_back(IndexRun{x, x});
      }
    }
    most_ink = std::max(most_ink, ink);
    // Short breaks in a bar (noise, a thin gap in the segment) are bridged, but only between
    // pieces long enough to be parts of a bar.
    size_t i = 0;
    while (i < runs.size()) {
      const int32_t first = runs[i].start;
      int32_t last = runs[i].end;
      size_t j = i + 1;
      while (j < runs.size() && runs[j].start - last - 1 <= bridge && last - first + 1 >= 4 &&
             runs[j].Length() >= 4) {
        last = runs[j].end;
        ++j;
      }
      longest_chain = std::max(longest_chain, last - first + 1);
      i = j;
    }
  }
  const double chain_share = static_cast<double>(longest_chain) / d;
  const double ink_share = static_cast<double>(most_ink) / d;
  if (chain_share < 0.12 || ink_share < 0.55) return 0.0;
  return ink_share;
}

SegmentScores ScoreSegments(const cv::Mat& box_image) {
  SegmentScores result;
  const cv::Mat b = NormalizeSlotImage(box_image);
  const double h = b.rows;
  const double w = b.cols;
  if (h >= 8 && w >= 5) {
    const std::array<SegmentWindow, 7> windows = SegmentWindows(h, w);
    for (size_t i = 0; i < 7; ++i) {
      const SegmentWindow& r = windows[i];
      result.coverage[i] = IsSideSegment(i) ? SampleVerticalBar(b, r.x0, r.y0, r.x1, r.y1)
                                            : SampleHorizontalBar(b, r.x0, r.y0, r.x1, r.y1);
    }
  }
  return MatchSegments(result.coverage);
}

SegmentScores MatchSegments(const SegmentValues& coverage) {
  SegmentScores result;
  result.coverage = coverage;
  for (size_t i = 0; i < 7; ++i) result.scores[i] = Clamp01(result.coverage[i] / 0.3);

  struct Candidate {
    int32_t digit;
    int32_t variant;
    double score;
  };
  std::vector<Candidate> candidates;
  for (const DigitPattern& pattern : DigitPatterns()) {
    double sum = 0.0;
    double least = 1.0;
    for (size_t i = 0; i < 7; ++i) {
      const double value = pattern.lit[i] ? result.scores[i] : 1.0 - result.scores[i];
      sum += value;
      least = std::min(least, value);
    }
    const double score = std::clamp(0.72 * (sum / 7.0) + 0.28 * least, 0.0, 1.0);
    candidates.push_back(Candidate{pattern.digit, pattern.variant, score});
  }
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const Candidate& a, const Candidate& b) { return a.score > b.score; });
  const Candidate& best = candidates.front();
  double runner_up = 0.0;
  for (size_t i = 1; i < candidates.size(); ++i) {
    if (candidates[i].digit != best.digit) {
      runner_up = candidates[i].score;
      break;
    }
  }
  result.best = best.score;
  result.runner_up = runner_up;
  const double margin = std::min(std::max(best.score - runner_up, 0.0) / 0.18, 1.0);
  result.confidence = std::clamp(0.85 * best.score + 0.15 * margin, 0.0, 1.0);
  if (best.score >= 0.58) {
    result.digit = best.digit;
    result.variant = best.variant;
  }
  return result;
}

SegmentValues RoundToThousandths(const SegmentValues& values) {
  SegmentValues rounded;
  for (size_t i = 0; i < values.size(); ++i) rounded[i] = RoundOneToThousandths(values[i]);
  return rounded;
}

DigitResult RecognizeDigit(const cv::Mat& zone_image, const DigitSlot& slot) {
  return RecognizeDigit(zone_image, slot, std::nullopt);
}

DigitResult RecognizeDigit(const cv::Mat& zone_image, const DigitSlot& slot, const std::optional<DigitCell>& cell,
                           const cv::Mat& levels, int32_t ink_from) {
  if (zone_image.rows < 1 || zone_image.cols < 1) return EmptyResult(1.0);
  auto clamp_to = [](int32_t value, int32_t last) { return std::max(std::min(value, last), 0); };
  int32_t left = clamp_to(slot.left, zone_image.cols - 1);
  int32_t right = clamp_to(slot.right, zone_image.cols - 1);
  int32_t top = clamp_to(slot.top, zone_image.rows - 1);
  int32_t bottom = clamp_to(slot.bottom, zone_image.rows - 1);
  if (right < left) std::swap(left, right);
  if (bottom < top) std::swap(top, bottom);
  const cv::Mat view = zone_image(cv::Range(top, bottom + 1), cv::Range(left, right + 1));

  const cv::Mat mask = NormalizeSlotImage(view);
  if (mask.empty()) return EmptyResult(1.0);
  const double ink = static_cast<double>(cv::countNonZero(mask)) / (static_cast<double>(mask.rows) * mask.cols);
  const double emptiness = Clamp01(1.0 - ink / 0.06);
  // A dim frame can leave a digit less ink than the emptiness test allows: what is left of it is
  // no blank. A thin stroke is read and may only be a 1; anything else cannot be told.
  const FaintInk faint = emptiness >= 0.6 ? ClassifyFaintInk(mask) : FaintInk::None;
  const bool known_levels = levels.size() == zone_image.size();
  if (faint == FaintInk::Blank && known_levels &&
      HoldsNearlyLitDigit(levels(cv::Range(top, bottom + 1), cv::Range(left, right + 1)), ink_from)) {
    // A digit just below the threshold (a dim frame) leaves specks: no blank.
    DigitResult result;
    result.status = "unknown";
    result.slot_width = mask.cols;
    result.slot_height = mask.rows;
    result.ink_fraction = ink;
    return result;
  }
  if (faint == FaintInk::Blank) {
    DigitResult result = EmptyResult(emptiness);
    result.slot_width = mask.cols;
    result.slot_height = mask.rows;
    result.ink_fraction = ink;
    return result;
  }

  const DigitBox box = cell ? CellBox(mask, *cell, left, top) : FindDigitBox(mask);
  if (!box.found || box.image.empty()) return EmptyResult(1.0);
  if (FillsDigitCounters(box.image)) {
    // Solid ink, as a light board read with a dark board's threshold leaves: an 8's segments
    // sample lit in it, yet no board shows it.
    DigitResult result;
    result.status = "unknown";
    result.reason = "all_ink";
    result.slot_width = mask.cols;
    result.slot_height = mask.rows;
    result.ink_fraction = ink;
    return result;
  }
  // The LEDs of a dotted board joined along their segments, whose bars then sample as bars; a
  // segment holding an LED is lit even where too few of them are to sample as one.
  const std::vector<cv::Rect> leds = LedsOf(box.image);
  const cv::Mat digit = CloseLedGaps(box.image, leds);
  SegmentScores s = ScoreSegments(digit);
  if (!leds.empty()) {
    const SegmentValues held = SegmentsHoldingLeds(leds, digit.rows, digit.cols);
    SegmentValues coverage = s.coverage;
    for (size_t i = 0; i < 7; ++i) coverage[i] = std::max(coverage[i], held[i]);
    s = MatchSegments(coverage);
  }
  // A thin piece of ink at a side of the slot, apart from the rest, is often the colon's dots or
  // the neighbouring digit's edge reaching in: a reading that changes without it is not trusted.
  if (s.digit && box.edge_pieces) {
    const DigitBox own = FindDigitBox(mask, true);
    if (!own.image.empty() && ScoreSegments(own.image).digit != s.digit) s.digit.reset();
  }
  // Two digits that fit the segments equally well: the picture does not tell which it shows.
  if (s.digit && s.best - s.runner_up < kTieMargin) s.digit.reset();
  // A side segment lit only by the tips of the bars around it, or a bar lit only by a fat stroke,
  // is not the digit's own: without it a 9 may be a 3 and a 7 a 1. The picture then does not
  // tell which it shows, and the digit is withheld rather than swapped for another; but a 3 none
  // of whose bars stands out of the stroke is one fat stroke, which only a 1 is.
  std::string reason;
  if (s.digit) {
    const std::optional<int32_t> confirmed = ConfirmDigit(digit, *s.digit, s.variant);
    if (confirmed != s.digit && !(*s.digit == 3 && confirmed == 1)) {
      s.digit.reset();
      reason = "withheld";
    }
    if (s.digit) s.digit = confirmed;
  }
  // In a box much narrower than tall every window falls on the same few columns: only a 1 can be
  // told there.
  const bool only_one = faint == FaintInk::Stroke || box.image.cols < kNarrowBoxShare * box.image.rows;
  if (faint == FaintInk::Digit || (only_one && s.digit != 1)) s.digit.reset();
  if (s.digit && known_levels) {
    const cv::Mat slot_levels = levels(cv::Range(top, bottom + 1), cv::Range(left, right + 1));
    if (!UnlitSegmentsStayDark(mask, slot_levels, box, *s.digit, s.variant)) s.digit.reset();
  }

  DigitResult result;
  result.digit = s.digit;
  result.status = s.digit ? "digit" : "unknown";
  if (!s.digit) result.reason = std::move(reason);
  result.confidence = s.confidence;
  result.scored = true;
  result.coverage = RoundToThousandths(s.coverage);
  result.scores = RoundToThousandths(s.scores);
  result.box_method = box.method;
  result.slot_width = mask.cols;
  result.slot_height = mask.rows;
  result.box_left = box.left;
  result.box_top = box.top;
  result.box_width = box.image.cols;
  result.box_height = box.image.rows;
  result.width_ratio = box.width_ratio;
  result.ink_fraction = ink;
  return result;
}

}  // namespace tessvark
