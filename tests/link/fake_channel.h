// A scripted channel for driving the link logic without TLS: the test queues
// the phone's frames, and reads past the script either time out (moving the
// manual clock to the deadline) or fail, as the test chooses.
#pragma once

#include <sys/socket.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "link/connection.h"
#include "link/framing.h"
#include "platform/clock.h"
#include "platform/socket.h"
#include "platform/unique_handle.h"

namespace vistrel::test {

struct SentFrame {
  uint8_t type;
  std::string payload;
};

class FakeChannel final : public Channel {
 public:
  explicit FakeChannel(ManualClock& clock, int socket = -1) : clock_(clock), socket_(socket) {}

  // Blocking: reads past the script wait for more input until the socket is
  // shut down, as a live phone that is silent for a while.
  void SetBlocking(bool blocking) { blocking_ = blocking; }
  // Blocking reads stop only at Hangup, not when the socket is shut down: the
  // session then sees whatever was queued after it was cut.
  void IgnoreShutdown() { socket_ = -1; }
  void Hangup() {
    std::lock_guard lock(mutex_);
    hung_up_ = true;
    more_.notify_all();
  }

  // Queues one frame as the phone would send it.
  void Queue(uint8_t type, std::string_view payload) {
    std::lock_guard lock(mutex_);
    uint32_t length = static_cast<uint32_t>(payload.size() + 1);
    const uint8_t header[5] = {static_cast<uint8_t>(length >> 24), static_cast<uint8_t>(length >> 16),
                               static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length), type};
    input_.insert(input_.end(), header, header + 5);
    input_.insert(input_.end(), payload.begin(), payload.end());
    more_.notify_all();
  }
  void QueueRaw(std::string_view bytes) {
    std::lock_guard lock(mutex_);
    input_.insert(input_.end(), bytes.begin(), bytes.end());
  }
  // After the script: this many idle time-outs, then failure (the phone left).
  void SetIdleTimeouts(int count) { idle_timeouts_ = count; }

  bool Establish(uint64_t) override { return true; }
  const Bytes& peer_certificate() const override { return certificate_; }
  ReadResult ReadExact(uint8_t* buffer, size_t n, uint64_t deadline_ms) override {
    std::unique_lock lock(mutex_);
    while (blocking_ && input_.size() < n) {
      if (hung_up_) return ReadResult::kFailed;
      if (socket_ >= 0 && PollReadable(socket_, 0).value_or(true)) return ReadResult::kFailed;
      more_.wait_for(lock, std::chrono::milliseconds(5));
    }
    if (input_.size() >= n) {
      std::copy_n(input_.begin(), n, buffer);
      input_.erase(input_.begin(), input_.begin() + static_cast<long>(n));
      return ReadResult::kOk;
    }
    if (idle_timeouts_ > 0 && input_.empty()) {
      --idle_timeouts_;
      if (deadline_ms > clock_.NowMs()) clock_.Set(deadline_ms);
      return ReadResult::kTimedOut;
    }
    return ReadResult::kFailed;
  }
  bool Write(std::span<const uint8_t> data) override {
    std::lock_guard lock(mutex_);
    if (data.size() < 5) return false;
    sent_.push_back({data[4], std::string(reinterpret_cast<const char*>(data.data()) + 5,
                                          data.size() - 5)});
    return true;
  }
  bool HasBufferedInput() const override {
    std::lock_guard lock(mutex_);
    return !input_.empty();
  }

  std::vector<SentFrame> Sent() const {
    std::lock_guard lock(mutex_);
    return sent_;
  }
  std::vector<std::string> SentOfType(uint8_t type) const {
    std::vector<std::string> result;
    for (const SentFrame& frame : Sent()) {
      if (frame.type == type) result.push_back(frame.payload);
    }
    return result;
  }

 private:
  ManualClock& clock_;
  int socket_;
  bool hung_up_ = false;
  bool blocking_ = false;
  mutable std::mutex mutex_;
  std::condition_variable more_;
  std::deque<uint8_t> input_;
  std::vector<SentFrame> sent_;
  int idle_timeouts_ = 0;
  Bytes certificate_;
};

// A connection over a FakeChannel; the socket is one end of a silent socket
// pair, so socket-level checks see a quiet peer.
struct FakeConnection {
  FakeConnection(ManualClock& clock, std::string fingerprint, bool wired = false,
                 std::string peer = "192.0.2.7") {
    int fds[2];
    ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
    other_end.Reset(fds[1]);
    auto fake = std::make_unique<FakeChannel>(clock, fds[0]);
    channel = fake.get();
    connection = std::make_shared<Connection>(UniqueFd(fds[0]), peer, std::move(fake), wired);
    connection->fingerprint = std::move(fingerprint);
  }
  std::shared_ptr<Connection> connection;
  FakeChannel* channel;  // owned by the connection
  UniqueFd other_end;
};

}  // namespace vistrel::test
