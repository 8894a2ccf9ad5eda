#include "platform/mf/descriptors.h"

#include <mutex>
#include <vector>

#include "platform/mf/attribute_store.h"

namespace vistrel {
namespace {

class MediaTypeHandler final : public IMFMediaTypeHandler {
 public:
  explicit MediaTypeHandler(std::vector<ComPtr<IMFMediaType>> types) : types_(std::move(types)) {}

  HRESULT QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid == IID_IUnknown || iid == IID_IMFMediaTypeHandler) return ReturnInterface(this, out);
    return E_NOINTERFACE;
  }
  uint32_t AddRef() override { return refs_.AddRef(); }
  uint32_t Release() override { return refs_.Release(this); }

  HRESULT IsMediaTypeSupported(IMFMediaType* media_type, IMFMediaType** closest) override {
    if (closest) *closest = nullptr;
    if (!media_type) return E_POINTER;
    for (const auto& type : types_) {
      uint32_t flags = 0;
      if (type->IsEqual(media_type, &flags) == S_OK) return S_OK;
    }
    return MF_E_INVALIDMEDIATYPE;
  }
  HRESULT GetMediaTypeCount(uint32_t* count) override {
    if (!count) return E_POINTER;
    *count = static_cast<uint32_t>(types_.size());
    return S_OK;
  }
  HRESULT GetMediaTypeByIndex(uint32_t index, IMFMediaType** media_type) override {
    if (!media_type) return E_POINTER;
    if (index >= types_.size()) return MF_E_NO_MORE_TYPES;
    return types_[index].CopyTo(media_type);
  }
  HRESULT SetCurrentMediaType(IMFMediaType* media_type) override {
    if (!media_type) return E_POINTER;
    std::lock_guard lock(mutex_);
    current_ = media_type;
    return S_OK;
  }
  HRESULT GetCurrentMediaType(IMFMediaType** media_type) override {
    if (!media_type) return E_POINTER;
    std::lock_guard lock(mutex_);
    if (!current_) {
      *media_type = nullptr;
      return MF_E_NOT_INITIALIZED;
    }
    return current_.CopyTo(media_type);
  }
  HRESULT GetMajorType(GUID* major_type) override {
    if (!major_type) return E_POINTER;
    std::lock_guard lock(mutex_);
    IMFMediaType* type = current_ ? current_.Get() : types_.empty() ? nullptr : types_[0].Get();
    if (!type) return MF_E_NOT_INITIALIZED;
    return type->GetMajorType(major_type);
  }

 private:
  RefCount refs_;
  const std::vector<ComPtr<IMFMediaType>> types_;
  std::mutex mutex_;
  ComPtr<IMFMediaType> current_;  // guarded by mutex_
};

class StreamDescriptor final : public AttributesImpl<IMFStreamDescriptor> {
 public:
  StreamDescriptor(uint32_t id, ComPtr<IMFMediaTypeHandler> handler)
      : id_(id), handler_(std::move(handler)) {}

  HRESULT QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid == IID_IUnknown || iid == IID_IMFAttributes || iid == IID_IMFStreamDescriptor) {
      return ReturnInterface(this, out);
    }
    return E_NOINTERFACE;
  }
  uint32_t AddRef() override { return refs_.AddRef(); }
  uint32_t Release() override { return refs_.Release(this); }

  HRESULT GetStreamIdentifier(uint32_t* stream_id) override {
    if (!stream_id) return E_POINTER;
    *stream_id = id_;
    return S_OK;
  }
  HRESULT GetMediaTypeHandler(IMFMediaTypeHandler** handler) override {
    if (!handler) return E_POINTER;
    return handler_.CopyTo(handler);
  }

 private:
  RefCount refs_;
  const uint32_t id_;
  const ComPtr<IMFMediaTypeHandler> handler_;
};

class PresentationDescriptor final : public AttributesImpl<IMFPresentationDescriptor> {
 public:
  explicit PresentationDescriptor(std::vector<ComPtr<IMFStreamDescriptor>> streams,
                                  std::vector<bool> selected)
      : streams_(std::move(streams)), selected_(std::move(selected)) {}

  HRESULT QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid == IID_IUnknown || iid == IID_IMFAttributes || iid == IID_IMFPresentationDescriptor) {
      return ReturnInterface(this, out);
    }
    return E_NOINTERFACE;
  }
  uint32_t AddRef() override { return refs_.AddRef(); }
  uint32_t Release() override { return refs_.Release(this); }

  HRESULT GetStreamDescriptorCount(uint32_t* count) override {
    if (!count) return E_POINTER;
    *count = static_cast<uint32_t>(streams_.size());
    return S_OK;
  }
  HRESULT GetStreamDescriptorByIndex(uint32_t index, bool* selected,
                                     IMFStreamDescriptor** descriptor) override {
    if (!selected || !descriptor) return E_POINTER;
    if (index >= streams_.size()) return E_INVALIDARG;
    std::lock_guard lock(mutex_);
    *selected = selected_[index];
    return streams_[index].CopyTo(descriptor);
  }
  HRESULT SelectStream(uint32_t index) override { return Select(index, true); }
  HRESULT DeselectStream(uint32_t index) override { return Select(index, false); }
  HRESULT Clone(IMFPresentationDescriptor** clone) override {
    if (!clone) return E_POINTER;
    return NoThrow([&] {
      std::vector<bool> selected;
      {
        std::lock_guard lock(mutex_);
        selected = selected_;
      }
      auto copy = MakeCom<PresentationDescriptor>(streams_, std::move(selected));
      if (!copy) return E_OUTOFMEMORY;
      const HRESULT hr = store_.CopyAllItems(copy.Get());
      if (FAILED(hr)) return hr;
      *clone = copy.Detach();
      return S_OK;
    });
  }

 private:
  HRESULT Select(uint32_t index, bool select) {
    if (index >= streams_.size()) return E_INVALIDARG;
    std::lock_guard lock(mutex_);
    selected_[index] = select;
    return S_OK;
  }

  RefCount refs_;
  const std::vector<ComPtr<IMFStreamDescriptor>> streams_;
  std::mutex mutex_;
  std::vector<bool> selected_;  // guarded by mutex_
};

}  // namespace

HRESULT MFCreateStreamDescriptor(uint32_t stream_id, uint32_t count, IMFMediaType** media_types,
                                 IMFStreamDescriptor** descriptor) {
  if (!descriptor || (count > 0 && !media_types)) return E_POINTER;
  if (count == 0) return E_INVALIDARG;
  return NoThrow([&] {
    std::vector<ComPtr<IMFMediaType>> types;
    for (uint32_t i = 0; i < count; ++i) {
      if (!media_types[i]) return E_POINTER;
      types.emplace_back(media_types[i]);
    }
    auto handler = MakeCom<MediaTypeHandler>(std::move(types));
    if (!handler) return E_OUTOFMEMORY;
    auto created = MakeCom<StreamDescriptor>(stream_id, ComPtr<IMFMediaTypeHandler>(handler));
    if (!created) return E_OUTOFMEMORY;
    *descriptor = created.Detach();
    return S_OK;
  });
}

HRESULT MFCreatePresentationDescriptor(uint32_t count, IMFStreamDescriptor** descriptors,
                                       IMFPresentationDescriptor** presentation) {
  if (!presentation || (count > 0 && !descriptors)) return E_POINTER;
  return NoThrow([&] {
    std::vector<ComPtr<IMFStreamDescriptor>> streams;
    for (uint32_t i = 0; i < count; ++i) {
      if (!descriptors[i]) return E_POINTER;
      streams.emplace_back(descriptors[i]);
    }
    auto created = MakeCom<PresentationDescriptor>(std::move(streams), std::vector<bool>(count));
    if (!created) return E_OUTOFMEMORY;
    *presentation = created.Detach();
    return S_OK;
  });
}

}  // namespace vistrel
