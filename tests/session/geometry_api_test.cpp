// The source geometry operations through the real server on loopback.

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include "zone_api_client.h"

namespace tessvark {
namespace {

using testing::ApiReply;
using testing::DetailJson;

constexpr const char* kIdentityPoints =
    R"({"top_left":{"x":0,"y":0},"top_right":{"x":1,"y":0},"bottom_right":{"x":1,"y":1},)"
    R"("bottom_left":{"x":0,"y":1}})";
constexpr const char* kBoardPoints =
    R"({"top_left":{"x":0.25,"y":0.1},"top_right":{"x":0.75,"y":0.1},)"
    R"("bottom_right":{"x":0.8,"y":0.9},"bottom_left":{"x":0.2,"y":0.9}})";
constexpr const char* kBoardPointsWritten =
    R"({"top_left":{"x":0.25,"y":0.10000000000000001},"top_right":{"x":0.75,"y":0.10000000000000001},)"
    R"("bottom_right":{"x":0.80000000000000004,"y":0.90000000000000002},)"
    R"("bottom_left":{"x":0.20000000000000001,"y":0.90000000000000002}})";

cv::Size WorkingPreviewSize(testing::ZoneApiClient& api) {
  const std::string jpeg = api.Get("/preview/working").body;
  const cv::Mat picture =
      cv::imdecode(std::vector<unsigned char>(jpeg.begin(), jpeg.end()), cv::IMREAD_COLOR);
  return picture.size();
}

TEST(GeometryApi, WithoutSourceTheDefaultGeometryIsSetAndKept) {
  testing::ExampleStillSession run("geometry-none");
  ASSERT_TRUE(run.Start(""));
  EXPECT_EQ(run.api().Get("/api/source/geometry").body,
            std::string(R"({"source_type":"geometry","source_id":"unscoped","points":)") +
                kIdentityPoints + "}");
  const ApiReply set =
      run.api().Put("/api/source/geometry", std::string(R"({"points":)") + kBoardPoints + "}");
  EXPECT_EQ(set.status, 200);
  EXPECT_EQ(set.body, std::string(R"({"points":)") + kBoardPointsWritten + "}");
  ASSERT_TRUE(run.Restart());
  EXPECT_EQ(run.api().Get("/api/source/geometry").body,
            std::string(R"({"source_type":"geometry","source_id":"unscoped","points":)") +
                kBoardPointsWritten + "}");
}

TEST(GeometryApi, CurrentSourceIsWarpedAtOnceAndOtherSourcesWait) {
  testing::ExampleStillSession run("geometry-current");
  ASSERT_TRUE(run.Start("example", "example-2"));
  const cv::Size before = WorkingPreviewSize(run.api());
  ASSERT_FALSE(before.empty());
  const std::string current = run.api().Get("/api/source/geometry").body;
  EXPECT_EQ(current.rfind(R"({"source_type":"example","source_id":"example-2","points":)", 0), 0u)
      << current;

  const std::string other = std::string(R"({"source_type":"ndi","source_id":"Cam \"1\"","points":)") +
                            kBoardPoints + "}";
  ASSERT_EQ(run.api().Put("/api/source/geometry", other).status, 200);
  EXPECT_EQ(run.api().Get("/api/source/geometry").body, current);
  EXPECT_EQ(WorkingPreviewSize(run.api()), before) << "another source's geometry waits";
  SourceConfiguration stored;
  ConfigStore(run.folder()).Load(stored);
  const ZoneProfile* profile = stored.FindProfile(ProfileKey("ndi", "Cam \"1\""));
  ASSERT_NE(profile, nullptr);
  EXPECT_TRUE(profile->has_geometry);
  EXPECT_EQ(profile->corners.bottom_right.x, 0.8);

  // Naming the selected source is the same as naming none.
  const ApiReply set = run.api().Put(
      "/api/source/geometry", std::string(R"({"source_type":"example","source_id":"example-2",)") +
                                  R"("points":)" + kBoardPoints + "}");
  ASSERT_EQ(set.status, 200) << set.body;
  EXPECT_NE(WorkingPreviewSize(run.api()), before) << "the picture is warped again at once";
  EXPECT_NE(run.api().Get("/api/source/geometry").body.find(kBoardPointsWritten), std::string::npos);
}

TEST(GeometryApi, Refusals) {
  testing::ExampleStillSession run("geometry-refusals");
  ASSERT_TRUE(run.Start(""));
  const std::string corners = R"("top_right":{"x":1,"y":0},"bottom_right":{"x":1,"y":1},)"
                              R"("bottom_left":{"x":0,"y":1})";
  const std::string required =
      "Exactly top_left, top_right, bottom_right and bottom_left are required";
  const std::string identity = "Source identity requires source_type and source_id";
  const std::vector<testing::Refusal> cases = {
      {"{", 400, "Request body is not valid JSON"},
      {"[1]", 422, "Request body must be an object"},
      {"{}", 422, required},
      {R"({"points":[]})", 422, required},
      {R"({"points":{)" + corners + "}}", 422, required},
      {R"({"points":{"top_left":{"x":0,"y":0},"middle":{"x":0,"y":0},)" + corners + "}}", 422,
       required},
      {R"({"source_type":"ndi","points":)" + std::string(kBoardPoints) + "}", 422, identity},
      {R"({"source_type":"ndi","source_id":"","points":)" + std::string(kBoardPoints) + "}", 422,
       identity},
      {R"({"source_type":"ndi","source_id":7,"points":)" + std::string(kBoardPoints) + "}", 422,
       identity},
      {R"({"source_type":"ndi","points":{}})", 422, identity},
      {R"({"points":{"top_left":{"x":0,"y":0,"z":0},)" + corners + "}}", 422,
       "top_left must contain exactly x and y"},
      {R"({"points":{"top_left":{"x":"0","y":0},)" + corners + "}}", 422,
       "top_left.x must be numeric"},
      {R"({"points":{"top_left":{"x":0,"y":null},)" + corners + "}}", 422,
       "top_left.y must be numeric"},
      {R"({"points":{"top_left":{"x":1.5,"y":0},)" + corners + "}}", 422,
       "top_left.x must be between 0 and 1"},
      {R"({"points":{"top_left":{"x":0,"y":0},"top_right":{"x":0,"y":1},)"
       R"("bottom_right":{"x":1,"y":1},"bottom_left":{"x":1,"y":0}}})",
       422, "Geometry area is too small"},
  };
  testing::ExpectRefusals(
      cases, [&](const std::string& body) { return run.api().Put("/api/source/geometry", body); });
  // Both members null count as no identity.
  EXPECT_EQ(run.api()
                .Put("/api/source/geometry", R"({"source_type":null,"source_id":null,"points":)" +
                                                 std::string(kBoardPoints) + "}")
                .status,
            200);

  testing::BreakDataFolder(run.folder());
  EXPECT_EQ(run.api()
                .Put("/api/source/geometry", std::string(R"({"points":)") + kIdentityPoints + "}")
                .body,
            DetailJson("Configuration could not be saved"));
  EXPECT_NE(run.api().Get("/api/source/geometry").body.find(kBoardPointsWritten), std::string::npos)
      << "a failed save keeps the geometry in force";
}

}  // namespace
}  // namespace tessvark
