// Motion in the luma plane: an 80 × 45 grid of cell means compared with a
// running background. Integer arithmetic throughout, so every code path gives
// the same results to the bit.
#pragma once

#include <array>
#include <cstdint>

#include "app/settings/settings.h"
#include "video/nv12_view.h"

namespace vistrel {

inline constexpr int kCellColumns = 80;
inline constexpr int kCellRows = 45;
inline constexpr int kCellCount = kCellColumns * kCellRows;

// Cell means × 256 of a picture: cell (r, c) covers rows r·(height/45) and
// columns c·(width/80) onwards, (width/80) × (height/45) bytes; what lies
// past the grid is ignored. False, with nothing written, when the picture is
// smaller than the grid.
bool CellMeans(const uint8_t* luma, int stride, int width, int height,
               std::array<uint32_t, kCellCount>& cells);
// The same, without vector instructions: the reference the fast path must match.
bool CellMeansScalar(const uint8_t* luma, int stride, int width, int height,
                     std::array<uint32_t, kCellCount>& cells);

class MotionDetector {
 public:
  MotionDetector();

  // Thresholds from the sensitivity (other values keep them), the mask from
  // the 16 × 9 zone flags, each zone 5 × 5 cells.
  void Configure(Sensitivity sensitivity, const std::array<bool, kZoneCount>& zones);
  // The next picture seeds the background; 10 pictures pass before motion.
  void Reset();
  // Motion in this picture: two pictures in a row with enough changed cells.
  bool Detect(const uint8_t* luma, int stride, int width, int height);

  double last_fraction() const { return last_fraction_; }
  uint64_t pictures_analysed() const { return pictures_analysed_; }
  double total_ms() const { return total_ms_; }
  double maximum_ms() const { return maximum_ms_; }
  uint32_t cell_threshold() const { return cell_threshold_; }
  uint32_t enabled_cells() const { return enabled_cells_; }

 private:
  std::array<uint32_t, kCellCount> cells_{};
  std::array<uint32_t, kCellCount> background_{};
  std::array<uint8_t, kCellCount> mask_{};
  uint32_t enabled_cells_ = 0;
  uint32_t cell_threshold_ = 4608;
  double fraction_threshold_ = 0.01;
  int32_t warm_up_ = 0;
  bool background_ready_ = false;
  int32_t consecutive_ = 0;
  double last_fraction_ = 0;
  uint64_t pictures_analysed_ = 0;
  double total_ms_ = 0;
  double maximum_ms_ = 0;
};

}  // namespace vistrel
