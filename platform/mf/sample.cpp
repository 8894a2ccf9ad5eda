#include <mutex>
#include <optional>
#include <vector>

#include "platform/mf/attribute_store.h"
#include "platform/mf/sample.h"

namespace vistrel {
namespace {

class Sample final : public AttributesImpl<IMFSample> {
 public:
  HRESULT QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid == IID_IUnknown || iid == IID_IMFAttributes || iid == IID_IMFSample) {
      return ReturnInterface(this, out);
    }
    return E_NOINTERFACE;
  }
  uint32_t AddRef() override { return refs_.AddRef(); }
  uint32_t Release() override { return refs_.Release(this); }

  HRESULT GetSampleFlags(uint32_t* flags) override {
    if (!flags) return E_POINTER;
    std::lock_guard lock(mutex_);
    *flags = flags_;
    return S_OK;
  }
  HRESULT SetSampleFlags(uint32_t flags) override {
    std::lock_guard lock(mutex_);
    flags_ = flags;
    return S_OK;
  }
  HRESULT GetSampleTime(int64_t* time) override {
    if (!time) return E_POINTER;
    std::lock_guard lock(mutex_);
    if (!time_) return MF_E_NO_SAMPLE_TIMESTAMP;
    *time = *time_;
    return S_OK;
  }
  HRESULT SetSampleTime(int64_t time) override {
    std::lock_guard lock(mutex_);
    time_ = time;
    return S_OK;
  }
  HRESULT GetSampleDuration(int64_t* duration) override {
    if (!duration) return E_POINTER;
    std::lock_guard lock(mutex_);
    if (!duration_) return MF_E_NO_SAMPLE_DURATION;
    *duration = *duration_;
    return S_OK;
  }
  HRESULT SetSampleDuration(int64_t duration) override {
    std::lock_guard lock(mutex_);
    duration_ = duration;
    return S_OK;
  }
  HRESULT GetBufferCount(uint32_t* count) override {
    if (!count) return E_POINTER;
    std::lock_guard lock(mutex_);
    *count = static_cast<uint32_t>(buffers_.size());
    return S_OK;
  }
  HRESULT GetBufferByIndex(uint32_t index, IMFMediaBuffer** buffer) override {
    if (!buffer) return E_POINTER;
    std::lock_guard lock(mutex_);
    if (index >= buffers_.size()) {
      *buffer = nullptr;
      return E_INVALIDARG;
    }
    return buffers_[index].CopyTo(buffer);
  }
  HRESULT AddBuffer(IMFMediaBuffer* buffer) override {
    if (!buffer) return E_POINTER;
    return NoThrow([&] {
      std::lock_guard lock(mutex_);
      buffers_.emplace_back(buffer);
      return S_OK;
    });
  }
  HRESULT RemoveBufferByIndex(uint32_t index) override {
    ComPtr<IMFMediaBuffer> removed;  // released after the lock
    std::lock_guard lock(mutex_);
    if (index >= buffers_.size()) return E_INVALIDARG;
    removed = std::move(buffers_[index]);
    buffers_.erase(buffers_.begin() + index);
    return S_OK;
  }
  HRESULT RemoveAllBuffers() override {
    std::vector<ComPtr<IMFMediaBuffer>> removed;  // released after the lock
    std::lock_guard lock(mutex_);
    removed.swap(buffers_);
    return S_OK;
  }
  HRESULT GetTotalLength(uint32_t* length) override {
    if (!length) return E_POINTER;
    std::lock_guard lock(mutex_);
    uint64_t total = 0;
    for (const auto& buffer : buffers_) {
      uint32_t current = 0;
      if (SUCCEEDED(buffer->GetCurrentLength(&current))) total += current;
    }
    *length = total > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(total);
    return S_OK;
  }

 private:
  RefCount refs_;
  std::mutex mutex_;
  // All guarded by mutex_.
  uint32_t flags_ = 0;
  std::optional<int64_t> time_;
  std::optional<int64_t> duration_;
  std::vector<ComPtr<IMFMediaBuffer>> buffers_;
};

}  // namespace

HRESULT MFCreateSample(IMFSample** sample) {
  if (!sample) return E_POINTER;
  auto created = MakeCom<Sample>();
  if (!created) return E_OUTOFMEMORY;
  *sample = created.Detach();
  return S_OK;
}

}  // namespace vistrel
