// The video sample allocator a host can offer a source: a pool of samples
// with one NV12 2D buffer each.
#pragma once

#include <cstdint>

#include "platform/mf/attributes.h"
#include "platform/mf/sample.h"

namespace vistrel {

class IMFVideoSampleAllocator : public IUnknown {
 public:
  static constexpr const GUID& kIid = IID_IMFVideoSampleAllocator;

  // Only system memory is offered here: any manager is accepted and ignored.
  virtual HRESULT SetDirectXManager(IUnknown* manager) = 0;
  // Forgets the pool; samples still out stay valid for their holders.
  virtual HRESULT UninitializeSampleAllocator() = 0;
  // `requested_frames` samples for an NV12 type with MF_MT_FRAME_SIZE.
  // MF_E_INVALIDMEDIATYPE for anything else.
  virtual HRESULT InitializeSampleAllocator(uint32_t requested_frames,
                                            IMFMediaType* media_type) = 0;
  // A free sample of the pool (its attributes cleared); MF_E_NOT_INITIALIZED
  // before initialisation, MF_E_SAMPLEALLOCATOR_EMPTY when all are out. A
  // sample returns to the pool when its last outside reference goes.
  virtual HRESULT AllocateSample(IMFSample** sample) = 0;
};

// IUnknown for an allocator of one's own: its two interfaces, and the
// reference count that deletes the `Derived` object.
template <typename Derived>
class VideoSampleAllocatorBase : public IMFVideoSampleAllocator {
 public:
  HRESULT QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid == IID_IUnknown || iid == IID_IMFVideoSampleAllocator) {
      return ReturnInterface(this, out);
    }
    return E_NOINTERFACE;
  }
  uint32_t AddRef() override { return refs_.AddRef(); }
  uint32_t Release() override { return refs_.Release(static_cast<Derived*>(this)); }

 private:
  RefCount refs_;
};

HRESULT MFCreateVideoSampleAllocator(REFIID iid, void** allocator);

}  // namespace vistrel
