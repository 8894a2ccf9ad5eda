// Reads arbitrary text as settings.ini; whatever loads must save and load back
// to the same record, apart from the six-digit rounding of the size limit.
#include <cstddef>
#include <cstdint>
#include <string>

#include "app/settings/settings.h"
#include "platform/log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vistrel::ScopedLogCapture quiet;  // keeps the ignore lines off the fuzzer's output
  std::string_view text(reinterpret_cast<const char*>(data), size);
  vistrel::AppSettings settings;
  vistrel::LoadSettingsFromText(settings, text);

  std::string saved = vistrel::FormatSettings(settings);
  vistrel::AppSettings reloaded;
  vistrel::LoadSettingsFromText(reloaded, saved);
  const bool folders_fit = settings.videos_folder.native().find_first_of("\r\n") ==
                               std::string::npos &&
                           settings.scans_folder.native().find_first_of("\r\n") ==
                               std::string::npos;
  if (folders_fit && saved.size() < 2000) {
    reloaded.retention_mb = settings.retention_mb;
    if (!(reloaded == settings)) __builtin_trap();
  }
  (void)vistrel::ResolveVideosFolder(settings);
  (void)vistrel::ResolveScansFolder(settings);
  return 0;
}
