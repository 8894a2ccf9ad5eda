// The scan handlers fed with hostile messages: the input is cut into
// messages (a type byte, a 2-byte length, the payload) and handed to a
// ScanReceiver on a real ScanContext in a temporary folder, as the session
// would; the file names it saves go through the sanitiser on the way.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "scan/scan_receiver.h"

using namespace vistrel;

namespace {

class NoDesktop final : public Desktop {
 public:
  bool CopyTextToClipboard(std::u16string_view) override { return true; }
  vistrel::TypingResult TypeIntoFocusedApp(std::u16string_view) override {
    return vistrel::TypingResult::kUnavailable;
  }
};

const std::filesystem::path& Folder() {
  static const std::filesystem::path folder = [] {
    auto path = std::filesystem::temp_directory_path() /
                ("vistrel-fuzz-scan-" + std::to_string(::getpid()));
    std::filesystem::create_directories(path);
    return path;
  }();
  return folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static NoDesktop desktop;
  ScanContext context(desktop);
  AppSettings settings;
  settings.scans_folder = Folder() / "scans";
  settings.allow_typing = size > 0 && (data[0] & 1);
  context.Load(Folder(), settings);
  {
    ScanReceiver receiver(context);
    for (size_t at = 0; at + 3 <= size;) {
      const uint8_t type = data[at];
      const size_t length = std::min<size_t>(size - at - 3, size_t{data[at + 1]} << 8 | data[at + 2]);
      const std::span<const uint8_t> payload(data + at + 3, length);
      at += 3 + length;
      std::string reply;
      const std::string_view text(reinterpret_cast<const char*>(payload.data()), payload.size());
      bool go_on = true;
      switch (type & 3) {
        case 0: go_on = receiver.OnFileBegin(text, reply); break;
        case 1: go_on = receiver.OnFileChunk(payload); break;
        case 2: go_on = receiver.OnFileEnd(text, reply); break;
        default: go_on = receiver.OnText(text); break;
      }
      if (!go_on) break;
    }
  }
  // Saved files stay out of the next run's way.
  std::error_code ec;
  std::filesystem::remove_all(Folder() / "scans", ec);
  std::filesystem::remove(Folder() / "scans.tsv", ec);
  return 0;
}
