// clips.tsv texts, as a damaged or hand-edited file would hold them: parsed,
// written back and parsed again to the same entries.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "monitor/clip_index.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto entries = vistrel::ParseClipIndex(text);
  const std::string written = vistrel::FormatClipIndex(entries);
  // Paths with a line break cannot come back from a line format; all others must.
  bool line_breaks = false;
  for (const auto& entry : entries) {
    line_breaks |= entry.path.string().find_first_of("\r\n") != std::string::npos;
  }
  if (!line_breaks && vistrel::ParseClipIndex(written) != entries) std::abort();
  return 0;
}
