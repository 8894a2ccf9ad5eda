#pragma once

#include <future>
#include <memory>
#include <optional>
#include <string>

#include "tests/e2e/receiver_process.h"
#include "tools/phone/phone.h"
#include "tray/style.h"

namespace vistrel::test {

// The tray's windows as X shows them, told apart by their size.
constexpr int kMainWidth = static_cast<int>(tray::layout::kMainWidth);
constexpr int kMainHeight = static_cast<int>(tray::layout::kMainHeight);
constexpr int kFlyoutWidth = static_cast<int>(tray::layout::kFlyoutWidth);
constexpr int kFlyoutHeight = static_cast<int>(tray::layout::kFlyoutHeight);

// Opens an invitation on the receiver's console, pairs the phone under
// `device_name` and approves it; true when the phone is trusted.
bool PairAndApprove(ReceiverProcess& receiver, phone::Phone& device,
                    const std::string& device_name);

// A phone asking the tray receiver to pair through the invitation the tray
// opened (its address in the test hook file); the pairing runs on a thread
// of its own until the user decides.
struct PairingPhone {
  std::unique_ptr<phone::Phone> device;
  std::unique_ptr<phone::PhoneLink> link;
  std::future<phone::PairOutcome> outcome;
};
// Nothing when the hook holds no pairing address or the phone cannot connect.
std::optional<PairingPhone> StartPairingFromHook(const ReceiverProcess& receiver,
                                                 const std::string& device_name);

// A new phone "Cam" pairs, streams webcam video for `seconds` and leaves;
// true when both the pairing and the session were accepted.
bool PairAndStreamWebcam(ReceiverProcess& receiver, double seconds);

}  // namespace vistrel::test
