// vistrel-phone usbmuxd --listen PATH|HOST:PORT [--attach SERIAL[@SECONDS]]...
//     [--detach SERIAL@SECONDS]... [--network-device SERIAL]... [--refuse-connect N]
//     [--garbage] [--seconds N] [--fps 15|30] [--name NAME] [--state DIR]
// Runs the usbmux stand-in with its schedule until SIGINT or SIGTERM. Every
// phone on it is the one in --state (the same identity files as `pair`), which
// streams for --seconds per tunnel; --garbage puts a phone that does not speak
// TLS there instead.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/folders.h"
#include "platform/socket.h"
#include "platform/stop_signals.h"
#include "tools/phone/usbmuxd.h"

namespace vistrel::phone {
namespace {

struct Event {
  uint64_t at_ms = 0;
  std::string serial;
  enum { kAttach, kDetach, kNetwork } kind = kAttach;
};

// "SERIAL@SECONDS" into the event; the time may be left out when optional.
bool ParseEvent(const std::string& value, bool time_required, Event& event) {
  const size_t at = value.rfind('@');
  event.serial = value.substr(0, at);
  if (event.serial.empty() || (at == std::string::npos && time_required)) return false;
  if (at != std::string::npos) {
    char* end = nullptr;
    const double seconds = std::strtod(value.c_str() + at + 1, &end);
    if (*end || seconds < 0 || seconds > 86400) return false;
    event.at_ms = static_cast<uint64_t>(seconds * 1000);
  }
  return true;
}

int Usage() {
  std::fprintf(
      stderr,
      "usage: vistrel-phone usbmuxd --listen PATH|HOST:PORT [--attach SERIAL[@SECONDS]]... "
      "[--detach SERIAL@SECONDS]... [--network-device SERIAL]... [--refuse-connect N] "
      "[--garbage] [--seconds N] [--fps 15|30] [--name NAME] [--state DIR]\n");
  return 2;
}

}  // namespace

int RunUsbmuxdCommand(int argc, char** argv) {
  BlockStopSignals();
  IgnoreSigpipe();
  UsbmuxdOptions options;
  std::vector<Event> events;
  bool garbage = false;
  WebcamOptions webcam;
  std::filesystem::path state = CameraLogFolder().parent_path() / "vistrel-phone";
  for (int i = 2; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--garbage") {
      garbage = true;
      continue;
    }
    if (i + 1 >= argc) return Usage();
    const std::string value = argv[++i];
    Event event;
    if (option == "--listen") {
      options.listen = value;
    } else if (option == "--attach" || option == "--detach" || option == "--network-device") {
      event.kind = option == "--attach"   ? Event::kAttach
                   : option == "--detach" ? Event::kDetach
                                          : Event::kNetwork;
      if (!ParseEvent(value, option == "--detach", event)) return Usage();
      events.push_back(event);
    } else if (option == "--refuse-connect") {
      options.refuse_connect = std::atoi(value.c_str());
    } else if (option == "--seconds") {
      webcam.seconds = std::atof(value.c_str());
    } else if (option == "--fps") {
      webcam.fps = static_cast<uint32_t>(std::atoi(value.c_str()));
      if (webcam.fps != 15 && webcam.fps != 30) return Usage();
    } else if (option == "--name") {
      webcam.device_name = value;
    } else if (option == "--state") {
      state = value;
    } else {
      return Usage();
    }
  }
  if (options.listen.empty()) return Usage();
  std::shared_ptr<Phone> phone;
  if (!garbage && !(phone = Phone::Create(state))) {
    std::fprintf(stderr, "vistrel-phone: cannot make the phone's identity in %s\n", state.c_str());
    return 1;
  }
  const uint64_t start = TickMs();
  options.report = [start](const std::string& line) {
    std::printf("usbmuxd: %6.1f s %s\n", double(TickMs() - start) / 1000, line.c_str());
    std::fflush(stdout);
  };
  auto service = UsbmuxdStandIn::Start(options);
  if (!service) {
    std::fprintf(stderr, "vistrel-phone: cannot listen on %s\n", options.listen.c_str());
    return 1;
  }
  options.report("listening on " + service->address());

  std::stable_sort(events.begin(), events.end(),
                   [](const Event& a, const Event& b) { return a.at_ms < b.at_ms; });
  UniqueFd stop_signal = StopSignalFd();
  size_t next = 0;
  for (;;) {
    const uint64_t now = TickMs() - start;
    while (next < events.size() && events[next].at_ms <= now) {
      const Event& event = events[next++];
      if (event.kind == Event::kDetach) {
        service->Detach(event.serial);
      } else {
        service->Attach(event.serial, {phone, webcam}, event.kind == Event::kAttach);
      }
    }
    const int wait = next < events.size() ? static_cast<int>(events[next].at_ms - now) : -1;
    if (PollReadable(stop_signal.Get(), wait).value_or(true)) break;
  }
  service->Stop();
  return 0;
}

}  // namespace vistrel::phone
