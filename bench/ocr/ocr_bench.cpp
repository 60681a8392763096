#include <benchmark/benchmark.h>

#include "ocr/digit_recognition.h"
#include "ocr/image_threads.h"
#include "ocr/role_readers.h"
#include "ocr/zone_geometry.h"
#include "tests/ocr/rendered_zone.h"

namespace tessvark {
namespace {

// OpenCV works on the calling thread, as in the program.
const bool kImageWorkOnCallingThread = [] {
  KeepImageWorkOnCallingThread();
  return true;
}();

// Digit heights of 40, 80 and 120 pixels.
void DigitHeights(benchmark::internal::Benchmark* b) {
  for (int height : {40, 80, 120}) b->Arg(height);
}

void BM_RecognizeDigit(benchmark::State& state) {
  const cv::Mat zone = RenderedFieldZone(SevenSegmentField("48", static_cast<int>(state.range(0))), kDarkBoard);
  const cv::Mat prepared = PreprocessZoneImage(zone, ZoneProcessing{});
  const DigitSlot units = EqualDigitLayout(prepared.cols, prepared.rows, 2)[1];
  for (auto _ : state) benchmark::DoNotOptimize(RecognizeDigit(prepared, units));
}
BENCHMARK(BM_RecognizeDigit)->Apply(DigitHeights)->Unit(benchmark::kMicrosecond);

void BM_ReadClock(benchmark::State& state) {
  const cv::Mat zone = RenderedFieldZone(SevenSegmentField("12:34", static_cast<int>(state.range(0))), kDarkBoard);
  for (auto _ : state) benchmark::DoNotOptimize(ReadClock(zone, "clock", std::nullopt, ClockFormat::Auto));
}
BENCHMARK(BM_ReadClock)->Apply(DigitHeights)->Unit(benchmark::kMicrosecond);

void BM_ReadNumber(benchmark::State& state) {
  const cv::Mat zone = RenderedFieldZone(SevenSegmentField("48", static_cast<int>(state.range(0))), kDarkBoard);
  for (auto _ : state) benchmark::DoNotOptimize(ReadNumber(zone, "home_score", std::nullopt));
}
BENCHMARK(BM_ReadNumber)->Apply(DigitHeights)->Unit(benchmark::kMicrosecond);

void BM_WarpSourceFrame(benchmark::State& state) {
  const cv::Mat frame(1080, 1920, CV_8UC3, cv::Scalar(40, 90, 160));
  SourceGeometry geometry;
  if (state.range(0) != 0) {
    geometry.top_left = {0.05, 0.08};
    geometry.top_right = {0.93, 0.04};
    geometry.bottom_right = {0.96, 0.95};
    geometry.bottom_left = {0.02, 0.9};
  }
  for (auto _ : state) benchmark::DoNotOptimize(WarpSourceFrame(frame, geometry));
}
// 0: the identity geometry (a copy), 1: a skewed quadrilateral (a perspective warp).
BENCHMARK(BM_WarpSourceFrame)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tessvark
