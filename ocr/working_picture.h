#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "ocr/analysis_inputs.h"
#include "ocr/zone_geometry.h"

namespace tessvark {

// The working picture of one source picture under one source geometry, without its pixels: the
// picture itself (the identity geometry, or one that cannot straighten it) or its perspective
// warp. Zones are cut from it where they lie, pixel for pixel as from the whole warped picture,
// so that only what is read is warped.
struct WorkingView {
  cv::Mat source;          // shared with its owner, never written
  SourceGeometry geometry;  // as given, also when it was not used
  bool warped = false;
  cv::Size size;           // of the working picture
  cv::Mat transform;       // source pixels to working pixels (3x3 CV_64F), when warped
  cv::Matx33d inverse;     // working pixels to source pixels, as the warp computes it
};

WorkingView MakeWorkingView(const cv::Mat& source, const SourceGeometry& geometry);

// The whole working picture: the source itself (shared, not copied) when it is not warped.
cv::Mat WholeWorkingPicture(const WorkingView& view);

// The working picture's pixels inside `area` (clipped to the picture; empty when nothing is left),
// a picture of its own.
cv::Mat WorkingArea(const WorkingView& view, const cv::Rect& area);

// The zone cut from the working picture: what WarpZonePerspective gives on the whole working
// picture, bounds and failures included, computing only the pixels the zone reads.
ZoneCrop CutZone(const WorkingView& view, double x, double y, double width, double height,
                 const std::optional<CornerQuad>& corners, const std::string& zone_id);

// The fixed-point map (CV_16SC2 positions and CV_16UC1 interpolation weights) through which
// cv::warpPerspective, bilinear, reads its source for the pixels of `area` of a destination of
// `size`, given the inverse of its transform: computed exactly as the warp computes it, so that
// cv::remap with it gives those pixels bit for bit.
void PerspectiveWarpMap(const cv::Matx33d& inverse, const cv::Size& size, const cv::Rect& area,
                        cv::Mat& positions, cv::Mat& weights);

// The maps that cut one planned zone from a warped working picture: the working area the zone
// reads, as positions in the source, and for a perspective cut the zone's own positions in that
// area. What they were made for is kept beside them.
struct ZoneCutMaps {
  AnalysisZone zone;
  cv::Size source_size;
  SourceGeometry geometry;
  cv::Mat zone_transform;  // the perspective cache's transform they follow (a shared handle)
  ZoneCrop crop;           // the plan, without its picture
  cv::Rect area;
  cv::Mat area_positions;
  cv::Mat area_weights;
  cv::Mat zone_positions;
  cv::Mat zone_weights;
};

// Cuts the zones of successive frames as CutZone does, keeping each zone's maps, so that a frame
// of the same size under the same geometry costs a remap or two per zone and no map arithmetic.
// Not thread-safe: one owner cuts with it.
class ZoneCutter {
 public:
  ZoneCrop Cut(const cv::Mat& source, const SourceGeometry& geometry, const AnalysisZone& zone);
  // Drops the maps of zones whose id is not among `zones`.
  void KeepOnly(const std::vector<AnalysisZone>& zones);

 private:
  std::optional<WorkingView> view_;  // of the last source size and geometry
  std::map<std::string, ZoneCutMaps> maps_;  // by zone id
};

}  // namespace tessvark
