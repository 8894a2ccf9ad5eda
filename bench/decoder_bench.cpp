// Per-picture cost of the video path: the NV12 chroma interleave of a 720p
// picture (goal about 15 us) and decoding one access unit of a 720p30 stream.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "tools/phone/h264_source.h"
#include "video/h264_decoder.h"
#include "video/nv12.h"

namespace {

// 720p chroma: 640x360 per plane, strides as libavcodec pads them.
void BM_InterleaveChroma720p(benchmark::State& state) {
  const auto level = static_cast<vistrel::SimdLevel>(state.range(0));
  if (static_cast<int>(level) > static_cast<int>(vistrel::BestSimdLevel())) {
    state.SkipWithError("not supported on this CPU");
    return;
  }
  constexpr int kWidth = 640, kHeight = 360, kChromaStride = 704, kLumaStride = 1344;
  std::vector<uint8_t> u(kChromaStride * kHeight, 90), v(kChromaStride * kHeight, 160);
  std::vector<uint8_t> uv(kLumaStride * kHeight);
  for (auto _ : state) {
    vistrel::InterleaveChromaWith(level, u.data(), kChromaStride, v.data(), kChromaStride,
                                  uv.data(), kLumaStride, kWidth, kHeight);
    benchmark::DoNotOptimize(uv.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * int64_t{kWidth} * kHeight * 2);
}
BENCHMARK(BM_InterleaveChroma720p)
    ->ArgName("level(0=scalar,1=sse2,3=avx2)")
    ->Arg(0)
    ->Arg(1)
    ->Arg(3)
    ->Unit(benchmark::kMicrosecond);

// Two seconds of 720p30 (one IDR, then P pictures), decoded in a loop; each
// iteration is one access unit through Decode including the NV12 callback.
void BM_Decode720p30(benchmark::State& state) {
  auto source = vistrel::phone::H264Source::Create(1280, 720, 30);
  if (!source) {
    state.SkipWithError("no H.264 encoder");
    return;
  }
  std::vector<vistrel::phone::AccessUnit> units(60);
  for (auto& unit : units) {
    if (!source->NextAccessUnit(unit)) {
      state.SkipWithError("encoding failed");
      return;
    }
  }
  vistrel::H264Decoder decoder;
  if (decoder.Initialize() != 0) {
    state.SkipWithError("decoder failed to open");
    return;
  }
  uint64_t pictures = 0;
  const vistrel::FrameCallback on_frame = [&pictures](const vistrel::Nv12View& picture) {
    benchmark::DoNotOptimize(picture.luma);
    benchmark::DoNotOptimize(picture.chroma);
    ++pictures;
  };
  size_t next = 0;
  for (auto _ : state) {
    const auto& unit = units[next];
    if (decoder.Decode(unit.bytes.data(), unit.bytes.size(), unit.pts_us * 10, on_frame) != 0) {
      state.SkipWithError("decode failed");
      return;
    }
    next = (next + 1) % units.size();
  }
  state.counters["pictures_per_unit"] =
      static_cast<double>(pictures) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_Decode720p30)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
