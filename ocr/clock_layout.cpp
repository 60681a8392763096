#include "ocr/clock_layout.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>
#include <optional>

#include <opencv2/imgproc.hpp>

#include "ocr/digit_layout.h"
#include "ocr/zone_geometry.h"

namespace tessvark {
namespace {

constexpr double kAcceptScore = 0.65;

double Clamp01(double value) {
  if (!(value > 0.0)) return 0.0;
  return std::min(value, 1.0);
}

// Percentile of every pixel of a single-channel 8-bit picture. Counting the 256 levels gives
// exactly the ranks that sorting all pixels would, at a fraction of the cost.
double PixelPercentile(const cv::Mat& image, double p) {
  std::array<uint64_t, 256> counts{};
  for (int y = 0; y < image.rows; ++y) {
    const uchar* row = image.ptr<uchar>(y);
    for (int x = 0; x < image.cols; ++x) ++counts[row[x]];
  }
  const uint64_t n = static_cast<uint64_t>(image.rows) * image.cols;
  if (n == 0) return 0.0;
  auto value_at = [&](uint64_t rank) {
    uint64_t seen = 0;
    for (int v = 0; v < 256; ++v) {
      seen += counts[v];
      if (seen > rank) return static_cast<double>(v);
    }
    return 255.0;
  };
  if (n == 1) return value_at(0);
  const double x = p / 100.0 * static_cast<double>(n - 1);
  const double lo = std::floor(x);
  const double hi = std::ceil(x);
  const double frac = x - lo;
  return frac * value_at(static_cast<uint64_t>(hi)) + (1.0 - frac) * value_at(static_cast<uint64_t>(lo));
}

struct SeparatorMaps {
  cv::Mat lit;
  cv::Mat brightness;
  cv::Mat combined;
};

SeparatorMaps BuildSeparatorMaps(const cv::Mat& strip) {
  cv::Mat grey8;
  cv::cvtColor(strip, grey8, cv::COLOR_BGR2GRAY);
  cv::Mat grey;
  grey8.convertTo(grey, CV_32F);

  SeparatorMaps maps;
  const cv::Mat mask = LitSegmentMask(strip);
  maps.lit = cv::Mat::zeros(strip.size(), CV_32F);
  maps.lit.setTo(1.0f, mask);

  const float lo = static_cast<float>(PixelPercentile(grey8, 55.0));
  const float hi = static_cast<float>(PixelPercentile(grey8, 99.0));
  const float span = std::max(hi - lo, 1.0f);
  maps.brightness.create(strip.size(), CV_32F);
  maps.combined.create(strip.size(), CV_32F);
  for (int y = 0; y < grey.rows; ++y) {
    const float* g = grey.ptr<float>(y);
    const float* l = maps.lit.ptr<float>(y);
    float* b = maps.brightness.ptr<float>(y);
    float* c = maps.combined.ptr<float>(y);
    for (int x = 0; x < grey.cols; ++x) {
      const float level = std::clamp((g[x] - lo) / span, 0.0f, 1.0f);
      b[x] = std::pow(level, 1.5f);
      c[x] = 0.5f * b[x] + 0.5f * l[x];
    }
  }
  return maps;
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
  cv::Mat labels;
  cv::Mat stats;
  cv::Mat centroids;
  const int count = cv::connectedComponentsWithStats(mask, labels, stats, centroids, 8, CV_32S);
  std::vector<uchar> keep(static_cast<size_t>(count), 0);
  for (int label = 1; label < count; ++label) {
    keep[label] = stats.at<int>(label, cv::CC_STAT_AREA) >= minimum_area ? 255 : 0;
  }
  cv::Mat out = cv::Mat::zeros(mask.size(), CV_8U);
  for (int y = 0; y < labels.rows; ++y) {
    const int* l = labels.ptr<int>(y);
    uchar* o = out.ptr<uchar>(y);
    for (int x = 0; x < labels.cols; ++x) o[x] = keep[l[x]];
  }
  return out;
}

cv::Mat LitSegmentMask(const cv::Mat& strip) {
  cv::Mat grey;
  cv::cvtColor(strip, grey, cv::COLOR_BGR2GRAY);
  cv::Mat hsv;
  cv::cvtColor(strip, hsv, cv::COLOR_BGR2HSV);
  std::vector<cv::Mat> channels;
  cv::split(hsv, channels);
  const cv::Mat& value = channels[2];

  const double value_threshold = std::max(std::trunc(PixelPercentile(value, 94.0)), 135.0);
  cv::Mat bright;
  cv::compare(value, value_threshold, bright, cv::CMP_GE);

  // Top-hat: what stands out of its own neighbourhood, so a lit mark on a lit board still shows.
  cv::Mat blurred;
  cv::GaussianBlur(grey, blurred, cv::Size(0, 0), 7.0, 7.0, cv::BORDER_REFLECT_101);
  cv::Mat top_hat;
  cv::subtract(grey, blurred, top_hat);
  const double top_hat_threshold = std::max(std::trunc(PixelPercentile(top_hat, 94.0)), 8.0);
  const double grey_threshold = std::max(std::trunc(PixelPercentile(grey, 82.0)), 105.0);

  cv::Mat grey_lit;
  cv::compare(grey, grey_threshold, grey_lit, cv::CMP_GE);
  cv::Mat standing_out;
  cv::compare(top_hat, top_hat_threshold, standing_out, cv::CMP_GE);
  cv::Mat mask;
  cv::bitwise_and(grey_lit, standing_out, mask);
  cv::bitwise_or(bright, mask, mask);

  const int64_t area = static_cast<int64_t>(strip.cols) * strip.rows;
  mask = RemoveSmallBlobs(mask, std::max(static_cast<int32_t>(std::trunc(area * 1.5e-5)), 3));
  const cv::Mat element = cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(3, 3));
  cv::morphologyEx(mask, mask, cv::MORPH_CLOSE, element, cv::Point(-1, -1), 1, cv::BORDER_CONSTANT,
                   cv::morphologyDefaultBorderValue());
  return mask;
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
  SeparatorStripEvaluation evaluation;
  const int32_t w = zone_image.cols;
  evaluation.strip_left = std::max(std::min(start, w - width), 0);
  evaluation.strip_right = std::min(evaluation.strip_left + width, w) - 1;
  const cv::Mat strip = zone_image.colRange(evaluation.strip_left, evaluation.strip_right + 1);
  const SeparatorMaps maps = BuildSeparatorMaps(strip);
  evaluation.blobs = ExtractSeparatorBlobs(maps.lit, maps.brightness, maps.combined);
  evaluation.marks = FindSeparatorMarks(evaluation.blobs, strip.cols, zone_image.rows);
  return evaluation;
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

  std::optional<SeparatorHypothesis> best_colon;
  std::optional<SeparatorHypothesis> best_point;
  for (int32_t start : starts) {
    const SeparatorStripEvaluation ev = EvaluateSeparatorStrip(zone_image, start, window.strip_width);
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
