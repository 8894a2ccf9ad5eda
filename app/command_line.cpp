#include "app/command_line.h"

#include <charconv>

namespace vistrel {
namespace {

bool ParsePort(const std::string& text, uint32_t& port) {
  uint32_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value > 65535) return false;
  port = value;
  return true;
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& args, bool display_present) {
  CommandLine result;
  std::string raw;
  for (const std::string& arg : args) {
    if (!raw.empty()) raw += ' ';
    raw += arg;
  }
  // Both are found anywhere in the text, even inside another argument.
  result.remove_camera = raw.find("--remove-camera") != std::string::npos;
  result.background = raw.find("--background") != std::string::npos;

  // Options with a value are looked for in arguments 1 to count-2, so that each
  // match has a value behind it; the last one wins.
  for (size_t i = 1; i + 1 < args.size(); ++i) {
    const std::string& arg = args[i];
    const std::string& value = args[i + 1];
    if (arg == "--data-dir") {
      result.options.data_folder = value;
    } else if (arg == "--name") {
      result.options.receiver_name = value;
    } else if (arg == "--port") {
      if (!ParsePort(value, result.options.port)) {
        result.error = "--port needs a number from 0 to 65535, not \"" + value + "\"";
      }
    } else if (arg == "--pairing-window") {
      uint32_t seconds = 0;
      auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), seconds);
      if (ec != std::errc() || end != value.data() + value.size() || seconds == 0 ||
          seconds > 3600) {
        result.error = "--pairing-window needs seconds from 1 to 3600, not \"" + value + "\"";
      } else {
        result.options.pairing_window_ms = uint64_t{seconds} * 1000;
      }
    } else if (arg == "--set") {
      size_t eq = value.find('=');
      if (eq == std::string::npos) {
        result.error = "--set needs KEY=VALUE, not \"" + value + "\"";
      } else {
        result.options.setting_overrides.emplace_back(value.substr(0, eq), value.substr(eq + 1));
      }
    }
  }
  bool headless_flag = false;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--no-camera") result.options.create_camera = false;
    if (arg == "--no-usb") result.options.usb_link = false;
    if (arg == "--camera-session") result.options.camera_for_all_sessions = false;
    if (arg == "--headless") headless_flag = true;
    if (arg == "--help") result.help = true;
    if (arg == "--version") result.version = true;
  }
  result.headless = headless_flag || !display_present;
  return result;
}

}  // namespace vistrel
