// Zones cut from the working picture without warping the whole of it. The pixels must be the very
// ones the whole warp gives, so the maps below repeat OpenCV's own arithmetic for
// cv::warpPerspective (bilinear, constant border) step by step: the inverse transform, the blocks
// of 16 rows and up to 64 columns in which it evaluates the transform, the fixed-point positions
// with five fraction bits, and cv::remap over them. This file is compiled without contracted
// floating-point operations so that each product and sum rounds as OpenCV's do.

#include "ocr/working_picture.h"

#include <algorithm>
#include <climits>
#include <utility>

#include <opencv2/imgproc.hpp>

namespace tessvark {
namespace {

// The rows and columns of the blocks in which cv::warpPerspective evaluates its transform: a
// pixel's position is computed from the start of its block's row segment.
constexpr int kWarpBlock = 32;

int WarpBlockColumns(const cv::Size& size) {
  const int rows = std::min(kWarpBlock / 2, size.height);
  return std::min(kWarpBlock * kWarpBlock / rows, size.width);
}

cv::Matx33d InverseOf(const cv::Mat& transform) {
  cv::Mat inverse;
  cv::invert(transform, inverse, cv::DECOMP_LU);
  return cv::Matx33d(inverse);
}

cv::Mat Remapped(const cv::Mat& picture, const cv::Mat& positions, const cv::Mat& weights) {
  cv::Mat out;
  cv::remap(picture, out, positions, weights, cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar::all(0));
  return out;
}

// The smallest rectangle of a picture of `size` holding every pixel that the bilinear positions
// read; empty when they read none (every position lies in the border).
cv::Rect AreaRead(const cv::Mat& positions, const cv::Size& size) {
  int left = INT_MAX;
  int top = INT_MAX;
  int right = INT_MIN;
  int bottom = INT_MIN;
  for (int row = 0; row < positions.rows; ++row) {
    const cv::Vec2s* line = positions.ptr<cv::Vec2s>(row);
    for (int column = 0; column < positions.cols; ++column) {
      // A position reads itself and its right, lower and lower-right neighbours.
      const int x0 = std::max<int>(line[column][0], 0);
      const int x1 = std::min<int>(line[column][0] + 1, size.width - 1);
      const int y0 = std::max<int>(line[column][1], 0);
      const int y1 = std::min<int>(line[column][1] + 1, size.height - 1);
      if (x0 > x1 || y0 > y1) continue;
      left = std::min(left, x0);
      right = std::max(right, x1);
      top = std::min(top, y0);
      bottom = std::max(bottom, y1);
    }
  }
  if (left > right) return cv::Rect();
  return cv::Rect(left, top, right - left + 1, bottom - top + 1);
}

// Moves positions by (-origin), so that they read a cut-out that starts at `origin`. A position
// outside the picture stays outside the cut-out, since the cut-out holds everything read inside.
void ShiftPositions(cv::Mat& positions, const cv::Point& origin) {
  for (int row = 0; row < positions.rows; ++row) {
    cv::Vec2s* line = positions.ptr<cv::Vec2s>(row);
    for (int column = 0; column < positions.cols; ++column) {
      line[column][0] = cv::saturate_cast<short>(line[column][0] - origin.x);
      line[column][1] = cv::saturate_cast<short>(line[column][1] - origin.y);
    }
  }
}

// The maps for a zone planned on the warped working picture of `view`; the plan has a picture to
// give (it did not fail, and a plain zone has pixels inside).
ZoneCutMaps MakeZoneCutMaps(const WorkingView& view, const ZoneCutPlan& plan) {
  ZoneCutMaps maps;
  maps.source_size = view.source.size();
  maps.geometry = view.geometry;
  maps.zone_transform = plan.transform;
  maps.crop = plan.crop;
  const ZoneCrop& crop = plan.crop;
  if (!crop.perspective) {
    maps.area = cv::Rect(crop.left, crop.top, crop.right - crop.left, crop.bottom - crop.top);
  } else {
    const cv::Size zone_size(crop.width, crop.height);
    PerspectiveWarpMap(InverseOf(plan.transform), zone_size, cv::Rect(cv::Point(), zone_size),
                       maps.zone_positions, maps.zone_weights);
    maps.area = AreaRead(maps.zone_positions, view.size);
    ShiftPositions(maps.zone_positions, maps.area.tl());
  }
  if (!maps.area.empty()) {
    PerspectiveWarpMap(view.inverse, view.size, maps.area, maps.area_positions, maps.area_weights);
  }
  return maps;
}

ZoneCrop ApplyZoneCutMaps(const WorkingView& view, const ZoneCutMaps& maps) {
  ZoneCrop crop = maps.crop;
  if (!crop.perspective) {
    crop.image = Remapped(view.source, maps.area_positions, maps.area_weights);
    return crop;
  }
  try {
    if (maps.area.empty()) {
      // Every position lies in the border, which is black.
      crop.image = cv::Mat::zeros(crop.height, crop.width, view.source.type());
    } else {
      const cv::Mat area = Remapped(view.source, maps.area_positions, maps.area_weights);
      crop.image = Remapped(area, maps.zone_positions, maps.zone_weights);
    }
  } catch (const cv::Exception&) {
    crop.image.release();
  }
  if (crop.image.empty()) {
    crop.failed = true;
    crop.error = "Perspective transform failed";
  }
  return crop;
}

// The plan needs no pixels: it failed, or a plain zone lies wholly outside the picture.
bool NothingToCut(const ZoneCutPlan& plan) {
  return plan.crop.failed || (!plan.crop.perspective && plan.crop.width == 0);
}

ZoneCutPlan PlanOnView(const WorkingView& view, double x, double y, double width, double height,
                       const std::optional<CornerQuad>& corners, const std::string& zone_id) {
  return PlanZoneCut(view.size.width, view.size.height, x, y, width, height, corners, zone_id);
}

std::optional<CornerQuad> CornersOf(const AnalysisZone& zone) {
  return zone.perspective ? std::optional<CornerQuad>(zone.corners) : std::nullopt;
}

}  // namespace

void PerspectiveWarpMap(const cv::Matx33d& inverse, const cv::Size& size, const cv::Rect& area,
                        cv::Mat& positions, cv::Mat& weights) {
  positions.create(area.height, area.width, CV_16SC2);
  weights.create(area.height, area.width, CV_16UC1);
  const double* M = inverse.val;
  const int block_columns = WarpBlockColumns(size);
  for (int row = 0; row < area.height; ++row) {
    const int y = area.y + row;
    cv::Vec2s* xy = positions.ptr<cv::Vec2s>(row);
    ushort* alpha = weights.ptr<ushort>(row);
    for (int column = 0; column < area.width; ++column) {
      const int x_start = (area.x + column) / block_columns * block_columns;
      const int x1 = area.x + column - x_start;
      // The warp's own expressions, in its order: the row segment's start, then the offset.
      const double X0 = M[0] * x_start + M[1] * y + M[2];
      const double Y0 = M[3] * x_start + M[4] * y + M[5];
      const double W0 = M[6] * x_start + M[7] * y + M[8];
      double W = W0 + M[6] * x1;
      W = W ? static_cast<double>(cv::INTER_TAB_SIZE) / W : 0;
      const double fX = std::max(static_cast<double>(INT_MIN), std::min(static_cast<double>(INT_MAX), (X0 + M[0] * x1) * W));
      const double fY = std::max(static_cast<double>(INT_MIN), std::min(static_cast<double>(INT_MAX), (Y0 + M[3] * x1) * W));
      const int X = cv::saturate_cast<int>(fX);
      const int Y = cv::saturate_cast<int>(fY);
      xy[column][0] = cv::saturate_cast<short>(X >> cv::INTER_BITS);
      xy[column][1] = cv::saturate_cast<short>(Y >> cv::INTER_BITS);
      alpha[column] = static_cast<ushort>((Y & (cv::INTER_TAB_SIZE - 1)) * cv::INTER_TAB_SIZE +
                                          (X & (cv::INTER_TAB_SIZE - 1)));
    }
  }
}

WorkingView MakeWorkingView(const cv::Mat& source, const SourceGeometry& geometry) {
  WorkingView view;
  view.source = source;
  view.geometry = geometry;
  view.size = source.size();
  if (source.empty()) return view;
  // A geometry that cannot straighten the picture leaves it as it is.
  const SourceWarpPlan plan = PlanSourceWarp(source.cols, source.rows, geometry);
  if (!plan.ok || plan.identity) return view;
  view.warped = true;
  view.size = cv::Size(plan.output_width, plan.output_height);
  view.transform = SourceWarpTransform(plan);
  view.inverse = InverseOf(view.transform);
  return view;
}

cv::Mat WholeWorkingPicture(const WorkingView& view) {
  if (!view.warped) return view.source;
  cv::Mat working;
  cv::warpPerspective(view.source, working, view.transform, view.size, cv::INTER_LINEAR,
                      cv::BORDER_CONSTANT, cv::Scalar::all(0));
  return working;
}

cv::Mat WorkingArea(const WorkingView& view, const cv::Rect& area) {
  const cv::Rect inside = area & cv::Rect(cv::Point(), view.size);
  if (inside.empty()) return cv::Mat();
  if (!view.warped) return view.source(inside).clone();
  cv::Mat positions;
  cv::Mat weights;
  PerspectiveWarpMap(view.inverse, view.size, inside, positions, weights);
  return Remapped(view.source, positions, weights);
}

ZoneCrop CutZone(const WorkingView& view, double x, double y, double width, double height,
                 const std::optional<CornerQuad>& corners, const std::string& zone_id) {
  if (!view.warped) return WarpZonePerspective(view.source, x, y, width, height, corners, zone_id);
  const ZoneCutPlan plan = PlanOnView(view, x, y, width, height, corners, zone_id);
  if (NothingToCut(plan)) return plan.crop;
  return ApplyZoneCutMaps(view, MakeZoneCutMaps(view, plan));
}

ZoneCrop ZoneCutter::Cut(const cv::Mat& source, const SourceGeometry& geometry,
                         const AnalysisZone& zone) {
  if (!view_ || view_->source.size() != source.size() || !(view_->geometry == geometry)) {
    view_ = MakeWorkingView(source, geometry);
  }
  view_->source = source;
  const WorkingView& view = *view_;
  if (!view.warped) {
    return WarpZonePerspective(source, zone.x, zone.y, zone.width, zone.height, CornersOf(zone), zone.id);
  }
  const ZoneCutPlan plan = PlanOnView(view, zone.x, zone.y, zone.width, zone.height, CornersOf(zone), zone.id);
  if (NothingToCut(plan)) return plan.crop;
  ZoneCutMaps& maps = maps_[zone.id];
  // A new entry has an empty source size, which no picture to cut has.
  const bool fits = maps.zone == zone && maps.source_size == source.size() &&
                    maps.geometry == geometry && maps.zone_transform.data == plan.transform.data;
  if (!fits) {
    maps = MakeZoneCutMaps(view, plan);
    maps.zone = zone;
  }
  return ApplyZoneCutMaps(view, maps);
}

void ZoneCutter::KeepOnly(const std::vector<AnalysisZone>& zones) {
  std::erase_if(maps_, [&](const auto& entry) {
    return std::none_of(zones.begin(), zones.end(),
                        [&](const AnalysisZone& zone) { return zone.id == entry.first; });
  });
}

}  // namespace tessvark
