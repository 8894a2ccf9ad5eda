#include "tray/format.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace vistrel::tray {
namespace {

int64_t Local(int year, int month, int day, int hour, int minute, int second) {
  tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  t.tm_isdst = -1;
  return static_cast<int64_t>(mktime(&t));
}

TEST(TrayFormat, WhenCountsCalendarDaysAndSizesUseTheirUnits) {
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  const int64_t now = Local(2027, 1, 1, 0, 30, 0);
  EXPECT_EQ(FormatWhen(Local(2027, 1, 1, 0, 5, 9), true, now), "Today 00:05:09");
  EXPECT_EQ(FormatWhen(Local(2027, 1, 1, 0, 5, 9), false, now), "Today 00:05");
  // Across the turn of the year, and only an hour ago: still yesterday.
  EXPECT_EQ(FormatWhen(Local(2026, 12, 31, 23, 59, 58), true, now), "Yesterday 23:59:58");
  EXPECT_EQ(FormatWhen(Local(2026, 12, 30, 23, 59, 58), true, now), "Dec 30 23:59");
  EXPECT_EQ(FormatWhen(Local(2026, 3, 7, 8, 4, 0), false, now), "Mar 7 08:04");
  // A clip of the evening before a daylight-saving change.
  EXPECT_EQ(FormatWhen(Local(2027, 3, 27, 22, 0, 0), true, Local(2027, 3, 28, 12, 0, 0)),
            "Yesterday 22:00:00");

  EXPECT_EQ(FormatSize(512), "1 KB");
  EXPECT_EQ(FormatSize(0), "1 KB");
  EXPECT_EQ(FormatSize(1'048'575), "1024 KB");
  EXPECT_EQ(FormatSize(1'048'576), "1.0 MB");
  EXPECT_EQ(FormatSize(1'073'741'823), "1024.0 MB");
  EXPECT_EQ(FormatSize(1'073'741'824), "1.0 GB");
  EXPECT_EQ(FormatSize(-1'073'741'824), "-1.0 GB");
  unsetenv("TZ");
  tzset();
}

}  // namespace
}  // namespace vistrel::tray
