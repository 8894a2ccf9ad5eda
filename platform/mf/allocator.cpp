#include "platform/mf/allocator.h"

#include <mutex>
#include <vector>

namespace vistrel {
namespace {

// Samples that the pool handed out are known by their reference count: a
// sample that only the pool holds is free. Only the pool hands samples out, so
// under its lock the count of a free sample cannot rise behind its back.
class VideoSampleAllocator final : public VideoSampleAllocatorBase<VideoSampleAllocator> {
 public:
  HRESULT SetDirectXManager(IUnknown* /*manager*/) override { return S_OK; }

  HRESULT UninitializeSampleAllocator() override {
    std::vector<ComPtr<IMFSample>> dropped;  // released after the lock
    std::lock_guard lock(mutex_);
    dropped.swap(pool_);
    return S_OK;
  }

  HRESULT InitializeSampleAllocator(uint32_t requested_frames, IMFMediaType* media_type) override {
    if (!media_type) return E_POINTER;
    if (requested_frames == 0 || requested_frames > kMaxFrames) return E_INVALIDARG;
    GUID major{}, subtype{};
    uint32_t width = 0, height = 0;
    if (FAILED(media_type->GetGUID(MF_MT_MAJOR_TYPE, &major)) || major != MFMediaType_Video ||
        FAILED(media_type->GetGUID(MF_MT_SUBTYPE, &subtype)) || subtype != MFVideoFormat_NV12 ||
        FAILED(MFGetAttributeSize(media_type, MF_MT_FRAME_SIZE, &width, &height))) {
      return MF_E_INVALIDMEDIATYPE;
    }
    return NoThrow([&] {
      std::vector<ComPtr<IMFSample>> pool;
      for (uint32_t i = 0; i < requested_frames; ++i) {
        ComPtr<IMFSample> sample;
        ComPtr<IMFMediaBuffer> buffer;
        HRESULT hr = MFCreateSample(sample.GetAddressOf());
        if (SUCCEEDED(hr)) {
          hr = MFCreate2DMediaBuffer(width, height, FOURCC_NV12, false, buffer.GetAddressOf());
        }
        if (SUCCEEDED(hr)) hr = sample->AddBuffer(buffer.Get());
        if (FAILED(hr)) return hr == E_INVALIDARG ? MF_E_INVALIDMEDIATYPE : hr;
        pool.push_back(std::move(sample));
      }
      std::vector<ComPtr<IMFSample>> dropped;  // released after the lock
      std::lock_guard lock(mutex_);
      dropped.swap(pool_);
      pool_ = std::move(pool);
      return S_OK;
    });
  }

  HRESULT AllocateSample(IMFSample** sample) override {
    if (!sample) return E_POINTER;
    *sample = nullptr;
    std::lock_guard lock(mutex_);
    if (pool_.empty()) return MF_E_NOT_INITIALIZED;
    for (auto& candidate : pool_) {
      if (candidate->AddRef() == 2) {
        candidate->DeleteAllItems();
        *sample = candidate.Get();  // the reference just taken
        return S_OK;
      }
      candidate->Release();
    }
    return MF_E_SAMPLEALLOCATOR_EMPTY;
  }

 private:
  static constexpr uint32_t kMaxFrames = 64;

  std::mutex mutex_;
  std::vector<ComPtr<IMFSample>> pool_;  // guarded by mutex_
};

}  // namespace

HRESULT MFCreateVideoSampleAllocator(REFIID iid, void** allocator) {
  if (!allocator) return E_POINTER;
  *allocator = nullptr;
  auto created = MakeCom<VideoSampleAllocator>();
  if (!created) return E_OUTOFMEMORY;
  return created->QueryInterface(iid, allocator);
}

}  // namespace vistrel
