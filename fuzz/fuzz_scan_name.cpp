// The file-name sanitiser: whatever the phone proposes, the name is one path
// part, not hidden, not empty, and fits a file system name with its number.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "scan/scan_file_name.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const char* kMimes[] = {"application/pdf", "image/jpeg", "image/png", "text/plain"};
  if (size == 0) return 0;
  const char* mime = kMimes[data[0] & 3];
  const std::string name(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::string safe = vistrel::SanitizeScanFileName(name, mime);
  if (safe.empty() || safe.size() + 7 > 255 || safe.find('/') != std::string::npos ||
      safe.find('\0') != std::string::npos || safe[0] == '.') {
    std::abort();
  }
  return 0;
}
