// Zones cut from the working picture without warping the whole of it must be the very pixels the
// whole warp gives: over sizes, geometries and zones of every kind, each cut is compared byte for
// byte with the same zone cut from the whole warped picture.

#include "ocr/working_picture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace tessvark {
namespace {

SourceGeometry Geometry(double tlx, double tly, double trx, double try_, double brx, double bry,
                        double blx, double bly) {
  SourceGeometry geometry;
  geometry.top_left = {tlx, tly};
  geometry.top_right = {trx, try_};
  geometry.bottom_right = {brx, bry};
  geometry.bottom_left = {blx, bly};
  return geometry;
}

// Noise, so that any pixel read from a wrong place or weighed differently shows.
cv::Mat Noise(const cv::Size& size, int seed) {
  cv::Mat picture(size, CV_8UC3);
  cv::RNG rng(static_cast<uint64_t>(seed));
  rng.fill(picture, cv::RNG::UNIFORM, 0, 256);
  return picture;
}

AnalysisZone Zone(const std::string& id, double x, double y, double width, double height) {
  AnalysisZone zone;
  zone.id = id;
  zone.role = "home_score";
  zone.x = x;
  zone.y = y;
  zone.width = width;
  zone.height = height;
  return zone;
}

AnalysisZone Tilted(const std::string& id, CornerQuad corners) {
  AnalysisZone zone = Zone(id, corners[0].x, corners[0].y, corners[1].x - corners[0].x,
                           corners[3].y - corners[0].y);
  zone.perspective = true;
  zone.corners = corners;
  return zone;
}

bool SamePixels(const cv::Mat& a, const cv::Mat& b) {
  if (a.size() != b.size() || a.type() != b.type()) return false;
  return a.empty() || cv::norm(a, b, cv::NORM_INF) == 0.0;
}

void ExpectSameCrop(const ZoneCrop& cut, const ZoneCrop& whole) {
  EXPECT_TRUE(SamePixels(cut.image, whole.image))
      << "cut " << cut.image.cols << "x" << cut.image.rows << ", whole " << whole.image.cols << "x"
      << whole.image.rows;
  EXPECT_EQ(cut.left, whole.left);
  EXPECT_EQ(cut.top, whole.top);
  EXPECT_EQ(cut.right, whole.right);
  EXPECT_EQ(cut.bottom, whole.bottom);
  EXPECT_EQ(cut.width, whole.width);
  EXPECT_EQ(cut.height, whole.height);
  EXPECT_EQ(cut.perspective, whole.perspective);
  EXPECT_EQ(cut.failed, whole.failed);
  EXPECT_EQ(cut.error, whole.error);
}

const struct {
  const char* name;
  SourceGeometry geometry;
} kGeometries[] = {
    {"identity", SourceGeometry{}},
    {"the clip's corners", Geometry(0.1484375, 0.15555556118488312, 0.8578125238418579, 0.11666666716337204,
                                    0.887499988079071, 0.8888888955116272, 0.11874999850988388,
                                    0.8361111283302307)},
    {"the still's corners", Geometry(0.10000000149011612, 0.12777778506278992, 0.9125000238418579,
                                     0.16944444179534912, 0.895312488079071, 0.8722222447395325,
                                     0.11406250298023224, 0.9222221970558167)},
    {"a steep board", Geometry(0.3, 0.05, 0.95, 0.3, 0.9, 0.7, 0.2, 0.98)},
    {"almost the whole picture", Geometry(0.0, 0.0, 1.0, 0.0, 1.0, 1.0, 0.0, 0.999)},
    {"a tiny board", Geometry(0.5, 0.5, 0.51, 0.5, 0.51, 0.51, 0.5, 0.51)},
    {"a crossed board, read unwarped", Geometry(1.0, 0.0, 0.0, 0.0, 0.0, 1.0, 1.0, 1.0)},
};

const cv::Size kSizes[] = {{1920, 1080}, {1280, 720}, {333, 217}, {90, 40}};

std::vector<AnalysisZone> Zones() {
  return {
      Zone("whole", 0.0, 0.0, 1.0, 1.0),
      Zone("score", 0.0584, 0.0944, 0.1632, 0.2489),
      Zone("clock", 0.3042, 0.0693, 0.3916, 0.2852),
      Zone("corner", 0.97, 0.96, 0.03, 0.04),
      Zone("over the edge", 0.9, 0.9, 0.3, 0.3),
      Zone("outside", 1.2, 0.1, 0.1, 0.1),
      Zone("a sliver", 0.5, 0.5, 0.0001, 0.5),
      Tilted("tilted", {GeometryPoint{0.2, 0.3}, GeometryPoint{0.45, 0.25}, GeometryPoint{0.47, 0.5},
                        GeometryPoint{0.22, 0.55}}),
      Tilted("beyond the picture", {GeometryPoint{-0.1, -0.1}, GeometryPoint{0.3, -0.05},
                                    GeometryPoint{0.35, 0.2}, GeometryPoint{-0.05, 0.25}}),
      Tilted("wholly outside", {GeometryPoint{1.5, 1.5}, GeometryPoint{1.9, 1.5}, GeometryPoint{1.9, 1.8},
                                GeometryPoint{1.5, 1.8}}),
      Tilted("crossed", {GeometryPoint{0.45, 0.25}, GeometryPoint{0.2, 0.3}, GeometryPoint{0.47, 0.5},
                         GeometryPoint{0.22, 0.55}}),
  };
}

TEST(WorkingPicture, ZoneCutsAreThePixelsOfTheWholeWarp) {
  int seed = 1;
  for (const cv::Size& size : kSizes) {
    for (const auto& g : kGeometries) {
      SCOPED_TRACE(std::string(g.name) + " on " + std::to_string(size.width) + "x" +
                   std::to_string(size.height));
      const cv::Mat source = Noise(size, seed++);
      const WorkingView view = MakeWorkingView(source, g.geometry);
      std::string error;
      cv::Mat whole = WarpSourceFrame(source, g.geometry, &error);
      if (whole.empty()) whole = source;  // a geometry that cannot straighten the picture
      ASSERT_TRUE(SamePixels(WholeWorkingPicture(view), whole));
      ZoneCutter cutter;
      for (const AnalysisZone& zone : Zones()) {
        SCOPED_TRACE(zone.id);
        const std::optional<CornerQuad> corners =
            zone.perspective ? std::optional<CornerQuad>(zone.corners) : std::nullopt;
        const ZoneCrop expected = WarpZonePerspective(whole, zone.x, zone.y, zone.width, zone.height,
                                                      corners, zone.id);
        ExpectSameCrop(CutZone(view, zone.x, zone.y, zone.width, zone.height, corners, zone.id), expected);
        ExpectSameCrop(cutter.Cut(source, g.geometry, zone), expected);
      }
    }
  }
}

// The cutter keeps its maps between frames; a new picture of the same size reads new pixels
// through them, and a new size or geometry makes new maps.
TEST(WorkingPicture, TheCutterFollowsNewPicturesSizesAndGeometries) {
  const SourceGeometry clip = kGeometries[1].geometry;
  const SourceGeometry still = kGeometries[2].geometry;
  const struct {
    cv::Size size;
    SourceGeometry geometry;
  } frames[] = {{{1280, 720}, clip}, {{1280, 720}, clip}, {{1920, 1080}, clip},
                {{1920, 1080}, still}, {{1920, 1080}, SourceGeometry{}}, {{1920, 1080}, still}};
  ZoneCutter cutter;
  int seed = 100;
  for (const auto& frame : frames) {
    const cv::Mat source = Noise(frame.size, seed++);
    const cv::Mat whole = WholeWorkingPicture(MakeWorkingView(source, frame.geometry));
    for (AnalysisZone zone : Zones()) {
      SCOPED_TRACE(zone.id + " of picture " + std::to_string(seed));
      const std::optional<CornerQuad> corners =
          zone.perspective ? std::optional<CornerQuad>(zone.corners) : std::nullopt;
      ExpectSameCrop(cutter.Cut(source, frame.geometry, zone),
                     WarpZonePerspective(whole, zone.x, zone.y, zone.width, zone.height, corners, zone.id));
    }
  }
  // A zone moved under the same id is cut where it lies now.
  const cv::Mat source = Noise({1280, 720}, 7);
  const cv::Mat whole = WholeWorkingPicture(MakeWorkingView(source, clip));
  AnalysisZone zone = Zone("moving", 0.1, 0.1, 0.2, 0.2);
  cutter.Cut(source, clip, zone);
  zone.x = 0.4;
  ExpectSameCrop(cutter.Cut(source, clip, zone),
                 WarpZonePerspective(whole, 0.4, 0.1, 0.2, 0.2, std::nullopt, "moving"));
}

TEST(WorkingPicture, AreasAreThePixelsOfTheWholeWarp) {
  const cv::Mat source = Noise({1280, 720}, 3);
  const WorkingView view = MakeWorkingView(source, kGeometries[1].geometry);
  const cv::Mat whole = WholeWorkingPicture(view);
  ASSERT_TRUE(view.warped);
  for (const cv::Rect& area : {cv::Rect(0, 0, 64, 16), cv::Rect(63, 15, 2, 2), cv::Rect(100, 37, 301, 95),
                               cv::Rect(whole.cols - 5, whole.rows - 3, 20, 20)}) {
    SCOPED_TRACE(std::to_string(area.x) + "," + std::to_string(area.y));
    const cv::Rect inside = area & cv::Rect(0, 0, whole.cols, whole.rows);
    EXPECT_TRUE(SamePixels(WorkingArea(view, area), whole(inside)));
  }
  EXPECT_TRUE(WorkingArea(view, cv::Rect(whole.cols + 1, 0, 10, 10)).empty());
}

TEST(WorkingPicture, AnUnwarpedViewSharesTheSourcePicture) {
  const cv::Mat source = Noise({64, 48}, 4);
  const WorkingView view = MakeWorkingView(source, SourceGeometry{});
  EXPECT_FALSE(view.warped);
  EXPECT_EQ(WholeWorkingPicture(view).data, source.data) << "no copy of the whole picture";
  const cv::Mat area = WorkingArea(view, cv::Rect(4, 4, 8, 8));
  EXPECT_NE(area.data, source.data);
  EXPECT_TRUE(SamePixels(area, source(cv::Rect(4, 4, 8, 8))));
  EXPECT_TRUE(MakeWorkingView(cv::Mat(), kGeometries[1].geometry).size.empty());
}

}  // namespace
}  // namespace tessvark
