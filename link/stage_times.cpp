#include "link/stage_times.h"

#include "platform/clock.h"
#include "platform/times_file.h"

namespace vistrel {
namespace {

struct PictureTimes {
  uint64_t arrival = 0;
  uint64_t decoded = 0;
};

TimesFile* PictureTimesFile() {
  static const std::unique_ptr<TimesFile> file =
      TimesFile::FromEnvironment("VISTREL_PICTURE_TIMES");
  return file.get();
}

thread_local PictureTimes picture_times;

}  // namespace

void NotePictureArrival() {
  if (PictureTimesFile()) picture_times.arrival = MonotonicNs();
}

void NotePictureDecoded() {
  if (PictureTimesFile()) picture_times.decoded = MonotonicNs();
}

void NotePicturePublished(uint64_t publish_ns) {
  if (TimesFile* file = PictureTimesFile()) {
    file->Line({picture_times.arrival, picture_times.decoded, publish_ns});
  }
}

}  // namespace vistrel

#ifdef VISTREL_STAGE_TIMES

#include <cstdio>

namespace vistrel {

StageTimes& ThreadStageTimes() {
  thread_local StageTimes times;
  return times;
}

StageScope::StageScope(Stage stage)
    : stage_(stage), start_(ThreadCpuNs()), nested_before_(ThreadStageTimes().nested_ns) {}

StageScope::~StageScope() {
  StageTimes& times = ThreadStageTimes();
  const uint64_t elapsed = ThreadCpuNs() - start_;
  const uint64_t inner = times.nested_ns - nested_before_;
  times.ns[static_cast<size_t>(stage_)] += elapsed > inner ? elapsed - inner : 0;
  times.nested_ns = nested_before_ + elapsed;
}

std::string TakeStageSummary() {
  StageTimes& times = ThreadStageTimes();
  const double pictures = times.pictures ? static_cast<double>(times.pictures) : 1.0;
  auto us = [&](Stage stage) { return times.ns[static_cast<size_t>(stage)] / pictures / 1e3; };
  char line[256];
  std::snprintf(
      line, sizeof line,
      "[stages] %llu pictures, CPU µs per picture: read %.0f, decode %.0f, exchange %.0f, "
      "preview %.0f, monitor %.0f; after decoding %.0f\n",
      static_cast<unsigned long long>(times.pictures), us(Stage::kRead), us(Stage::kDecode),
      us(Stage::kExchange), us(Stage::kPreview), us(Stage::kMonitor),
      us(Stage::kExchange) + us(Stage::kPreview) + us(Stage::kMonitor));
  times = StageTimes{};
  return line;
}

}  // namespace vistrel

#endif
