// Access units and parameter sets as a hostile phone could send them: the
// walk over NAL units and the SPS parser stay inside the bytes and give sizes
// that make sense or nothing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "monitor/h264_sps.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> bytes(data, size);
  const vistrel::ParameterSets sets = vistrel::FindParameterSets(bytes);
  if (sets.sequence_header.size() > size + 4 * size) std::abort();
  for (const std::span<const uint8_t> sps : {std::span<const uint8_t>(sets.sps), bytes}) {
    if (auto info = vistrel::ParseSps(sps)) {
      if (info->width == 0 || info->height == 0 || info->width > 16384 || info->height > 16384) {
        std::abort();
      }
    }
  }
  return 0;
}
