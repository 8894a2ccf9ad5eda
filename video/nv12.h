// Planar 4:2:0 chroma to the interleaved UV plane of NV12.
#pragma once

#include <cstdint>

namespace vistrel {

// Writes height_chroma rows of width_chroma U/V pairs (U first) into `uv`.
// Strides are in bytes; the rows must not overlap.
void InterleaveChroma(const uint8_t* u, int u_stride, const uint8_t* v, int v_stride, uint8_t* uv,
                      int uv_stride, int width_chroma, int height_chroma);

// The code paths InterleaveChroma (and the letterbox's gathers) choose from,
// exposed so that each can be checked against the others on machines that
// have them. Each level implies the ones below it.
enum class SimdLevel { kScalar, kSse2, kSsse3, kAvx2 };
[[nodiscard]] SimdLevel BestSimdLevel();
void InterleaveChromaWith(SimdLevel level, const uint8_t* u, int u_stride, const uint8_t* v,
                          int v_stride, uint8_t* uv, int uv_stride, int width_chroma,
                          int height_chroma);

}  // namespace vistrel
