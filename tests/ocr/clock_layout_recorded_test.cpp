// Clock-layout detection compared with results recorded from its first, plainly written form
// (every strip converted, blurred and measured on its own). The detector shares work between
// the strips of one search for speed; this test holds it to finding exactly what that form found,
// to the last bit: the detection itself and, through a digest, every blob and mark of every strip
// around the separator. The corpus is generated from fixed seeds: rendered clocks of every size
// and degradation of the accuracy corpus, and pictures of random pixels of awkward sizes.
//
// To record again (only when detection is meant to change), run the test with
// TESSVARK_RECORD_CLOCK_LAYOUT set to the fixture's path.

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ocr/clock_layout.h"
#include "rendered_zone.h"
#include "tests/text_digest.h"

namespace tessvark {
namespace {

const char kFixture[] = TESSVARK_SOURCE_DIR "/tests/ocr/clock_layout_recorded.txt";

struct Picture {
  std::string name;
  cv::Mat image;
};

std::vector<Picture> RenderedClocks() {
  struct Variant {
    const char* name;
    bool light;
    double blur;  // share of the digit height
    double noise;
    int jpeg;
    double brightness;
    double rotation;
    double perspective;
  };
  const Variant variants[] = {
      {"clean", false, 0, 0, 0, 0, 0, 0},      {"light", true, 0, 0, 0, 0, 0, 0},
      {"blur", false, 0.03, 0, 0, 0, 0, 0},    {"noise", false, 0, 12, 0, 0, 0, 0},
      {"jpeg", false, 0, 0, 82, 0, 0, 0},      {"darker", false, 0, 0, 0, -35, 0, 0},
      {"brighter", false, 0, 0, 0, 35, 0, 0},  {"rotation", false, 0, 0, 0, 0, 2, 0},
      {"perspective", false, 0, 0, 0, 0, 0, 0.015},
      {"combined", false, 0.02, 6, 85, -15, -1, 0},
  };
  std::mt19937 rng(20261211);
  auto pick = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng); };
  auto two = [](int v) { return std::to_string(v / 10) + std::to_string(v % 10); };
  std::vector<Picture> pictures;
  for (const Variant& v : variants) {
    for (int height : {16, 24, 40, 64, 96, 120}) {
      for (int sample = 0; sample < 2; ++sample) {
        const std::string texts[] = {two(pick(10, 59)) + ":" + two(pick(0, 59)),
                                     " " + std::to_string(pick(1, 9)) + ":" + two(pick(0, 59)),
                                     two(pick(10, 59)) + "." + std::to_string(pick(0, 9)) + " "};
        for (const std::string& text : texts) {
          BoardField field = SevenSegmentField(text.c_str(), height);
          field.ghosts = pick(0, 1) == 1;
          cv::Scalar background = kDarkBoard;
          if (v.light) {
            field.lit_colour = cv::Scalar(30, 25, 20);
            field.ghost_colour = cv::Scalar(205, 205, 205);
            background = cv::Scalar(225, 228, 230);
          }
          BoardPerturbation p;
          p.seed = static_cast<uint32_t>(rng());
          p.blur_sigma = v.blur * height;
          p.noise_sigma = v.noise;
          p.jpeg_quality = v.jpeg;
          p.brightness = v.brightness;
          p.rotation_degrees = v.rotation;
          p.perspective = v.perspective;
          pictures.push_back({std::string(v.name) + " " + std::to_string(height) + " '" + text + "'",
                              RenderedFieldZone(field, background, p)});
        }
      }
    }
  }
  return pictures;
}

// Random pixels, with sizes down to a single row or column, and noise with bright bands.
std::vector<Picture> RandomPictures() {
  std::mt19937 rng(7);
  auto pick = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng); };
  std::vector<Picture> pictures;
  for (int n = 0; n < 60; ++n) {
    const int width = n < 12 ? n / 3 + 1 : pick(4, 160);
    const int height = n < 12 ? n % 3 + 1 : pick(1, 90);
    cv::Mat image(height, width, CV_8UC3);
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width * 3; ++x) image.ptr<uchar>(y)[x] = static_cast<uchar>(pick(0, 255));
    }
    if (n % 2 == 0 && height > 4) {
      const int top = pick(0, height - 2);
      image.rowRange(top, std::min(height, top + pick(1, height / 3 + 1))).setTo(cv::Scalar(40, 190, 255));
    }
    pictures.push_back({"random " + std::to_string(width) + "x" + std::to_string(height), image});
  }
  return pictures;
}

std::string BlobText(const SeparatorBlob& b) {
  char text[256];
  std::snprintf(text, sizeof text, "[%d %d %.9g %.9g %.9g %d %.9g %.9g %.9g]", b.top, b.bottom, b.centre_x,
                b.centre_y, b.width, b.height, b.weight, b.relative_y, b.mass);
  return text;
}

// Every strip that starts within two columns of the search window, and the detection.
std::string Describe(const cv::Mat& image) {
  const SeparatorSearchWindowResult window = SeparatorSearchWindow(image.cols, image.rows);
  std::string strips;
  for (int start = std::max(window.search_left - 2, 0); start <= std::min(window.search_right + 2, image.cols - 1);
       ++start) {
    const SeparatorStripEvaluation ev = EvaluateSeparatorStrip(image, start, window.strip_width);
    strips += std::to_string(ev.strip_left) + "-" + std::to_string(ev.strip_right) + ":";
    for (const SeparatorBlob& blob : ev.blobs) strips += BlobText(blob);
    char marks[128];
    std::snprintf(marks, sizeof marks, "c%d %.17g p%d %.17g;", ev.marks.colon_found, ev.marks.colon_score,
                  ev.marks.point_found, ev.marks.point_score);
    strips += marks;
  }
  const ClockLayoutDetection d = DetectClockLayout(image);
  char line[256];
  std::snprintf(line, sizeof line, "%d %s %.17g %.17g %016" PRIx64, d.detected, d.detected ? d.separator.c_str() : "-",
                d.separator_x, d.confidence, testing::TextDigest(strips));
  return line;
}

TEST(OcrClockLayoutRecorded, DetectionsMatchTheRecordedOnes) {
  std::vector<Picture> pictures = RenderedClocks();
  for (Picture& picture : RandomPictures()) pictures.push_back(std::move(picture));

  if (const char* record = std::getenv("TESSVARK_RECORD_CLOCK_LAYOUT")) {
    std::ofstream out(record);
    for (const Picture& picture : pictures) out << Describe(picture.image) << "\n";
    GTEST_SKIP() << "recorded " << pictures.size() << " pictures to " << record;
  }

  std::ifstream in(kFixture);
  ASSERT_TRUE(in) << kFixture;
  std::vector<std::string> recorded;
  for (std::string line; std::getline(in, line);) recorded.push_back(line);
  ASSERT_EQ(recorded.size(), pictures.size());
  int detected = 0;
  for (size_t i = 0; i < pictures.size(); ++i) {
    const std::string now = Describe(pictures[i].image);
    EXPECT_EQ(now, recorded[i]) << "picture " << i << ": " << pictures[i].name;
    detected += now[0] == '1' ? 1 : 0;
  }
  // The corpus exercises both outcomes.
  EXPECT_GT(detected, static_cast<int>(pictures.size()) / 3);
  EXPECT_LT(detected, static_cast<int>(pictures.size()));
}

}  // namespace
}  // namespace tessvark
