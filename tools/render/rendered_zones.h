#pragma once

#include <vector>

#include "ocr/analysis_inputs.h"
#include "tools/render/scoreboard_render.h"

namespace tessvark {

// The zones an operator would draw over a rendered board: one per field and lamp, its id and
// role the field's name.
std::vector<AnalysisZone> AnalysisZonesOf(const RenderedBoard& board);

}  // namespace tessvark
