#include "tools/render/rendered_zones.h"

#include <utility>

namespace tessvark {

std::vector<AnalysisZone> AnalysisZonesOf(const RenderedBoard& board) {
  std::vector<AnalysisZone> zones;
  zones.reserve(board.fields.size());
  for (const FieldTruth& truth : board.fields) {
    AnalysisZone zone;
    zone.id = truth.name;
    zone.role = truth.name;
    zone.x = truth.x;
    zone.y = truth.y;
    zone.width = truth.width;
    zone.height = truth.height;
    zones.push_back(std::move(zone));
  }
  return zones;
}

}  // namespace tessvark
