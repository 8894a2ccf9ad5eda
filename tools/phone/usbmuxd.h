// A stand-in for the usbmux service, for tests and demos without a cable: it
// answers Listen, announces phones that the caller attaches and detaches, and
// on a Connect to the phone port opens a "tunnel" whose far end is a simulated
// phone acting as the TLS server and then as a webcam. It can refuse the
// first Connects (the phone app is not open) and can put a phone that speaks
// garbage at the end of a tunnel.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/unique_handle.h"
#include "tools/phone/phone.h"
#include "tools/phone/webcam.h"

namespace vistrel::phone {

// What a tunnel to an attached phone leads to.
struct UsbPhone {
  std::shared_ptr<Phone> phone;  // null: the far end answers with bytes that are not TLS
  WebcamOptions webcam;          // once the receiver has shaken hands
};

struct UsbmuxdOptions {
  std::string listen;      // a socket path, or HOST:PORT (port 0: any free one)
  int refuse_connect = 0;  // the first N Connect requests get a non-zero Number
  // One line per event, from any of the stand-in's threads.
  std::function<void(const std::string&)> report;
};

class UsbmuxdStandIn {
 public:
  struct ConnectRecord {
    std::string serial;
    uint64_t at_ms = 0;  // TickMs when the request arrived
    bool tunnel = false;
    uint64_t ended_ms = 0;  // when the tunnel closed; 0 while open or refused
  };

  static std::unique_ptr<UsbmuxdStandIn> Start(UsbmuxdOptions options);
  ~UsbmuxdStandIn();
  UsbmuxdStandIn(const UsbmuxdStandIn&) = delete;
  UsbmuxdStandIn& operator=(const UsbmuxdStandIn&) = delete;

  // "path" or "127.0.0.1:port": what VSTL_USBMUXD should say.
  const std::string& address() const { return address_; }
  // Announces a phone to every subscriber: on a cable, or reached over the network.
  void Attach(const std::string& serial, UsbPhone phone, bool usb = true);
  // Announces that the phone left and cuts its tunnels.
  void Detach(const std::string& serial);
  std::vector<ConnectRecord> Connects() const;
  void Stop();

 private:
  struct Attached {
    int id = 0;
    bool usb = true;
    UsbPhone phone;
  };
  struct Client {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };

  UsbmuxdStandIn(UsbmuxdOptions options, UniqueFd listen_socket, std::string address);
  void AcceptLoop();
  void Serve(UniqueFd socket);
  void Subscribe(int socket, uint32_t tag);
  void Tunnel(UniqueFd socket, uint32_t tag, int device_id);
  // Sends under the lock so that event packets never interleave.
  bool Send(int socket, uint32_t tag, const std::string& body);
  void Report(const std::string& line) const;

  const UsbmuxdOptions options_;
  UniqueFd listen_socket_;
  const std::string address_;
  std::atomic<bool> stopping_{false};
  std::thread accept_thread_;

  mutable std::mutex mutex_;
  std::map<std::string, Attached> attached_;  // by serial
  int next_id_ = 1;
  int refusals_left_ = 0;
  std::set<int> subscribers_;
  std::set<int> open_sockets_;       // every client socket, for Stop
  std::multimap<int, int> tunnels_;  // device id -> tunnel socket
  std::vector<ConnectRecord> connects_;
  std::vector<Client> clients_;
};

// `vistrel-phone usbmuxd ...`: the stand-in with a schedule, until SIGINT or SIGTERM.
int RunUsbmuxdCommand(int argc, char** argv);

}  // namespace vistrel::phone
