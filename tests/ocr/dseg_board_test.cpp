// Zones set in a widely used seven-segment typeface (DSEG, drawn by tools/dseg_corpus), stored
// as small pictures: each read a wrong value or none before the reader knew the four-bar 7, a 1
// at the right of its cell, thin faces' lone bars and solid ink. Each must now read right, or,
// where the board shows no digit, give no value and say why.

#include <optional>
#include <string>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "ocr/role_readers.h"

namespace tessvark {
namespace {

TEST(OcrDsegBoards, ReadRightOrSayWhyNot) {
  const struct {
    const char* file;
    const char* reader;    // "clock" or "number"
    const char* expected;  // the reading, or the status word where no value is right
    bool value;
  } cases[] = {
      {"seven_97.png", "number", "97", true},                // read 90: the four-bar 7
      {"seven_78.png", "number", "78", true},                // read 8
      {"italic_light_17_31.png", "clock", "17:31", true},    // read no value, then 7:31
      {"one_first_12_31.png", "clock", "12:31", true},       // read 2:31
      {"one_first_14_07.png", "clock", "14:07", true},       // read 4:07
      {"one_first_19.png", "number", "19", true},            // read 13
      {"thin_17.png", "number", "17", true},                 // read 10
      {"light_board_unprocessed.png", "number", "all_ink", false},  // read 88
      {"dimmed_glass.png", "number", "all_ink", false},             // read 88
  };
  for (const auto& c : cases) {
    const cv::Mat zone = cv::imread(std::string(TESSVARK_SOURCE_DIR "/tests/ocr/dseg/") + c.file, cv::IMREAD_COLOR);
    ASSERT_FALSE(zone.empty()) << c.file;
    const std::string reader = c.reader;
    const ReaderResult r = reader == "clock" ? ReadClock(zone, "clock", std::nullopt, ClockFormat::Auto)
                                             : ReadNumber(zone, "home_score", std::nullopt);
    const std::string read = !r.ok ? r.status : reader == "clock" ? r.text : std::to_string(r.number);
    EXPECT_EQ(r.ok, c.value) << c.file << " read " << read;
    EXPECT_EQ(read, c.expected) << c.file;
  }
}

}  // namespace
}  // namespace tessvark
