// The scan history as kept in scans.tsv: one line per entry, oldest first,
// "time<TAB>kind<TAB>size<TAB>path<TAB>text" ending in LF, the text escaped
// (\t, \n, \r, \\) and nothing else.
#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <string>
#include <string_view>

namespace vistrel {

struct ScanEntry {
  int64_t time = 0;  // seconds since 1970, UTC
  std::string kind;  // "file", "barcode" or "ocr"
  std::filesystem::path path;  // the saved file; empty for text
  uint64_t size = 0;  // bytes of the file, or of the text in UTF-8
  std::string text;   // the received text; empty for files
  bool operator==(const ScanEntry&) const = default;
};

std::string FormatScanHistory(const std::deque<ScanEntry>& entries);
// Every CR is dropped; a line without its LF and a line with fewer than four
// TABs are skipped; numbers are read as far as they go (0 when not at all).
std::deque<ScanEntry> ParseScanHistory(std::string_view text);

// What the front end shows: the file name of a file, else the first 200
// bytes of the text (cut by bytes, a cut character becoming U+FFFD).
std::string EntryDisplayText(const ScanEntry& entry);

}  // namespace vistrel
