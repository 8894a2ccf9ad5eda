#include "tray/format.h"

#include <algorithm>
#include <cstdio>

#include "tray/i18n.h"

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
  static constexpr const char* kMonths[] = {N_("Jan"), N_("Feb"), N_("Mar"), N_("Apr"),
                                            N_("May"), N_("Jun"), N_("Jul"), N_("Aug"),
                                            N_("Sep"), N_("Oct"), N_("Nov"), N_("Dec")};
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
  if (days == 0) return Substitute(_("Today %s"), {time_text});
  if (days == 1) return Substitute(_("Yesterday %s"), {time_text});
  char clock[16];
  std::snprintf(clock, sizeof clock, "%02d:%02d", when.tm_hour, when.tm_min);
  // TRANSLATORS: month, day of the month, time: "Dec 31 09:15".
  return Substitute(_("%s %s %s"), {_(kMonths[std::clamp(when.tm_mon, 0, 11)]),
                                    std::to_string(when.tm_mday), clock});
}

std::string FormatSize(int64_t bytes) {
  char text[48];
  if (bytes < 0 || bytes > 1'073'741'823) {
    std::snprintf(text, sizeof text, "%.1f", static_cast<double>(bytes) / 1073741824.0);
    return Substitute(_("%s GB"), {text});
  }
  if (bytes < 1'048'576) {
    std::snprintf(text, sizeof text, "%.0f", std::max(static_cast<double>(bytes) / 1024.0, 1.0));
    return Substitute(_("%s KB"), {text});
  }
  std::snprintf(text, sizeof text, "%.1f", static_cast<double>(bytes) / 1048576.0);
  return Substitute(_("%s MB"), {text});
}

}  // namespace vistrel::tray
