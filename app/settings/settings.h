// The user's choices for monitor recording and scan delivery, kept in
// settings.ini as key=value lines.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace vistrel {

enum class RecordMode : int32_t { kMotion = 0, kContinuous = 1, kOff = 2 };
enum class Sensitivity : int32_t { kLow = 0, kMedium = 1, kHigh = 2 };
constexpr size_t kZoneCount = 144;

struct AppSettings {
  RecordMode record = RecordMode::kMotion;
  Sensitivity sensitivity = Sensitivity::kMedium;
  int32_t retention_days = 30;
  double retention_mb = 20480;
  bool motion_alerts = true;
  std::filesystem::path videos_folder;  // empty: the default folder
  int32_t postroll_seconds = 10;
  int32_t max_clip_seconds = 300;
  int32_t segment_seconds = 600;
  std::array<bool, kZoneCount> zones = MakeAllZones();
  std::filesystem::path scans_folder;  // empty: the default folder
  bool allow_typing = false;

  bool operator==(const AppSettings&) const = default;

 private:
  static std::array<bool, kZoneCount> MakeAllZones() {
    std::array<bool, kZoneCount> all{};
    all.fill(true);
    return all;
  }
};

// One key and value as UTF-8; false (field unchanged) for an unknown key or bad value.
[[nodiscard]] bool ApplySetting(AppSettings& settings, std::string_view key,
                                std::string_view value);
// Reads into settings that already hold the defaults; a missing file changes nothing.
void LoadSettings(AppSettings& settings, const std::filesystem::path& path);
// The same for the file's text.
void LoadSettingsFromText(AppSettings& settings, std::string_view text);
// The whole file as written.
std::string FormatSettings(const AppSettings& settings);
// False, with the old file kept, when a folder holds a line break, a NUL or a
// TAB, which the line format (and the indexes' fields) cannot carry.
[[nodiscard]] bool SaveSettings(const AppSettings& settings, const std::filesystem::path& path);
std::filesystem::path ResolveVideosFolder(const AppSettings& settings);
std::filesystem::path ResolveScansFolder(const AppSettings& settings);

}  // namespace vistrel
