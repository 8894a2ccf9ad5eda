#include "app/settings/settings.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "platform/files.h"
#include "platform/log.h"
#include "tests/support/temp_folder.h"

namespace vistrel {
namespace {

namespace fs = std::filesystem;
using namespace std::literals;

std::string Zones(char fill, size_t count = kZoneCount) { return std::string(count, fill); }

TEST(ApplySetting, AcceptedValues) {
  struct Case {
    const char* key;
    std::string value;
    void (*check)(const AppSettings&);
  };
  const Case cases[] = {
      {"record", "continuous", [](const AppSettings& s) { EXPECT_EQ(s.record, RecordMode::kContinuous); }},
      {"record", "off", [](const AppSettings& s) { EXPECT_EQ(s.record, RecordMode::kOff); }},
      {"sensitivity", "high", [](const AppSettings& s) { EXPECT_EQ(s.sensitivity, Sensitivity::kHigh); }},
      {"sensitivity", "low", [](const AppSettings& s) { EXPECT_EQ(s.sensitivity, Sensitivity::kLow); }},
      {"retention_days", "0", [](const AppSettings& s) { EXPECT_EQ(s.retention_days, 0); }},
      {"retention_days", "3650", [](const AppSettings& s) { EXPECT_EQ(s.retention_days, 3650); }},
      {"retention_days", " +7", [](const AppSettings& s) { EXPECT_EQ(s.retention_days, 7); }},
      {"retention_mb", "1e9", [](const AppSettings& s) { EXPECT_EQ(s.retention_mb, 1e9); }},
      {"retention_mb", "0.5", [](const AppSettings& s) { EXPECT_EQ(s.retention_mb, 0.5); }},
      {"retention_mb", "0", [](const AppSettings& s) { EXPECT_EQ(s.retention_mb, 0); }},
      {"motion_alerts", "off", [](const AppSettings& s) { EXPECT_FALSE(s.motion_alerts); }},
      {"motion_alerts", "0", [](const AppSettings& s) { EXPECT_FALSE(s.motion_alerts); }},
      {"motion_alerts", "false", [](const AppSettings& s) { EXPECT_FALSE(s.motion_alerts); }},
      {"allow_typing", "1", [](const AppSettings& s) { EXPECT_TRUE(s.allow_typing); }},
      {"allow_typing", "on", [](const AppSettings& s) { EXPECT_TRUE(s.allow_typing); }},
      {"allow_typing", "true", [](const AppSettings& s) { EXPECT_TRUE(s.allow_typing); }},
      {"videos_dir", "/srv/clips é", [](const AppSettings& s) { EXPECT_EQ(s.videos_folder, "/srv/clips é"); }},
      {"scans_dir", "", [](const AppSettings& s) { EXPECT_TRUE(s.scans_folder.empty()); }},
      {"postroll_seconds", "1", [](const AppSettings& s) { EXPECT_EQ(s.postroll_seconds, 1); }},
      {"postroll_seconds", "600", [](const AppSettings& s) { EXPECT_EQ(s.postroll_seconds, 600); }},
      {"max_clip_seconds", "2", [](const AppSettings& s) { EXPECT_EQ(s.max_clip_seconds, 2); }},
      {"segment_seconds", "3600", [](const AppSettings& s) { EXPECT_EQ(s.segment_seconds, 3600); }},
      {"zones", "0" + Zones('1', 142) + "0",
       [](const AppSettings& s) {
         EXPECT_FALSE(s.zones[0]);
         EXPECT_TRUE(s.zones[1]);
         EXPECT_FALSE(s.zones[143]);
       }},
  };
  for (const Case& c : cases) {
    AppSettings settings;
    settings.scans_folder = "/before";
    EXPECT_TRUE(ApplySetting(settings, c.key, c.value)) << c.key << "=" << c.value;
    c.check(settings);
  }
}

TEST(ApplySetting, BadValuesLeaveTheFieldUnchanged) {
  const std::pair<const char*, std::string> cases[] = {
      {"record", "Motion"},         {"record", " motion"},       {"record", ""},
      {"sensitivity", "MEDIUM"},    {"retention_days", "3651"},  {"retention_days", "-1"},
      {"retention_days", ""},       {"retention_days", "7 "},    {"retention_days", "7d"},
      {"retention_days", "0x10"},   {"retention_days", "1.0"},
      {"retention_days", "99999999999999999999"},
      {"retention_days", "-99999999999999999999"},
      {"retention_days", "4294967326"},  // wraps to 30 in 32 bits
      {"retention_mb", ""},         {"retention_mb", "nan"},     {"retention_mb", "-1"},
      {"retention_mb", "1000000001"}, {"retention_mb", "inf"},   {"retention_mb", "5MB"},
      {"retention_mb", "1,5"},
      {"motion_alerts", "On"},      {"motion_alerts", "yes"},    {"allow_typing", "TRUE"},
      {"allow_typing", ""},         {"postroll_seconds", "0"},   {"postroll_seconds", "601"},
      {"max_clip_seconds", "1"},    {"max_clip_seconds", "3601"}, {"segment_seconds", "1"},
      {"zones", Zones('1', 143)},   {"zones", Zones('1', 145)},  {"zones", "2" + Zones('1', 143)},
      {"Record", "off"},            {"record ", "off"},          {"unknown", "1"},
      {"", ""},
      // The indexes store paths in TAB-separated fields, unescaped.
      {"scans_dir", "/home/a\tb"}, {"videos_dir", "/v\t"},       {"scans_dir", "/s\r"},
      {"videos_dir", std::string("/v\0w", 4)},
  };
  const AppSettings defaults;
  for (const auto& [key, value] : cases) {
    AppSettings settings;
    EXPECT_FALSE(ApplySetting(settings, key, value)) << key << "=" << value;
    EXPECT_EQ(settings, defaults) << key << "=" << value;
  }
}

TEST(ApplySetting, NumbersIgnoreTheDesktopLocale) {
  // A locale with a decimal comma must not change how the file reads.
  locale_t comma = newlocale(LC_NUMERIC_MASK, "de_DE.UTF-8", static_cast<locale_t>(0));
  if (comma == static_cast<locale_t>(0)) GTEST_SKIP() << "de_DE.UTF-8 not installed";
  locale_t previous = uselocale(comma);
  AppSettings settings;
  EXPECT_TRUE(ApplySetting(settings, "retention_mb", "0.5"));
  settings.retention_mb = 2.5;
  std::string text = FormatSettings(settings);
  uselocale(previous);
  freelocale(comma);
  EXPECT_EQ(settings.retention_mb, 2.5);
  EXPECT_NE(text.find("retention_mb=2.5\n"), std::string::npos);
}

TEST(SettingsFile, DefaultsAsWritten) {
  AppSettings settings;
  EXPECT_EQ(FormatSettings(settings),
            "# Orlith Cam settings\nrecord=motion\nsensitivity=medium\nretention_days=30\n"
            "retention_mb=20480\nmotion_alerts=on\npostroll_seconds=10\nmax_clip_seconds=300\n"
            "segment_seconds=600\nzones=" + Zones('1') + "\nallow_typing=off\n");
  settings.retention_mb = 1e9;
  settings.videos_folder = "/v";
  settings.scans_folder = "/s";
  std::string text = FormatSettings(settings);
  EXPECT_NE(text.find("retention_mb=1e+09\n"), std::string::npos);
  EXPECT_NE(text.find("motion_alerts=on\nvideos_dir=/v\npostroll_seconds="), std::string::npos);
  EXPECT_NE(text.find("\nscans_dir=/s\nallow_typing=off\n"), std::string::npos);
}

TEST(SettingsFile, RoundTripRoundsTheSizeLimitToSixDigits) {
  test::TempFolder folder;
  AppSettings settings;
  settings.record = RecordMode::kContinuous;
  settings.sensitivity = Sensitivity::kLow;
  settings.retention_days = 0;
  settings.retention_mb = 1234567;
  settings.motion_alerts = false;
  settings.videos_folder = "/home/u/My Clips";
  settings.postroll_seconds = 600;
  settings.max_clip_seconds = 2;
  settings.segment_seconds = 3600;
  settings.zones[5] = false;
  settings.zones[143] = false;
  settings.scans_folder = "/home/u/Scans=here";
  settings.allow_typing = true;
  ASSERT_TRUE(SaveSettings(settings, folder / "settings.ini"));
  EXPECT_NE(ReadFileText(folder / "settings.ini")->find("retention_mb=1.23457e+06\n"),
            std::string::npos);
  EXPECT_FALSE(fs::exists(folder / "settings.ini.tmp"));

  AppSettings loaded;
  LoadSettings(loaded, folder / "settings.ini");
  EXPECT_EQ(loaded.retention_mb, 1234570);
  loaded.retention_mb = settings.retention_mb;
  EXPECT_EQ(loaded, settings);
}

TEST(SettingsFile, LineRules) {
  ScopedLogCapture log;
  AppSettings settings;
  LoadSettingsFromText(settings,
                       "# comment=with equals\r\n"sv
                       "\r\n"
                       "no equals sign\n"
                       "record=Motion\n"
                       "record = off\n"
                       "sensitivity=low\r\r\n"
                       "retention_days=5\n"
                       "retention_days=6\n"
                       "videos_dir=/x\n"
                       "videos_dir=\n"
                       "allow_typing=on\0ignored=1\n"
                       "postroll_seconds=20"sv);
  EXPECT_EQ(settings.record, RecordMode::kMotion);
  EXPECT_EQ(settings.sensitivity, Sensitivity::kLow);
  EXPECT_EQ(settings.retention_days, 6);
  EXPECT_TRUE(settings.videos_folder.empty());
  EXPECT_TRUE(settings.allow_typing);  // the line ends at the NUL; the rest is never read
  EXPECT_EQ(settings.postroll_seconds, 20);
  EXPECT_EQ(log.Text(),
            "[settings] ignoring \"record=Motion\"\n"
            "[settings] ignoring \"record = off\"\n");
  EXPECT_EQ(FormatSettings(settings).find("videos_dir"), std::string::npos);
}

TEST(SettingsFile, LongLinesComeInPiecesOf2047Bytes) {
  ScopedLogCapture log;
  AppSettings settings;
  // 2047 bytes of a bad path line, then the rest of the same line reads as its own line.
  std::string text = "# " + std::string(2045, 'x') + "segment_seconds=42\n";
  LoadSettingsFromText(settings, text);
  EXPECT_EQ(settings.segment_seconds, 42);

  AppSettings other;
  std::string path_line = "videos_dir=/" + std::string(2047 - 12, 'p');
  ASSERT_EQ(path_line.size(), 2047u);
  LoadSettingsFromText(other, path_line + "q\nrecord=off\n");
  EXPECT_EQ(other.videos_folder.string(), path_line.substr(11));  // "q" was a line of its own
  EXPECT_EQ(other.record, RecordMode::kOff);
  EXPECT_EQ(log.Text(), "");
}

TEST(SettingsFile, MissingFileKeepsDefaultsSilently) {
  test::TempFolder folder;
  ScopedLogCapture log;
  AppSettings settings;
  LoadSettings(settings, folder / "settings.ini");
  EXPECT_EQ(settings, AppSettings());
  EXPECT_EQ(log.Text(), "");
}

TEST(SettingsFile, FailedSaveKeepsTheOldFile) {
  test::TempFolder folder;
  AppSettings settings;
  ASSERT_TRUE(SaveSettings(settings, folder / "settings.ini"));
  const std::string before = *ReadFileText(folder / "settings.ini");
  settings.retention_days = 1;
  fs::create_directory(folder / "settings.ini.tmp");
  EXPECT_FALSE(SaveSettings(settings, folder / "settings.ini"));
  EXPECT_EQ(ReadFileText(folder / "settings.ini"), before);
}

TEST(SettingsFile, FoldersWithLineBreaksOrTabsAreNotSaved) {
  test::TempFolder folder;
  for (const char* bad : {"/a\nrecord=off", "/a\r", "/a\tb"}) {
    AppSettings settings;
    settings.scans_folder = bad;
    EXPECT_FALSE(SaveSettings(settings, folder / "settings.ini"));
    EXPECT_FALSE(fs::exists(folder / "settings.ini"));
  }
}

TEST(SettingsFolders, DefaultsAndExplicitFolders) {
  test::TempFolder folder;
  const char* old_home = getenv("HOME");
  const char* old_config = getenv("XDG_CONFIG_HOME");
  std::optional<std::string> saved_home, saved_config;
  if (old_home) saved_home = old_home;
  if (old_config) saved_config = old_config;
  setenv("HOME", folder.path().c_str(), 1);
  setenv("XDG_CONFIG_HOME", (folder.path() / "config").c_str(), 1);
  AppSettings settings;
  EXPECT_EQ(ResolveVideosFolder(settings), folder.path() / "Videos" / "Orlith Cam");
  EXPECT_EQ(ResolveScansFolder(settings), folder.path() / "Documents" / "Orlith Cam Scans");
  settings.videos_folder = "/media/clips";
  settings.scans_folder = "relative";
  EXPECT_EQ(ResolveVideosFolder(settings), "/media/clips");
  // Relative folders are the home folder's, not the working folder's.
  EXPECT_EQ(ResolveScansFolder(settings), folder.path() / "relative");
  settings.videos_folder = "~/clips";
  EXPECT_EQ(ResolveVideosFolder(settings), folder.path() / "clips");
  if (saved_home) setenv("HOME", saved_home->c_str(), 1);
  if (saved_config) {
    setenv("XDG_CONFIG_HOME", saved_config->c_str(), 1);
  } else {
    unsetenv("XDG_CONFIG_HOME");
  }
}

}  // namespace
}  // namespace vistrel
