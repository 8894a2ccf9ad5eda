// NV12 to the layouts the sinks write: planar 4:2:0, packed YUYV, and RGB.
#pragma once

#include <cstdint>

#include "camhost/sink.h"

namespace vistrel {

// Y plane (width x height), then U, then V (each width/2 x height/2), packed.
void Nv12ToI420(const Nv12View& picture, int width, int height, uint8_t* out);
// Two bytes per pixel, Y0 U Y1 V; each chroma row serves two picture rows.
void Nv12ToYuyv(const Nv12View& picture, int width, int height, uint8_t* out);
// Three bytes per pixel, BT.601 limited range, clamped.
void Nv12ToRgb(const Nv12View& picture, int width, int height, uint8_t* out);

}  // namespace vistrel
