// The pairing exchange on one network connection: PAIR in, the code out, the
// user's decision, and the phone added to the trusted phones on approval.
// Runs on the connection's worker thread; the wait for the decision is the
// only long one, and Server::Stop ends it by closing the pairing state.
#pragma once

#include <string>

#include "link/connection.h"
#include "platform/clock.h"
#include "security/pairing_state.h"
#include "security/trust_store.h"

namespace vistrel {

// What an enrolment reaches outside itself; owned by the server.
struct EnrollContext {
  const std::string& receiver_id;
  const std::string& receiver_name;
  TrustStore& trust;
  PairingState& pairing;
  const Clock& clock;
};

void Enroll(const EnrollContext& context, Connection& connection);

}  // namespace vistrel
