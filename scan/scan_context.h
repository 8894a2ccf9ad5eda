// The one object of scan delivery that every connection shares: the scan
// history (the newest 100 entries, kept in scans.tsv in the data folder, and
// a revision that counts the entries added in this run), the settings as the
// scan subsystem last got them, and the desktop that texts go to.
//
// One lock guards everything and is held for the whole of each operation,
// the rewrite of scans.tsv included. Callers: the session threads (entries,
// settings), the receiver core (load, settings) and the front end (entries,
// revision). Nothing here calls back into a caller.
#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <optional>
#include <vector>

#include "app/settings/settings.h"
#include "platform/desktop.h"
#include "platform/thread_annotations.h"
#include "scan/scan_history.h"

namespace vistrel {

// Calendar time and free space, injectable so that tests can fill a disk
// without filling it.
class ScanEnvironment {
 public:
  virtual ~ScanEnvironment() = default;
  virtual int64_t NowSeconds() const = 0;
  virtual std::optional<uint64_t> AvailableBytes(const std::filesystem::path& folder) const = 0;
};
const ScanEnvironment& SystemScanEnvironment();

class ScanContext {
 public:
  static constexpr size_t kMaxEntries = 100;

  // Both outlive the context.
  explicit ScanContext(Desktop& desktop,
                       const ScanEnvironment& environment = SystemScanEnvironment())
      : desktop_(desktop), environment_(environment) {}
  ScanContext(const ScanContext&) = delete;
  ScanContext& operator=(const ScanContext&) = delete;

  // Keeps the settings, reads data_folder/scans.tsv (what can be read of it),
  // and removes the temporary files that a receiver which died in the middle
  // of a transfer left in the scans folder.
  void Load(const std::filesystem::path& data_folder, const AppSettings& settings)
      EXCLUDES(mutex_);
  // Appends, drops the oldest beyond 100, counts the revision and rewrites
  // scans.tsv (a failure keeps the old file and is retried by the next entry).
  void AddEntry(ScanEntry entry) EXCLUDES(mutex_);
  // Newest first.
  std::vector<ScanEntry> LatestEntries(size_t count) const EXCLUDES(mutex_);
  uint64_t Revision() const EXCLUDES(mutex_);
  AppSettings SettingsCopy() const EXCLUDES(mutex_);
  void UpdateSettings(const AppSettings& settings) EXCLUDES(mutex_);

  Desktop& desktop() const { return desktop_; }
  const ScanEnvironment& environment() const { return environment_; }

 private:
  Desktop& desktop_;
  const ScanEnvironment& environment_;
  mutable Mutex mutex_;
  std::filesystem::path history_path_ GUARDED_BY(mutex_);  // empty until Load
  AppSettings settings_ GUARDED_BY(mutex_);
  std::deque<ScanEntry> entries_ GUARDED_BY(mutex_);  // oldest first
  uint64_t revision_ GUARDED_BY(mutex_) = 0;
};

}  // namespace vistrel
