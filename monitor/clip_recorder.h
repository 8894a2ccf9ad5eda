// One MP4 clip of the phone's H.264, stored as it came: one sample per access
// unit, the sequence header as the track's configuration, times relative to
// the first unit. Fragmented at each keyframe, so that a crash or a power
// loss keeps every fragment written so far playable. Each unit is written
// when the next arrives, so that its duration is exact.
//
// The only file that includes libavformat. Results are HRESULT-style: 0 for
// success, negative for failure (libavformat's own AVERROR values pass
// through unchanged).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace vistrel {

inline constexpr int32_t kRecorderInvalidArg = static_cast<int32_t>(0x80070057);  // E_INVALIDARG
inline constexpr int32_t kRecorderUnexpected = static_cast<int32_t>(0x8000FFFF);  // E_UNEXPECTED

class ClipRecorder {
 public:
  ClipRecorder();
  // An open clip that was never finished is removed: it would be unplayable
  // or incomplete, and nobody listed it as saved.
  ~ClipRecorder();
  ClipRecorder(const ClipRecorder&) = delete;
  ClipRecorder& operator=(const ClipRecorder&) = delete;

  // Opens `path` for a clip whose first unit (a keyframe with its SPS and PPS)
  // is `unit` at `timestamp_us`. The track's size comes from the SPS; the
  // given size is the fallback when the SPS cannot be read for it.
  [[nodiscard]] int32_t Create(const std::filesystem::path& path, std::span<const uint8_t> unit,
                               int64_t timestamp_us, int width, int height, int fps);
  [[nodiscard]] int32_t Write(std::span<const uint8_t> unit, int64_t timestamp_us, bool keyframe);
  // Writes the last unit with one frame's duration and closes the file.
  [[nodiscard]] int32_t Finish();

  bool open() const;
  // End of the last written sample, relative to the first unit.
  int64_t written_duration_us() const { return written_duration_; }
  int64_t first_timestamp_us() const { return first_timestamp_; }
  const std::filesystem::path& path() const { return path_; }

 private:
  struct Muxer;
  int32_t WritePending(int64_t duration_us);
  void Close(bool remove_file);

  std::unique_ptr<Muxer> muxer_;
  std::filesystem::path path_;
  int64_t first_timestamp_ = 0;
  int64_t frame_duration_ = 33'333;
  int64_t written_duration_ = 0;
  std::vector<uint8_t> pending_;
  int64_t pending_timestamp_ = 0;
  bool pending_keyframe_ = false;
  bool has_pending_ = false;
};

// Duration and size of an MP4 file as a player would see them, read back with
// libavformat: for a clip whose recording was cut short by a crash.
struct ClipFacts {
  int64_t duration_ms = 0;
  uint64_t size = 0;
};
std::optional<ClipFacts> ReadClipFacts(const std::filesystem::path& path);

}  // namespace vistrel
