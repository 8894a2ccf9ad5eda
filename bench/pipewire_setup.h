// What the PipeWire benchmarks share: a private PipeWire daemon (with
// WirePlumber when asked), the camera host serving into it, and the receiver
// with a paired phone.
#pragma once

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "bench/process_stats.h"
#include "tests/e2e/host_process.h"
#include "tests/e2e/pipewire_support.h"

namespace vistrel::bench {

struct PipeWireSetup {
  std::filesystem::path runtime;
  std::unique_ptr<test::PipeWireDaemon> daemon;
  std::unique_ptr<test::SessionManager> manager;  // only when asked for
  std::unique_ptr<test::HostProcess> host;
  std::unique_ptr<phone::Phone> device;
};

// Nothing, with the reason on standard error, when a step fails.
inline std::optional<PipeWireSetup> StartPipeWireSetup(test::ReceiverProcess& receiver,
                                                      bool session_manager) {
  receiver.EnableCamera();
  receiver.EnablePipeWire();
  if (!test::RegisterCameraLibrary(receiver)) {
    std::fprintf(stderr, "cannot register the camera library\n");
    return std::nullopt;
  }
  PipeWireSetup setup;
  setup.runtime = receiver.root() / "run";
  std::filesystem::create_directories(setup.runtime);
  ::chmod(setup.runtime.c_str(), 0700);
  std::string why;
  setup.daemon = test::PipeWireDaemon::Start(setup.runtime, why);
  if (!setup.daemon) {
    std::fprintf(stderr, "no PipeWire daemon: %s\n", why.c_str());
    return std::nullopt;
  }
  if (session_manager) {
    setup.manager = test::SessionManager::Start(setup.runtime, why);
    if (!setup.manager) {
      std::fprintf(stderr, "no WirePlumber: %s\n", why.c_str());
      return std::nullopt;
    }
  }
  setup.host = std::make_unique<test::HostProcess>(
      receiver, std::vector<std::string>{"--sink", "pipewire"});
  // The receiver starts no host of its own once this one holds the lock.
  if (!setup.host->WaitForLog("[camhost] waiting for a camera")) {
    std::fprintf(stderr, "the host did not start\n%s", setup.host->Log().c_str());
    return std::nullopt;
  }
  setup.device = StartWithPairedPhone(receiver, {});
  if (!setup.device || !setup.host->WaitForLog("[camhost] serving \"Orlith Cam\" into pipewire")) {
    std::fprintf(stderr, "the host does not serve\n%s", setup.host->Log().c_str());
    return std::nullopt;
  }
  return setup;
}

}  // namespace vistrel::bench
