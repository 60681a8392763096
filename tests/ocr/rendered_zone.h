#pragma once

#include <opencv2/core.hpp>

#include "ocr/zone_geometry.h"
#include "ocr/zone_preprocessing.h"
#include "tools/render/scoreboard_render.h"

namespace tessvark {

// The zone picture of one synthetic field: the field drawn alone on a board and cut out along
// its ground-truth rectangle, as an operator's zone would cut it.
inline cv::Mat RenderedFieldZone(const BoardField& field, const cv::Scalar& background,
                                 const BoardPerturbation& perturbation = {}) {
  const RenderedBoard board = RenderScoreboard(SingleFieldBoard(field, background), perturbation);
  const FieldTruth& truth = board.fields.front();
  return CropNormalizedRect(board.image, truth.x, truth.y, truth.width, truth.height);
}

inline BoardField SevenSegmentField(const char* text, int digit_height) {
  BoardField field;
  field.name = "field";
  field.text = text;
  field.digit_height = digit_height;
  return field;
}

inline const cv::Scalar kDarkBoard{18, 18, 18};

// Dark digits on a light board, read with the invert option an operator sets for such a board.
inline const cv::Scalar kLightBoard{225, 228, 230};
inline const cv::Scalar kDarkDigits{30, 25, 20};
inline ZoneProcessing Inverted() {
  ZoneProcessing processing;
  processing.invert = true;
  return processing;
}

}  // namespace tessvark
