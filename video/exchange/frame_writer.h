// The receiver's side of the frame exchange: opens the mapping that the camera
// created (never creates it) and publishes each decoded picture.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/clock.h"
#include "platform/shared_memory.h"
#include "video/exchange/frame_exchange.h"
#include "video/exchange/letterbox.h"
#include "video/nv12_view.h"

namespace vistrel {

class FrameWriter {
 public:
  explicit FrameWriter(std::string name, const Clock& clock = SystemClock());
  ~FrameWriter();
  FrameWriter(const FrameWriter&) = delete;
  FrameWriter& operator=(const FrameWriter&) = delete;

  // One decoded picture; true when published. Attaches first when needed, at
  // most one attempt a second.
  bool WriteFrame(const Nv12View& picture);
  // The same from the decoder's planes when it has them: chroma is
  // interleaved straight into the exchange, and nothing is touched while no
  // camera is attached.
  bool WriteFrame(const DecodedPicture& picture);
  // The camera shows the waiting picture until the next WriteFrame.
  void ClearFrame();
  // The camera's read counter; 0 while not attached. Any thread.
  uint64_t FramesRead() const;
  const std::string& name() const { return name_; }
  // The publish time of the latest picture; the writing thread.
  uint64_t LastPublishNs() const { return last_publish_ns_; }

 private:
  bool Attach();
  // The sequence-locked write around `copy(y_plane, uv_plane)`.
  template <typename Copy>
  bool Publish(int width, int height, const Copy& copy);

  const std::string name_;
  const Clock& clock_;
  // Set once by the writing thread; other threads see the mapping through
  // header_, which is published after it and never withdrawn.
  std::unique_ptr<SharedMemory> memory_;
  std::atomic<FrameExchangeHeader*> header_{nullptr};
  uint64_t last_attempt_ = 0;
  bool attempted_ = false;
  int last_error_ = 0;
  uint64_t last_publish_ns_ = 0;
  Letterbox letterbox_;  // keeps its maps from picture to picture
};

}  // namespace vistrel
