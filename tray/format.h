// Times and sizes as the pages show them.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace vistrel::tray {

// "Today 14:03", "Yesterday 23:59:58", "Dec 31 09:15" by the local calendar
// days between `t` and `now` (both seconds since 1970).
std::string FormatWhen(int64_t t, bool with_seconds, int64_t now = std::time(nullptr));
// "1 KB", "1.0 MB", "2.5 GB".
std::string FormatSize(int64_t bytes);

}  // namespace vistrel::tray
