// The keyboard of the desktop's RemoteDesktop portal (xdg-desktop-portal on
// the session bus): how a program types into Wayland apps, which XTest
// cannot reach. The desktop asks the user once; the portal's restore token,
// kept in a file, lets later sessions start without asking again.
//
// The session is set up on a thread of its own, since the first set-up waits
// for the user's answer; Type waits for it only briefly.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

#include "platform/desktop.h"

namespace vistrel {

class PortalKeyboard {
 public:
  enum class Result {
    kTyped,
    kNoPortal,    // no portal, or one without a keyboard to offer
    kWaiting,     // the desktop is still asking the user
    kNotAllowed,  // the user or the desktop refused
  };

  explicit PortalKeyboard(std::filesystem::path token_file);
  ~PortalKeyboard();
  PortalKeyboard(const PortalKeyboard&) = delete;
  PortalKeyboard& operator=(const PortalKeyboard&) = delete;

  // Presses and releases each X keysym in turn; any thread, one at a time.
  Result Type(const std::vector<uint32_t>& keysyms);

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

// `desktop` with the portal's keyboard for what it answers
// kFocusedAppNotReachable; the restore token is kept in `token_file`.
std::unique_ptr<Desktop> WithPortalKeyboard(std::unique_ptr<Desktop> desktop,
                                            std::filesystem::path token_file);
// In a Wayland session (WAYLAND_DISPLAY set) WithPortalKeyboard with the
// token in the receiver's state folder, else `desktop` itself.
std::unique_ptr<Desktop> WithPortalKeyboardOnWayland(std::unique_ptr<Desktop> desktop);

}  // namespace vistrel
