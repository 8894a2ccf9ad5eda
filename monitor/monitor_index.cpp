// The clip list on disk (clips.tsv) and retention by age and total size.
#include <algorithm>
#include <system_error>

#include "monitor/clip_fragments.h"
#include "monitor/monitor_back_end.h"
#include "monitor/thumbnail.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "platform/log.h"

namespace vistrel {
namespace {

constexpr uint64_t kMaxIndexBytes = 256ull << 20;
constexpr int64_t kSecondsPerDay = 86'400;

bool InsideFolder(const std::filesystem::path& path, const std::filesystem::path& folder) {
  const std::filesystem::path relative = path.lexically_normal().lexically_relative(
      folder.lexically_normal());
  return !relative.empty() && *relative.begin() != "..";
}

}  // namespace

void MonitorBackEnd::LoadClipIndex() {
  clips_.clear();
  index_unreadable_ = false;
  std::optional<std::string> text = ReadFileText(clip_index_path_, kMaxIndexBytes);
  if (!text) {
    std::error_code ec;
    // A clip list we cannot read is kept as it is: saving over it would
    // forget every clip in it.
    if (std::filesystem::exists(clip_index_path_, ec) || ec) {
      index_unreadable_ = true;
      LogLine("[record] %s cannot be read; it is left unchanged\n", clip_index_path_.c_str());
    }
    return;
  }
  clips_ = ParseClipIndex(*text, HomeFolder());
}

void MonitorBackEnd::SaveClipIndex() {
  if (clip_index_path_.empty() || index_unreadable_) return;
  (void)ReplaceFileContents(clip_index_path_, FormatClipIndex(clips_));
}

// A receiver that was killed while recording left an entry of duration 0 and
// a file whose complete fragments play: keep those and list what a player
// will find. A file that holds no complete fragment plays nothing and goes.
void MonitorBackEnd::CompleteInterruptedClips() {
  bool changed = false;
  for (size_t i = 0; i < clips_.size();) {
    ClipEntry& entry = clips_[i];
    if (entry.duration_ms != 0) {
      ++i;
      continue;
    }
    const std::optional<FragmentLayout> layout = ScanFragments(entry.path);
    if (layout && layout->complete_fragments == 0) {
      std::error_code ignored;
      std::filesystem::remove(entry.path, ignored);
      std::filesystem::remove(ThumbnailPathFor(entry.path), ignored);
      LogLine("[record] removed %s: it was cut off before any part of it was complete\n",
              entry.path.c_str());
      clips_.erase(clips_.begin() + static_cast<ptrdiff_t>(i));
      changed = true;
      continue;
    }
    const std::optional<ClipFacts> facts =
        layout ? KeepCompleteFragments(entry.path) : ReadClipFacts(entry.path);
    if (facts) {
      entry.duration_ms = facts->duration_ms;
      entry.size = facts->size;
      changed = true;
    }
    ++i;
  }
  if (changed) {
    ++clip_list_version_;
    SaveClipIndex();
  }
}

void MonitorBackEnd::RunRetention() {
  last_retention_tick_ = clock_.NowMs();
  const int64_t now = environment_.NowSeconds();
  const bool recording = RecordingLocked() && !clips_.empty();
  const size_t kept_end = recording ? clips_.size() - 1 : clips_.size();
  bool changed = false;

  // Only our own folder is ours to clean: a clip elsewhere (an older videos
  // folder, or a clips.tsv that names other files) is never deleted, so it
  // does not count against the limit either, or new clips would pay for it.
  const auto deletable = [folder = videos_folder_](const ClipEntry& entry) {
    return !HasMp4Extension(entry.path) || InsideFolder(entry.path, folder);
  };
  uint64_t total = 0;
  size_t end = kept_end;
  for (size_t i = 0; i < end;) {
    std::error_code ec;
    const uintmax_t size = std::filesystem::file_size(clips_[i].path, ec);
    if (ec) {
      clips_.erase(clips_.begin() + static_cast<ptrdiff_t>(i));
      --end;
      changed = true;
      continue;
    }
    clips_[i].size = size;
    if (deletable(clips_[i])) total += size;
    ++i;
  }

  const uint64_t limit = static_cast<uint64_t>(settings_.retention_mb * 1024.0 * 1024.0);
  const int64_t days = settings_.retention_days;
  for (size_t i = 0; i < end;) {
    const ClipEntry& entry = clips_[i];
    if ((days == 0 || entry.start_time >= now - days * kSecondsPerDay) &&
        (limit == 0 || total <= limit)) {
      break;
    }
    const std::filesystem::path path = entry.path;
    const bool mp4 = HasMp4Extension(path);
    if (!deletable(entry)) {
      if (retention_refusals_logged_.insert(path).second) {
        LogLine("[retention] %s is not in the videos folder; not deleted\n", path.c_str());
      }
      ++i;
      continue;
    }
    if (mp4) {
      std::error_code ec;
      if (!std::filesystem::remove(path, ec) && ec && ec != std::errc::no_such_file_or_directory) {
        LogLine("[retention] could not delete %s (error %lu); will retry\n", path.c_str(),
                static_cast<unsigned long>(ec.value()));
        ++i;
        continue;
      }
    }
    total -= std::min(total, entry.size);
    clips_.erase(clips_.begin() + static_cast<ptrdiff_t>(i));
    --end;
    changed = true;
    if (mp4) {
      std::error_code ignored;
      std::filesystem::remove(ThumbnailPathFor(path), ignored);
      if (path.parent_path() != videos_folder_) {
        std::filesystem::remove(path.parent_path(), ignored);  // only when empty
      }
      LogLine("[retention] deleted %s\n", path.c_str());
    }
  }
  if (recording) current_index_ = static_cast<int64_t>(clips_.size()) - 1;
  if (changed) {
    ++clip_list_version_;
    SaveClipIndex();
  }
}

}  // namespace vistrel
