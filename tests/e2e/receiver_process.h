// The real receiver in a private set of folders, driven through its console:
// commands on standard input, log lines read from standard error.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/unique_handle.h"
#include "tests/support/temp_folder.h"

namespace vistrel::test {

class ReceiverProcess {
 public:
  // Private HOME, XDG folders, runtime folder, session id; port 0 unless given.
  ReceiverProcess();
  ~ReceiverProcess();
  ReceiverProcess(const ReceiverProcess&) = delete;
  ReceiverProcess& operator=(const ReceiverProcess&) = delete;

  // Starts `vistrel --headless --port 0 --no-camera --no-usb` (as enabled
  // below, without the last two) plus `extra`; waits
  // until it listens (or failed) and returns whether it listens.
  bool Start(const std::vector<std::string>& extra = {});
  // Adds "NAME=value" to the environment of later starts (DISPLAY, for one).
  void AddEnvironment(std::string entry) { extra_environment_.push_back(std::move(entry)); }
  // Later starts run the tray (no "--headless"); give DISPLAY and the
  // session bus with AddEnvironment.
  void EnableTray() { tray_ = true; }
  // The tray on X display `display`, with `bus_address` as the session bus
  // and the test hooks on.
  void ShowTrayOn(const std::string& display, const std::string& bus_address) {
    EnableTray();
    AddEnvironment("DISPLAY=" + display);
    AddEnvironment("DBUS_SESSION_BUS_ADDRESS=" + bus_address);
    AddEnvironment("VSTL_TEST_HOOKS=1");
  }
  // Later starts create the virtual camera (no "--no-camera").
  void EnableCamera() { camera_ = true; }
  // Lets the receiver and the programs beside it find PipeWire's client
  // configuration. Without it they find PipeWire not installed, so a camera
  // host started by a receiver ends instead of waiting for a daemon.
  void EnablePipeWire() { pipewire_ = true; }
  // Later starts run the USB watcher (no "--no-usb") against the usbmux
  // service at `service` (VSTL_USBMUXD).
  void EnableUsb(const std::string& service) { usbmuxd_ = service; }
  // Later starts reach the system bus (and Avahi on it) at this D-Bus address;
  // by default a socket that does not exist, so no test advertises by accident.
  void SetSystemBus(const std::string& address) { system_bus_ = address; }
  // Runs the program with `args` in the same folders, without input, and
  // returns its exit code (for "--remove-camera").
  int RunCommand(const std::vector<std::string>& args);
  // Runs another start of the program in the same folders; returns its exit code.
  int RunSecondStart();

  void Send(const std::string& line);
  bool WaitForLog(const std::string& text, std::chrono::milliseconds limit = std::chrono::seconds(20));
  bool WaitForOutput(const std::string& text,
                     std::chrono::milliseconds limit = std::chrono::seconds(20));
  std::string Log() const;
  std::string Output() const;
  // Sends "quit" and waits for the exit; -1 when it did not end in time.
  int Quit(std::chrono::milliseconds limit = std::chrono::seconds(20));
  // Sends the signal and waits for the exit: the exit code, 128 + the signal
  // when the signal killed it, -1 when it did not end in time.
  int Signal(int signal, std::chrono::milliseconds limit = std::chrono::seconds(20));
  // Waits for an exit that the program makes on its own; as for Signal.
  int WaitExit(std::chrono::milliseconds limit);

  uint16_t port() const { return port_; }
  pid_t pid() const { return pid_; }
  const std::filesystem::path& data_folder() const { return data_folder_; }
  const std::filesystem::path& root() const { return root_.path(); }
  // The frame exchange name this receiver writes to.
  std::string ExchangeName() const;

  // The receiver's environment: private HOME, XDG folders, session id and
  // registry roots; for the programs that work beside it.
  std::vector<std::string> Environment() const;

  // The pairing URL printed by "pair".
  std::string OpenPairing();

 private:
  void ReadPipes();

  TempFolder root_;
  std::filesystem::path data_folder_;
  std::string session_id_;
  pid_t pid_ = -1;
  UniqueFd stdin_;
  UniqueFd stdout_;
  UniqueFd stderr_;
  std::thread reader_;
  mutable std::mutex mutex_;
  std::string log_;     // guarded by mutex_
  std::string output_;  // guarded by mutex_
  uint16_t port_ = 0;
  bool camera_ = false;
  bool pipewire_ = false;
  bool tray_ = false;
  std::string usbmuxd_;     // empty: --no-usb
  std::string system_bus_;  // empty: none
  std::vector<std::string> extra_environment_;
};

}  // namespace vistrel::test
