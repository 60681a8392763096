#include "ocr/zone_geometry.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

#include "core/mutex.h"

namespace tessvark {
namespace {

constexpr double kCornerMatchTolerance = 1e-4;
constexpr double kIdentityTolerance = 1e-9;

const char* const kCornerNames[4] = {"top_left", "top_right", "bottom_right", "bottom_left"};

// One transform per zone id for the whole process. Entries are never removed.
struct PerspectiveCache {
  Mutex mutex;
  std::map<std::string, PerspectiveCacheEntry> entries GUARDED_BY(mutex);
};

PerspectiveCache& ProcessPerspectiveCache() {
  static PerspectiveCache cache;
  return cache;
}

std::string CacheKey(const std::string& zone_id) { return zone_id.empty() ? "zone" : zone_id; }

double Distance(const PixelPoint& a, const PixelPoint& b) { return std::hypot(a.x - b.x, a.y - b.y); }

double Turn(const PixelPoint& a, const PixelPoint& b, const PixelPoint& c) {
  return (b.x - a.x) * (c.y - b.y) - (b.y - a.y) * (c.x - b.x);
}

// Converts a double that may be far outside any picture into a pixel index within [low, high]
// without ever converting an out-of-range double.
int32_t ClampToInt(double value, int32_t low, int32_t high) {
  if (std::isnan(value)) return low;
  return static_cast<int32_t>(std::clamp(value, static_cast<double>(low), static_cast<double>(high)));
}

ZoneCrop FailCrop(ZoneCrop crop, const char* message) {
  crop.failed = true;
  crop.error = message;
  crop.image = cv::Mat();
  return crop;
}

bool SameCorners(const CornerQuad& a, const CornerQuad& b) {
  for (size_t i = 0; i < 4; ++i) {
    if (!(std::abs(a[i].x - b[i].x) <= kCornerMatchTolerance) ||
        !(std::abs(a[i].y - b[i].y) <= kCornerMatchTolerance)) {
      return false;
    }
  }
  return true;
}

// The two edge lengths that give the rectified size: the longer of top/bottom and of left/right.
void QuadEdgeLengths(const std::array<PixelPoint, 4>& p, double& across, double& down) {
  across = std::max(Distance(p[1], p[0]), Distance(p[2], p[3]));
  down = std::max(Distance(p[3], p[0]), Distance(p[2], p[1]));
}

std::array<cv::Point2f, 4> RectangleCorners(int32_t width, int32_t height) {
  const float w = static_cast<float>(width - 1);
  const float h = static_cast<float>(height - 1);
  return {cv::Point2f(0.0f, 0.0f), cv::Point2f(w, 0.0f), cv::Point2f(w, h), cv::Point2f(0.0f, h)};
}

std::array<cv::Point2f, 4> ToFloatPoints(const std::array<PixelPoint, 4>& p) {
  std::array<cv::Point2f, 4> out;
  for (size_t i = 0; i < 4; ++i) {
    out[i] = cv::Point2f(static_cast<float>(p[i].x), static_cast<float>(p[i].y));
  }
  return out;
}

bool TransformIsStable(const cv::Mat& transform) {
  const double det = cv::determinant(transform);
  if (!std::isfinite(det) || !(std::abs(det) > 1e-8)) return false;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      if (!std::isfinite(transform.at<double>(r, c))) return false;
    }
  }
  return true;
}

// Looks up or recomputes the zone's transform under the cache mutex and returns a shared
// handle to it, or the failure message.
const char* CachedTransform(const std::string& zone_id, int32_t frame_width, int32_t frame_height,
                            const CornerQuad& corners, const std::array<PixelPoint, 4>& pixel_corners,
                            int32_t width, int32_t height, cv::Mat& transform) {
  PerspectiveCache& cache = ProcessPerspectiveCache();
  MutexLock lock(cache.mutex);
  PerspectiveCacheEntry& entry = cache.entries[CacheKey(zone_id)];
  const bool hit = entry.frame_width == frame_width && entry.frame_height == frame_height &&
                   entry.output_width == width && entry.output_height == height &&
                   SameCorners(entry.corners, corners) && !entry.transform.empty();
  if (!hit) {
    const std::array<cv::Point2f, 4> source = ToFloatPoints(pixel_corners);
    const std::array<cv::Point2f, 4> destination = RectangleCorners(width, height);
    try {
      entry.transform = cv::getPerspectiveTransform(source.data(), destination.data(), cv::DECOMP_LU);
    } catch (const cv::Exception&) {
      entry.transform.release();
    }
    if (entry.transform.empty() || entry.transform.rows != 3 || entry.transform.cols != 3) {
      entry.transform.release();
      return "Perspective transform is invalid";
    }
    entry.transform.convertTo(entry.transform, CV_64F);
    if (!TransformIsStable(entry.transform)) {
      entry.transform.release();
      return "Perspective transform is unstable";
    }
    entry.frame_width = frame_width;
    entry.frame_height = frame_height;
    entry.corners = corners;
    entry.output_width = width;
    entry.output_height = height;
  }
  transform = entry.transform;
  return nullptr;
}

}  // namespace

CornerQuad GeometryCorners(const SourceGeometry& geometry) {
  return {geometry.top_left, geometry.top_right, geometry.bottom_right, geometry.bottom_left};
}

int32_t RoundHalfEven(double value) {
  if (std::isnan(value)) return 0;
  double rounded = std::round(value);
  if (std::abs(rounded - value) == 0.5) rounded = 2.0 * std::round(value * 0.5);
  constexpr double kLow = static_cast<double>(std::numeric_limits<int32_t>::min());
  constexpr double kHigh = static_cast<double>(std::numeric_limits<int32_t>::max());
  return static_cast<int32_t>(std::clamp(rounded, kLow, kHigh));
}

PixelBounds ZoneRectToPixels(double x, double y, double width, double height, int32_t image_width,
                             int32_t image_height) {
  if (!std::isfinite(x) || !std::isfinite(y) || !std::isfinite(width) || !std::isfinite(height)) {
    throw std::invalid_argument("Zone coordinates must be finite");
  }
  // Clipping to the picture before the conversion keeps far-away zones defined; a zone wholly
  // outside still ends up as an empty range.
  const int32_t w = std::max(image_width, 0);
  const int32_t h = std::max(image_height, 0);
  PixelBounds bounds;
  bounds.left = ClampToInt(std::trunc(x * image_width), 0, w);
  bounds.top = ClampToInt(std::trunc(y * image_height), 0, h);
  bounds.right = ClampToInt(std::trunc((x + width) * image_width), 0, w);
  bounds.bottom = ClampToInt(std::trunc((y + height) * image_height), 0, h);
  return bounds;
}

cv::Mat CropNormalizedRect(const cv::Mat& frame, double x, double y, double width, double height) {
  if (frame.empty()) return cv::Mat();
  const PixelBounds b = ZoneRectToPixels(x, y, width, height, frame.cols, frame.rows);
  if (b.left >= b.right || b.top >= b.bottom) return cv::Mat();
  return frame(cv::Range(b.top, b.bottom), cv::Range(b.left, b.right)).clone();
}

ZoneCrop CropZone(const cv::Mat& frame, double x, double y, double width, double height) {
  ZoneCrop crop;
  crop.image = CropNormalizedRect(frame, x, y, width, height);
  const PixelBounds b = ZoneRectToPixels(x, y, width, height, frame.cols, frame.rows);
  crop.left = b.left;
  crop.top = b.top;
  crop.right = b.right;
  crop.bottom = b.bottom;
  crop.width = crop.image.cols;
  crop.height = crop.image.rows;
  return crop;
}

ZoneCutPlan PlanZoneCut(int32_t frame_width, int32_t frame_height, double x, double y, double width,
                        double height, const std::optional<CornerQuad>& corners,
                        const std::string& zone_id) {
  ZoneCutPlan plan;
  ZoneCrop& crop = plan.crop;
  const CornerQuad rectangle = {GeometryPoint{x, y}, GeometryPoint{x + width, y},
                                GeometryPoint{x + width, y + height}, GeometryPoint{x, y + height}};
  if (!corners.has_value() || SameCorners(*corners, rectangle)) {
    try {
      const PixelBounds b = ZoneRectToPixels(x, y, width, height, frame_width, frame_height);
      crop.left = b.left;
      crop.top = b.top;
      crop.right = b.right;
      crop.bottom = b.bottom;
      if (b.left < b.right && b.top < b.bottom) {
        crop.width = b.right - b.left;
        crop.height = b.bottom - b.top;
      }
    } catch (const std::invalid_argument& error) {
      crop = FailCrop(ZoneCrop{}, error.what());
    }
    return plan;
  }

  crop.perspective = true;
  std::array<PixelPoint, 4> p;
  for (size_t i = 0; i < 4; ++i) {
    const GeometryPoint& c = (*corners)[i];
    if (!std::isfinite(c.x) || !std::isfinite(c.y)) {
      crop = FailCrop(crop, "Perspective corners must be finite");
      return plan;
    }
    p[i] = PixelPoint{c.x * frame_width, c.y * frame_height};
  }
  for (size_t i = 0; i < 4; ++i) {
    for (size_t j = i + 1; j < 4; ++j) {
      if (Distance(p[i], p[j]) < 2.0) {
        crop = FailCrop(crop, "Perspective corners are too close");
        return plan;
      }
    }
  }
  for (size_t i = 0; i < 4; ++i) {
    const double t = Turn(p[i], p[(i + 1) % 4], p[(i + 2) % 4]);
    if (!(t > 1.0)) {
      crop = FailCrop(crop, t < -1.0 ? "Perspective corners are reversed or crossed"
                                     : "Perspective shape is too flat");
      return plan;
    }
  }
  double across = 0.0;
  double down = 0.0;
  QuadEdgeLengths(p, across, down);
  const int32_t natural_width = RoundHalfEven(across);
  const int32_t natural_height = RoundHalfEven(down);
  if (natural_width < 8 || natural_height < 8) {
    crop = FailCrop(crop, "Perspective selection is too small");
    return plan;
  }
  // Corners far outside the frame would ask for a huge picture; twice the frame's size is
  // more than any real scoreboard field needs.
  const int32_t output_width =
      static_cast<int32_t>(std::min<int64_t>(natural_width, 2 * static_cast<int64_t>(frame_width)));
  const int32_t output_height =
      static_cast<int32_t>(std::min<int64_t>(natural_height, 2 * static_cast<int64_t>(frame_height)));

  double min_x = p[0].x, max_x = p[0].x, min_y = p[0].y, max_y = p[0].y;
  for (const PixelPoint& point : p) {
    min_x = std::min(min_x, point.x);
    max_x = std::max(max_x, point.x);
    min_y = std::min(min_y, point.y);
    max_y = std::max(max_y, point.y);
  }
  crop.left = ClampToInt(std::floor(min_x), 0, frame_width);
  crop.top = ClampToInt(std::floor(min_y), 0, frame_height);
  crop.right = ClampToInt(std::ceil(max_x), 0, frame_width);
  crop.bottom = ClampToInt(std::ceil(max_y), 0, frame_height);
  crop.width = output_width;
  crop.height = output_height;

  if (const char* failure = CachedTransform(zone_id, frame_width, frame_height, *corners, p,
                                            output_width, output_height, plan.transform)) {
    crop = FailCrop(crop, failure);
  }
  return plan;
}

ZoneCrop WarpZonePerspective(const cv::Mat& frame, double x, double y, double width,
                             double height, const std::optional<CornerQuad>& corners,
                             const std::string& zone_id) {
  if (frame.empty()) return ZoneCrop{};
  ZoneCutPlan plan = PlanZoneCut(frame.cols, frame.rows, x, y, width, height, corners, zone_id);
  ZoneCrop& crop = plan.crop;
  if (crop.failed) return crop;
  if (!crop.perspective) {
    if (crop.width > 0) crop.image = frame(cv::Range(crop.top, crop.bottom), cv::Range(crop.left, crop.right)).clone();
    return crop;
  }
  try {
    cv::warpPerspective(frame, crop.image, plan.transform, cv::Size(crop.width, crop.height),
                        cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar::all(0));
  } catch (const cv::Exception&) {
    return FailCrop(crop, "Perspective transform failed");
  }
  if (crop.image.empty()) return FailCrop(crop, "Perspective transform failed");
  return crop;
}

std::optional<PerspectiveCacheEntry> FindPerspectiveCacheEntry(const std::string& zone_id) {
  PerspectiveCache& cache = ProcessPerspectiveCache();
  MutexLock lock(cache.mutex);
  const auto found = cache.entries.find(CacheKey(zone_id));
  if (found == cache.entries.end()) return std::nullopt;
  return found->second;
}

std::string CheckUnitCoordinate(const std::string& corner_name, const std::string& axis_name,
                                double value) {
  if (!std::isfinite(value)) return corner_name + "." + axis_name + " must be finite";
  if (value < 0.0 || value > 1.0) return corner_name + "." + axis_name + " must be between 0 and 1";
  return std::string();
}

std::string ValidateSourceGeometry(const SourceGeometry& geometry) {
  const CornerQuad c = GeometryCorners(geometry);
  for (size_t i = 0; i < 4; ++i) {
    std::string message = CheckUnitCoordinate(kCornerNames[i], "x", c[i].x);
    if (message.empty()) message = CheckUnitCoordinate(kCornerNames[i], "y", c[i].y);
    if (!message.empty()) return message;
  }
  std::array<PixelPoint, 4> p;
  for (size_t i = 0; i < 4; ++i) p[i] = PixelPoint{c[i].x, c[i].y};
  for (size_t i = 0; i < 4; ++i) {
    for (size_t j = i + 1; j < 4; ++j) {
      if (Distance(p[i], p[j]) < 0.001) return "Geometry points are too close together";
    }
  }
  const double area = 0.5 * (p[0].x * p[1].y - p[1].x * p[0].y + p[1].x * p[2].y - p[2].x * p[1].y +
                             p[2].x * p[3].y - p[3].x * p[2].y + p[3].x * p[0].y - p[0].x * p[3].y);
  if (!(area >= 0.001)) return "Geometry area is too small";
  for (size_t i = 0; i < 4; ++i) {
    if (!(Turn(p[i], p[(i + 1) % 4], p[(i + 2) % 4]) > 1e-9)) {
      return "Geometry must be a non-crossed convex TL/TR/BR/BL quadrilateral";
    }
  }
  return std::string();
}

SourceWarpPlan PlanSourceWarp(int32_t source_width, int32_t source_height,
                              const SourceGeometry& geometry) {
  SourceWarpPlan plan;
  if (source_width < 1 || source_height < 1) {
    plan.error = "Source image dimensions must be positive";
    return plan;
  }
  plan.error = ValidateSourceGeometry(geometry);
  if (!plan.error.empty()) return plan;
  plan.ok = true;

  const CornerQuad c = GeometryCorners(geometry);
  const CornerQuad identity = GeometryCorners(SourceGeometry{});
  plan.identity = true;
  for (size_t i = 0; i < 4; ++i) {
    if (!(std::abs(c[i].x - identity[i].x) <= kIdentityTolerance) ||
        !(std::abs(c[i].y - identity[i].y) <= kIdentityTolerance)) {
      plan.identity = false;
    }
  }
  for (size_t i = 0; i < 4; ++i) {
    plan.source_corners[i] = PixelPoint{c[i].x * (source_width - 1.0), c[i].y * (source_height - 1.0)};
  }
  if (plan.identity) {
    plan.output_width = source_width;
    plan.output_height = source_height;
  } else {
    double across = 0.0;
    double down = 0.0;
    QuadEdgeLengths(plan.source_corners, across, down);
    plan.output_width = std::max(16, RoundHalfEven(across));
    plan.output_height = std::max(16, RoundHalfEven(down));
  }
  const double w = plan.output_width - 1.0;
  const double h = plan.output_height - 1.0;
  plan.destination_corners = {PixelPoint{0.0, 0.0}, PixelPoint{w, 0.0}, PixelPoint{w, h}, PixelPoint{0.0, h}};
  return plan;
}

cv::Mat SourceWarpTransform(const SourceWarpPlan& plan) {
  const std::array<cv::Point2f, 4> source = ToFloatPoints(plan.source_corners);
  const std::array<cv::Point2f, 4> destination = RectangleCorners(plan.output_width, plan.output_height);
  return cv::getPerspectiveTransform(source.data(), destination.data(), cv::DECOMP_LU);
}

cv::Mat WarpSourceFrame(const cv::Mat& frame, const SourceGeometry& geometry, std::string* error) {
  const SourceWarpPlan plan = PlanSourceWarp(frame.cols, frame.rows, geometry);
  if (!plan.ok) {
    if (error != nullptr) *error = plan.error;
    return cv::Mat();
  }
  if (plan.identity) return frame.clone();
  cv::Mat working;
  cv::warpPerspective(frame, working, SourceWarpTransform(plan), cv::Size(plan.output_width, plan.output_height),
                      cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar::all(0));
  return working;
}

}  // namespace tessvark
