// scans.tsv as read at start-up: any bytes parse, and what was parsed is
// written and read back the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "scan/scan_history.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::deque<vistrel::ScanEntry> entries = vistrel::ParseScanHistory(text);
  for (const vistrel::ScanEntry& entry : entries) (void)vistrel::EntryDisplayText(entry);
  // Paths are not escaped, so only entries whose path holds no TAB or line
  // end come back the same.
  std::deque<vistrel::ScanEntry> plain;
  for (const auto& entry : entries) {
    if (entry.path.string().find_first_of("\t\n\r") == std::string::npos) plain.push_back(entry);
  }
  if (vistrel::ParseScanHistory(vistrel::FormatScanHistory(plain)) != plain) std::abort();
  return 0;
}
