// The Example clip read frame by frame, at its own 1280x720 and (its first five seconds) scaled to
// 1920x1080, through one analysis core with the clip's factory-default zones and geometry,
// compared with the values recorded from the engine before detection shared work between strips,
// before unchanged zone pictures kept their readings and before zones were cut from the working
// picture without warping the whole of it. One line per frame: the clock read and a digest of the
// whole published state.
//
// To record again (only when readings are meant to change), run the test with
// TESSVARK_RECORD_EXAMPLE_READINGS set to a folder; it writes both fixtures there.

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "ocr/analysis_core.h"
#include "session/ocr_zone.h"
#include "session_fixture.h"
#include "settings/config_store.h"
#include "sources/ffmpeg_video_decoder.h"
#include "tools/example_media/example_scenes.h"
#include "tests/text_digest.h"

namespace tessvark {
namespace {

// One line per frame of the clip's first `frames` frames, its pictures scaled to `size` (empty:
// as decoded).
std::vector<std::string> ReadClip(const cv::Size& size, size_t frames) {
  testing::TempFolder folder("example-readings");
  ConfigStore store(folder.path());
  SourceConfiguration configuration;
  std::string error;
  store.Load(configuration);
  EXPECT_TRUE(store.ApplyFactoryDefaults(configuration, testing::ExampleFolder() + "/factory-defaults.json", error))
      << error;
  const ZoneProfile* profile = configuration.FindProfile(ProfileKey("example", "example-1"));
  if (profile == nullptr) return {};
  SourceGeometry geometry;
  geometry.top_left = {profile->corners.top_left.x, profile->corners.top_left.y};
  geometry.top_right = {profile->corners.top_right.x, profile->corners.top_right.y};
  geometry.bottom_right = {profile->corners.bottom_right.x, profile->corners.bottom_right.y};
  geometry.bottom_left = {profile->corners.bottom_left.x, profile->corners.bottom_left.y};
  AnalysisSetup setup;
  setup.generation = 1;
  setup.geometry = geometry;
  for (const OcrZone& zone : ParseOcrZoneList(profile->zones)) setup.zones.push_back(ToAnalysisZone(zone));

  std::unique_ptr<VideoDecoder> decoder = MakeFfmpegVideoDecoder();
  EXPECT_TRUE(decoder->Open(testing::ExampleFolder() + "/3.mp4", error)) << error;
  AnalysisCore core("agent", [] { return std::string("t"); }, [] { return 0.0; }, 0.0, 0.0);
  std::vector<std::string> lines;
  cv::Mat picture;
  double seconds = 0.0;
  while (lines.size() < frames && decoder->ReadFrame(picture, seconds, error)) {
    cv::Mat source = picture;
    if (!size.empty()) cv::resize(picture, source, size, 0, 0, cv::INTER_LINEAR);
    auto frame = std::make_shared<WorkingFrame>();
    frame->image = source;
    frame->frame_number = static_cast<int32_t>(lines.size()) + 1;
    frame->profile_key = "example\nexample-1";
    core.Analyze(frame, setup, false);
    const StateValue state = core.StateStore().Snapshot();
    char line[128];
    std::snprintf(line, sizeof line, "%s %016" PRIx64, state.Find("clock")->ToJson().c_str(),
                  testing::TextDigest(state.ToJson()));
    lines.push_back(line);
  }
  return lines;
}

void Compare(const std::string& name, const cv::Size& size, size_t frames) {
  const std::vector<std::string> lines = ReadClip(size, frames);
  ASSERT_FALSE(lines.empty());
  if (const char* record = std::getenv("TESSVARK_RECORD_EXAMPLE_READINGS")) {
    std::ofstream out(std::string(record) + "/" + name);
    for (const std::string& line : lines) out << line << "\n";
    GTEST_SKIP() << "recorded " << lines.size() << " frames";
  }
  std::ifstream in(std::string(TESSVARK_SOURCE_DIR) + "/tests/session/" + name);
  ASSERT_TRUE(in) << name;
  std::vector<std::string> recorded;
  for (std::string line; std::getline(in, line);) recorded.push_back(line);
  ASSERT_EQ(lines.size(), recorded.size());
  for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i], recorded[i]) << "frame " << i + 1;
}

TEST(ExampleReadingsRecorded, ClipAsDecoded) {
  Compare("example_readings_720.txt", cv::Size(), kExampleVideoFrames);
}

TEST(ExampleReadingsRecorded, ClipAt1080) {
  Compare("example_readings_1080.txt", cv::Size(1920, 1080), 5 * kExampleFps);
}

}  // namespace
}  // namespace tessvark
