// Hands the newest picture from the host's thread to the PipeWire thread
// without either waiting on the other's copying: three packed NV12 slots, the
// lock held only to swap slot numbers. A picture nobody took is replaced by
// the next one.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "platform/thread_annotations.h"
#include "video/nv12_view.h"

namespace vistrel {

class LatestPicture {
 public:
  LatestPicture();

  // Host thread: copies `picture` (1280x720) in and makes it the newest.
  void Put(const Nv12View& picture, int64_t time_100ns);
  // PipeWire thread: true when a picture newer than the last taken one
  // exists; it stays readable through `picture` and `time` until the next Take.
  bool Take();
  Nv12View picture() const;
  int64_t time_100ns() const { return times_[front_]; }

 private:
  std::array<std::vector<uint8_t>, 3> slots_;
  std::array<int64_t, 3> times_{};
  int back_ = 0;   // the writer's own slot
  int front_ = 1;  // the reader's own slot
  Mutex mutex_;
  int ready_ GUARDED_BY(mutex_) = 2;
  bool fresh_ GUARDED_BY(mutex_) = false;
};

}  // namespace vistrel
