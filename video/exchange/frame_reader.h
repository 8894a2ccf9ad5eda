// The camera's side of the frame exchange: creates (or opens) the mapping and
// copies the newest consistent, fresh picture into each sample.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/clock.h"
#include "platform/shared_memory.h"
#include "video/exchange/frame_exchange.h"

namespace vistrel {

// How a read waits for a writer that is in the middle of a picture; tests
// replace it to hold the writer exactly as long as they want.
class WriterWait {
 public:
  virtual ~WriterWait() = default;
  // Nanoseconds on the monotonic clock.
  virtual uint64_t NowNs() const;
  // A short sleep, well below a picture's copy time.
  virtual void Pause() const;
};
const WriterWait& RealWriterWait();

// What the reads of one reader met, counted since it was made.
struct ReadCounts {
  uint64_t reads = 0;      // calls that found the mapping
  uint64_t live = 0;       // a picture was copied
  uint64_t busy = 0;       // the writer was busy at least once during the read
  uint64_t fallbacks = 0;  // the writer stayed busy: the read gave up
};

class FrameReader {
 public:
  // `log` receives one message per call, without a line end.
  using Log = std::function<void(const std::string& message)>;

  FrameReader(std::string name, Log log, const Clock& clock = SystemClock(),
              const WriterWait& wait = RealWriterWait());
  FrameReader(const FrameReader&) = delete;
  FrameReader& operator=(const FrameReader&) = delete;

  // True once the mapping is there; a failed attempt is retried after a second.
  bool Open();
  // Copies a fresh, consistent picture into a 1280x720 NV12 buffer whose two
  // planes share `pitch`, the UV plane 720 rows below the Y plane. A writer
  // busy with the next picture is waited for up to kBusyWaitNs: its copy
  // takes well under a millisecond, so only a writer stuck mid-picture
  // leaves the read without a picture.
  bool ReadPicture(uint8_t* destination, int pitch);
  // The reader's thread.
  const ReadCounts& counts() const { return counts_; }
  // The exchange's sequence count and publish time of the picture that the
  // latest successful ReadPicture copied.
  uint64_t picture_sequence() const { return picture_sequence_; }
  uint64_t picture_publish_ns() const { return picture_publish_ns_; }

  static constexpr uint64_t kBusyWaitNs = 2'000'000;

 private:
  bool TryRead(uint8_t* destination, int pitch);

  const std::string name_;
  const Log log_;
  const Clock& clock_;
  const WriterWait& wait_;
  std::unique_ptr<SharedMemory> memory_;
  ReadCounts counts_;
  uint64_t picture_sequence_ = 0;
  uint64_t picture_publish_ns_ = 0;
  uint64_t last_attempt_ = 0;
  bool attempted_ = false;
};

}  // namespace vistrel
