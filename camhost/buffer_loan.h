// One empty consumer buffer at a time, lent by the PipeWire thread to the
// host's thread, which writes its picture straight into it and hands it back
// for sending: no copy in between. The lock is held only while a picture is
// written, so a buffer that PipeWire takes away is never written after.
#pragma once

#include <optional>
#include <utility>

#include "platform/thread_annotations.h"

namespace vistrel {

template <typename Buffer>
class BufferLoan {
 public:
  // PipeWire thread. False, and the buffer stays the caller's, while another
  // one is out.
  bool Lend(Buffer buffer) {
    MutexLock lock(mutex_);
    if (lent_ || filled_) return false;
    lent_ = std::move(buffer);
    return true;
  }
  // PipeWire thread: whether no buffer is out, so one may be lent.
  bool Idle() {
    MutexLock lock(mutex_);
    return !lent_ && !filled_;
  }
  // Host thread: `fill` writes into the lent buffer and returns true when it
  // did; the buffer then waits to be sent. False when no buffer is lent (the
  // picture is dropped, never waited for) or `fill` failed.
  template <typename Writer>
  bool Fill(const Writer& fill) {
    MutexLock lock(mutex_);
    if (!lent_ || !fill(*lent_)) return false;
    filled_ = std::move(lent_);
    lent_.reset();
    return true;
  }
  // PipeWire thread: the written buffer, to be sent.
  std::optional<Buffer> TakeFilled() {
    MutexLock lock(mutex_);
    std::optional<Buffer> filled = std::move(filled_);
    filled_.reset();
    return filled;
  }
  // PipeWire thread: forgets every buffer out for which `going(buffer)` holds,
  // after a write into it has ended.
  template <typename Predicate>
  void ForgetIf(const Predicate& going) {
    MutexLock lock(mutex_);
    if (lent_ && going(*lent_)) lent_.reset();
    if (filled_ && going(*filled_)) filled_.reset();
  }

 private:
  Mutex mutex_;
  std::optional<Buffer> lent_ GUARDED_BY(mutex_);
  std::optional<Buffer> filled_ GUARDED_BY(mutex_);
};

}  // namespace vistrel
