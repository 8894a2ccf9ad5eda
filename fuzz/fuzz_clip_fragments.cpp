// Clip files as a crash, a full disk or another program may leave them: the
// fragment walk reads only what is there and never claims more than the file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "monitor/clip_fragments.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> file(data, size);
  const auto layout = vistrel::ScanFragments(size, [file](uint64_t offset, std::span<uint8_t> into) {
    if (offset >= file.size()) return size_t{0};
    const size_t n = std::min<size_t>(into.size(), file.size() - offset);
    std::memcpy(into.data(), file.data() + offset, n);
    return n;
  });
  if (layout && layout->complete_end > size) std::abort();
  return 0;
}
