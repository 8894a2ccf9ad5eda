// The preview's row conversion, written once for any vector width. The
// preview halves each row: every second luma byte, each output pixel with
// the chroma of its own column, from U and V planes (`step` 1) or NV12 pairs
// (`step` 2). madd forms each channel's two products at once, and the packs
// clamp to 0..255.
//
// `Ops` wraps one instruction set's intrinsics; every lane operation works
// within 128-bit halves, so a wider set converts 8 pixels per half.
// Included by one source file per instruction set, each compiled for it: the
// template has internal linkage so that no copy built for a wider set is
// shared with callers that run anywhere.
#pragma once

#include <cstdint>

namespace vistrel::tray {
namespace {

// Two 16-bit factors side by side, `low` in the low half, for madd.
constexpr int32_t PairWord(int16_t low, int16_t high) {
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint16_t>(low)) |
                              static_cast<uint32_t>(static_cast<uint16_t>(high)) << 16);
}

// Converts the longest run of whole vectors and returns its pixel count; the
// caller finishes the row.
template <class Ops>
[[gnu::always_inline]] inline int ConvertHalvedPixels(const uint8_t* luma, const uint8_t* u_row,
                                                      const uint8_t* v_row, int step,
                                                      uint32_t* out, int count) {
  using V = typename Ops::V;
  const V red_yv = Ops::Pairs(298, 459);
  const V green_yu = Ops::Pairs(298, -55);
  const V green_v1 = Ops::Pairs(-136, 19808);
  const V blue_yu = Ops::Pairs(298, 541);
  const V red_offset = Ops::Words32(-63392);
  const V blue_offset = Ops::Words32(-73888);
  const V ones = Ops::Words16(1);
  const V opaque = Ops::Words16(0xFF);
  int tx = 0;
  for (; tx + Ops::kPixels <= count; tx += Ops::kPixels) {
    const V y = Ops::LowBytes(Ops::Load(luma + 2 * tx));
    V u, v;
    if (step == 2) {
      const V uv = Ops::Load(u_row + 2 * tx);
      u = Ops::LowBytes(uv);
      v = Ops::HighBytes(uv);
    } else {
      u = Ops::Widen(u_row + tx);
      v = Ops::Widen(v_row + tx);
    }
    V channel[3];  // blue, green, red: 16-bit values
    for (int half = 0; half < 2; ++half) {
      const auto pair = [half](V a, V b) {
        return half == 0 ? Ops::UnpackLo16(a, b) : Ops::UnpackHi16(a, b);
      };
      const V yv = pair(y, v);
      const V yu = pair(y, u);
      const V v1 = pair(v, ones);
      const V r = Ops::Shift8(Ops::Add32(Ops::Madd(yv, red_yv), red_offset));
      const V g = Ops::Shift8(Ops::Add32(Ops::Madd(yu, green_yu), Ops::Madd(v1, green_v1)));
      const V b = Ops::Shift8(Ops::Add32(Ops::Madd(yu, blue_yu), blue_offset));
      if (half == 0) {
        channel[0] = b;
        channel[1] = g;
        channel[2] = r;
      } else {
        channel[0] = Ops::Packs32(channel[0], b);
        channel[1] = Ops::Packs32(channel[1], g);
        channel[2] = Ops::Packs32(channel[2], r);
      }
    }
    const V blue_red = Ops::Packus16(channel[0], channel[2]);  // b0..b7 r0..r7 per half
    const V green_alpha = Ops::Packus16(channel[1], opaque);   // g0..g7 FF.. per half
    const V bg = Ops::UnpackLo8(blue_red, green_alpha);
    const V ra = Ops::UnpackHi8(blue_red, green_alpha);
    Ops::StorePixels(out + tx, Ops::UnpackLo16(bg, ra), Ops::UnpackHi16(bg, ra));
  }
  return tx;
}

}  // namespace

// The AVX2 build of the kernel (16 pixels a step); only on CPUs that have it.
int ConvertHalvedPixelsAvx2(const uint8_t* luma, const uint8_t* u_row, const uint8_t* v_row,
                            int step, uint32_t* out, int count);

}  // namespace vistrel::tray
