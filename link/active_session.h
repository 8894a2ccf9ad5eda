// The active-session record: which connection streams, what the tray shows of
// its phone, the counters, the preview picture and the camera gate. It is the
// one thing a streaming session may change outside itself; the server and the
// receiver core read it for the status.
//
// Locks, in order: mutex_ (the slot and the gate), then status_mutex_ or
// preview_mutex_, never those two together. Nothing here waits on a socket:
// the frames sent under mutex_ go through the channel's own send lock.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "link/connection.h"
#include "monitor/session_monitor.h"
#include "platform/clock.h"
#include "platform/thread_annotations.h"
#include "security/bytes.h"
#include "video/exchange/frame_writer.h"
#include "video/nv12_view.h"

namespace vistrel {

enum class SessionState : uint32_t { kNone = 0, kActive = 1 };

// What the tray shows of the active phone.
struct PhoneStatus {
  std::string phone_name;
  std::string link_kind;  // "wired" or "wifi"
  double battery = -1.0;
  std::string thermal_state;
  std::string phone_model;
  std::string refused_phone;
  uint64_t refused_at = 0;
};

struct ServerCounters {
  uint64_t bytes_received = 0;
  uint64_t video_received = 0;
  uint64_t video_dropped = 0;
  uint64_t frames_decoded = 0;
  uint64_t frames_delivered = 0;
};

// Latest decoded picture for the tray, in one of three slots: the current
// one, one lent to a reader, and one the worker fills. A slot holds the
// decoder's own planes (a reference that keeps them) or, when the decoder's
// picture cannot be kept, a packed NV12 copy. Who has which slot changes only
// under the preview lock; a slot is filled only by the worker, and only while
// it is neither current nor lent.
struct PreviewFrame {
  int current = -1;  // -1: empty
  uint64_t sequence = 0;
  uint64_t tick = 0;
  std::array<int, 3> readers{};  // lent copies of each slot
};
struct PreviewSlot {
  std::shared_ptr<const void> keeper;  // the decoder's frame, when kept
  Bytes copy;                          // packed NV12 otherwise
  PictureView view;
};
using PreviewReader = std::function<void(const PictureView& picture)>;

class ActiveSession {
 public:
  // `frame_writer` (camera output) and `monitor` may be null; both outlive the record.
  ActiveSession(FrameWriter* frame_writer, const Clock& clock, SessionMonitor* monitor = nullptr)
      : frame_writer_(frame_writer), clock_(clock), monitor_(monitor) {}

  // --- Called by a streaming session, on its worker thread.

  // The one-phone rule. The same phone takes over (the cable wins over Wi-Fi);
  // any other phone is busy. On acceptance `reply` runs under the lock with
  // the camera gate as it stands, so no ALLOW or BLOCK can overtake it.
  [[nodiscard]] bool Claim(const std::shared_ptr<Connection>& connection,
                           const std::string& device_name,
                           const std::function<void(bool camera_allowed)>& reply) EXCLUDES(mutex_);
  // The phone's fields for a session that starts, and the state active.
  void Begin(const std::string& device_name, bool wired) EXCLUDES(status_mutex_);
  // A STATUS report: only the values given (and valid) change.
  void ReportStatus(std::optional<double> battery, std::optional<std::string> thermal,
                    std::optional<std::string> model) EXCLUDES(status_mutex_);
  // Whether the connection holds the slot (scan messages pass only then).
  bool IsActive(const Connection& connection) const EXCLUDES(mutex_);
  // Whether VIDEO of this connection may pass: allowed, no ALLOW unanswered,
  // not being cut.
  bool VideoGateOpen(const Connection& connection) const;
  // A decoded picture: to the camera, and to the preview while someone watches
  // it (a CopyPreview within the last second), when the gate is open and the
  // connection is the active one. True when it passed, for the monitor.
  bool DeliverPicture(const Connection& connection, const DecodedPicture& picture) EXCLUDES(mutex_);
  // The camera shows the waiting picture, if `connection` is the active one.
  void ClearPictureOf(const Connection& connection) EXCLUDES(mutex_);
  // The end of a session: true when it was still the active one, which then
  // clears the picture and the state.
  [[nodiscard]] bool Release(const Connection& connection) EXCLUDES(mutex_);

  // --- Called by the server (UI thread, shutdown).

  // The camera gate: tells the monitor, sends ALLOW or BLOCK to the active
  // phone and logs.
  void SetCameraAllowed(bool allowed) EXCLUDES(mutex_);
  bool camera_allowed() const { return camera_allowed_.load(); }
  // Clears the picture when the active phone has this fingerprint.
  void ClearPictureOfPhone(const std::string& fingerprint) EXCLUDES(mutex_);
  // Empties the slot once every worker is gone.
  void Reset() EXCLUDES(mutex_);

  // --- Status, from any thread.

  SessionState state() const { return state_.load(); }
  PhoneStatus GetPhoneStatus() const EXCLUDES(status_mutex_);
  ServerCounters GetCounters() const;
  // Copies the preview out when it is fresh and newer than `sequence`. Each
  // call also asks for the preview to be kept for another second.
  bool CopyPreview(Bytes& pixels, uint32_t& width, uint32_t& height, uint64_t& sequence) const
      EXCLUDES(preview_mutex_);
  // The same without the copy: a fresh picture newer than `sequence` is lent
  // to `read`, outside the lock, for the length of the call.
  bool ReadPreview(uint64_t& sequence, const PreviewReader& read) const EXCLUDES(preview_mutex_);
  // Pictures put into the preview so far.
  uint64_t preview_copies() const { return preview_copies_.load(); }

  // Counters the session adds to directly.
  std::atomic<uint64_t> bytes_received{0};
  std::atomic<uint64_t> video_received{0};
  std::atomic<uint64_t> video_dropped{0};
  std::atomic<uint64_t> frames_decoded{0};

 private:
  void ClearPictureLocked() REQUIRES(mutex_);
  uint64_t Now() const { return clock_.NowMs(); }

  FrameWriter* const frame_writer_;
  const Clock& clock_;
  SessionMonitor* const monitor_;

  mutable Mutex mutex_ ACQUIRED_BEFORE(status_mutex_, preview_mutex_);
  std::shared_ptr<Connection> active_ GUARDED_BY(mutex_);
  // Written under mutex_, read without it by the video gate and the status.
  std::atomic<bool> camera_allowed_{true};
  std::atomic<uint32_t> sequence_{0};  // last ALLOW or BLOCK sent
  std::atomic<SessionState> state_{SessionState::kNone};
  std::atomic<uint64_t> frames_delivered_{0};

  mutable Mutex status_mutex_;
  PhoneStatus phone_ GUARDED_BY(status_mutex_);

  mutable Mutex preview_mutex_;
  mutable PreviewFrame preview_ GUARDED_BY(preview_mutex_);
  // Not guarded: ownership of each slot follows preview_ (see PreviewFrame).
  std::array<PreviewSlot, 3> preview_slots_;
  // Tick of the last CopyPreview plus one; 0 while nobody ever asked.
  mutable std::atomic<uint64_t> preview_asked_{0};
  std::atomic<uint64_t> preview_copies_{0};
};

}  // namespace vistrel
