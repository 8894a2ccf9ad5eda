#include "video/nv12.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace vistrel {
namespace {

struct Shape {
  int width;
  int height;
  int u_stride;
  int v_stride;
  int uv_stride;
};

// Widths around the 16- and 32-byte steps, odd strides, and 720p's chroma.
const Shape kShapes[] = {
    {1, 1, 1, 1, 2},          {7, 3, 9, 11, 15},
    {15, 2, 15, 17, 31},      {16, 4, 16, 16, 32},
    {17, 5, 19, 23, 37},      {31, 3, 33, 31, 63},
    {32, 2, 32, 32, 64},      {33, 7, 35, 37, 67},
    {63, 5, 65, 67, 129},     {640, 360, 704, 704, 1344},
    {959, 3, 961, 963, 1921}, {100, 1, 100, 100, 200},
};

std::vector<uint8_t> Reference(const std::vector<uint8_t>& u, const std::vector<uint8_t>& v,
                               const std::vector<uint8_t>& background, const Shape& s) {
  std::vector<uint8_t> out = background;
  for (int y = 0; y < s.height; ++y) {
    for (int x = 0; x < s.width; ++x) {
      out[y * s.uv_stride + 2 * x] = u[y * s.u_stride + x];
      out[y * s.uv_stride + 2 * x + 1] = v[y * s.v_stride + x];
    }
  }
  return out;
}

TEST(InterleaveChromaTest, EveryPathMatchesTheScalarReferenceAndKeepsThePadding) {
  std::mt19937 random(7);
  std::vector<SimdLevel> levels = {SimdLevel::kScalar};
  if (BestSimdLevel() != SimdLevel::kScalar) levels.push_back(SimdLevel::kSse2);
  if (BestSimdLevel() == SimdLevel::kAvx2) levels.push_back(SimdLevel::kAvx2);
  for (const Shape& s : kShapes) {
    std::vector<uint8_t> u(static_cast<size_t>(s.u_stride) * s.height);
    std::vector<uint8_t> v(static_cast<size_t>(s.v_stride) * s.height);
    std::vector<uint8_t> background(static_cast<size_t>(s.uv_stride) * s.height);
    for (auto& b : u) b = static_cast<uint8_t>(random());
    for (auto& b : v) b = static_cast<uint8_t>(random());
    for (auto& b : background) b = static_cast<uint8_t>(random());
    const std::vector<uint8_t> expected = Reference(u, v, background, s);
    for (SimdLevel level : levels) {
      std::vector<uint8_t> uv = background;
      InterleaveChromaWith(level, u.data(), s.u_stride, v.data(), s.v_stride, uv.data(),
                           s.uv_stride, s.width, s.height);
      EXPECT_EQ(uv, expected) << "width " << s.width << " level " << static_cast<int>(level);
    }
    std::vector<uint8_t> uv = background;
    InterleaveChroma(u.data(), s.u_stride, v.data(), s.v_stride, uv.data(), s.uv_stride, s.width,
                     s.height);
    EXPECT_EQ(uv, expected) << "width " << s.width;
  }
}

TEST(InterleaveChromaTest, EmptySizesWriteNothing) {
  uint8_t u = 1, v = 2;
  uint8_t uv[2] = {9, 9};
  InterleaveChroma(&u, 1, &v, 1, uv, 2, 0, 1);
  InterleaveChroma(&u, 1, &v, 1, uv, 2, 1, 0);
  InterleaveChroma(&u, 1, &v, 1, uv, 2, -3, -3);
  EXPECT_EQ(uv[0], 9);
  EXPECT_EQ(uv[1], 9);
}

}  // namespace
}  // namespace vistrel
