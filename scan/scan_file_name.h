// Names in the scans folder: the safe name a received file is saved under,
// the transfer id that names its temporary file, and the MIME types a scan
// may have.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vistrel {

using TransferId = std::array<uint8_t, 16>;

// The four types a scan may have; nothing for any other text (compared exactly).
struct ScanMime {
  std::string_view type;
  std::span<const std::string_view> extensions;  // the first is the default
};
std::optional<ScanMime> FindScanMime(std::string_view type);

// A lower-case UUID text (36 characters, "-" at 8, 13, 18 and 23) as the 16
// bytes of its hex digits in text order; the caller lower-cases first.
std::optional<TransferId> ParseTransferId(std::string_view text);

// "." + "orlith-" + id text + ".part": the hidden file a transfer writes.
std::string TemporaryScanName(std::string_view id_text);
// Whether a file name is exactly such a name (a lower-case id).
bool IsTemporaryScanName(std::string_view name);

// The file name (UTF-8) a proposed name is saved under: the last path part
// without characters that are reserved, invisible or reorder what the user
// reads, no leading or trailing spaces and dots, the stem cut to 100 UTF-16
// units, reserved device names prefixed with "_", an extension that fits the
// MIME type, and short enough for a file system name with " (9998)" added.
std::string SanitizeScanFileName(std::string_view name, std::string_view mime);

}  // namespace vistrel
