// Where a clip file's last complete fragment ends. A clip is written as
// "ftyp", "moov", then one "moof" + "mdat" pair per group of pictures; a
// crash, a kill or a full disk can leave the last pair half-written, and a
// player then reads samples whose bytes are not there.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>

#include "monitor/clip_recorder.h"

namespace vistrel {

struct FragmentLayout {
  uint64_t complete_fragments = 0;
  // The end of the last box that leaves no fragment half: what may be kept.
  uint64_t complete_end = 0;
};

// Reads up to `into.size()` bytes at `offset`; returns how many it read.
using ReadAt = std::function<size_t(uint64_t offset, std::span<uint8_t> into)>;

// Nothing when the bytes are not a fragmented MP4 of that shape (an ordinary
// MP4, a damaged header, another file).
std::optional<FragmentLayout> ScanFragments(uint64_t file_size, const ReadAt& read);
std::optional<FragmentLayout> ScanFragments(const std::filesystem::path& path);

// Cuts a fragmented clip after its last complete fragment and reads back what
// a player will find. Nothing when the file cannot be read, is not such a
// clip, or holds no complete fragment.
std::optional<ClipFacts> KeepCompleteFragments(const std::filesystem::path& path);

}  // namespace vistrel
