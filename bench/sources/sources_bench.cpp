#include <benchmark/benchmark.h>

#include <vector>

#include "sources/latest_frame_slot.h"
#include "sources/ndi_runtime.h"

namespace tessvark {
namespace {

// One BGRA picture of the given size converted to packed BGR, as every NDI and OMT picture is.
void BM_ConvertBgraToBgr(benchmark::State& state) {
  const auto width = static_cast<std::int32_t>(state.range(0));
  const auto height = static_cast<std::int32_t>(state.range(1));
  std::vector<std::uint8_t> bgra(static_cast<size_t>(width) * height * 4, 128);
  for (auto _ : state) {
    cv::Mat image = ConvertBgraToBgr(bgra.data(), width, height, 0);
    benchmark::DoNotOptimize(image.data);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bgra.size()));
}
BENCHMARK(BM_ConvertBgraToBgr)->Args({1280, 720})->Args({1920, 1080})->Args({3840, 2160});

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
