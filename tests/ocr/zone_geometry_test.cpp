#include "ocr/zone_geometry.h"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

namespace tessvark {
namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

CornerQuad Quad(double x0, double y0, double x1, double y1, double x2, double y2, double x3, double y3) {
  return {GeometryPoint{x0, y0}, GeometryPoint{x1, y1}, GeometryPoint{x2, y2}, GeometryPoint{x3, y3}};
}

SourceGeometry Geometry(const CornerQuad& q) { return SourceGeometry{q[0], q[1], q[2], q[3]}; }

cv::Mat Frame(int width, int height) {
  cv::Mat frame(height, width, CV_8UC3);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) frame.at<cv::Vec3b>(y, x) = cv::Vec3b(x % 256, y % 256, (x + y) % 256);
  }
  return frame;
}

TEST(OcrZoneGeometry, RoundHalfEvenSendsExactHalvesToTheEvenNeighbour) {
  const struct {
    double value;
    int32_t expected;
  } cases[] = {
      {2.5, 2},   {3.5, 4},     {-2.5, -2}, {-3.5, -4}, {0.5, 0},      {1.5, 2},
      {10.5, 10}, {11.5, 12},   {2.4999, 2}, {2.5001, 3}, {-0.4, 0},   {7.0, 7},
  };
  for (const auto& c : cases) EXPECT_EQ(RoundHalfEven(c.value), c.expected) << c.value;
}

TEST(OcrZoneGeometry, RoundHalfEvenSaturatesInsteadOfOverflowing) {
  EXPECT_EQ(RoundHalfEven(1e12), std::numeric_limits<int32_t>::max());
  EXPECT_EQ(RoundHalfEven(-1e12), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(RoundHalfEven(kInf), std::numeric_limits<int32_t>::max());
  EXPECT_EQ(RoundHalfEven(kNaN), 0);
}

TEST(OcrZoneGeometry, ZoneRectToPixelsTruncatesAndClips) {
  const PixelBounds b = ZoneRectToPixels(0.2495, 0.25, 0.5, 0.5, 200, 100);
  EXPECT_EQ(b.left, 49);  // 49.9 truncates
  EXPECT_EQ(b.top, 25);
  EXPECT_EQ(b.right, 149);
  EXPECT_EQ(b.bottom, 75);
  const PixelBounds clipped = ZoneRectToPixels(-0.2, -0.5, 2.0, 3.0, 200, 100);
  EXPECT_EQ(clipped.left, 0);
  EXPECT_EQ(clipped.top, 0);
  EXPECT_EQ(clipped.right, 200);
  EXPECT_EQ(clipped.bottom, 100);
}

TEST(OcrZoneGeometry, ZoneRectToPixelsRefusesNonFiniteNumbers) {
  for (double bad : {kNaN, kInf, -kInf}) {
    try {
      ZoneRectToPixels(bad, 0.0, 0.5, 0.5, 100, 100);
      FAIL() << "no exception for " << bad;
    } catch (const std::invalid_argument& error) {
      EXPECT_STREQ(error.what(), "Zone coordinates must be finite");
    }
    EXPECT_THROW(ZoneRectToPixels(0.0, 0.0, 0.5, bad, 100, 100), std::invalid_argument);
  }
}

TEST(OcrZoneGeometry, FarAwayZoneCoordinatesStayDefined) {
  // 1e12 * 1920 does not fit an int32; the bounds are clipped in double first.
  const PixelBounds far = ZoneRectToPixels(1e12, -1e12, 1e12, 1e12, 1920, 1080);
  EXPECT_EQ(far.left, 1920);
  EXPECT_EQ(far.right, 1920);
  EXPECT_EQ(far.top, 0);
  EXPECT_EQ(far.bottom, 0);
  const cv::Mat frame = Frame(64, 48);
  EXPECT_TRUE(CropNormalizedRect(frame, 1e6, 1e6, 1e6, 1e6).empty());
  const ZoneCrop all = CropZone(frame, -1e12, -1e12, 2e12, 2e12);
  EXPECT_EQ(all.width, 64);
  EXPECT_EQ(all.height, 48);
}

TEST(OcrZoneGeometry, CropIsADeepCopyOfTheRectangle) {
  const cv::Mat frame = Frame(100, 50);
  cv::Mat crop = CropNormalizedRect(frame, 0.1, 0.2, 0.3, 0.4);
  ASSERT_EQ(crop.cols, 30);
  ASSERT_EQ(crop.rows, 20);
  EXPECT_EQ(crop.at<cv::Vec3b>(0, 0), frame.at<cv::Vec3b>(10, 10));
  crop.setTo(cv::Scalar::all(7));
  EXPECT_NE(frame.at<cv::Vec3b>(10, 10), cv::Vec3b(7, 7, 7));
  EXPECT_TRUE(CropNormalizedRect(cv::Mat(), 0.1, 0.2, 0.3, 0.4).empty());
}

TEST(OcrZoneGeometry, CropZoneReportsBoundsEvenForAnEmptyFrame) {
  const ZoneCrop crop = CropZone(cv::Mat(), 0.5, 0.5, 0.25, 0.25);
  EXPECT_TRUE(crop.image.empty());
  EXPECT_EQ(crop.width, 0);
  EXPECT_FALSE(crop.failed);
}

TEST(OcrZoneGeometry, CornersOnTheRectangleTakeThePlainPath) {
  const cv::Mat frame = Frame(100, 100);
  const ZoneCrop crop = WarpZonePerspective(frame, 0.1, 0.2, 0.5, 0.4,
                                            Quad(0.10005, 0.2, 0.6, 0.2, 0.6, 0.6, 0.1, 0.60009), "plain");
  EXPECT_FALSE(crop.perspective);
  EXPECT_FALSE(crop.failed);
  EXPECT_EQ(crop.width, 50);
  EXPECT_EQ(crop.height, 40);
  EXPECT_EQ(crop.left, 10);
  EXPECT_EQ(crop.bottom, 60);
}

TEST(OcrZoneGeometry, PlainPathReportsNonFiniteRectangles) {
  const ZoneCrop crop = WarpZonePerspective(Frame(10, 10), kNaN, 0.0, 1.0, 1.0, std::nullopt, "nan");
  EXPECT_TRUE(crop.failed);
  EXPECT_EQ(crop.error, "Zone coordinates must be finite");
  EXPECT_TRUE(crop.image.empty());
}

TEST(OcrZoneGeometry, EmptyFrameAndOutsideRectangleAreNotFailures) {
  EXPECT_FALSE(WarpZonePerspective(cv::Mat(), 0.0, 0.0, 1.0, 1.0, std::nullopt, "e").failed);
  const ZoneCrop outside = WarpZonePerspective(Frame(40, 40), 1.5, 1.5, 0.2, 0.2, std::nullopt, "e");
  EXPECT_FALSE(outside.failed);
  EXPECT_TRUE(outside.image.empty());
}

TEST(OcrZoneGeometry, PerspectiveCornerProblemsAreReportedInOrder) {
  const cv::Mat frame = Frame(100, 100);
  const struct {
    const char* name;
    CornerQuad corners;
    const char* error;
  } cases[] = {
      {"non-finite", Quad(0.1, 0.1, kNaN, 0.1, 0.9, 0.9, 0.1, 0.9), "Perspective corners must be finite"},
      {"1.9 px apart", Quad(0.1, 0.1, 0.119, 0.1, 0.9, 0.9, 0.1, 0.9), "Perspective corners are too close"},
      {"counter-clockwise", Quad(0.1, 0.1, 0.1, 0.9, 0.9, 0.9, 0.9, 0.1),
       "Perspective corners are reversed or crossed"},
      {"crossed", Quad(0.1, 0.1, 0.9, 0.1, 0.1, 0.9, 0.9, 0.9), "Perspective corners are reversed or crossed"},
      {"flat", Quad(0.1, 0.1, 0.5, 0.1, 0.9, 0.1002, 0.1, 0.5), "Perspective shape is too flat"},
  };
  for (const auto& c : cases) {
    const ZoneCrop crop = WarpZonePerspective(frame, 0.0, 0.0, 1.0, 1.0, c.corners, "checks");
    EXPECT_TRUE(crop.perspective) << c.name;
    EXPECT_TRUE(crop.failed) << c.name;
    EXPECT_EQ(crop.error, c.error) << c.name;
    EXPECT_TRUE(crop.image.empty()) << c.name;
    EXPECT_EQ(crop.width, 0) << c.name;
  }
}

TEST(OcrZoneGeometry, CornersTwoPixelsApartPassTheDistanceRule) {
  const ZoneCrop crop = WarpZonePerspective(Frame(100, 100), 0.0, 0.0, 1.0, 1.0,
                                            Quad(0.1, 0.1, 0.12, 0.1, 0.9, 0.9, 0.1, 0.9), "two-px");
  EXPECT_NE(crop.error, "Perspective corners are too close");
}

TEST(OcrZoneGeometry, OutputSizeRoundsHalfEvenAndMustReachEightPixels) {
  // A 64-pixel frame keeps these fractions exact: 7, 8, 10.5 and 11.5 pixels wide, 16 high.
  const cv::Mat frame = Frame(64, 64);
  const struct {
    double right;
    bool failed;
    int32_t width;
  } cases[] = {{7.0, true, 0}, {8.0, false, 8}, {10.5, false, 10}, {11.5, false, 12}};
  for (const auto& c : cases) {
    const double r = c.right / 64.0;
    const ZoneCrop crop = WarpZonePerspective(frame, 0.0, 0.0, 0.5, 0.5,
                                              Quad(0.0, 0.0, r, 0.0, r, 0.25, 0.0, 0.25), "size");
    EXPECT_EQ(crop.failed, c.failed) << c.right;
    if (c.failed) {
      EXPECT_EQ(crop.error, "Perspective selection is too small");
    } else {
      EXPECT_EQ(crop.width, c.width) << c.right;
      EXPECT_EQ(crop.image.cols, c.width) << c.right;
      EXPECT_EQ(crop.height, 16);
    }
  }
}

TEST(OcrZoneGeometry, PerspectiveWarpRectifiesTheQuadrilateral) {
  // A white skewed quadrilateral on black: rectified, the output is white nearly everywhere.
  cv::Mat frame(200, 300, CV_8UC3, cv::Scalar::all(0));
  const CornerQuad corners = Quad(0.2, 0.2, 0.8, 0.25, 0.75, 0.8, 0.25, 0.7);
  std::vector<cv::Point> polygon;
  for (const GeometryPoint& p : corners) polygon.emplace_back(std::lround(p.x * 300), std::lround(p.y * 200));
  cv::fillConvexPoly(frame, polygon, cv::Scalar::all(255));
  const ZoneCrop crop = WarpZonePerspective(frame, 0.2, 0.2, 0.6, 0.6, corners, "rectify");
  ASSERT_FALSE(crop.failed) << crop.error;
  EXPECT_TRUE(crop.perspective);
  EXPECT_EQ(crop.left, 60);
  EXPECT_EQ(crop.top, 40);
  EXPECT_EQ(crop.right, 240);
  EXPECT_EQ(crop.bottom, 160);
  cv::Mat grey;
  cv::cvtColor(crop.image, grey, cv::COLOR_BGR2GRAY);
  EXPECT_GT(cv::mean(grey)[0], 235.0);
}

TEST(OcrZoneGeometry, TransformIsCachedPerZoneId) {
  const cv::Mat frame = Frame(120, 90);
  const CornerQuad corners = Quad(0.1, 0.1, 0.9, 0.15, 0.85, 0.9, 0.15, 0.8);
  ASSERT_FALSE(WarpZonePerspective(frame, 0.0, 0.0, 1.0, 1.0, corners, "cached").failed);
  const auto first = FindPerspectiveCacheEntry("cached");
  ASSERT_TRUE(first.has_value());
  ASSERT_FALSE(WarpZonePerspective(frame, 0.0, 0.0, 1.0, 1.0, corners, "cached").failed);
  const auto second = FindPerspectiveCacheEntry("cached");
  EXPECT_EQ(first->transform.data, second->transform.data);  // not recomputed

  CornerQuad moved = corners;
  moved[2].x += 0.0002;
  ASSERT_FALSE(WarpZonePerspective(frame, 0.0, 0.0, 1.0, 1.0, moved, "cached").failed);
  const auto third = FindPerspectiveCacheEntry("cached");
  EXPECT_NE(second->transform.data, third->transform.data);
  EXPECT_DOUBLE_EQ(third->corners[2].x, moved[2].x);
  EXPECT_EQ(third->frame_width, 120);
  EXPECT_EQ(third->frame_height, 90);
}

TEST(OcrZoneGeometry, CacheServesSeveralThreadsAtOnce) {
  // Two threads keep replacing one zone's transform while warping with it; each must always
  // get a picture of its own size.
  const cv::Mat frame = Frame(120, 90);
  auto worker = [&](double right, int32_t expected_width) {
    for (int i = 0; i < 200; ++i) {
      const ZoneCrop crop = WarpZonePerspective(frame, 0.0, 0.0, 1.0, 1.0,
                                                Quad(0.1, 0.1, right, 0.1, right, 0.5, 0.1, 0.45), "shared");
      ASSERT_FALSE(crop.failed) << crop.error;
      ASSERT_EQ(crop.image.cols, expected_width);
    }
  };
  std::thread a(worker, 0.5, 48);
  std::thread b(worker, 0.9, 96);
  a.join();
  b.join();
}

TEST(OcrZoneGeometry, EmptyZoneIdIsCachedAsZone) {
  const CornerQuad corners = Quad(0.1, 0.1, 0.9, 0.12, 0.88, 0.9, 0.12, 0.85);
  ASSERT_FALSE(WarpZonePerspective(Frame(80, 80), 0.0, 0.0, 1.0, 1.0, corners, "").failed);
  const auto entry = FindPerspectiveCacheEntry("zone");
  ASSERT_TRUE(entry.has_value());
  EXPECT_DOUBLE_EQ(entry->corners[1].y, 0.12);
  EXPECT_FALSE(FindPerspectiveCacheEntry("never-used").has_value());
}

TEST(OcrZoneGeometry, CornersFarOutsideTheFrameGiveABoundedPicture) {
  // Corners far outside would ask for pictures of millions of pixels a side and pixel bounds
  // beyond int32; the size is capped at twice the frame and the bounds clipped to it. Where the
  // capped transform shrinks too much it is refused as unstable instead.
  const cv::Mat frame = Frame(160, 90);
  const struct {
    const char* name;
    CornerQuad corners;
    const char* error;
  } cases[] = {
      {"one far", Quad(0.1, 0.1, 1e6, 0.1, 0.9, 0.9, 0.1, 0.9), "Perspective transform is unstable"},
      {"wide", Quad(-3.0, 0.2, 4.0, 0.2, 4.0, 0.8, -3.0, 0.8), ""},
      {"all far", Quad(-1e6, -1e6, 1e6, -1e6, 1e6, 1e6, -1e6, 1e6), "Perspective transform is unstable"},
      {"beyond int32 in pixels", Quad(-1e12, -1e12, 1e12, -1e12, 1e12, 1e12, -1e12, 1e12),
       "Perspective transform is unstable"},
  };
  for (const auto& c : cases) {
    const ZoneCrop crop = WarpZonePerspective(frame, 0.0, 0.0, 1.0, 1.0, c.corners, "far");
    EXPECT_EQ(crop.error, c.error) << c.name;
    EXPECT_TRUE(crop.perspective) << c.name;
    EXPECT_GE(crop.width, 8) << c.name;
    EXPECT_LE(crop.width, 2 * frame.cols) << c.name;
    EXPECT_LE(crop.height, 2 * frame.rows) << c.name;
    EXPECT_EQ(crop.image.cols, crop.failed ? 0 : crop.width) << c.name;
    EXPECT_GE(crop.left, 0) << c.name;
    EXPECT_LE(crop.right, frame.cols) << c.name;
    EXPECT_GE(crop.top, 0) << c.name;
    EXPECT_LE(crop.bottom, frame.rows) << c.name;
  }
}

TEST(OcrZoneGeometry, ValidateSourceGeometryReportsTheFirstProblem) {
  const struct {
    const char* name;
    CornerQuad corners;
    const char* error;
  } cases[] = {
      {"identity", Quad(0, 0, 1, 0, 1, 1, 0, 1), ""},
      {"inner", Quad(0.1, 0.1, 0.9, 0.2, 0.8, 0.9, 0.2, 0.8), ""},
      {"x above 1", Quad(0, 0, 1.0000001, 0, 1, 1, 0, 1), "top_right.x must be between 0 and 1"},
      {"y above 1", Quad(0, 0, 1, 1.5, 1, 1, 0, 1), "top_right.y must be between 0 and 1"},
      {"nan", Quad(0, 0, 1, 0, 1, 1, 0, kNaN), "bottom_left.y must be finite"},
      {"negative", Quad(-0.001, 0, 1, 0, 1, 1, 0, 1), "top_left.x must be between 0 and 1"},
      {"close", Quad(0, 0, 0.0005, 0, 1, 1, 0, 1), "Geometry points are too close together"},
      {"counter-clockwise", Quad(0, 0, 0, 1, 1, 1, 1, 0), "Geometry area is too small"},
      {"tiny", Quad(0, 0, 0.03, 0, 0.03, 0.03, 0, 0.03), "Geometry area is too small"},
      {"concave", Quad(0, 0, 1, 0, 0.3, 0.3, 0, 1),
       "Geometry must be a non-crossed convex TL/TR/BR/BL quadrilateral"},
  };
  for (const auto& c : cases) EXPECT_EQ(ValidateSourceGeometry(Geometry(c.corners)), c.error) << c.name;
}

TEST(OcrZoneGeometry, CheckUnitCoordinateAcceptsTheEnds) {
  EXPECT_EQ(CheckUnitCoordinate("top_left", "x", 0.0), "");
  EXPECT_EQ(CheckUnitCoordinate("top_left", "x", 1.0), "");
  EXPECT_EQ(CheckUnitCoordinate("bottom_right", "y", kInf), "bottom_right.y must be finite");
}

TEST(OcrZoneGeometry, PlanSourceWarpSizesTheWorkingImage) {
  const SourceWarpPlan none = PlanSourceWarp(0, 0, SourceGeometry{});
  EXPECT_FALSE(none.ok);
  EXPECT_EQ(none.error, "Source image dimensions must be positive");

  SourceGeometry near_identity;
  near_identity.bottom_right.x = 1.0 - 5e-10;
  const SourceWarpPlan identity = PlanSourceWarp(640, 360, near_identity);
  EXPECT_TRUE(identity.ok);
  EXPECT_TRUE(identity.identity);
  EXPECT_EQ(identity.output_width, 640);
  EXPECT_EQ(identity.output_height, 360);

  // 10 by 12 pixels of a 101 by 101 picture: below the 16-pixel minimum.
  const SourceWarpPlan small = PlanSourceWarp(101, 101, Geometry(Quad(0.1, 0.1, 0.2, 0.1, 0.2, 0.22, 0.1, 0.22)));
  ASSERT_TRUE(small.ok) << small.error;
  EXPECT_FALSE(small.identity);
  EXPECT_EQ(small.output_width, 16);
  EXPECT_EQ(small.output_height, 16);

  const SourceWarpPlan half = PlanSourceWarp(201, 101, Geometry(Quad(0.25, 0, 0.75, 0, 0.75, 1, 0.25, 1)));
  EXPECT_EQ(half.output_width, 100);
  EXPECT_EQ(half.output_height, 100);
  EXPECT_DOUBLE_EQ(half.source_corners[1].x, 150.0);
  EXPECT_DOUBLE_EQ(half.destination_corners[2].x, 99.0);
  EXPECT_DOUBLE_EQ(half.destination_corners[2].y, 99.0);

  const SourceWarpPlan refused = PlanSourceWarp(100, 100, Geometry(Quad(0, 0, 0, 1, 1, 1, 1, 0)));
  EXPECT_FALSE(refused.ok);
  EXPECT_EQ(refused.error, "Geometry area is too small");
}

TEST(OcrZoneGeometry, WarpSourceFrameCopiesOrWarps) {
  const cv::Mat frame = Frame(64, 48);
  const cv::Mat copy = WarpSourceFrame(frame, SourceGeometry{});
  ASSERT_EQ(copy.size(), frame.size());
  EXPECT_NE(copy.data, frame.data);
  EXPECT_EQ(cv::norm(copy, frame, cv::NORM_INF), 0.0);

  const cv::Mat half = WarpSourceFrame(frame, Geometry(Quad(0, 0, 0.5, 0, 0.5, 1, 0, 1)));
  EXPECT_EQ(half.cols, 32);  // RoundHalfEven(31.5)
  EXPECT_EQ(half.rows, 47);

  std::string error;
  EXPECT_TRUE(WarpSourceFrame(frame, Geometry(Quad(0, 0, 2, 0, 1, 1, 0, 1)), &error).empty());
  EXPECT_EQ(error, "top_right.x must be between 0 and 1");
  EXPECT_TRUE(WarpSourceFrame(cv::Mat(), SourceGeometry{}, &error).empty());
  EXPECT_EQ(error, "Source image dimensions must be positive");
}

}  // namespace
}  // namespace tessvark
