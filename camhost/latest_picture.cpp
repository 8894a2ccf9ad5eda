#include "camhost/latest_picture.h"

#include <utility>

#include "camhost/sink.h"

namespace vistrel {
namespace {

constexpr size_t kLumaBytes = size_t{kSinkWidth} * kSinkHeight;

}  // namespace

LatestPicture::LatestPicture() {
  for (auto& slot : slots_) slot.resize(kLumaBytes * 3 / 2);
}

void LatestPicture::Put(const Nv12View& picture, int64_t time_100ns) {
  std::vector<uint8_t>& slot = slots_[back_];
  const size_t pitch = static_cast<size_t>(picture.pitch);
  CopyPlane(picture.luma, pitch, slot.data(), kSinkWidth, kSinkWidth, kSinkHeight);
  CopyPlane(picture.chroma, pitch, slot.data() + kLumaBytes, kSinkWidth, kSinkWidth,
            kSinkHeight / 2);
  times_[back_] = time_100ns;
  MutexLock lock(mutex_);
  std::swap(back_, ready_);
  fresh_ = true;
}

bool LatestPicture::Take() {
  MutexLock lock(mutex_);
  if (!fresh_) return false;
  std::swap(front_, ready_);
  fresh_ = false;
  return true;
}

Nv12View LatestPicture::picture() const {
  const uint8_t* data = slots_[front_].data();
  return {data, data + kLumaBytes, kSinkWidth, kSinkWidth, kSinkHeight};
}

}  // namespace vistrel
