#include "video/exchange/frame_writer.h"

#include <atomic>
#include <cstring>

#include "platform/log.h"
#include "video/nv12.h"

namespace vistrel {
namespace {

constexpr int kW = static_cast<int>(kExchangeWidth);
constexpr int kH = static_cast<int>(kExchangeHeight);

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
  if (!ExchangeLayoutMatches(h)) {
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

template <typename Copy>
bool FrameWriter::Publish(int width, int height, const Copy& copy) {
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
  copy(y_plane, uv_plane);
  // Every picture byte before the even count.
  std::atomic_thread_fence(std::memory_order_seq_cst);
  const uint64_t time = MonotonicNs();
  Atomic(h.frame_generation).store(Atomic(h.writer_generation).load());
  Atomic(h.frame_time).store(time);
  Atomic(h.sequence).fetch_add(1);
  Atomic(h.frame_ready).exchange(1);
  last_publish_ns_ = time;
  // A camera host waiting for the next picture asks for its sample now.
  WakeWordWaiters(SequenceWord(h));
  return true;
}

bool FrameWriter::WriteFrame(const Nv12View& picture) {
  return Publish(picture.width, picture.height, [&](uint8_t* y_plane, uint8_t* uv_plane) {
    if (picture.width == kW && picture.height == kH) {
      const size_t pitch = static_cast<size_t>(picture.pitch);
      CopyPlane(picture.luma, pitch, y_plane, kW, kW, kH);
      CopyPlane(picture.chroma, pitch, uv_plane, kW, kW, kH / 2);
    } else {
      letterbox_.Scale(picture, y_plane, uv_plane);
    }
  });
}

bool FrameWriter::WriteFrame(const DecodedPicture& picture) {
  const Yuv420View* planes = picture.planes();
  if (planes == nullptr) return WriteFrame(picture.Nv12());
  return Publish(planes->width, planes->height, [&](uint8_t* y_plane, uint8_t* uv_plane) {
    if (planes->width == kW && planes->height == kH) {
      CopyPlane(planes->luma, static_cast<size_t>(planes->luma_pitch), y_plane, kW, kW, kH);
      InterleaveChroma(planes->u, planes->chroma_pitch, planes->v, planes->chroma_pitch, uv_plane,
                       kW, kW / 2, kH / 2);
    } else {
      letterbox_.Scale(*planes, y_plane, uv_plane);
    }
  });
}

void FrameWriter::ClearFrame() {
  if (FrameExchangeHeader* h = header_.load()) Atomic(h->frame_ready).exchange(0);
}

uint64_t FrameWriter::FramesRead() const {
  FrameExchangeHeader* h = header_.load();
  return h ? Atomic(h->frames_read).load() : 0;
}

}  // namespace vistrel
