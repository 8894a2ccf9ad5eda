#include "platform/mf/media_event.h"

#include <atomic>

#include "platform/mf/attribute_store.h"

namespace vistrel {
namespace {

class MediaEvent final : public AttributesImpl<IMFMediaEvent> {
 public:
  MediaEvent(MediaEventType type, const GUID& extended_type, HRESULT status, PropVariant value)
      : type_(type), extended_type_(extended_type), status_(status), value_(std::move(value)) {}

  HRESULT QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid == IID_IUnknown || iid == IID_IMFAttributes || iid == IID_IMFMediaEvent) {
      return ReturnInterface(this, out);
    }
    return E_NOINTERFACE;
  }
  uint32_t AddRef() override { return refs_.AddRef(); }
  uint32_t Release() override { return refs_.Release(this); }

  HRESULT GetType(MediaEventType* type) override {
    if (!type) return E_POINTER;
    *type = type_;
    return S_OK;
  }
  HRESULT GetExtendedType(GUID* extended_type) override {
    if (!extended_type) return E_POINTER;
    *extended_type = extended_type_;
    return S_OK;
  }
  HRESULT GetStatus(HRESULT* status) override {
    if (!status) return E_POINTER;
    *status = status_;
    return S_OK;
  }
  HRESULT GetValue(PROPVARIANT* value) override {
    if (!value) return E_POINTER;
    return NoThrow([&] {
      *value = value_;
      return S_OK;
    });
  }

 private:
  RefCount refs_;
  const MediaEventType type_;
  const GUID extended_type_;
  const HRESULT status_;
  const PropVariant value_;
};

class AsyncResult final : public IMFAsyncResult {
 public:
  AsyncResult(IUnknown* state, HRESULT status, IUnknown* object)
      : state_(state), status_(status), object_(object) {}

  HRESULT QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid == IID_IUnknown || iid == IID_IMFAsyncResult) return ReturnInterface(this, out);
    return E_NOINTERFACE;
  }
  uint32_t AddRef() override { return refs_.AddRef(); }
  uint32_t Release() override { return refs_.Release(this); }

  HRESULT GetState(IUnknown** state) override {
    if (!state) return E_POINTER;
    if (!state_) {
      *state = nullptr;
      return E_POINTER;
    }
    return state_.CopyTo(state);
  }
  HRESULT GetStatus() override { return status_.load(); }
  HRESULT SetStatus(HRESULT status) override {
    status_.store(status);
    return S_OK;
  }
  HRESULT GetObject(IUnknown** object) override {
    if (!object) return E_POINTER;
    if (!object_) {
      *object = nullptr;
      return E_POINTER;
    }
    return object_.CopyTo(object);
  }
  IUnknown* GetStateNoAddRef() override { return state_.Get(); }

 private:
  RefCount refs_;
  const ComPtr<IUnknown> state_;
  std::atomic<HRESULT> status_;
  const ComPtr<IUnknown> object_;
};

}  // namespace

HRESULT MFCreateMediaEvent(MediaEventType type, REFGUID extended_type, HRESULT status,
                           const PROPVARIANT* value, IMFMediaEvent** event) {
  if (!event) return E_POINTER;
  return NoThrow([&] {
    auto created = MakeCom<MediaEvent>(type, extended_type, status, value ? *value : PropVariant());
    if (!created) return E_OUTOFMEMORY;
    *event = created.Detach();
    return S_OK;
  });
}

HRESULT CreateAsyncResult(IUnknown* state, HRESULT status, IUnknown* object,
                          IMFAsyncResult** result) {
  if (!result) return E_POINTER;
  auto created = MakeCom<AsyncResult>(state, status, object);
  if (!created) return E_OUTOFMEMORY;
  *result = created.Detach();
  return S_OK;
}

}  // namespace vistrel
