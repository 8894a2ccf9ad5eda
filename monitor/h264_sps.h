// What an MP4 track needs from a phone's H.264 stream without decoding it:
// the parameter sets of an access unit and the picture size, profile and
// level of its sequence parameter set. Every byte is the phone's: reads are
// bounded and a malformed set is refused, never guessed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace vistrel {

struct ParameterSets {
  // The first sequence parameter set (NAL header included), empty when none.
  std::vector<uint8_t> sps;
  // Every SPS and PPS of the unit, each after 00 00 00 01.
  std::vector<uint8_t> sequence_header;
};

// Walks the Annex B NAL units of one access unit.
ParameterSets FindParameterSets(std::span<const uint8_t> access_unit);

struct SpsInfo {
  uint8_t profile_idc = 0;
  uint8_t level_idc = 0;
  uint32_t width = 0;   // displayed size: coded size less the cropping
  uint32_t height = 0;
};

// Parses a sequence parameter set (NAL header first, emulation prevention
// bytes still in). Nothing when it is malformed or its size makes no sense.
std::optional<SpsInfo> ParseSps(std::span<const uint8_t> sps);

}  // namespace vistrel
