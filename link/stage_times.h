// Where a session's worker thread spends its CPU time per picture: reading,
// decoding, the exchange copy, the preview copy, monitoring. Only built with
// VISTREL_STAGE_TIMES; otherwise every scope is empty and compiles to nothing.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace vistrel {

enum class Stage { kRead, kDecode, kExchange, kPreview, kMonitor, kCount };

#ifdef VISTREL_STAGE_TIMES

// Per thread: a session runs on one worker thread from start to end.
struct StageTimes {
  std::array<uint64_t, static_cast<size_t>(Stage::kCount)> ns{};
  uint64_t nested_ns = 0;  // time of scopes inside the open ones
  uint64_t pictures = 0;
};

StageTimes& ThreadStageTimes();
// "[stages] ..." for the pictures since the last call, then starts over.
std::string TakeStageSummary();

// Counts its own time to its stage, without the time of scopes inside it.
class StageScope {
 public:
  explicit StageScope(Stage stage);
  ~StageScope();
  StageScope(const StageScope&) = delete;
  StageScope& operator=(const StageScope&) = delete;

 private:
  Stage stage_;
  uint64_t start_;
  uint64_t nested_before_;
};

inline void CountStagePicture() { ++ThreadStageTimes().pictures; }

#else

class StageScope {
 public:
  explicit StageScope(Stage) {}
};
inline void CountStagePicture() {}
inline std::string TakeStageSummary() { return {}; }

#endif

// The monotonic times of the picture that this thread carries from arrival to
// the exchange, for the glass-to-app benchmark: one "arrival decoded
// published" line per picture in the file that VISTREL_PICTURE_TIMES names.
// Without it these only test a pointer.
void NotePictureArrival();
void NotePictureDecoded();
void NotePicturePublished(uint64_t publish_ns);

}  // namespace vistrel
