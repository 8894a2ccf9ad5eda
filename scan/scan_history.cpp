#include "scan/scan_history.h"

#include <cstdlib>

#include "platform/utf.h"

namespace vistrel {
namespace {

constexpr size_t kDisplayBytes = 200;

std::string Escape(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '\t': escaped += "\\t"; break;
      case '\n': escaped += "\\n"; break;
      case '\r': escaped += "\\r"; break;
      case '\\': escaped += "\\\\"; break;
      default: escaped += c;
    }
  }
  return escaped;
}

std::string Unescape(std::string_view text) {
  std::string plain;
  plain.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      plain += text[i];
      continue;
    }
    const char next = text[++i];
    plain += next == 't' ? '\t' : next == 'n' ? '\n' : next == 'r' ? '\r' : next;
  }
  return plain;
}

// strtoll and strtoull read a C string: a field holding a NUL ends there too.
int64_t LeadingSigned(std::string_view field) {
  return std::strtoll(std::string(field).c_str(), nullptr, 10);
}

uint64_t LeadingUnsigned(std::string_view field) {
  return std::strtoull(std::string(field).c_str(), nullptr, 10);
}

}  // namespace

std::deque<ScanEntry> ParseScanHistory(std::string_view text) {
  std::deque<ScanEntry> entries;
  std::string line;
  for (char c : text) {
    if (c == '\r') continue;
    if (c != '\n') {
      line += c;
      continue;
    }
    size_t tabs[4];
    size_t from = 0;
    bool complete = true;
    for (size_t& tab : tabs) {
      tab = line.find('\t', from);
      if (tab == std::string::npos) {
        complete = false;
        break;
      }
      from = tab + 1;
    }
    if (complete) {
      const std::string_view view = line;
      ScanEntry entry;
      entry.time = LeadingSigned(view.substr(0, tabs[0]));
      entry.kind = std::string(view.substr(tabs[0] + 1, tabs[1] - tabs[0] - 1));
      entry.size = LeadingUnsigned(view.substr(tabs[1] + 1, tabs[2] - tabs[1] - 1));
      entry.path = std::string(view.substr(tabs[2] + 1, tabs[3] - tabs[2] - 1));
      entry.text = Unescape(view.substr(tabs[3] + 1));
      entries.push_back(std::move(entry));
    }
    line.clear();
  }
  return entries;
}

std::string FormatScanHistory(const std::deque<ScanEntry>& entries) {
  std::string text;
  for (const ScanEntry& entry : entries) {
    text += std::to_string(entry.time) + '\t' + entry.kind + '\t' + std::to_string(entry.size) +
            '\t' + entry.path.string() + '\t' + Escape(entry.text) + '\n';
  }
  return text;
}

std::string EntryDisplayText(const ScanEntry& entry) {
  if (entry.kind == "file") return entry.path.filename().string();
  return WideToUtf8(Utf8ToWide(std::string_view(entry.text).substr(0, kDisplayBytes)));
}

}  // namespace vistrel
