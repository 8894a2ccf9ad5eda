// A private PipeWire daemon, optionally WirePlumber on it, and a small camera
// app for the end-to-end tests and the benchmark. Without a session manager
// the app links itself to "Orlith Cam" through the daemon's link factory;
// with one, it is linked as apps on a desktop are.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/thread_annotations.h"

namespace vistrel::test {

// `pipewire` with a minimal configuration, its socket in `runtime` (used as
// its XDG_RUNTIME_DIR).
class PipeWireDaemon {
 public:
  // Nothing, with the reason in `why`, when the program is missing or its
  // socket does not appear.
  static std::unique_ptr<PipeWireDaemon> Start(const std::filesystem::path& runtime,
                                               std::string& why);
  ~PipeWireDaemon();
  PipeWireDaemon(const PipeWireDaemon&) = delete;
  PipeWireDaemon& operator=(const PipeWireDaemon&) = delete;
  // Ends the daemon (SIGTERM) and waits for it.
  void Stop();

 private:
  explicit PipeWireDaemon(pid_t pid) : pid_(pid) {}
  pid_t pid_;
};

// WirePlumber on the daemon whose socket is in `runtime`, with its own
// configuration and state under `runtime`: it links streams to the default
// video source; it monitors no devices and needs no D-Bus.
class SessionManager {
 public:
  // Nothing, with the reason in `why`, when the program is missing or ends
  // at once.
  static std::unique_ptr<SessionManager> Start(const std::filesystem::path& runtime,
                                               std::string& why);
  ~SessionManager();
  SessionManager(const SessionManager&) = delete;
  SessionManager& operator=(const SessionManager&) = delete;

 private:
  explicit SessionManager(pid_t pid) : pid_(pid) {}
  pid_t pid_;
};

// What one buffer held.
struct ConsumedBuffer {
  bool waiting = false;                 // the animated waiting picture
  std::optional<uint32_t> number;       // the simulator's frame number
  int64_t sample_time_ns = 0;           // the buffer's time stamp
  int64_t received_ns = 0;              // CLOCK_MONOTONIC when it arrived
};

// An input video stream linked to the node "Orlith Cam", recording what
// every buffer held. Its own thread; any thread may read.
class PipeWireConsumer {
 public:
  enum class Linked {
    kByItself,          // through the link factory, to the node "Orlith Cam"
    kBySessionManager,  // as an app that names no target: to the default source
  };
  enum class Returns {
    kEveryBuffer,
    kNoBuffer,  // an app that stopped reading but keeps what it got
  };
  // Connects to the daemon whose socket is in `runtime`, asks for `format`
  // ("NV12", "I420", "YUY2", or "RGB", which the camera does not offer) and waits until it is linked. Nothing, with
  // the reason in `why`, when the daemon or the node does not answer in time.
  static std::unique_ptr<PipeWireConsumer> Connect(const std::filesystem::path& runtime,
                                                   const std::string& format, std::string& why,
                                                   Linked linked = Linked::kByItself,
                                                   Returns returns = Returns::kEveryBuffer);
  ~PipeWireConsumer();
  PipeWireConsumer(const PipeWireConsumer&) = delete;
  PipeWireConsumer& operator=(const PipeWireConsumer&) = delete;

  std::vector<ConsumedBuffer> Buffers() const;
  size_t Count() const;
  // The format the link settled on, as "NV12 1280x720 30/1"; empty before.
  std::string Format() const;

  struct Impl;

 private:
  explicit PipeWireConsumer(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace vistrel::test
