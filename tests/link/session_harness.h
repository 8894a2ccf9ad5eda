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

// The record itself, plus a way to run a session against it.
class SessionHarness : public ActiveSession {
 public:
  // `scan` may be null (no scan delivery); it outlives the harness.
  SessionHarness(std::string receiver_name, FrameWriter* frame_writer, const Clock& clock,
                 ScanContext* scan = nullptr)
      : ActiveSession(frame_writer, clock),
        receiver_name_(std::move(receiver_name)),
        clock_(clock),
        scan_(scan) {}

  void Stream(const std::shared_ptr<Connection>& connection) {
    StreamSession({*this, receiver_name_, clock_, nullptr, scan_}, connection).Run();
  }
  uint32_t session_state() const { return static_cast<uint32_t>(state()); }

 private:
  const std::string receiver_name_;
  const Clock& clock_;
  ScanContext* const scan_;
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
