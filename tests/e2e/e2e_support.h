#pragma once

#include <string>

#include "tests/e2e/receiver_process.h"
#include "tools/phone/phone.h"

namespace vistrel::test {

// Opens an invitation on the receiver's console, pairs the phone under
// `device_name` and approves it; true when the phone is trusted.
bool PairAndApprove(ReceiverProcess& receiver, phone::Phone& device, const std::string& device_name);

// A new phone "Cam" pairs, streams webcam video for `seconds` and leaves;
// true when both the pairing and the session were accepted.
bool PairAndStreamWebcam(ReceiverProcess& receiver, double seconds);

}  // namespace vistrel::test
