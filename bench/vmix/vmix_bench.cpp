#include <benchmark/benchmark.h>

#include <string>

#include "outputs/vmix/vmix_api_document.h"
#include "outputs/vmix/vmix_set_text.h"

namespace tessvark {
namespace {

// An API document of a busy production: `inputs` inputs with four text fields each.
std::string LargeApiDocument(int inputs) {
  std::string xml = "<?xml version=\"1.0\"?><vmix><version>27.0.0.49</version><edition>4K</edition><inputs>";
  for (int i = 1; i <= inputs; ++i) {
    const std::string n = std::to_string(i);
    xml += "<input key=\"0b4d6f6e-" + n + "\" number=\"" + n + "\" type=\"GT\" title=\"Title " + n + "\">Title " + n;
    for (const char* field : {"Home.Text", "Guest.Text", "Clock.Text", "Period.Text"}) {
      xml += "<text index=\"0\" name=\"" + std::string(field) + "\">value &amp; more</text>";
    }
    xml += "</input>";
  }
  return xml + "</inputs></vmix>";
}

void BM_ReadVmixApiResponse(benchmark::State& state) {
  const std::string xml = LargeApiDocument(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    VmixApiResponse response = ReadVmixApiResponse(xml, true);
    benchmark::DoNotOptimize(response);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(xml.size()));
}
BENCHMARK(BM_ReadVmixApiResponse)->Arg(10)->Arg(200)->Arg(2000);

void BM_BuildSetTextPath(benchmark::State& state) {
  for (auto _ : state) {
    std::string path = BuildSetTextPath("Scoreboard Title", "Clock.Text", "12:34");
    benchmark::DoNotOptimize(path);
  }
}
BENCHMARK(BM_BuildSetTextPath);

}  // namespace
}  // namespace tessvark
