#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "ocr/digit_layout.h"
#include "ocr/zone_geometry.h"
#include "ocr/zone_preprocessing.h"

namespace tessvark {

// One zone of the zone set as the engine reads it. A zone with an empty role is never read.
struct AnalysisZone {
  std::string id;    // keys the perspective cache
  std::string role;  // "clock" or one of CanonicalOcrRoles()
  double x = 0.0;    // fractions of the working image
  double y = 0.0;
  double width = 0.0;
  double height = 0.0;
  std::optional<ZoneProcessing> processing;
  ClockFormat clock_format = ClockFormat::Auto;  // only clock-like roles use it
  bool perspective = false;
  CornerQuad corners{};  // top_left, top_right, bottom_right, bottom_left; used only with perspective

  bool operator==(const AnalysisZone&) const = default;
};

// The roles a zone change restricts reading and publishing to; absent means every role.
using RoleFilter = std::optional<std::set<std::string>>;

// How the engine reads the frames of a source: its zones, the source geometry that makes the
// working picture they lie on, and the roles it may read. The session makes one whenever any of
// these changes and shares it, never changing it afterwards; the generation moves with every
// such change, so that comparing generations tells whether anything a reading depends on moved.
struct AnalysisSetup {
  uint64_t generation = 0;
  std::vector<AnalysisZone> zones;
  SourceGeometry geometry;
  RoleFilter role_filter;
};

// The identity of the selected source. While the worker has one set, frames of any other
// identity are not analysed.
struct SourceContext {
  std::string source_type = "none";
  std::string source_id;
  std::string generation;  // decimal text of the session's source generation

  bool operator==(const SourceContext&) const = default;
};

// One frame handed to the analysis worker, always held by shared pointer.
struct WorkingFrame {
  // The source picture as received; the setup's geometry makes the working picture of it. Shared
  // and never written once handed over (receivers make a new picture for every frame), so the
  // worker reads it without a copy.
  cv::Mat image;
  int32_t frame_number = 0;
  std::string profile_key;  // source type + "\n" + source id
  SourceContext source;
  // Empty in the frames the session makes; the worker's own record of a frame points back to the
  // frame submitted.
  std::shared_ptr<const WorkingFrame> origin;
};

}  // namespace tessvark
