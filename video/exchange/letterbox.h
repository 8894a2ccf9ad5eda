#pragma once

#include <cstdint>

#include "video/nv12_view.h"

namespace vistrel {

struct LetterboxFit {
  int width, height, left, top;
};

// Where a width x height picture lands in the 1280x720 exchange picture.
LetterboxFit FitLetterbox(int width, int height);

// Scales an NV12 picture into the exchange's Y and UV planes (pitch 1280) with
// black bars, nearest neighbour.
void ScaleLetterbox(const Nv12View& picture, uint8_t* y_plane, uint8_t* uv_plane);

// The animated waiting picture into a 1280x720 NV12 buffer of the given pitch,
// at the given millisecond tick.
void DrawWaitingPicture(uint8_t* destination, int pitch, uint64_t tick_ms);

}  // namespace vistrel
