// vistrel-camhost: serves this user's virtual camera the way the platform's
// camera frame server would, into a v4l2loopback device or a file.
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "camhost/camera_library.h"
#include "camhost/host.h"
#include "camhost/sink.h"
#include "platform/folders.h"
#include "platform/log.h"
#include "platform/mf/system_time.h"
#include "platform/socket.h"
#include "platform/stop_signals.h"
#include "platform/virtual_camera.h"

namespace {

constexpr char kUsage[] =
    "usage: vistrel-camhost [--sink SINK] [--frames N]\n"
    "       vistrel-camhost --register LIBRARY | --unregister LIBRARY\n"
    "  SINK: auto                PipeWire when its daemon answers, else v4l2, else PipeWire\n"
    "                            once its daemon starts (the default)\n"
    "        pipewire            a PipeWire video source named \"Orlith Cam\"\n"
    "        v4l2[:/dev/videoN][:FORMAT]\n"
    "                            a v4l2loopback device (default: the one named \"Orlith Cam\");\n"
    "                            FORMAT nv12 or yuyv (default: NV12 when the device takes it)\n"
    "        y4m:FILE            YUV4MPEG2 video (\"-\" for standard output)\n"
    "        png:DIR[:N]         every Nth picture as a PNG file\n"
    "        null                nowhere\n"
    "  --frames N                stop after N pictures\n";

bool ParseCount(const char* text, uint64_t& out) {
  const char* end = text + std::strlen(text);
  auto [at, error] = std::from_chars(text, end, out);
  return error == std::errc() && at == end && out > 0;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace vistrel;
  // Before any thread exists, so that every thread inherits the mask: SIGINT
  // and SIGTERM then never kill or interrupt one, and the watcher below turns
  // them into a stop request.
  BlockStopSignals();
  if (argc == 3 && (std::strcmp(argv[1], "--register") == 0 ||
                    std::strcmp(argv[1], "--unregister") == 0)) {
    // What an installer does: the library writes its own class registration.
    const bool install = argv[1][2] == 'r';
    std::string error;
    const HRESULT result = RunLibraryRegistration(argv[2], install, error);
    if (!error.empty()) std::fprintf(stderr, "vistrel-camhost: %s\n", error.c_str());
    if (FAILED(result)) {
      std::fprintf(stderr, "vistrel-camhost: %s failed 0x%08X\n",
                   install ? "DllRegisterServer" : "DllUnregisterServer",
                   static_cast<uint32_t>(result));
      return 1;
    }
    return 0;
  }
  std::string sink_text = "auto";
  HostOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--sink" && i + 1 < argc) {
      sink_text = argv[++i];
    } else if (arg == "--frames" && i + 1 < argc && ParseCount(argv[i + 1], options.frames)) {
      ++i;
    } else if (arg == "--version") {
      std::printf("vistrel-camhost %s\n", VISTREL_VERSION);
      return 0;
    } else if (arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  SetLogEcho(true);
  IgnoreSigpipe();

  const UniqueFd signals = StopSignalFd();
  if (!signals) {
    LogLine("[camhost] cannot watch for SIGINT and SIGTERM\n");
    return 1;
  }
  std::atomic<bool> stop{false};
  // Joined when main returns, within one poll.
  const std::jthread watcher([&](std::stop_token ending) {
    while (!ending.stop_requested() && !stop) {
      if (PollReadable(signals.Get(), 100).value_or(true)) stop = true;
    }
  });

  auto runtime = RuntimeFolder();
  if (!runtime) {
    LogLine("[camhost] no private runtime folder could be made\n");
    return 1;
  }
  // A receiver that just looked whether a host runs holds the lock for an
  // instant; try a little before deciding that another host serves.
  Result<UniqueFd> lock = LockCameraHost(*runtime);
  for (int attempt = 1; attempt < 10 && lock.code() == EWOULDBLOCK; ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    lock = LockCameraHost(*runtime);
  }
  if (!lock) {
    if (lock.code() == EWOULDBLOCK) {
      LogLine("[camhost] another camera host serves this user\n");
      return 0;
    }
    LogLine("[camhost] cannot use the lock in %s\n", runtime->c_str());
    return 1;
  }

  std::string error;
  std::string missing;
  auto sink = sink_text == "auto" ? OpenAutoSink(missing, error) : OpenSink(sink_text, error);
  if (!sink && !missing.empty()) {
    // A failure: a service manager retries it until its start limit and shows it.
    LogLine("[camhost] nothing to serve the camera into: %s\n", missing.c_str());
    return 1;
  }
  if (!sink) {
    LogLine("[camhost] %s\n", error.c_str());
    return 1;
  }
  (void)MFStartup(MF_VERSION);
  const int result = RunCameraHost(options, *sink, stop);
  sink.reset();
  (void)MFShutdown();
  LogLine("[camhost] stopped\n");
  return result;
}
