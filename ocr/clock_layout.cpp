#include "ocr/clock_layout.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>
#include <optional>

#include <opencv2/imgproc.hpp>

#include "ocr/digit_layout.h"
#include "ocr/level_counts.h"
#include "ocr/zone_geometry.h"

namespace tessvark {
namespace {

constexpr double kAcceptScore = 0.65;
constexpr double kTopHatSigma = 7.0;

double Clamp01(double value) {
  if (!(value > 0.0)) return 0.0;
  return std::min(value, 1.0);
}

// OpenCV's fixed-point taps of the sigma-7 blur (8 fraction bits, summing to 256). The library
// does not export them: they are read back from the blur of one bright pixel, which gives every
// tap exactly (each is below 128). The kernel is 43 taps long for this sigma.
const std::vector<float>& TopHatBlurTaps() {
  static const std::vector<float> taps = [] {
    constexpr int kRadius = 21;
    constexpr int kCentre = 2 * kRadius;
    cv::Mat impulse = cv::Mat::zeros(1, 2 * kCentre + 1, CV_8U);
    impulse.at<uchar>(0, kCentre) = 255;
    cv::Mat response;
    cv::GaussianBlur(impulse, response, cv::Size(0, 0), kTopHatSigma, kTopHatSigma, cv::BORDER_REFLECT_101);
    // The blur at column x takes tap j from column x + j - radius, so the bright pixel's
    // response holds the taps mirrored.
    std::vector<float> out(2 * kRadius + 1);
    for (int j = 0; j <= 2 * kRadius; ++j) out[j] = response.at<uchar>(0, kCentre + kRadius - j);
    return out;
  }();
  return taps;
}

// Reflect-101 of a position into [0, length), repeated for positions far outside.
int32_t Reflect101(int32_t p, int32_t length) {
  if (length == 1) return 0;
  while (p < 0 || p >= length) p = p < 0 ? -p : 2 * (length - 1) - p;
  return p;
}

// weights[i * n + j]: how much column j of an n-wide strip adds to column i of its blur,
// reflections at both edges of the strip included.
std::vector<float> ReflectedBlurWeights(int32_t n) {
  const std::vector<float>& taps = TopHatBlurTaps();
  const int32_t radius = static_cast<int32_t>(taps.size() / 2);
  std::vector<float> weights(static_cast<size_t>(n) * n, 0.0f);
  for (int32_t i = 0; i < n; ++i) {
    for (int32_t d = -radius; d <= radius; ++d) weights[i * n + Reflect101(i + d, n)] += taps[d + radius];
  }
  return weights;
}

// What every strip of one search shares: the grey and HSV value pictures of the columns the
// strips cover, and the vertical half of the top-hat blur.
//
// OpenCV blurs 8-bit pictures in exact fixed-point arithmetic: taps with 8 fraction bits,
// products summed without rounding, one rounding at the end. So the vertical half can be summed
// once for every column and each strip finishes its own horizontal half, reflected at the
// strip's edges, with exactly the result of blurring that strip alone. The sums are whole
// numbers below 2^24, which single-precision floats hold exactly.
struct SeparatorWindow {
  int32_t left = 0;  // zone column of the window's first column
  cv::Mat grey;      // 8-bit
  cv::Mat value;     // 8-bit
  cv::Mat vertical;  // float, transposed: row c holds window column c's sums of tap x grey
};

SeparatorWindow MakeSeparatorWindow(const cv::Mat& zone_image, int32_t left, int32_t right) {
  SeparatorWindow window;
  window.left = left;
  const cv::Mat columns = zone_image.colRange(left, right + 1);
  cv::cvtColor(columns, window.grey, cv::COLOR_BGR2GRAY);
  cv::Mat hsv;
  cv::cvtColor(columns, hsv, cv::COLOR_BGR2HSV);
  cv::extractChannel(hsv, window.value, 2);

  const int32_t rows = window.grey.rows;
  const int32_t cols = window.grey.cols;
  const std::vector<float>& taps = TopHatBlurTaps();
  const int32_t radius = static_cast<int32_t>(taps.size() / 2);
  window.vertical.create(cols, rows, CV_32F);
  std::vector<float> sums(static_cast<size_t>(cols));
  for (int32_t y = 0; y < rows; ++y) {
    std::fill(sums.begin(), sums.end(), 0.0f);
    for (int32_t d = -radius; d <= radius; ++d) {
      const uchar* in = window.grey.ptr<uchar>(Reflect101(y + d, rows));
      const float tap = taps[d + radius];
      if (tap == 0.0f) continue;
      for (int32_t x = 0; x < cols; ++x) sums[x] += tap * in[x];
    }
    for (int32_t x = 0; x < cols; ++x) window.vertical.at<float>(x, y) = sums[x];
  }
  return window;
}

// The top-hat blur of window columns [first, first + width): the strip's own horizontal half
// over the shared vertical sums, rounded as OpenCV rounds (half up, 16 fraction bits).
cv::Mat StripBlur(const SeparatorWindow& window, int32_t first, int32_t width) {
  const int32_t rows = window.vertical.cols;
  const std::vector<float> weights = ReflectedBlurWeights(width);
  cv::Mat blurred(rows, width, CV_8U);
  std::vector<float> column(static_cast<size_t>(rows));
  for (int32_t i = 0; i < width; ++i) {
    std::fill(column.begin(), column.end(), 0.0f);
    for (int32_t j = 0; j < width; ++j) {
      const float weight = weights[static_cast<size_t>(i) * width + j];
      if (weight == 0.0f) continue;
      const float* in = window.vertical.ptr<float>(first + j);
      for (int32_t y = 0; y < rows; ++y) column[y] += weight * in[y];
    }
    for (int32_t y = 0; y < rows; ++y) {
      const uint32_t sum = static_cast<uint32_t>(column[y]);
      blurred.at<uchar>(y, i) = static_cast<uchar>(std::min<uint32_t>((sum + (1u << 15)) >> 16, 255u));
    }
  }
  return blurred;
}

// One pass of a 3 x 3 cross (OpenCV's 3 x 3 ellipse): the largest (dilate) or smallest value of
// each pixel and its four neighbours. Pixels beyond the edge take no part, as with OpenCV's
// default border for morphology.
cv::Mat CrossPass(const cv::Mat& in, bool dilate) {
  const int32_t rows = in.rows;
  const int32_t cols = in.cols;
  auto pick = [dilate](uchar a, uchar b) { return dilate ? std::max(a, b) : std::min(a, b); };
  cv::Mat out(in.size(), CV_8U);
  std::vector<uchar> vertical(static_cast<size_t>(cols));
  for (int32_t y = 0; y < rows; ++y) {
    const uchar* above = in.ptr<uchar>(std::max(y - 1, 0));
    const uchar* row = in.ptr<uchar>(y);
    const uchar* below = in.ptr<uchar>(std::min(y + 1, rows - 1));
    for (int32_t x = 0; x < cols; ++x) vertical[x] = pick(pick(above[x], row[x]), below[x]);
    uchar* o = out.ptr<uchar>(y);
    for (int32_t x = 0; x < cols; ++x) {
      uchar v = vertical[x];
      if (x > 0) v = pick(v, row[x - 1]);
      if (x + 1 < cols) v = pick(v, row[x + 1]);
      o[x] = v;
    }
  }
  return out;
}

cv::Mat CloseWithCross(const cv::Mat& mask) { return CrossPass(CrossPass(mask, true), false); }

// The grey levels of a strip and its lit-segment mask.
struct StripLight {
  LevelCounts grey_levels;
  cv::Mat mask;
};

StripLight LightOfStrip(const SeparatorWindow& window, int32_t first, int32_t width) {
  const cv::Mat grey = window.grey.colRange(first, first + width);
  const cv::Mat value = window.value.colRange(first, first + width);
  // Top-hat: what stands out of its own neighbourhood, so a lit mark on a lit board still shows.
  cv::Mat top_hat = StripBlur(window, first, width);
  StripLight light;
  LevelCounts value_levels;
  LevelCounts top_hat_levels;
  for (int32_t y = 0; y < grey.rows; ++y) {
    const uchar* g = grey.ptr<uchar>(y);
    const uchar* v = value.ptr<uchar>(y);
    uchar* t = top_hat.ptr<uchar>(y);
    for (int32_t x = 0; x < width; ++x) {
      t[x] = g[x] > t[x] ? g[x] - t[x] : 0;
      light.grey_levels.Add(g[x]);
      value_levels.Add(v[x]);
      top_hat_levels.Add(t[x]);
    }
  }
  const double value_threshold = std::max(std::trunc(value_levels.Percentile(94.0)), 135.0);
  const double top_hat_threshold = std::max(std::trunc(top_hat_levels.Percentile(94.0)), 8.0);
  const double grey_threshold = std::max(std::trunc(light.grey_levels.Percentile(82.0)), 105.0);

  cv::Mat mask(grey.size(), CV_8U);
  for (int32_t y = 0; y < grey.rows; ++y) {
    const uchar* g = grey.ptr<uchar>(y);
    const uchar* v = value.ptr<uchar>(y);
    const uchar* t = top_hat.ptr<uchar>(y);
    uchar* m = mask.ptr<uchar>(y);
    for (int32_t x = 0; x < width; ++x) {
      const bool lit = v[x] >= value_threshold || (g[x] >= grey_threshold && t[x] >= top_hat_threshold);
      m[x] = lit ? 255 : 0;
    }
  }
  const int64_t area = static_cast<int64_t>(width) * grey.rows;
  light.mask = CloseWithCross(RemoveSmallBlobs(mask, std::max(static_cast<int32_t>(std::trunc(area * 1.5e-5)), 3)));
  return light;
}

struct SeparatorMaps {
  cv::Mat lit;
  cv::Mat brightness;
  cv::Mat combined;
};

SeparatorMaps BuildSeparatorMaps(const SeparatorWindow& window, int32_t first, int32_t width) {
  const cv::Mat grey = window.grey.colRange(first, first + width);
  const StripLight light = LightOfStrip(window, first, width);

  // Brightness depends on the grey level alone: one power per level instead of one per pixel.
  const float lo = static_cast<float>(light.grey_levels.Percentile(55.0));
  const float hi = static_cast<float>(light.grey_levels.Percentile(99.0));
  const float span = std::max(hi - lo, 1.0f);
  std::array<float, 256> level_brightness;
  for (int level = 0; level < 256; ++level) {
    level_brightness[level] = std::pow(std::clamp((static_cast<float>(level) - lo) / span, 0.0f, 1.0f), 1.5f);
  }
  SeparatorMaps maps;
  maps.lit.create(grey.size(), CV_32F);
  maps.brightness.create(grey.size(), CV_32F);
  maps.combined.create(grey.size(), CV_32F);
  for (int y = 0; y < grey.rows; ++y) {
    const uchar* g = grey.ptr<uchar>(y);
    const uchar* m = light.mask.ptr<uchar>(y);
    float* l = maps.lit.ptr<float>(y);
    float* b = maps.brightness.ptr<float>(y);
    float* c = maps.combined.ptr<float>(y);
    for (int x = 0; x < grey.cols; ++x) {
      l[x] = m[x] != 0 ? 1.0f : 0.0f;
      b[x] = level_brightness[g[x]];
      c[x] = 0.5f * b[x] + 0.5f * l[x];
    }
  }
  return maps;
}

// Evaluates the strip of zone columns [strip_left, strip_right], which the window covers.
SeparatorStripEvaluation EvaluateStrip(const SeparatorWindow& window, int32_t zone_rows, int32_t strip_left,
                                       int32_t strip_right) {
  SeparatorStripEvaluation evaluation;
  evaluation.strip_left = strip_left;
  evaluation.strip_right = strip_right;
  const int32_t width = strip_right - strip_left + 1;
  const SeparatorMaps maps = BuildSeparatorMaps(window, strip_left - window.left, width);
  evaluation.blobs = ExtractSeparatorBlobs(maps.lit, maps.brightness, maps.combined);
  evaluation.marks = FindSeparatorMarks(evaluation.blobs, width, zone_rows);
  return evaluation;
}

// Where a strip starting at `start` lies: clamped into the zone, `width` wide where it fits.
std::pair<int32_t, int32_t> StripBounds(int32_t zone_width, int32_t start, int32_t width) {
  const int32_t left = std::max(std::min(start, zone_width - width), 0);
  return {left, std::min(left + width, zone_width) - 1};
}

SeparatorHypothesis BetterOf(const std::optional<SeparatorHypothesis>& best, const SeparatorHypothesis& h) {
  if (!best || h.final_score > best->final_score) return h;
  return *best;
}

}  // namespace

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  if (values.size() == 1) return values[0];
  const double x = p / 100.0 * static_cast<double>(values.size() - 1);
  const double lo = std::floor(x);
  const double hi = std::ceil(x);
  const double frac = x - lo;
  return frac * values[static_cast<size_t>(hi)] + (1.0 - frac) * values[static_cast<size_t>(lo)];
}

double WeightedPercentile(const std::vector<double>& values, const std::vector<double>& weights, double q) {
  if (values.empty()) return 0.0;
  const double total = std::accumulate(weights.begin(), weights.end(), 0.0);
  if (!(total > 0.0)) return 0.0;
  std::vector<size_t> order(values.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return values[a] < values[b]; });
  double accumulated = 0.0;
  for (size_t index : order) {
    accumulated += weights[index];
    if (accumulated >= q * total) return values[index];
  }
  return values[order.back()];
}

SeparatorSearchWindowResult SeparatorSearchWindow(int32_t zone_width, int32_t zone_height) {
  SeparatorSearchWindowResult window;
  for (const DigitSlot& slot : BuildDigitLayout("clock", zone_width, zone_height, std::nullopt, ClockFormat::Auto)) {
    if (slot.kind == "separator") {
      window.nominal_left = slot.left;
      window.nominal_right = slot.right;
      break;
    }
  }
  window.strip_width = std::max(window.nominal_right - window.nominal_left + 1, 3);
  const int32_t margin = std::max(static_cast<int32_t>(std::floor(0.35 * window.strip_width)), 1);
  window.search_left = std::max(window.nominal_left - margin, 0);
  window.search_right = std::min(window.nominal_right + margin, zone_width - 1);
  return window;
}

cv::Mat RemoveSmallBlobs(const cv::Mat& mask, int32_t minimum_area) {
  // A flood fill of each 8-connected component: on strip-sized masks far cheaper than OpenCV's
  // labelling, which prepares for large pictures on every call.
  const int32_t rows = mask.rows;
  const int32_t cols = mask.cols;
  cv::Mat out = cv::Mat::zeros(mask.size(), CV_8U);
  cv::Mat seen = cv::Mat::zeros(mask.size(), CV_8U);
  std::vector<cv::Point> component;
  for (int32_t y = 0; y < rows; ++y) {
    const uchar* row = mask.ptr<uchar>(y);
    for (int32_t x = 0; x < cols; ++x) {
      if (row[x] == 0 || seen.at<uchar>(y, x) != 0) continue;
      component.assign(1, cv::Point(x, y));
      seen.at<uchar>(y, x) = 1;
      for (size_t next = 0; next < component.size(); ++next) {
        const cv::Point p = component[next];
        for (int32_t ny = std::max(p.y - 1, 0); ny <= std::min(p.y + 1, rows - 1); ++ny) {
          const uchar* neighbours = mask.ptr<uchar>(ny);
          uchar* marks = seen.ptr<uchar>(ny);
          for (int32_t nx = std::max(p.x - 1, 0); nx <= std::min(p.x + 1, cols - 1); ++nx) {
            if (neighbours[nx] != 0 && marks[nx] == 0) {
              marks[nx] = 1;
              component.emplace_back(nx, ny);
            }
          }
        }
      }
      if (static_cast<int64_t>(component.size()) < minimum_area) continue;
      for (const cv::Point& p : component) out.at<uchar>(p.y, p.x) = 255;
    }
  }
  return out;
}

cv::Mat LitSegmentMask(const cv::Mat& strip) {
  return LightOfStrip(MakeSeparatorWindow(strip, 0, strip.cols - 1), 0, strip.cols).mask;
}

std::vector<SeparatorBlob> ExtractSeparatorBlobs(const cv::Mat& /*lit*/, const cv::Mat& /*brightness*/,
                                                 const cv::Mat& combined) {
  std::vector<SeparatorBlob> blobs;
  const int32_t h = combined.rows;
  const int32_t ws = combined.cols;
  if (h < 1 || ws < 1) return blobs;

  std::vector<double> row_sums(h, 0.0);
  double total = 0.0;
  for (int32_t y = 0; y < h; ++y) {
    const float* row = combined.ptr<float>(y);
    for (int32_t x = 0; x < ws; ++x) row_sums[y] += row[x];
    total += row_sums[y];
  }

  int32_t k = std::max(RoundHalfEven(0.04 * h), 3);
  if (k % 2 == 0) ++k;
  std::vector<double> smoothed(h, 0.0);
  for (int32_t y = 0; y < h; ++y) {
    double sum = 0.0;
    for (int32_t i = std::max(y - k / 2, 0); i <= std::min(y + k / 2, h - 1); ++i) sum += row_sums[i];
    smoothed[y] = sum / k;
  }
  const double base = Percentile(smoothed, 10.0);
  double peak = 0.0;
  for (double& value : smoothed) {
    value = std::max(value - base, 0.0);
    peak = std::max(peak, value);
  }
  if (peak <= 0.0) return blobs;

  struct RowRun {
    int32_t start;
    int32_t end;
  };
  std::vector<RowRun> runs;
  const int32_t merge_gap = std::max(RoundHalfEven(0.035 * h), 1);
  for (int32_t y = 0; y < h; ++y) {
    if (!(smoothed[y] >= 0.18 * peak)) continue;
    if (!runs.empty() && runs.back().end == y - 1) {
      runs.back().end = y;
    } else if (!runs.empty() && y - runs.back().end - 1 <= merge_gap) {
      runs.back().end = y;
    } else {
      runs.push_back(RowRun{y, y});
    }
  }

  std::vector<double> columns(ws);
  std::iota(columns.begin(), columns.end(), 0.0);
  for (const RowRun& run : runs) {
    const int32_t height = run.end - run.start + 1;
    const bool touches_edge = run.start == 0 || run.end == h - 1;
    if (touches_edge && 0.08 * h >= height) continue;  // a sliver of the frame edge, not a mark
    double weight = 0.0;
    double sum_x = 0.0;
    double sum_y = 0.0;
    std::vector<double> column_weights(ws, 0.0);
    for (int32_t y = run.start; y <= run.end; ++y) {
      const float* row = combined.ptr<float>(y);
      for (int32_t x = 0; x < ws; ++x) {
        weight += row[x];
        sum_x += x * static_cast<double>(row[x]);
        sum_y += y * static_cast<double>(row[x]);
        column_weights[x] += row[x];
      }
    }
    if (weight <= 0.0 || weight / std::max(total, 1.0) < 0.03) continue;
    SeparatorBlob blob;
    blob.top = run.start;
    blob.bottom = run.end;
    blob.centre_x = static_cast<float>(sum_x / weight);
    blob.centre_y = static_cast<float>(sum_y / weight);
    blob.width = static_cast<float>(WeightedPercentile(columns, column_weights, 0.95) -
                                    WeightedPercentile(columns, column_weights, 0.05) + 1.0);
    blob.height = height;
    blob.weight = static_cast<float>(weight);
    blob.relative_y = static_cast<float>(blob.centre_y / std::max(h, 1));
    blob.mass = static_cast<float>(std::min(weight / std::max(0.01 * h * ws, 1.0), 1.0));
    blobs.push_back(blob);
  }
  return blobs;
}

SeparatorMarks FindSeparatorMarks(const std::vector<SeparatorBlob>& blobs, int32_t strip_width,
                                  int32_t zone_height) {
  SeparatorMarks marks;
  std::vector<const SeparatorBlob*> upper;
  std::vector<const SeparatorBlob*> lower;
  for (const SeparatorBlob& blob : blobs) {
    if (blob.relative_y < 0.55f) upper.push_back(&blob);
    if (blob.relative_y > 0.45f) lower.push_back(&blob);
  }
  auto ratio = [](double a, double b) {
    const double larger = std::max(a, b);
    return larger > 0.0 ? std::min(a, b) / larger : 0.0;
  };
  const double ws = strip_width;
  for (const SeparatorBlob* u : upper) {
    for (const SeparatorBlob* l : lower) {
      if (!(u->centre_y < l->centre_y)) continue;
      const double offset = std::abs(static_cast<double>(u->centre_x) - l->centre_x) / std::max(0.2 * ws, 1.0);
      const double alignment = std::exp(-0.5 * offset * offset);
      const double similarity =
          std::cbrt(ratio(u->width, l->width) * ratio(u->weight, l->weight) * ratio(u->height, l->height));
      const double gap = (static_cast<double>(l->centre_y) - u->centre_y) / std::max(zone_height, 1);
      const double gap_low = Clamp01((gap - 0.12) / 0.18);
      const double gap_high = Clamp01((0.8 - gap) / 0.2);
      const double upper_place = Clamp01((0.6 - u->relative_y) / 0.2);
      const double lower_place = Clamp01((l->relative_y - 0.4) / 0.2);
      const double off_centre =
          std::abs(((static_cast<double>(u->centre_x) + l->centre_x) / 2.0) / std::max(ws, 1.0) - 0.5);
      const double score = std::sqrt(static_cast<double>(u->mass) * l->mass) * alignment *
                           (0.25 + 0.2 * similarity + 0.25 * gap_low * gap_high +
                            0.15 * (0.5 * lower_place + 0.5 * upper_place) +
                            0.15 * (1.0 - std::min(2.0 * off_centre, 1.0)));
      if (!marks.colon_found || score > marks.colon_score) {
        marks.colon_found = true;
        marks.colon_score = score;
        marks.upper = *u;
        marks.lower = *l;
      }
    }
  }
  double top_mass = 0.0;
  for (const SeparatorBlob* u : upper) top_mass = std::max(top_mass, static_cast<double>(u->mass));
  for (const SeparatorBlob* d : lower) {
    const double score =
        (0.35 + 0.25 * Clamp01((d->relative_y - 0.5) * 4.0) + 0.4 * (1.0 - top_mass)) * d->mass;
    if (!marks.point_found || score > marks.point_score) {
      marks.point_found = true;
      marks.point_score = score;
      marks.point = *d;
    }
  }
  return marks;
}

SeparatorHypothesis ScoreSeparatorHypothesis(const SeparatorStripEvaluation& evaluation,
                                             const std::string& separator, double x, double mark_score,
                                             int32_t nominal_left, int32_t nominal_right) {
  const double a = nominal_left;
  const double b = nominal_right;
  const double m = std::max(b - a + 1.0, 1.0);
  const double r = 0.15 * m;
  const double centre = (a + b) / 2.0;
  const double strip_left = evaluation.strip_left;
  const double strip_right = evaluation.strip_right;

  SeparatorHypothesis h;
  h.separator = separator;
  h.separator_x = strip_left + x;
  h.mark_score = mark_score;
  const double overlap = Clamp01(std::max(std::min(b, strip_right) - std::max(a, strip_left) + 1.0, 0.0) / m);
  const double strip_off = std::max(std::abs((strip_left + strip_right) / 2.0 - centre) - r, 0.0) /
                           std::max(0.45 * m, 1.0);
  const double strip_fit = std::exp(-0.5 * strip_off * strip_off);
  const double mark_off = std::max(std::abs(h.separator_x - centre) - r, 0.0) / std::max(0.65 * m, 1.0);
  const double mark_fit = std::exp(-0.5 * mark_off * mark_off);
  const bool inside = a - r <= h.separator_x && h.separator_x <= b + r;
  h.placement_fit = std::clamp(inside ? overlap * strip_fit * mark_fit : 0.0, 0.0, 1.0);
  h.final_score = h.placement_fit * mark_score;
  return h;
}

SeparatorStripEvaluation EvaluateSeparatorStrip(const cv::Mat& zone_image, int32_t start, int32_t width) {
  const auto [left, right] = StripBounds(zone_image.cols, start, width);
  return EvaluateStrip(MakeSeparatorWindow(zone_image, left, right), zone_image.rows, left, right);
}

ClockLayoutDetection DetectClockLayout(const cv::Mat& zone_image) {
  ClockLayoutDetection detection;
  if (zone_image.empty()) return detection;
  const SeparatorSearchWindowResult window = SeparatorSearchWindow(zone_image.cols, zone_image.rows);

  std::vector<int32_t> starts;
  const int32_t last_start = std::max(window.search_left, window.search_right - window.strip_width + 1);
  for (int32_t s = window.search_left; s <= last_start; ++s) starts.push_back(s);
  if (std::find(starts.begin(), starts.end(), window.nominal_left) == starts.end()) {
    starts.push_back(window.nominal_left);
    std::sort(starts.begin(), starts.end());
  }

  // One window over every column a strip can cover, shared by all the strips.
  const int32_t window_left = StripBounds(zone_image.cols, starts.front(), window.strip_width).first;
  const int32_t window_right = StripBounds(zone_image.cols, starts.back(), window.strip_width).second;
  const SeparatorWindow shared = MakeSeparatorWindow(zone_image, window_left, window_right);

  std::optional<SeparatorHypothesis> best_colon;
  std::optional<SeparatorHypothesis> best_point;
  for (int32_t start : starts) {
    const auto [left, right] = StripBounds(zone_image.cols, start, window.strip_width);
    const SeparatorStripEvaluation ev = EvaluateStrip(shared, zone_image.rows, left, right);
    const SeparatorMarks& marks = ev.marks;
    if (marks.colon_found) {
      const double x = (static_cast<double>(marks.upper.centre_x) * marks.upper.weight +
                        static_cast<double>(marks.lower.centre_x) * marks.lower.weight) /
                       std::max(static_cast<double>(marks.upper.weight) + marks.lower.weight, 1.0);
      best_colon = BetterOf(best_colon, ScoreSeparatorHypothesis(ev, ":", x, marks.colon_score,
                                                                 window.nominal_left, window.nominal_right));
    }
    if (marks.point_found) {
      best_point = BetterOf(best_point, ScoreSeparatorHypothesis(ev, ".", marks.point.centre_x, marks.point_score,
                                                                 window.nominal_left, window.nominal_right));
    }
  }

  std::optional<SeparatorHypothesis> accepted;
  if (best_colon && best_colon->final_score >= kAcceptScore) accepted = best_colon;
  if (best_point && best_point->final_score >= kAcceptScore) {
    if (!accepted || best_point->final_score > accepted->final_score ||
        (best_point->final_score == accepted->final_score && best_point->mark_score > accepted->mark_score)) {
      accepted = best_point;
    }
  }
  if (!accepted) return detection;
  detection.separator_x = accepted->separator_x;
  detection.separator = accepted->separator;
  detection.mode = accepted->separator == ":" ? "minutes" : "tenths";
  detection.confidence = accepted->final_score;
  detection.detected = true;
  return detection;
}

}  // namespace tessvark
