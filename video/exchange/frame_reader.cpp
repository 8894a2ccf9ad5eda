#include "video/exchange/frame_reader.h"

#include "video/nv12_view.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

namespace vistrel {
namespace {

constexpr char kPrefix[] = "/Vistrel_";

template <typename T>
std::atomic_ref<T> Atomic(T& field) {
  return std::atomic_ref<T>(field);
}

bool IsDecimal(const std::string& text) {
  if (text.empty() || text.size() > 10) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

uint64_t WriterWait::NowNs() const { return MonotonicNs(); }

void WriterWait::Pause() const { std::this_thread::sleep_for(std::chrono::microseconds(100)); }

const WriterWait& RealWriterWait() {
  static const WriterWait wait;
  return wait;
}

FrameReader::FrameReader(std::string name, Log log, const Clock& clock, const WriterWait& wait)
    : name_(std::move(name)), log_(std::move(log)), clock_(clock), wait_(wait) {}

bool FrameReader::Open() {
  if (memory_) return true;
  if (name_.empty()) return false;
  const uint64_t now = clock_.NowMs();
  if (attempted_ && now - last_attempt_ < kAttachRetryMs) return false;
  attempted_ = true;
  last_attempt_ = now;

  const size_t prefix = sizeof kPrefix - 1;
  const size_t underscore = name_.rfind('_');
  if (name_.compare(0, prefix, kPrefix) != 0 || underscore == std::string::npos ||
      underscore < prefix + 1) {
    log_("FrameReader: unexpected shared name " + name_);
    return false;
  }
  if (!IsDecimal(name_.substr(prefix, underscore - prefix))) {
    log_("FrameReader: invalid SID in shared name " + name_);
    return false;
  }
  Result<std::unique_ptr<SharedMemory>> opened = SharedMemory::CreateOrOpen(name_, kExchangeSize);
  if (!opened) {
    log_("FrameReader: shm_open(" + name_ + ") failed " + std::to_string(opened.code()));
    return false;
  }
  std::unique_ptr<SharedMemory> memory = std::move(*opened);
  auto& h = *reinterpret_cast<FrameExchangeHeader*>(memory->data());
  if (memory->created()) {
    // The magic last: a writer that sees it sees the rest.
    Atomic(h.width).store(kExchangeWidth);
    Atomic(h.height).store(kExchangeHeight);
    Atomic(h.version).store(kExchangeVersion);
    Atomic(h.magic).store(kExchangeMagic);
    log_("FrameReader: shared memory ready (created)");
  } else if (Atomic(h.magic).load() == kExchangeMagic &&
             Atomic(h.version).load() == kExchangeVersion) {
    log_("FrameReader: shared memory ready (opened)");
  } else {
    log_("FrameReader: existing mapping has an unexpected layout");
    return false;
  }
  memory_ = std::move(memory);
  return true;
}

bool FrameReader::ReadPicture(uint8_t* destination, int pitch) {
  if (!Open()) return false;
  ++counts_.reads;
  const bool live = TryRead(destination, pitch);
  if (live) ++counts_.live;
  return live;
}

bool FrameReader::TryRead(uint8_t* destination, int pitch) {
  auto& h = *reinterpret_cast<FrameExchangeHeader*>(memory_->data());
  const uint8_t* picture = memory_->data() + kExchangeHeaderSize;
  bool busy = false;
  const uint64_t give_up = wait_.NowNs() + kBusyWaitNs;
  for (;;) {
    const uint32_t ready = Atomic(h.frame_ready).load();
    const uint32_t writer_generation = Atomic(h.writer_generation).load();
    const uint32_t frame_generation = Atomic(h.frame_generation).load();
    const uint64_t sequence = Atomic(h.sequence).load();
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (ready == 0 || frame_generation != writer_generation) return false;
    if ((sequence & 1) == 0) {
      const uint64_t published = Atomic(h.frame_time).load();
      if (MonotonicNs() - published > kExchangeClockFrequency) return false;
      CopyPlane(picture, kExchangeWidth, destination, static_cast<size_t>(pitch), kExchangeWidth,
                kExchangeHeight * 3 / 2);
      // The copy's loads before the second look at the counters (an acquire
      // fence at least); otherwise a late byte could escape the check.
      std::atomic_thread_fence(std::memory_order_seq_cst);
      if (Atomic(h.frame_ready).load() != 0 &&
          Atomic(h.writer_generation).load() == writer_generation &&
          Atomic(h.sequence).load() == sequence) {
        Atomic(h.frames_read).fetch_add(1);
        picture_sequence_ = sequence;
        picture_publish_ns_ = published;
        return true;
      }
    }
    // The writer is copying, or began the next picture during our copy.
    if (!busy) ++counts_.busy;
    busy = true;
    if (wait_.NowNs() >= give_up) {
      ++counts_.fallbacks;
      return false;
    }
    wait_.Pause();
  }
}

}  // namespace vistrel
