#pragma once

#include <array>
#include <cmath>
#include <cstdint>

#include <opencv2/core.hpp>

namespace tessvark {

// How many pixels of a picture hold each of the 256 grey levels. Its percentiles are exactly
// those of the sorted pixels, at a fraction of the cost.
struct LevelCounts {
  std::array<uint32_t, 256> counts{};
  uint64_t total = 0;

  void Add(uchar level) {
    ++counts[level];
    ++total;
  }

  // The level at a rank of the sorted levels (0 the darkest); 255 past the last.
  double LevelAt(uint64_t rank) const {
    uint64_t seen = 0;
    for (int v = 0; v < 256; ++v) {
      seen += counts[v];
      if (seen > rank) return static_cast<double>(v);
    }
    return 255.0;
  }

  // Linear interpolation between the two nearest ranks, as Percentile does on the sorted values.
  double Percentile(double p) const {
    if (total == 0) return 0.0;
    if (total == 1) return LevelAt(0);
    const double x = p / 100.0 * static_cast<double>(total - 1);
    const double lo = std::floor(x);
    const double hi = std::ceil(x);
    const double frac = x - lo;
    return frac * LevelAt(static_cast<uint64_t>(hi)) + (1.0 - frac) * LevelAt(static_cast<uint64_t>(lo));
  }
};

}  // namespace tessvark
