#include "app/settings/settings.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <locale.h>
#include <optional>

#include "platform/files.h"
#include "platform/folders.h"
#include "platform/log.h"

namespace vistrel {
namespace {

// fgets with a 2048-byte buffer: a longer line comes in pieces of 2047 bytes.
constexpr size_t kMaxPieceBytes = 2047;

template <typename Enum, size_t N>
bool ApplyWord(Enum& field, std::string_view value, const char* const (&words)[N]) {
  for (size_t i = 0; i < N; ++i) {
    if (value == words[i]) {
      field = static_cast<Enum>(i);
      return true;
    }
  }
  return false;
}

constexpr const char* kRecordWords[] = {"motion", "continuous", "off"};
constexpr const char* kSensitivityWords[] = {"low", "medium", "high"};

// strtol rules: leading white space and a sign are accepted, the whole value
// must be consumed, and an overflow counts as out of range.
bool ApplyWhole(int32_t& field, std::string_view value, long low, long high) {
  if (value.empty()) return false;
  std::string text(value);
  char* end = nullptr;
  errno = 0;
  long number = std::strtol(text.c_str(), &end, 10);
  if (end != text.c_str() + text.size() || errno == ERANGE) return false;
  if (number < low || number > high) return false;
  field = static_cast<int32_t>(number);
  return true;
}

// strtod in the C locale, whatever locale the desktop libraries switched to.
std::optional<double> ParseDouble(std::string_view value) {
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  if (value.empty() || c_locale == static_cast<locale_t>(0)) return std::nullopt;
  std::string text(value);
  char* end = nullptr;
  double number = strtod_l(text.c_str(), &end, c_locale);
  if (end != text.c_str() + text.size()) return std::nullopt;
  return number;
}

bool ApplyBool(bool& field, std::string_view value) {
  if (value == "1" || value == "on" || value == "true") {
    field = true;
    return true;
  }
  if (value == "0" || value == "off" || value == "false") {
    field = false;
    return true;
  }
  return false;
}

bool ApplyZones(std::array<bool, kZoneCount>& zones, std::string_view value) {
  if (value.size() != kZoneCount) return false;
  for (char c : value) {
    if (c != '0' && c != '1') return false;
  }
  for (size_t i = 0; i < kZoneCount; ++i) zones[i] = value[i] == '1';
  return true;
}

// "%g": at most 6 significant digits, exponent form for large values.
std::string FormatG(double value) {
  char text[64];
  auto [end, ec] = std::to_chars(text, text + sizeof text, value, std::chars_format::general, 6);
  if (ec != std::errc()) return "0";
  return std::string(text, end);
}

// A folder is written on a line of settings.ini and as a field of clips.tsv
// and scans.tsv, whose paths are not escaped: a line break, a NUL or a TAB
// would cut it.
bool FitsInOneField(std::string_view folder) {
  return folder.find_first_of(std::string_view("\t\r\n\0", 4)) == std::string_view::npos;
}

void ApplyLine(AppSettings& settings, std::string_view line) {
  // The line was a C string: a NUL byte ends it.
  line = line.substr(0, line.find('\0'));
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
  if (line.empty()) return;
  size_t equals = line.find('=');
  if (equals == std::string_view::npos || line.front() == '#') return;
  if (!ApplySetting(settings, line.substr(0, equals), line.substr(equals + 1))) {
    LogLine("[settings] ignoring \"%.*s\"\n", static_cast<int>(line.size()), line.data());
  }
}

}  // namespace

bool ApplySetting(AppSettings& settings, std::string_view key, std::string_view value) {
  if (key == "record") return ApplyWord(settings.record, value, kRecordWords);
  if (key == "sensitivity") return ApplyWord(settings.sensitivity, value, kSensitivityWords);
  if (key == "retention_days") return ApplyWhole(settings.retention_days, value, 0, 3650);
  if (key == "retention_mb") {
    std::optional<double> number = ParseDouble(value);
    if (!number || std::isnan(*number) || *number < 0 || *number > 1000000000.0) return false;
    settings.retention_mb = *number;
    return true;
  }
  if (key == "motion_alerts") return ApplyBool(settings.motion_alerts, value);
  if (key == "videos_dir") {
    if (!FitsInOneField(value)) return false;
    settings.videos_folder = std::filesystem::path(std::string(value));
    return true;
  }
  if (key == "postroll_seconds") return ApplyWhole(settings.postroll_seconds, value, 1, 600);
  if (key == "max_clip_seconds") return ApplyWhole(settings.max_clip_seconds, value, 2, 3600);
  if (key == "segment_seconds") return ApplyWhole(settings.segment_seconds, value, 2, 3600);
  if (key == "zones") return ApplyZones(settings.zones, value);
  if (key == "scans_dir") {
    if (!FitsInOneField(value)) return false;
    settings.scans_folder = std::filesystem::path(std::string(value));
    return true;
  }
  if (key == "allow_typing") return ApplyBool(settings.allow_typing, value);
  return false;
}

void LoadSettingsFromText(AppSettings& settings, std::string_view text) {
  while (!text.empty()) {
    size_t limit = std::min(text.size(), kMaxPieceBytes);
    size_t line_feed = text.substr(0, limit).find('\n');
    size_t length = line_feed == std::string_view::npos ? limit : line_feed + 1;
    ApplyLine(settings, text.substr(0, length));
    text.remove_prefix(length);
  }
}

void LoadSettings(AppSettings& settings, const std::filesystem::path& path) {
  if (std::optional<std::string> text = ReadFileText(path)) LoadSettingsFromText(settings, *text);
}

std::string FormatSettings(const AppSettings& settings) {
  std::string text = "# Orlith Cam settings\n";
  text += "record=" + std::string(kRecordWords[static_cast<size_t>(settings.record) % 3]) + "\n";
  text += "sensitivity=" +
          std::string(kSensitivityWords[static_cast<size_t>(settings.sensitivity) % 3]) + "\n";
  text += "retention_days=" + std::to_string(settings.retention_days) + "\n";
  text += "retention_mb=" + FormatG(settings.retention_mb) + "\n";
  text += std::string("motion_alerts=") + (settings.motion_alerts ? "on" : "off") + "\n";
  if (!settings.videos_folder.empty()) text += "videos_dir=" + settings.videos_folder.string() + "\n";
  text += "postroll_seconds=" + std::to_string(settings.postroll_seconds) + "\n";
  text += "max_clip_seconds=" + std::to_string(settings.max_clip_seconds) + "\n";
  text += "segment_seconds=" + std::to_string(settings.segment_seconds) + "\n";
  text += "zones=";
  for (bool watched : settings.zones) text += watched ? '1' : '0';
  text += "\n";
  if (!settings.scans_folder.empty()) text += "scans_dir=" + settings.scans_folder.string() + "\n";
  text += std::string("allow_typing=") + (settings.allow_typing ? "on" : "off") + "\n";
  return text;
}

bool SaveSettings(const AppSettings& settings, const std::filesystem::path& path) {
  if (!FitsInOneField(settings.videos_folder.native()) ||
      !FitsInOneField(settings.scans_folder.native())) {
    return false;
  }
  return ReplaceFileContents(path, FormatSettings(settings)).ok();
}

namespace {

// A folder given without a leading "/" (or as "~/...") is taken from the
// home folder, wherever the receiver was started: stored paths stay valid.
std::filesystem::path FromHome(const std::filesystem::path& folder) {
  if (folder.is_absolute()) return folder;
  const std::filesystem::path home = HomeFolder();
  if (home.empty()) return folder;
  const std::string& text = folder.native();
  if (text == "~") return home;
  if (text.starts_with("~/")) return home / text.substr(2);
  return home / folder;
}

}  // namespace

std::filesystem::path ResolveVideosFolder(const AppSettings& settings) {
  if (!settings.videos_folder.empty()) return FromHome(settings.videos_folder);
  return ResolveUserFolder(UserFolder::kVideos) / "Orlith Cam";
}

std::filesystem::path ResolveScansFolder(const AppSettings& settings) {
  if (!settings.scans_folder.empty()) return FromHome(settings.scans_folder);
  return ResolveUserFolder(UserFolder::kDocuments) / "Orlith Cam Scans";
}

}  // namespace vistrel
