// The list of recorded clips as kept in clips.tsv: one line per clip, oldest
// first, "start<TAB>duration ms<TAB>size<TAB>kind<TAB>path" ending in LF.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace vistrel {

struct ClipEntry {
  std::filesystem::path path;
  int64_t start_time = 0;   // seconds since 1970, UTC
  int64_t duration_ms = 0;  // 0 while recording
  uint64_t size = 0;        // bytes; 0 while recording
  bool continuous = false;
  bool operator==(const ClipEntry&) const = default;
};

// The entries of a clips.tsv text, sorted by start time (stable). A relative
// path is taken from `home` when that is absolute. Lines with fewer than four
// TABs, paths that do not end in ".mp4" (any case), paths that are still not
// absolute or that climb with "..", and lines longer than any path can be are
// dropped.
std::vector<ClipEntry> ParseClipIndex(std::string_view text,
                                      const std::filesystem::path& home = {});
std::string FormatClipIndex(const std::vector<ClipEntry>& entries);

// "HHMMSS-motion.mp4" or "HHMMSS-continuous.mp4", with "-N" before ".mp4"
// for the Nth clip of the same second (N from 2; 1 means none).
std::string ClipFileName(int hour, int minute, int second, bool continuous, int number);

bool HasMp4Extension(const std::filesystem::path& path);

}  // namespace vistrel
