#include "tray/format.h"

#include <algorithm>
#include <cstdio>

namespace vistrel::tray {
namespace {

tm LocalTime(int64_t seconds) {
  const time_t time = static_cast<time_t>(seconds);
  tm local{};
  localtime_r(&time, &local);
  return local;
}

// Days since 1970 of a calendar date, so that a year's turn counts as one day.
int64_t DayNumber(const tm& date) {
  int64_t y = date.tm_year + 1900;
  const int64_t m = date.tm_mon + 1;
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + date.tm_mday - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

}  // namespace

std::string FormatWhen(int64_t t, bool with_seconds, int64_t now) {
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const tm when = LocalTime(t);
  const tm today = LocalTime(now);
  char time_text[32];
  if (with_seconds) {
    std::snprintf(time_text, sizeof time_text, "%02d:%02d:%02d", when.tm_hour, when.tm_min,
                  when.tm_sec);
  } else {
    std::snprintf(time_text, sizeof time_text, "%02d:%02d", when.tm_hour, when.tm_min);
  }
  const int64_t days = DayNumber(today) - DayNumber(when);
  if (days == 0) return std::string("Today ") + time_text;
  if (days == 1) return std::string("Yesterday ") + time_text;
  char text[48];
  std::snprintf(text, sizeof text, "%s %d %02d:%02d", kMonths[std::clamp(when.tm_mon, 0, 11)],
                when.tm_mday, when.tm_hour, when.tm_min);
  return text;
}

std::string FormatSize(int64_t bytes) {
  char text[48];
  if (bytes < 0 || bytes > 1'073'741'823) {
    std::snprintf(text, sizeof text, "%.1f GB", static_cast<double>(bytes) / 1073741824.0);
  } else if (bytes < 1'048'576) {
    std::snprintf(text, sizeof text, "%.0f KB", std::max(static_cast<double>(bytes) / 1024.0, 1.0));
  } else {
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1048576.0);
  }
  return text;
}

}  // namespace vistrel::tray
