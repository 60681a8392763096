#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include <opencv2/core.hpp>

namespace tessvark {

// A point in fractions (0..1) of a picture's width and height; y grows downwards.
struct GeometryPoint {
  double x = 0.0;
  double y = 0.0;

  bool operator==(const GeometryPoint&) const = default;
};

// Four corners, always in the order top_left, top_right, bottom_right, bottom_left.
using CornerQuad = std::array<GeometryPoint, 4>;

// The scoreboard's corners on the whole source picture. The identity quad stands for the
// picture unchanged and is every source's default.
struct SourceGeometry {
  GeometryPoint top_left{0.0, 0.0};
  GeometryPoint top_right{1.0, 0.0};
  GeometryPoint bottom_right{1.0, 1.0};
  GeometryPoint bottom_left{0.0, 1.0};

  bool operator==(const SourceGeometry&) const = default;
};

CornerQuad GeometryCorners(const SourceGeometry& geometry);

struct PixelPoint {
  double x = 0.0;
  double y = 0.0;
};

struct SourceWarpPlan {
  bool ok = false;
  std::string error;
  bool identity = false;
  int32_t output_width = 0;
  int32_t output_height = 0;
  std::array<PixelPoint, 4> source_corners{};
  std::array<PixelPoint, 4> destination_corners{};
};

// Pixel bounds; right and bottom are exclusive.
struct PixelBounds {
  int32_t left = 0;
  int32_t top = 0;
  int32_t right = 0;
  int32_t bottom = 0;
};

struct ZoneCrop {
  cv::Mat image;
  int32_t left = 0;
  int32_t top = 0;
  int32_t right = 0;
  int32_t bottom = 0;
  bool perspective = false;
  bool failed = false;
  std::string error;
  int32_t width = 0;
  int32_t height = 0;
};

struct PerspectiveCacheEntry {
  int32_t frame_width = 0;
  int32_t frame_height = 0;
  CornerQuad corners{};
  cv::Mat transform;  // 3x3 CV_64F; empty after a failed computation
  int32_t output_width = 0;
  int32_t output_height = 0;
};

// Nearest integer, exact halves to the even neighbour (2.5 -> 2, 3.5 -> 4, -2.5 -> -2).
// Values beyond the int32 range saturate and NaN gives 0, so no caller can hit an undefined
// conversion.
int32_t RoundHalfEven(double value);

// Zone rectangle (fractions) to pixel bounds of a W x H picture, truncating toward zero and
// clipping to the picture. Throws std::invalid_argument "Zone coordinates must be finite".
PixelBounds ZoneRectToPixels(double x, double y, double width, double height, int32_t image_width,
                             int32_t image_height);

// Deep copy of the zone rectangle's pixels, or an empty picture when nothing lies inside.
cv::Mat CropNormalizedRect(const cv::Mat& frame, double x, double y, double width, double height);

ZoneCrop CropZone(const cv::Mat& frame, double x, double y, double width, double height);

// How a zone is cut from a picture of a given size, before any pixel is touched: the crop's
// bounds, size, path and failure (its image left empty) and, for a perspective cut, the zone's
// transform from picture pixels to zone pixels, taken from the process-wide perspective cache.
// A plain zone with nothing inside the picture has width and height 0.
struct ZoneCutPlan {
  ZoneCrop crop;
  cv::Mat transform;  // 3x3 CV_64F; perspective cuts only
};
ZoneCutPlan PlanZoneCut(int32_t frame_width, int32_t frame_height, double x, double y, double width,
                        double height, const std::optional<CornerQuad>& corners,
                        const std::string& zone_id);

// Cuts a zone as a plain rectangle, or through its perspective corners when they differ from
// the rectangle. Never throws for bad geometry: problems come back as failed + error. The
// transform is cached per zone id in the process-wide perspective cache.
ZoneCrop WarpZonePerspective(const cv::Mat& frame, double x, double y, double width,
                             double height, const std::optional<CornerQuad>& corners,
                             const std::string& zone_id);

// A copy of the perspective cache entry under the key a zone id maps to ("zone" for an empty
// id), or nothing when that key was never used.
std::optional<PerspectiveCacheEntry> FindPerspectiveCacheEntry(const std::string& zone_id);

std::string CheckUnitCoordinate(const std::string& corner_name, const std::string& axis_name,
                                double value);

// Empty when the geometry is usable, otherwise the first problem found.
std::string ValidateSourceGeometry(const SourceGeometry& geometry);

SourceWarpPlan PlanSourceWarp(int32_t source_width, int32_t source_height,
                              const SourceGeometry& geometry);

// The transform from source pixels to working pixels of a usable plan that is not the identity:
// the one WarpSourceFrame warps with.
cv::Mat SourceWarpTransform(const SourceWarpPlan& plan);

// The working image: a deep copy for the identity geometry, a perspective warp otherwise, or
// an empty image with the plan's error copied into *error (when given).
cv::Mat WarpSourceFrame(const cv::Mat& frame, const SourceGeometry& geometry,
                        std::string* error = nullptr);

}  // namespace tessvark
