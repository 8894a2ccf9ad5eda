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

class FrameReader {
 public:
  // `log` receives one message per call, without a line end.
  using Log = std::function<void(const std::string& message)>;

  FrameReader(std::string name, Log log, const Clock& clock = SystemClock());
  FrameReader(const FrameReader&) = delete;
  FrameReader& operator=(const FrameReader&) = delete;

  // True once the mapping is there; a failed attempt is retried after a second.
  bool Open();
  // Copies a fresh, consistent picture into a 1280x720 NV12 buffer whose two
  // planes share `pitch`, the UV plane 720 rows below the Y plane.
  bool ReadPicture(uint8_t* destination, int pitch);

 private:
  const std::string name_;
  const Log log_;
  const Clock& clock_;
  std::unique_ptr<SharedMemory> memory_;
  uint64_t last_attempt_ = 0;
  bool attempted_ = false;
};

}  // namespace vistrel
