// A streaming session or an enrolment without a listening server: the same
// record and contexts that the server hands its workers, so tests can run a
// session on their own thread over a scripted channel.
#pragma once

#include <memory>
#include <string>

#include "link/active_session.h"
#include "link/enroll.h"
#include "link/session.h"

namespace vistrel::test {

class SessionHarness {
 public:
  SessionHarness(std::string receiver_name, FrameWriter* frame_writer, const Clock& clock)
      : receiver_name_(std::move(receiver_name)), clock_(clock), active_(frame_writer, clock) {}

  void Stream(const std::shared_ptr<Connection>& connection) {
    StreamSession({active_, receiver_name_, clock_}, connection).Run();
  }
  void SetCameraAllowed(bool allowed) { active_.SetCameraAllowed(allowed); }
  bool camera_allowed() const { return active_.camera_allowed(); }
  uint32_t session_state() const { return static_cast<uint32_t>(active_.state()); }
  PhoneStatus GetPhoneStatus() const { return active_.GetPhoneStatus(); }
  ServerCounters GetCounters() const { return active_.GetCounters(); }
  bool CopyPreview(Bytes& pixels, uint32_t& width, uint32_t& height, uint64_t& sequence) const {
    return active_.CopyPreview(pixels, width, height, sequence);
  }

 private:
  const std::string receiver_name_;
  const Clock& clock_;
  ActiveSession active_;
};

class EnrollHarness {
 public:
  EnrollHarness(std::string receiver_id, std::string receiver_name, TrustStore& trust,
                PairingState& pairing, const Clock& clock)
      : receiver_id_(std::move(receiver_id)),
        receiver_name_(std::move(receiver_name)),
        context_{receiver_id_, receiver_name_, trust, pairing, clock} {}

  void Enroll(Connection& connection) { vistrel::Enroll(context_, connection); }

 private:
  const std::string receiver_id_;
  const std::string receiver_name_;
  const EnrollContext context_;
};

}  // namespace vistrel::test
