// Compiled with AVX2 enabled: called only after the CPU was checked for it.
#include <immintrin.h>

#include "tray/preview_rows.h"

namespace vistrel::tray {
namespace {

struct Avx2 {
  using V = __m256i;
  static constexpr int kPixels = 16;
  static V Pairs(int16_t low, int16_t high) {
    return _mm256_set1_epi32(PairWord(low, high));
  }
  static V Words16(int16_t value) { return _mm256_set1_epi16(value); }
  static V Words32(int32_t value) { return _mm256_set1_epi32(value); }
  static V Load(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const V*>(p)); }
  static V LowBytes(V v) { return _mm256_and_si256(v, Words16(0x00FF)); }
  static V HighBytes(V v) { return _mm256_srli_epi16(v, 8); }
  // Bytes 0..7 to the low half and 8..15 to the high half, as the pixels lie.
  static V Widen(const uint8_t* p) {
    return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
  }
  static V UnpackLo16(V a, V b) { return _mm256_unpacklo_epi16(a, b); }
  static V UnpackHi16(V a, V b) { return _mm256_unpackhi_epi16(a, b); }
  static V UnpackLo8(V a, V b) { return _mm256_unpacklo_epi8(a, b); }
  static V UnpackHi8(V a, V b) { return _mm256_unpackhi_epi8(a, b); }
  static V Madd(V a, V b) { return _mm256_madd_epi16(a, b); }
  static V Add32(V a, V b) { return _mm256_add_epi32(a, b); }
  static V Shift8(V v) { return _mm256_srai_epi32(v, 8); }
  static V Packs32(V a, V b) { return _mm256_packs_epi32(a, b); }
  static V Packus16(V a, V b) { return _mm256_packus_epi16(a, b); }
  // low holds pixels 0..3 and 8..11, high 4..7 and 12..15.
  static void StorePixels(uint32_t* out, V low, V high) {
    _mm256_storeu_si256(reinterpret_cast<V*>(out), _mm256_permute2x128_si256(low, high, 0x20));
    _mm256_storeu_si256(reinterpret_cast<V*>(out + 8), _mm256_permute2x128_si256(low, high, 0x31));
  }
};

}  // namespace

int ConvertHalvedPixelsAvx2(const uint8_t* luma, const uint8_t* u_row, const uint8_t* v_row,
                            int step, uint32_t* out, int count) {
  return ConvertHalvedPixels<Avx2>(luma, u_row, v_row, step, out, count);
}

}  // namespace vistrel::tray
