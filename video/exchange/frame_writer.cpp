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
  if (attempted_ && now - last_attempt_ < kAttachRetryMs) return false;
  attempted_ = true;
  last_attempt_ = now;
  Result<std::unique_ptr<SharedMemory>> opened = SharedMemory::Open(name_, kExchangeSize);
  if (!opened) {
    const int error = opened.code();
    if (error != last_error_) {
      LogLine("[frames] no app is using the camera yet (%d)\n", error);
      last_error_ = error;
    }
    return false;
  }
  std::unique_ptr<SharedMemory> memory = std::move(*opened);
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

bool FrameWriter::WriteFrame(const Nv12View& picture) {
  if (!memory_ && !Attach()) return false;
  if (picture.width < 1 || picture.height < 1) return false;
  FrameExchangeHeader& h = *header_.load();
  uint8_t* y_plane = memory_->data() + kExchangeHeaderSize;
  uint8_t* uv_plane = y_plane + size_t{kExchangeWidth} * kExchangeHeight;
  Atomic(h.sequence).fetch_add(1);
  // The odd count must be seen before any picture byte. The increment alone
  // does not order the plain copies after it: on weakly ordered CPUs (AArch64)
  // they may pass its store, and a reader would take a torn picture for whole.
  std::atomic_thread_fence(std::memory_order_seq_cst);
  if (picture.width == static_cast<int>(kExchangeWidth) &&
      picture.height == static_cast<int>(kExchangeHeight)) {
    const size_t pitch = static_cast<size_t>(picture.pitch);
    CopyPlane(picture.luma, pitch, y_plane, kExchangeWidth, kExchangeWidth, kExchangeHeight);
    CopyPlane(picture.chroma, pitch, uv_plane, kExchangeWidth, kExchangeWidth, kExchangeHeight / 2);
  } else {
    ScaleLetterbox(picture, y_plane, uv_plane);
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
