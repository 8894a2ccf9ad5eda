#include "video/exchange/frame_writer.h"

#include <atomic>
#include <cstring>

#include "platform/log.h"
#include "video/exchange/letterbox.h"

namespace vistrel {
namespace {

template <typename T>
std::atomic_ref<T> Atomic(T& field) {
  return std::atomic_ref<T>(field);
}

}  // namespace

FrameWriter::FrameWriter(std::string name, const Clock& clock)
    : name_(std::move(name)), clock_(clock) {}

FrameWriter::~FrameWriter() {
  if (FrameExchangeHeader* h = header_.load()) Atomic(h->frame_ready).store(0);
}

bool FrameWriter::Attach() {
  const uint64_t now = clock_.NowMs();
  if (attempted_ && now - last_attempt_ < 1000) return false;
  attempted_ = true;
  last_attempt_ = now;
  int error = 0;
  std::unique_ptr<SharedMemory> memory = SharedMemory::Open(name_, kExchangeSize, error);
  if (!memory) {
    if (error != last_error_) {
      LogLine("[frames] no app is using the camera yet (%d)\n", error);
      last_error_ = error;
    }
    return false;
  }
  auto& h = *reinterpret_cast<FrameExchangeHeader*>(memory->data());
  if (Atomic(h.magic).load() != kExchangeMagic || Atomic(h.version).load() != kExchangeVersion ||
      Atomic(h.width).load() != kExchangeWidth || Atomic(h.height).load() != kExchangeHeight) {
    LogLine("[frames] shared memory has an unexpected layout; ignoring it\n");
    return false;
  }
  Atomic(h.frame_ready).store(0);
  const uint32_t generation = Atomic(h.writer_generation).fetch_add(1) + 1;
  // A writer that died in the middle of a picture left the counter odd.
  if (Atomic(h.sequence).load() & 1) Atomic(h.sequence).fetch_add(1);
  last_error_ = 0;
  memory_ = std::move(memory);
  header_ = &h;
  LogLine("[frames] writing to the virtual camera (generation %u)\n", generation);
  return true;
}

bool FrameWriter::WriteFrame(const uint8_t* luma, const uint8_t* chroma, int stride, int width,
                             int height) {
  if (!memory_ && !Attach()) return false;
  if (width < 1 || height < 1) return false;
  FrameExchangeHeader& h = *header_.load();
  uint8_t* y_plane = memory_->data() + kExchangeHeaderSize;
  uint8_t* uv_plane = y_plane + size_t{kExchangeWidth} * kExchangeHeight;
  Atomic(h.sequence).fetch_add(1);
  // The odd count must be seen before any picture byte. The increment alone
  // does not order the plain copies after it: on weakly ordered CPUs (AArch64)
  // they may pass its store, and a reader would take a torn picture for whole.
  std::atomic_thread_fence(std::memory_order_seq_cst);
  if (width == static_cast<int>(kExchangeWidth) && height == static_cast<int>(kExchangeHeight)) {
    for (uint32_t row = 0; row < kExchangeHeight; ++row) {
      std::memcpy(y_plane + size_t{row} * kExchangeWidth, luma + size_t(row) * stride,
                  kExchangeWidth);
    }
    for (uint32_t row = 0; row < kExchangeHeight / 2; ++row) {
      std::memcpy(uv_plane + size_t{row} * kExchangeWidth, chroma + size_t(row) * stride,
                  kExchangeWidth);
    }
  } else {
    ScaleLetterbox(luma, chroma, stride, width, height, y_plane, uv_plane);
  }
  // Every picture byte before the even count.
  std::atomic_thread_fence(std::memory_order_seq_cst);
  const uint64_t time = MonotonicNs();
  Atomic(h.frame_generation).store(Atomic(h.writer_generation).load());
  Atomic(h.frame_time).store(time);
  Atomic(h.sequence).fetch_add(1);
  Atomic(h.frame_ready).exchange(1);
  return true;
}

void FrameWriter::ClearFrame() {
  if (FrameExchangeHeader* h = header_.load()) Atomic(h->frame_ready).exchange(0);
}

uint64_t FrameWriter::FramesRead() const {
  FrameExchangeHeader* h = header_.load();
  return h ? Atomic(h->frames_read).load() : 0;
}

}  // namespace vistrel
