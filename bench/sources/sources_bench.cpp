#include <benchmark/benchmark.h>

#include <opencv2/core/utility.hpp>

#include <vector>

#include "sources/latest_frame_slot.h"
#include "sources/ndi_runtime.h"
#include "sources/sdk_omt_runtime.h"

namespace tessvark {
namespace {

// A receiver converts every picture on its own thread: measured on one core.
void OnOneCore() { cv::setNumThreads(0); }

// One BGRA picture of the given size converted to packed BGR, as every NDI and OMT picture is.
void BM_ConvertBgraToBgr(benchmark::State& state) {
  OnOneCore();
  const auto width = static_cast<std::int32_t>(state.range(0));
  const auto height = static_cast<std::int32_t>(state.range(1));
  std::vector<std::uint8_t> bgra(static_cast<size_t>(width) * height * 4, 128);
  for (auto _ : state) {
    cv::Mat image = ConvertBgraToBgr(bgra.data(), width, height, 0);
    benchmark::DoNotOptimize(image.data);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bgra.size()));
}
BENCHMARK(BM_ConvertBgraToBgr)
    ->Args({1280, 720})
    ->Args({1920, 1080})
    ->Args({3840, 2160})
    ->Unit(benchmark::kMicrosecond);

// An OMT picture of 1920 x 1080 in one of the formats the receiver takes, converted to packed BGR.
void BM_ConvertOmtPicture(benchmark::State& state, std::uint32_t format) {
  OnOneCore();
  constexpr std::int32_t kWidth = 1920;
  constexpr std::int32_t kHeight = 1080;
  const std::int32_t bytes_per_pixel = format == omt::kFormatUyvy ? 2 : 4;
  std::vector<std::uint8_t> picture(static_cast<size_t>(kWidth) * kHeight * bytes_per_pixel);
  for (size_t i = 0; i < picture.size(); ++i) picture[i] = static_cast<std::uint8_t>(i * 7);
  cv::Mat image;
  for (auto _ : state) {
    const bool converted = ConvertOmtPicture(format, kWidth, kHeight, 0,
                                             static_cast<std::int32_t>(picture.size()),
                                             picture.data(), image);
    benchmark::DoNotOptimize(converted);
    benchmark::DoNotOptimize(image.data);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(picture.size()));
}
BENCHMARK_CAPTURE(BM_ConvertOmtPicture, bgra_1920x1080, omt::kFormatBgra)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_ConvertOmtPicture, bgrx_1920x1080, omt::kFormatBgrx)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_ConvertOmtPicture, uyvy_1920x1080, omt::kFormatUyvy)->Unit(benchmark::kMicrosecond);

// A receiver's publish into the slot while a frame is held: the cost the receive thread pays.
void BM_LatestFrameSlotPublish(benchmark::State& state) {
  LatestFrameSlot slot;
  const cv::Mat picture(1080, 1920, CV_8UC3, cv::Scalar(1, 2, 3));
  for (auto _ : state) {
    VideoFrame frame;
    frame.image = picture;
    frame.width = picture.cols;
    frame.height = picture.rows;
    frame.row_stride = static_cast<std::int32_t>(picture.step[0]);
    frame.source = "srt-main";
    benchmark::DoNotOptimize(slot.Publish(std::move(frame)));
  }
}
BENCHMARK(BM_LatestFrameSlotPublish);

}  // namespace
}  // namespace tessvark
