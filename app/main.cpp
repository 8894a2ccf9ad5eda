// Entry point of the receiver: the maintenance command, the single instance,
// the log, the options, then the front end until the user quits: the tray
// with a display, the console without one or with --headless.
#include <libintl.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/console.h"
#include "platform/desktop.h"
#include "platform/folders.h"
#include "platform/log.h"
#include "platform/single_instance.h"
#include "platform/stop_signals.h"
#include "tray/tray_app.h"

namespace {

constexpr char kUsage[] =
    "usage: vistrel [OPTION]...\n"
    "Receives the video, clips and scans of paired phones running Orlith Cam.\n"
    "\n"
    "  --headless            run as a console program even when a desktop is there\n"
    "  --background          start without showing a window\n"
    "  --port N              listen on TCP port N (default 47800; 0 picks a free one)\n"
    "  --name NAME           the name phones show for this computer\n"
    "  --data-dir DIR        keep identity, trusted phones and settings in DIR\n"
    "  --pairing-window S    a pairing invitation stays open S seconds (default 120)\n"
    "  --set KEY=VALUE       override one setting for this run\n"
    "  --no-camera           do not create the virtual camera\n"
    "  --camera-session      the camera lives only as long as this program\n"
    "  --no-usb              do not accept phones over the USB cable\n"
    "  --remove-camera       remove the virtual camera and exit\n"
    "  --help                show this help and exit\n"
    "  --version             show the version and exit\n"
    "\n";

}  // namespace

int main(int argc, char** argv) {
  using namespace vistrel;
  // The console's clipboard and keyboard, in a process of their own.
  if (argc == 2 && std::string(argv[1]) == kDesktopHelperArgument) return RunDesktopHelper();
  // Before any thread exists, so that no thread of ours can be killed by them.
  BlockStopSignals();
  std::vector<std::string> args(argv, argv + argc);
  const bool display = std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY");
  CommandLine command_line = ParseCommandLine(args, display);

  if (command_line.help) {
    std::printf("%s", kUsage);
    std::printf("In console mode (no desktop, or --headless), standard input takes these\n%s",
                kConsoleHelp);
    return 0;
  }
  if (command_line.version) {
    std::printf("vistrel %s\n", VISTREL_VERSION);
    return 0;
  }
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
    // The windows speak the desktop's language; numbers, which other threads
    // read and write, keep the C locale. VISTREL_LOCALEDIR names another
    // catalogue folder (a test's, an uninstalled build's).
    std::setlocale(LC_MESSAGES, "");
    const char* catalogues = std::getenv("VISTREL_LOCALEDIR");
    bindtextdomain("vistrel", catalogues && *catalogues ? catalogues : VISTREL_LOCALEDIR);
    bind_textdomain_codeset("vistrel", "UTF-8");
    if (tray::TrayApp::InitializeGtk()) {
      tray::TrayApp app;
      return app.Run(command_line.background, command_line.options, *instance);
    }
    LogLine("[app] the display cannot be opened; running in the console\n");
  }
  return RunConsole(command_line, *instance);
}
