// Entry point of the receiver: the maintenance command, the single instance,
// the log, the options, then the front end until the user quits: the tray
// with a display, the console without one or with --headless.
#include <cstdlib>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/console.h"
#include "platform/folders.h"
#include "platform/log.h"
#include "platform/single_instance.h"
#include "platform/stop_signals.h"
#include "tray/tray_app.h"

int main(int argc, char** argv) {
  using namespace vistrel;
  // Before any thread exists, so that no thread of ours can be killed by them.
  BlockStopSignals();
  std::vector<std::string> args(argv, argv + argc);
  const bool display = std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY");
  CommandLine command_line = ParseCommandLine(args, display);

  if (command_line.remove_camera) return RemoveCameraCommand();
  if (!command_line.error.empty()) {
    std::fprintf(stderr, "vistrel: %s\n", command_line.error.c_str());
    return 2;
  }

  auto runtime_folder = RuntimeFolder();
  if (!runtime_folder) {
    std::fprintf(stderr, "vistrel: no private runtime folder could be made\n");
    return 1;
  }
  std::unique_ptr<SingleInstance> instance;
  switch (SingleInstance::Acquire(*runtime_folder, instance)) {
    case SingleInstance::Outcome::kOtherRunning:
      return 0;
    case SingleInstance::Outcome::kNoRuntimeFolder:
      std::fprintf(stderr, "vistrel: cannot use the runtime folder %s\n",
                   runtime_folder->c_str());
      return 1;
    case SingleInstance::Outcome::kFirst:
      break;
  }

  OpenLogFile(AppDataFolder());
  if (!command_line.headless) {
    if (tray::TrayApp::InitializeGtk()) {
      tray::TrayApp app;
      return app.Run(command_line.background, command_line.options, *instance);
    }
    LogLine("[app] the display cannot be opened; running in the console\n");
  }
  return RunConsole(command_line, *instance);
}
