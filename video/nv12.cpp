// The interleave runs once per decoded picture, so it is written with SSE2
// (always present on x86-64) and AVX2 (chosen at run time); GCC leaves the
// plain byte loop scalar at -O2.
#include "video/nv12.h"

#include <cstddef>

#include "video/nv12_view.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VISTREL_X86 1
#endif

namespace vistrel {
namespace {

using RowFn = void (*)(const uint8_t* u, const uint8_t* v, uint8_t* uv, int width);

void RowScalar(const uint8_t* u, const uint8_t* v, uint8_t* uv, int width) {
  for (int x = 0; x < width; ++x) {
    uv[2 * x] = u[x];
    uv[2 * x + 1] = v[x];
  }
}

#ifdef VISTREL_X86
void RowSse2(const uint8_t* u, const uint8_t* v, uint8_t* uv, int width) {
  int x = 0;
  for (; x + 16 <= width; x += 16) {
    const __m128i u16 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(u + x));
    const __m128i v16 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + x));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(uv + 2 * x), _mm_unpacklo_epi8(u16, v16));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(uv + 2 * x + 16), _mm_unpackhi_epi8(u16, v16));
  }
  RowScalar(u + x, v + x, uv + 2 * x, width - x);
}

__attribute__((target("avx2"))) void RowAvx2(const uint8_t* u, const uint8_t* v, uint8_t* uv,
                                             int width) {
  int x = 0;
  for (; x + 32 <= width; x += 32) {
    const __m256i u32 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(u + x));
    const __m256i v32 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(v + x));
    // The unpacks work per 128-bit lane: lo holds pairs 0-7 and 16-23, hi
    // holds 8-15 and 24-31; the permutes put them back in order.
    const __m256i lo = _mm256_unpacklo_epi8(u32, v32);
    const __m256i hi = _mm256_unpackhi_epi8(u32, v32);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(uv + 2 * x),
                        _mm256_permute2x128_si256(lo, hi, 0x20));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(uv + 2 * x + 32),
                        _mm256_permute2x128_si256(lo, hi, 0x31));
  }
  RowSse2(u + x, v + x, uv + 2 * x, width - x);
}
#endif

RowFn RowFor(SimdLevel level) {
#ifdef VISTREL_X86
  switch (level) {
    case SimdLevel::kAvx2:
      return RowAvx2;
    case SimdLevel::kSse2:
    case SimdLevel::kSsse3:  // nothing to shuffle here that SSE2 cannot unpack
      return RowSse2;
    case SimdLevel::kScalar:
      break;
  }
#else
  (void)level;
#endif
  return RowScalar;
}

SimdLevel DetectSimdLevel() {
#ifdef VISTREL_X86
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) return SimdLevel::kAvx2;
  if (__builtin_cpu_supports("ssse3")) return SimdLevel::kSsse3;
  return SimdLevel::kSse2;
#else
  return SimdLevel::kScalar;
#endif
}

}  // namespace

SimdLevel BestSimdLevel() {
  static const SimdLevel level = DetectSimdLevel();
  return level;
}

void InterleaveChromaWith(SimdLevel level, const uint8_t* u, int u_stride, const uint8_t* v,
                          int v_stride, uint8_t* uv, int uv_stride, int width_chroma,
                          int height_chroma) {
  if (width_chroma <= 0 || height_chroma <= 0) return;
  // A level above what the CPU offers would fault; fall back to the best one.
  if (static_cast<int>(level) > static_cast<int>(BestSimdLevel())) level = BestSimdLevel();
  const RowFn row = RowFor(level);
  for (int y = 0; y < height_chroma; ++y) {
    row(u + static_cast<ptrdiff_t>(y) * u_stride, v + static_cast<ptrdiff_t>(y) * v_stride,
        uv + static_cast<ptrdiff_t>(y) * uv_stride, width_chroma);
  }
}

void InterleaveChroma(const uint8_t* u, int u_stride, const uint8_t* v, int v_stride, uint8_t* uv,
                      int uv_stride, int width_chroma, int height_chroma) {
  InterleaveChromaWith(BestSimdLevel(), u, u_stride, v, v_stride, uv, uv_stride, width_chroma,
                       height_chroma);
}

const Nv12View& DecodedPicture::Nv12() const {
  if (!interleaved_) {
    interleaved_ = true;
    const int chroma_width = (planes_.width + 1) / 2;
    const int chroma_height = (planes_.height + 1) / 2;
    const size_t size =
        static_cast<size_t>(planes_.luma_pitch) * static_cast<size_t>(chroma_height);
    if (chroma_buffer_->size() < size) chroma_buffer_->resize(size);
    InterleaveChroma(planes_.u, planes_.chroma_pitch, planes_.v, planes_.chroma_pitch,
                     chroma_buffer_->data(), planes_.luma_pitch, chroma_width, chroma_height);
    nv12_.chroma = chroma_buffer_->data();
  }
  return nv12_;
}

}  // namespace vistrel
