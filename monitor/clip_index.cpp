#include "monitor/clip_index.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace vistrel {
namespace {

// No path on this system is longer; a longer line is damage, not a clip.
constexpr size_t kMaxLineBytes = 4096 + 64;

int64_t LeadingSigned(std::string_view field) {
  return std::strtoll(std::string(field.substr(0, 24)).c_str(), nullptr, 10);
}

uint64_t LeadingUnsigned(std::string_view field) {
  const std::string digits(field.substr(0, 24));
  if (!digits.empty() && digits[0] == '-') return 0;
  return std::strtoull(digits.c_str(), nullptr, 10);
}

bool Climbs(const std::filesystem::path& path) {
  for (const auto& part : path) {
    if (part == "..") return true;
  }
  return false;
}

}  // namespace

bool HasMp4Extension(const std::filesystem::path& path) {
  const std::string text = path.string();
  if (text.size() <= 4) return false;
  std::string tail = text.substr(text.size() - 4);
  std::transform(tail.begin(), tail.end(), tail.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return tail == ".mp4";
}

std::vector<ClipEntry> ParseClipIndex(std::string_view text, const std::filesystem::path& home) {
  std::vector<ClipEntry> entries;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
    if (line.size() > kMaxLineBytes) continue;
    size_t tabs[4];
    size_t from = 0;
    bool complete = true;
    for (size_t& tab : tabs) {
      tab = line.find('\t', from);
      if (tab == std::string_view::npos) {
        complete = false;
        break;
      }
      from = tab + 1;
    }
    if (!complete) continue;
    ClipEntry entry;
    entry.start_time = LeadingSigned(line.substr(0, tabs[0]));
    entry.duration_ms = LeadingSigned(line.substr(tabs[0] + 1, tabs[1] - tabs[0] - 1));
    entry.size = LeadingUnsigned(line.substr(tabs[1] + 1, tabs[2] - tabs[1] - 1));
    entry.continuous = line.substr(tabs[2] + 1, tabs[3] - tabs[2] - 1) == "continuous";
    entry.path = std::string(line.substr(tabs[3] + 1));
    // Clips of a relative videos folder were once listed relative to the home folder.
    if (entry.path.is_relative() && home.is_absolute()) entry.path = home / entry.path;
    if (HasMp4Extension(entry.path) && entry.path.is_absolute() && !Climbs(entry.path)) {
      entries.push_back(std::move(entry));
    }
  }
  std::stable_sort(entries.begin(), entries.end(), [](const ClipEntry& a, const ClipEntry& b) {
    return a.start_time < b.start_time;
  });
  return entries;
}

std::string FormatClipIndex(const std::vector<ClipEntry>& entries) {
  std::string text;
  for (const ClipEntry& entry : entries) {
    text += std::to_string(entry.start_time) + '\t' + std::to_string(entry.duration_ms) + '\t' +
            std::to_string(entry.size) + '\t' + (entry.continuous ? "continuous" : "motion") +
            '\t' + entry.path.string() + '\n';
  }
  return text;
}

std::string ClipFileName(int hour, int minute, int second, bool continuous, int number) {
  char name[64];
  std::snprintf(name, sizeof name, "%02d%02d%02d-%s", hour, minute, second,
                continuous ? "continuous" : "motion");
  std::string text = name;
  if (number > 1) text += "-" + std::to_string(number);
  return text + ".mp4";
}

}  // namespace vistrel
