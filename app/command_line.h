// The receiver's command line: the start-up options of the core and the few
// switches that the entry point itself acts on.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace vistrel {

struct ReceiverOptions {
  uint32_t port = 47800;
  std::filesystem::path data_folder;  // empty: the default folder
  std::string receiver_name;          // empty: the computer's name
  bool create_camera = true;
  bool camera_for_all_sessions = true;
  bool usb_link = true;
  uint64_t pairing_window_ms = 120000;
  std::vector<std::pair<std::string, std::string>> setting_overrides;
};

struct CommandLine {
  ReceiverOptions options;
  bool background = false;
  bool remove_camera = false;
  bool headless = false;
  bool help = false;     // print the options and exit
  bool version = false;  // print the version and exit
  std::string error;  // non-empty: a value of ours could not be read
};

// `args` includes the program path. `display_present` tells whether a desktop
// session is reachable; without one the console mode is chosen.
CommandLine ParseCommandLine(const std::vector<std::string>& args, bool display_present);

}  // namespace vistrel
