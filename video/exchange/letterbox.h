#pragma once

#include <cstdint>
#include <vector>

#include "video/nv12.h"
#include "video/nv12_view.h"

namespace vistrel {

struct LetterboxFit {
  int width, height, left, top;
};

// Where a width x height picture lands in the 1280x720 exchange picture.
LetterboxFit FitLetterbox(int width, int height);

// Scales pictures into the exchange's Y and UV planes (pitch 1280) with black
// bars, nearest neighbour: output row r of the fit takes source row
// r * height / fitHeight, column c takes c * width / fitWidth. The divisions
// are done once per picture size, into row and column maps that later
// pictures of that size reuse; only the bars are filled.
class Letterbox {
 public:
  explicit Letterbox(SimdLevel level = BestSimdLevel()) : level_(level) {}

  void Scale(const Nv12View& picture, uint8_t* y_plane, uint8_t* uv_plane);
  void Scale(const Yuv420View& picture, uint8_t* y_plane, uint8_t* uv_plane);

  // One output row gathered from one source row: out[i] = row[offsets[i]].
  // Blocks of 16 outputs whose sources fit in up to four 16-byte loads are
  // done with byte shuffles; the rest byte by byte.
  class Gather {
   public:
    void Build(std::vector<int32_t> offsets, int row_bytes);
    void Run(const uint8_t* row, uint8_t* out, SimdLevel level) const;
    // Two rows with the same offsets, interleaved: out[2i] = u[offsets[i]],
    // out[2i + 1] = v[offsets[i]].
    void RunPair(const uint8_t* u_row, const uint8_t* v_row, uint8_t* out, SimdLevel level) const;
    size_t size() const { return offsets_.size(); }

   private:
    std::vector<int32_t> offsets_;
    // Per block of 16: where its loads start, and how many (0: byte by byte).
    std::vector<int32_t> bases_, loads_;
    std::vector<uint8_t> masks_;  // 4 x 16 per block
  };

 private:
  struct Maps {
    int width = 0, height = 0;
    bool planar = false;
    LetterboxFit fit{};
    std::vector<int32_t> luma_rows, chroma_rows;
    Gather luma, chroma;  // chroma: byte pairs for NV12, one plane for planar
  };
  const Maps& MapsFor(int width, int height, bool planar);

  const SimdLevel level_;
  Maps maps_;
};

// A one-off ScaleLetterbox without kept maps.
void ScaleLetterbox(const Nv12View& picture, uint8_t* y_plane, uint8_t* uv_plane);

// The animated waiting picture into a 1280x720 NV12 buffer of the given pitch,
// at the given millisecond tick.
void DrawWaitingPicture(uint8_t* destination, int pitch, uint64_t tick_ms);

}  // namespace vistrel
