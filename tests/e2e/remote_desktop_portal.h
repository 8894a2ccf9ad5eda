// The desktop portal's RemoteDesktop interface as a test plays it: the
// consent dialog that a real portal shows cannot be clicked headless, so
// this one grants every Start, counts how often it would have asked (a Start
// without the restore token it issued last), and hands each key it is sent
// on to `key` (the session's real keyboard) besides recording it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace vistrel::test {

class RemoteDesktopPortal {
 public:
  using KeyFunction = std::function<void(uint32_t keysym, bool pressed)>;
  // Owns org.freedesktop.portal.Desktop on the bus; null when it cannot.
  static std::unique_ptr<RemoteDesktopPortal> Start(const std::string& bus_address,
                                                    KeyFunction key);
  ~RemoteDesktopPortal();
  RemoteDesktopPortal(const RemoteDesktopPortal&) = delete;
  RemoteDesktopPortal& operator=(const RemoteDesktopPortal&) = delete;

  struct Record {
    int consents = 0;  // Starts the user would have been asked about
    int starts = 0;
    uint32_t types = 0;  // of the last SelectDevices
    uint32_t persist_mode = 0;
    std::string restore_token_given;  // in the last SelectDevices
    std::vector<uint32_t> pressed;    // keysyms, in order
  };
  Record Recorded();

  struct Impl;

 private:
  explicit RemoteDesktopPortal(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace vistrel::test
