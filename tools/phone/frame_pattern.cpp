// Pattern layout: blocks of min(width, height) / 22 pixels, fractional so that a
// scaled copy has the same layout relative to its own size. Block 0 is white and
// block 1 black (markers), blocks 2..17 hold the bits from the most significant
// down, block 18 makes the count of white bit blocks even.
#include "tools/phone/frame_pattern.h"

#include <algorithm>
#include <cstddef>

namespace vistrel::phone {
namespace {

constexpr int kBlocksPerMin = 22;
constexpr int kFirstBit = 2;
constexpr int kParityBlock = kFirstBit + kFrameNumberBits;
constexpr int kBlockCount = kParityBlock + 1;
constexpr uint8_t kBlack = 0;
constexpr uint8_t kWhite = 255;

bool BlockIsWhite(uint32_t frame_number, int block) {
  if (block == 0) return true;
  if (block == 1) return false;
  const uint32_t bits = frame_number & ((1u << kFrameNumberBits) - 1);
  if (block == kParityBlock) return __builtin_popcount(bits) % 2 != 0;
  return ((bits >> (kParityBlock - 1 - block)) & 1u) != 0;
}

// Triangle wave 0..255..0 over 512 steps, so the gradient has no hard edge.
int Triangle(int t) {
  t &= 511;
  return t < 256 ? t : 511 - t;
}

int MinSide(int width, int height) {
  return std::min(width, height);
}

}  // namespace

void DrawTestPicture(uint32_t frame_number, uint8_t* y, int y_stride, uint8_t* u, int u_stride,
                     uint8_t* v, int v_stride, int width, int height) {
  const int min_side = MinSide(width, height);
  const int shift = static_cast<int>(frame_number % 512) * 4;
  for (int row = 0; row < height; ++row) {
    uint8_t* line = y + static_cast<ptrdiff_t>(row) * y_stride;
    const bool in_pattern_row = row * kBlocksPerMin < min_side;
    for (int col = 0; col < width; ++col) {
      const int block = col * kBlocksPerMin / min_side;
      if (in_pattern_row && block < kBlockCount) {
        line[col] = BlockIsWhite(frame_number, block) ? kWhite : kBlack;
      } else {
        line[col] = static_cast<uint8_t>(16 + Triangle(col + 2 * row + shift) * 219 / 255);
      }
    }
  }
  const int chroma_width = (width + 1) / 2;
  const int chroma_height = (height + 1) / 2;
  for (int row = 0; row < chroma_height; ++row) {
    uint8_t* u_line = u + static_cast<ptrdiff_t>(row) * u_stride;
    uint8_t* v_line = v + static_cast<ptrdiff_t>(row) * v_stride;
    const bool in_pattern_row = 2 * row * kBlocksPerMin < min_side;
    for (int col = 0; col < chroma_width; ++col) {
      if (in_pattern_row && 2 * col * kBlocksPerMin / min_side < kBlockCount) {
        u_line[col] = 128;
        v_line[col] = 128;
      } else {
        u_line[col] = static_cast<uint8_t>(64 + Triangle(2 * col + shift / 2) / 2);
        v_line[col] = static_cast<uint8_t>(64 + Triangle(3 * row + 256 - shift / 4) / 2);
      }
    }
  }
}

void DrawMonitorScene(uint32_t frame_number, bool motion, uint8_t* y, int y_stride, uint8_t* u,
                      int u_stride, uint8_t* v, int v_stride, int width, int height) {
  const int side = MinSide(width, height) / 3;
  const int travel = std::max(1, width - side);
  const int left = static_cast<int>((frame_number * static_cast<uint32_t>(width / 40 + 1)) %
                                    static_cast<uint32_t>(travel));
  const int top = (height - side) / 2;
  for (int row = 0; row < height; ++row) {
    uint8_t* line = y + static_cast<ptrdiff_t>(row) * y_stride;
    for (int col = 0; col < width; ++col) {
      const bool square = motion && row >= top && row < top + side && col >= left &&
                          col < left + side;
      // A checkerboard inside the square keeps it high-contrast on any background.
      line[col] = square ? (((row - top) / 16 + (col - left) / 16) % 2 ? 235 : 16)
                         : static_cast<uint8_t>(60 + Triangle(col / 2 + row) * 100 / 255);
    }
  }
  for (int row = 0; row < (height + 1) / 2; ++row) {
    std::fill_n(u + static_cast<ptrdiff_t>(row) * u_stride, (width + 1) / 2, uint8_t{128});
    std::fill_n(v + static_cast<ptrdiff_t>(row) * v_stride, (width + 1) / 2, uint8_t{128});
  }
}

std::optional<uint32_t> ReadFrameNumber(const uint8_t* luma, int stride, int width, int height) {
  const int min_side = MinSide(width, height);
  if (luma == nullptr || min_side < kBlocksPerMin || stride < width) return std::nullopt;
  const double block_size = static_cast<double>(min_side) / kBlocksPerMin;
  const int centre_y = static_cast<int>(block_size / 2);
  bool white[kBlockCount];
  for (int block = 0; block < kBlockCount; ++block) {
    const int centre_x = static_cast<int>((block + 0.5) * block_size);
    // A 3x3 average around the centre rides out single-pixel ringing.
    int sum = 0;
    int count = 0;
    for (int dy = -1; dy <= 1; ++dy) {
      for (int dx = -1; dx <= 1; ++dx) {
        const int x = std::clamp(centre_x + dx, 0, width - 1);
        const int yy = std::clamp(centre_y + dy, 0, height - 1);
        sum += luma[static_cast<ptrdiff_t>(yy) * stride + x];
        ++count;
      }
    }
    white[block] = sum / count >= 128;
  }
  if (!white[0] || white[1]) return std::nullopt;
  uint32_t value = 0;
  for (int bit = 0; bit < kFrameNumberBits; ++bit) {
    value = (value << 1) | (white[kFirstBit + bit] ? 1u : 0u);
  }
  if ((__builtin_popcount(value) % 2 != 0) != white[kParityBlock]) return std::nullopt;
  return value;
}

}  // namespace vistrel::phone
