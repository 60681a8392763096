#include "sources/ffmpeg_video_decoder.h"

#include <gtest/gtest.h>

#include <fstream>

#include "media_fixture.h"

namespace tessvark {
namespace {

using testing::ClipSpec;
using testing::MakeIndexedClip;
using testing::MakeIndexedPicture;
using testing::ReadPictureIndex;
using testing::TempFolder;

class FfmpegVideoDecoderTest : public ::testing::Test {
 protected:
  // Reads to the end and checks every picture against what was encoded.
  void ExpectEveryPictureThenEnd(VideoDecoder& decoder, const ClipSpec& spec) {
    cv::Mat image;
    double pts = -1.0;
    std::string error;
    for (int i = 0; i < spec.frames; ++i) {
      ASSERT_TRUE(decoder.ReadFrame(image, pts, error)) << "picture " << i << ": " << error;
      EXPECT_TRUE(error.empty());
      ASSERT_EQ(image.type(), CV_8UC3);
      ASSERT_EQ(image.cols, spec.width);
      ASSERT_EQ(image.rows, spec.height);
      EXPECT_EQ(ReadPictureIndex(image), i);
      EXPECT_NEAR(pts, static_cast<double>(i) / spec.fps, 0.001) << "picture " << i;
      if (spec.codec == "libx264rgb") {
        const cv::Mat expected = MakeIndexedPicture(i, spec.width, spec.height, cv::Scalar(40, 90, 200));
        EXPECT_EQ(cv::norm(image, expected, cv::NORM_INF), 0.0) << "lossless BGR, top row first, picture " << i;
      }
    }
    for (int extra = 0; extra < 2; ++extra) {
      EXPECT_FALSE(decoder.ReadFrame(image, pts, error));
      EXPECT_TRUE(error.empty()) << "the end of the stream is no error";
      EXPECT_TRUE(decoder.IsOpen()) << "the decoder stays open at the end";
    }
  }

  TempFolder folder_;
};

TEST_F(FfmpegVideoDecoderTest, ReportsTheClipAndReadsEveryPictureInOrder) {
  ClipSpec spec;
  const std::string path = folder_.Join("clip.mp4");
  ASSERT_TRUE(MakeIndexedClip(path, spec));
  auto decoder = MakeFfmpegVideoDecoder();
  std::string error = "left over";
  ASSERT_TRUE(decoder->Open(path, error)) << error;
  EXPECT_TRUE(error.empty());
  EXPECT_TRUE(decoder->IsOpen());
  EXPECT_EQ(decoder->Width(), spec.width);
  EXPECT_EQ(decoder->Height(), spec.height);
  EXPECT_DOUBLE_EQ(decoder->FramesPerSecond(), 25.0);
  EXPECT_EQ(decoder->FrameCount(), spec.frames);
  EXPECT_NEAR(decoder->DurationSeconds(), 0.8, 0.05);
  EXPECT_EQ(decoder->CodecName(), "H.264");
  ExpectEveryPictureThenEnd(*decoder, spec);

  decoder->Close();
  EXPECT_FALSE(decoder->IsOpen());
  EXPECT_EQ(decoder->Width(), 0);
  EXPECT_EQ(decoder->FrameCount(), 0);
  EXPECT_EQ(decoder->FramesPerSecond(), 0.0);
  EXPECT_EQ(decoder->CodecName(), "");
}

// A clip whose audio runs three times as long as its video: the frame count and duration are the
// video's own, and the pictures end where the video ends.
TEST_F(FfmpegVideoDecoderTest, LongerAudioTrackDoesNotAddPictures) {
  ClipSpec spec;
  spec.audio_seconds = 2.4;
  const std::string path = folder_.Join("with-audio.mp4");
  ASSERT_TRUE(MakeIndexedClip(path, spec));
  auto decoder = MakeFfmpegVideoDecoder();
  std::string error;
  ASSERT_TRUE(decoder->Open(path, error)) << error;
  EXPECT_EQ(decoder->FrameCount(), spec.frames);
  EXPECT_NEAR(decoder->DurationSeconds(), 0.8, 0.05);
  ExpectEveryPictureThenEnd(*decoder, spec);
}

TEST_F(FfmpegVideoDecoderTest, OtherCodecsAreNamedVideo) {
  ClipSpec spec;
  spec.codec = "ffv1";
  spec.container = "mkv";
  spec.frames = 5;
  const std::string path = folder_.Join("clip.mkv");
  ASSERT_TRUE(MakeIndexedClip(path, spec));
  auto decoder = MakeFfmpegVideoDecoder();
  std::string error;
  ASSERT_TRUE(decoder->Open(path, error)) << error;
  EXPECT_EQ(decoder->CodecName(), "video");
  ExpectEveryPictureThenEnd(*decoder, spec);
}

TEST_F(FfmpegVideoDecoderTest, FailuresReportOneMessageAndLeaveItClosed) {
  const std::string text_file = folder_.Join("not-a-video.mp4");
  std::ofstream(text_file) << "this is not a video";
  for (const std::string& path : {folder_.Join("missing.mp4"), text_file, std::string()}) {
    auto decoder = MakeFfmpegVideoDecoder();
    std::string error;
    EXPECT_FALSE(decoder->Open(path, error)) << path;
    EXPECT_EQ(error, "Could not decode Example video");
    EXPECT_FALSE(decoder->IsOpen());
    EXPECT_EQ(decoder->Width(), 0);
    cv::Mat image;
    double pts = 0.0;
    EXPECT_FALSE(decoder->ReadFrame(image, pts, error));
    EXPECT_EQ(error, "Could not decode Example video");
  }
}

TEST_F(FfmpegVideoDecoderTest, OpeningAgainStartsFromTheFirstPicture) {
  ClipSpec spec;
  spec.frames = 6;
  const std::string path = folder_.Join("short.mp4");
  ASSERT_TRUE(MakeIndexedClip(path, spec));
  auto decoder = MakeFfmpegVideoDecoder();
  std::string error;
  ASSERT_TRUE(decoder->Open(path, error));
  cv::Mat image;
  double pts = 0.0;
  ASSERT_TRUE(decoder->ReadFrame(image, pts, error));
  ASSERT_TRUE(decoder->ReadFrame(image, pts, error));
  EXPECT_EQ(ReadPictureIndex(image), 1);
  ASSERT_TRUE(decoder->Open(path, error)) << "an open decoder closes itself first";
  ExpectEveryPictureThenEnd(*decoder, spec);
}

}  // namespace
}  // namespace tessvark
