#pragma once

#include <string>

#include "tests/e2e/receiver_process.h"
#include "tools/phone/phone.h"

namespace vistrel::test {

// Opens an invitation on the receiver's console, pairs the phone under
// `device_name` and approves it; true when the phone is trusted.
bool PairAndApprove(ReceiverProcess& receiver, phone::Phone& device, const std::string& device_name);

}  // namespace vistrel::test
