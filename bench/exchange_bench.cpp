// Publishing one 1280x720 picture into the frame exchange, and the camera's
// copy out of it.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "video/exchange/frame_reader.h"
#include "video/exchange/frame_writer.h"

namespace vistrel {
namespace {

constexpr int kW = 1280;
constexpr int kH = 720;

std::string BenchName() { return "/Vistrel_" + std::to_string(::geteuid()) + "_bench" + std::to_string(::getpid()); }

void BM_WriteFrame(benchmark::State& state) {
  const std::string name = BenchName();
  FrameReader reader(name, [](const std::string&) {});
  reader.Open();
  FrameWriter writer(name);
  const int stride = 1344;  // decoders pad their rows
  std::vector<uint8_t> luma(size_t(stride) * kH, 100), chroma(size_t(stride) * kH / 2, 128);
  for (auto _ : state) {
    benchmark::DoNotOptimize(writer.WriteFrame({luma.data(), chroma.data(), stride, kW, kH}));
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kW * kH * 3 / 2);
  SharedMemory::Unlink(name);
}
BENCHMARK(BM_WriteFrame);

// The decoder's planes as they come: luma copied, U and V interleaved straight
// into the exchange.
void BM_WriteFramePlanar(benchmark::State& state) {
  const std::string name = BenchName();
  FrameReader reader(name, [](const std::string&) {});
  reader.Open();
  FrameWriter writer(name);
  const int stride = 1344, chroma_stride = 704;
  std::vector<uint8_t> luma(size_t(stride) * kH, 100), u(size_t(chroma_stride) * kH / 2, 90),
      v(size_t(chroma_stride) * kH / 2, 160), unused;
  for (auto _ : state) {
    const DecodedPicture picture(
        Yuv420View{luma.data(), u.data(), v.data(), stride, chroma_stride, kW, kH}, unused);
    benchmark::DoNotOptimize(writer.WriteFrame(picture));
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kW * kH * 3 / 2);
  SharedMemory::Unlink(name);
}
BENCHMARK(BM_WriteFramePlanar);

void BM_ReadPicture(benchmark::State& state) {
  const std::string name = BenchName();
  FrameReader reader(name, [](const std::string&) {});
  reader.Open();
  FrameWriter writer(name);
  std::vector<uint8_t> luma(size_t(kW) * kH, 100), chroma(size_t(kW) * kH / 2, 128);
  std::vector<uint8_t> out(size_t(kW) * kH * 3 / 2);
  for (auto _ : state) {
    state.PauseTiming();
    writer.WriteFrame({luma.data(), chroma.data(), kW, kW, kH});  // keep it fresh
    state.ResumeTiming();
    benchmark::DoNotOptimize(reader.ReadPicture(out.data(), kW));
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kW * kH * 3 / 2);
  SharedMemory::Unlink(name);
}
BENCHMARK(BM_ReadPicture);

// Reads while a writer publishes a picture every `range(0)` ms, as the phone's
// session does at 30 per second (33) or far faster (1): the cost per sample
// includes the reader's waits for a writer in the middle of a picture.
void BM_ReadPictureWhileWriting(benchmark::State& state) {
  const std::string name = BenchName();
  FrameReader reader(name, [](const std::string&) {});
  reader.Open();
  std::atomic<bool> done{false};
  std::thread writing([&] {
    FrameWriter writer(name);
    std::vector<uint8_t> luma(size_t(kW) * kH, 100), chroma(size_t(kW) * kH / 2, 128);
    while (!done) {
      writer.WriteFrame({luma.data(), chroma.data(), kW, kW, kH});
      std::this_thread::sleep_for(std::chrono::milliseconds(state.range(0)));
    }
  });
  std::vector<uint8_t> out(size_t(kW) * kH * 3 / 2);
  while (!reader.ReadPicture(out.data(), kW)) std::this_thread::yield();
  const ReadCounts before = reader.counts();
  for (auto _ : state) benchmark::DoNotOptimize(reader.ReadPicture(out.data(), kW));
  const ReadCounts& after = reader.counts();
  const double reads = double(after.reads - before.reads);
  state.counters["busy_share"] = double(after.busy - before.busy) / reads;
  state.counters["fallback_share"] = double(after.fallbacks - before.fallbacks) / reads;
  done = true;
  writing.join();
  SharedMemory::Unlink(name);
}
BENCHMARK(BM_ReadPictureWhileWriting)->Arg(33)->Arg(1)->UseRealTime();

void BM_Letterbox1080p(benchmark::State& state) {
  const std::string name = BenchName();
  FrameReader reader(name, [](const std::string&) {});
  reader.Open();
  FrameWriter writer(name);
  std::vector<uint8_t> luma(size_t(1920) * 1080, 100), chroma(size_t(1920) * 540, 128);
  for (auto _ : state) {
    benchmark::DoNotOptimize(writer.WriteFrame({luma.data(), chroma.data(), 1920, 1920, 1080}));
  }
  SharedMemory::Unlink(name);
}
BENCHMARK(BM_Letterbox1080p);

}  // namespace
}  // namespace vistrel

BENCHMARK_MAIN();
