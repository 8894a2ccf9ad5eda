#include "scan/scan_context.h"

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/log.h"
#include "scan/scan_file_name.h"

namespace vistrel {
namespace {

namespace fs = std::filesystem;

class SystemEnvironment final : public ScanEnvironment {
 public:
  int64_t NowSeconds() const override { return UnixSeconds(); }
  std::optional<uint64_t> AvailableBytes(const fs::path& folder) const override {
    return vistrel::AvailableBytes(folder);
  }
};

// A transfer's temporary file is locked while its writer lives, so only the
// files of a writer that died are removed; links and folders are left alone.
size_t RemoveAbandonedTransfers(const fs::path& folder) {
  size_t removed = 0;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (IsTemporaryScanName(it->path().filename().string()) &&
        RemoveAbandonedFile(it->path())) {
      ++removed;
    }
  }
  return removed;
}

}  // namespace

const ScanEnvironment& SystemScanEnvironment() {
  static const SystemEnvironment environment;
  return environment;
}

void ScanContext::Load(const fs::path& data_folder, const AppSettings& settings) {
  MutexLock lock(mutex_);
  settings_ = settings;
  history_path_ = data_folder / "scans.tsv";
  if (std::optional<std::string> text = ReadFileText(history_path_)) {
    for (ScanEntry& entry : ParseScanHistory(*text)) entries_.push_back(std::move(entry));
    while (entries_.size() > kMaxEntries) entries_.pop_front();
  }
  if (size_t removed = RemoveAbandonedTransfers(ResolveScansFolder(settings_)); removed > 0) {
    LogLine("[scan] removed %zu unfinished transfers left by an earlier run\n", removed);
  }
}

void ScanContext::AddEntry(ScanEntry entry) {
  MutexLock lock(mutex_);
  entries_.push_back(std::move(entry));
  while (entries_.size() > kMaxEntries) entries_.pop_front();
  ++revision_;
  if (!history_path_.empty()) (void)ReplaceFileContents(history_path_, FormatScanHistory(entries_));
}

std::vector<ScanEntry> ScanContext::LatestEntries(size_t count) const {
  MutexLock lock(mutex_);
  std::vector<ScanEntry> latest;
  for (auto it = entries_.rbegin(); it != entries_.rend() && latest.size() < count; ++it) {
    latest.push_back(*it);
  }
  return latest;
}

uint64_t ScanContext::Revision() const {
  MutexLock lock(mutex_);
  return revision_;
}

AppSettings ScanContext::SettingsCopy() const {
  MutexLock lock(mutex_);
  return settings_;
}

void ScanContext::UpdateSettings(const AppSettings& settings) {
  MutexLock lock(mutex_);
  settings_ = settings;
}

}  // namespace vistrel
