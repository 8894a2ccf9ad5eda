// A headless GNOME Shell on Wayland for one test, as the desktop a user logs
// into: its own session bus, a permissive system bus of its own (the shell
// stops without logind's), XWayland for X clients, and a keyboard on the
// seat (a Mutter remote-desktop device standing in for the user's), with the
// overview the shell opens at start closed, so new windows take the focus.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/session_bus.h"
#include "tests/support/temp_folder.h"

namespace vistrel::test {

class GnomeSession {
 public:
  // `status_host`: with the AppIndicator extension, the shell's status-notifier host.
  explicit GnomeSession(bool status_host);
  ~GnomeSession();
  GnomeSession(const GnomeSession&) = delete;
  GnomeSession& operator=(const GnomeSession&) = delete;

  // Empty when the session runs; else why not, with the end of the shell's log.
  const std::string& error() const { return error_; }
  // Set when the shell could not start because the kernel lacks what it
  // needs (named here): the only reason a test may skip.
  const std::string& missing_kernel_feature() const { return missing_kernel_feature_; }

  // What a program started in the session inherits: the Wayland socket (an
  // absolute path, so any XDG_RUNTIME_DIR may be given), XWayland's DISPLAY
  // and XAUTHORITY, the buses, and the session's type and desktop.
  std::vector<std::string> Environment() const;
  const std::string& x_display() const { return x_display_; }
  const std::string& bus_address() const { return bus_address_; }

  // Keys of the user's keyboard, by X keysym: pressed in order, released in
  // reverse (Alt_L, F4 is Alt+F4).
  bool PressKeys(const std::vector<uint32_t>& keysyms);
  // One key's press or release.
  bool Key(uint32_t keysym, bool pressed);
  // Whether `name` has an owner on the session bus.
  bool HasName(const std::string& name);
  // The items the status-notifier host (the extension) has taken.
  std::vector<std::string> StatusItems();
  // A left click on an item's icon at the screen point, as the host reports it.
  bool ActivateItem(const std::string& item, int x, int y);
  // A click on the entry `id` of an item's menu.
  bool ClickMenuItem(const std::string& item, int id);
  // The notifications sent to the shell so far: "title: text [actions]", one a line.
  std::string Notifications();
  // The shell's log so far.
  std::string ShellLog() const;

  struct Bus;

 private:
  bool Start(bool status_host);
  bool StartSystemBus();
  bool WaitForShell();
  bool FindXWayland();
  bool AddKeyboard();
  bool WatchNotifications();

  TempFolder root_;
  std::unique_ptr<SessionBus> session_bus_;  // made once inherited descriptors are kept
  std::string bus_address_;
  pid_t system_bus_pid_ = -1;
  std::string system_bus_address_;
  pid_t shell_pid_ = -1;
  std::string wayland_socket_;
  std::string x_display_;
  std::string x_authority_;
  std::unique_ptr<Bus> bus_;
  std::unique_ptr<Bus> monitor_;
  std::string keyboard_session_;
  std::string error_;
  std::string missing_kernel_feature_;
};

}  // namespace vistrel::test
