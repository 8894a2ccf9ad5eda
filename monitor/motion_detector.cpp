#include "monitor/motion_detector.h"

#include <algorithm>
#include <cstdlib>

#include "platform/clock.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vistrel {
namespace {

constexpr int32_t kWarmUpPictures = 10;
constexpr int kZoneColumns = 16;
constexpr int kCellsPerZone = 5;

struct Thresholds {
  uint32_t cell;
  double fraction;
};
constexpr Thresholds kThresholds[] = {{6144, 0.03}, {4608, 0.01}, {3072, 0.004}};

bool FitsGrid(const uint8_t* luma, int width, int height) {
  return luma && width >= kCellColumns && height >= kCellRows;
}

void FinishMeans(std::array<uint32_t, kCellCount>& cells, uint64_t area) {
  for (uint32_t& cell : cells) cell = static_cast<uint32_t>(uint64_t{cell} * 256 / area);
}

}  // namespace

bool CellMeansScalar(const uint8_t* luma, int stride, int width, int height,
                     std::array<uint32_t, kCellCount>& cells) {
  if (!FitsGrid(luma, width, height)) return false;
  const int cell_width = width / kCellColumns;
  const int cell_height = height / kCellRows;
  cells.fill(0);
  for (int y = 0; y < kCellRows * cell_height; ++y) {
    const uint8_t* row = luma + static_cast<ptrdiff_t>(y) * stride;
    uint32_t* sums = cells.data() + (y / cell_height) * kCellColumns;
    for (int c = 0; c < kCellColumns; ++c) {
      uint32_t sum = 0;
      for (int x = c * cell_width; x < (c + 1) * cell_width; ++x) sum += row[x];
      sums[c] += sum;
    }
  }
  FinishMeans(cells, uint64_t(cell_width) * uint64_t(cell_height));
  return true;
}

bool CellMeans(const uint8_t* luma, int stride, int width, int height,
               std::array<uint32_t, kCellCount>& cells) {
#if defined(__SSE2__)
  if (!FitsGrid(luma, width, height)) return false;
  const int cell_width = width / kCellColumns;
  const int cell_height = height / kCellRows;
  const int wide = cell_width / 16;  // 16-byte sums of absolute differences against 0
  const bool half = cell_width % 16 >= 8;
  const int tail_start = wide * 16 + (half ? 8 : 0);
  const __m128i zero = _mm_setzero_si128();
  // Sums of absolute differences against zero add 8 bytes at a time into
  // 64-bit lanes; each band of cells is summed down its rows first, so the
  // lanes are read out once per cell, not once per row.
  __m128i lanes[kCellColumns];
  uint32_t tails[kCellColumns];
  for (int r = 0; r < kCellRows; ++r) {
    std::fill(std::begin(lanes), std::end(lanes), zero);
    std::fill(std::begin(tails), std::end(tails), 0u);
    for (int y = r * cell_height; y < (r + 1) * cell_height; ++y) {
      const uint8_t* row = luma + static_cast<ptrdiff_t>(y) * stride;
      for (int c = 0; c < kCellColumns; ++c) {
        const uint8_t* cell = row + c * cell_width;
        __m128i total = lanes[c];
        for (int k = 0; k < wide; ++k) {
          const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cell + 16 * k));
          total = _mm_add_epi64(total, _mm_sad_epu8(bytes, zero));
        }
        if (half) {
          const __m128i bytes =
              _mm_loadl_epi64(reinterpret_cast<const __m128i*>(cell + 16 * wide));
          total = _mm_add_epi64(total, _mm_sad_epu8(bytes, zero));
        }
        lanes[c] = total;
        for (int x = tail_start; x < cell_width; ++x) tails[c] += cell[x];
      }
    }
    uint32_t* sums = cells.data() + r * kCellColumns;
    for (int c = 0; c < kCellColumns; ++c) {
      sums[c] = static_cast<uint32_t>(_mm_cvtsi128_si32(lanes[c])) +
                static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(lanes[c], 8))) + tails[c];
    }
  }
  FinishMeans(cells, uint64_t(cell_width) * uint64_t(cell_height));
  return true;
#else
  return CellMeansScalar(luma, stride, width, height, cells);
#endif
}

MotionDetector::MotionDetector() = default;

void MotionDetector::Configure(Sensitivity sensitivity,
                               const std::array<bool, kZoneCount>& zones) {
  const auto level = static_cast<int32_t>(sensitivity);
  if (level >= 0 && level < 3) {
    cell_threshold_ = kThresholds[level].cell;
    fraction_threshold_ = kThresholds[level].fraction;
  }
  enabled_cells_ = 0;
  for (int r = 0; r < kCellRows; ++r) {
    for (int c = 0; c < kCellColumns; ++c) {
      const bool on = zones[static_cast<size_t>((r / kCellsPerZone) * kZoneColumns +
                                                c / kCellsPerZone)];
      mask_[static_cast<size_t>(r * kCellColumns + c)] = on ? 1 : 0;
      enabled_cells_ += on ? 1 : 0;
    }
  }
}

void MotionDetector::Reset() {
  background_ready_ = false;
  consecutive_ = 0;
  last_fraction_ = 0;
  warm_up_ = kWarmUpPictures;
}

bool MotionDetector::Detect(const uint8_t* luma, int stride, int width, int height) {
  if (!FitsGrid(luma, width, height)) return false;
  const uint64_t start = MonotonicNs();
  (void)CellMeans(luma, stride, width, height, cells_);
  uint32_t changed = 0;
  if (!background_ready_) {
    background_ = cells_;
    background_ready_ = true;
  } else {
    for (size_t i = 0; i < cells_.size(); ++i) {
      const int32_t difference =
          static_cast<int32_t>(cells_[i]) - static_cast<int32_t>(background_[i]);
      if (mask_[i] && static_cast<uint32_t>(std::abs(difference)) > cell_threshold_) ++changed;
      // Arithmetic shift: rounds towards minus infinity, as the average wants.
      background_[i] = static_cast<uint32_t>(static_cast<int32_t>(background_[i]) +
                                             (difference >> 5));
    }
  }
  last_fraction_ = enabled_cells_ ? double(changed) / double(enabled_cells_) : 0.0;
  bool motion = false;
  if (warm_up_ > 0) {
    --warm_up_;
  } else {
    consecutive_ = (enabled_cells_ && last_fraction_ >= fraction_threshold_) ? consecutive_ + 1 : 0;
    motion = consecutive_ >= 2;
  }
  const double elapsed_ms = double(MonotonicNs() - start) / 1e6;
  ++pictures_analysed_;
  total_ms_ += elapsed_ms;
  maximum_ms_ = std::max(maximum_ms_, elapsed_ms);
  return motion;
}

}  // namespace vistrel
