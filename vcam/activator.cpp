#include "vcam/activator.h"

#include <cstdlib>

#include "vcam/camera_log.h"
#include "vcam/media_source.h"

namespace vistrel {

ComPtr<Activator> Activator::Create() {
  ComPtr<IMFAttributes> attributes;
  if (FAILED(MFCreateAttributes(attributes.GetAddressOf(), 1))) std::abort();
  attributes->SetGUID(MFT_TRANSFORM_CLSID_Attribute, CLSID_VistrelVirtualCamera);
  return MakeCom<Activator>(std::move(attributes));
}

Activator::~Activator() = default;

HRESULT Activator::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (iid == IID_IUnknown || iid == IID_IMFActivate || iid == IID_IMFAttributes) {
    return ReturnInterface(this, out);
  }
  return E_NOINTERFACE;
}

HRESULT Activator::GetItem(REFGUID key, PROPVARIANT* value) {
  return attributes_->GetItem(key, value);
}
HRESULT Activator::GetItemType(REFGUID key, MF_ATTRIBUTE_TYPE* type) {
  return attributes_->GetItemType(key, type);
}
HRESULT Activator::CompareItem(REFGUID key, REFPROPVARIANT value, bool* result) {
  return attributes_->CompareItem(key, value, result);
}
HRESULT Activator::Compare(IMFAttributes* theirs, MF_ATTRIBUTES_MATCH_TYPE match_type,
                           bool* result) {
  return attributes_->Compare(theirs, match_type, result);
}
HRESULT Activator::GetUINT32(REFGUID key, uint32_t* value) {
  return attributes_->GetUINT32(key, value);
}
HRESULT Activator::GetUINT64(REFGUID key, uint64_t* value) {
  return attributes_->GetUINT64(key, value);
}
HRESULT Activator::GetDouble(REFGUID key, double* value) {
  return attributes_->GetDouble(key, value);
}
HRESULT Activator::GetGUID(REFGUID key, GUID* value) { return attributes_->GetGUID(key, value); }
HRESULT Activator::GetStringLength(REFGUID key, uint32_t* length) {
  return attributes_->GetStringLength(key, length);
}
HRESULT Activator::GetString(REFGUID key, char* buffer, uint32_t size, uint32_t* length) {
  return attributes_->GetString(key, buffer, size, length);
}
HRESULT Activator::GetAllocatedString(REFGUID key, char** value, uint32_t* length) {
  return attributes_->GetAllocatedString(key, value, length);
}
HRESULT Activator::GetBlobSize(REFGUID key, uint32_t* size) {
  return attributes_->GetBlobSize(key, size);
}
HRESULT Activator::GetBlob(REFGUID key, uint8_t* buffer, uint32_t size, uint32_t* blob_size) {
  return attributes_->GetBlob(key, buffer, size, blob_size);
}
HRESULT Activator::GetAllocatedBlob(REFGUID key, uint8_t** buffer, uint32_t* size) {
  return attributes_->GetAllocatedBlob(key, buffer, size);
}
HRESULT Activator::GetUnknown(REFGUID key, REFIID iid, void** out) {
  return attributes_->GetUnknown(key, iid, out);
}
HRESULT Activator::SetItem(REFGUID key, REFPROPVARIANT value) {
  return attributes_->SetItem(key, value);
}
HRESULT Activator::DeleteItem(REFGUID key) { return attributes_->DeleteItem(key); }
HRESULT Activator::DeleteAllItems() { return attributes_->DeleteAllItems(); }
HRESULT Activator::SetUINT32(REFGUID key, uint32_t value) {
  return attributes_->SetUINT32(key, value);
}
HRESULT Activator::SetUINT64(REFGUID key, uint64_t value) {
  return attributes_->SetUINT64(key, value);
}
HRESULT Activator::SetDouble(REFGUID key, double value) {
  return attributes_->SetDouble(key, value);
}
HRESULT Activator::SetGUID(REFGUID key, REFGUID value) { return attributes_->SetGUID(key, value); }
HRESULT Activator::SetString(REFGUID key, const char* value) {
  return attributes_->SetString(key, value);
}
HRESULT Activator::SetBlob(REFGUID key, const uint8_t* buffer, uint32_t size) {
  return attributes_->SetBlob(key, buffer, size);
}
HRESULT Activator::SetUnknown(REFGUID key, IUnknown* value) {
  return attributes_->SetUnknown(key, value);
}
HRESULT Activator::LockStore() { return attributes_->LockStore(); }
HRESULT Activator::UnlockStore() { return attributes_->UnlockStore(); }
HRESULT Activator::GetCount(uint32_t* count) { return attributes_->GetCount(count); }
HRESULT Activator::GetItemByIndex(uint32_t index, GUID* key, PROPVARIANT* value) {
  return attributes_->GetItemByIndex(index, key, value);
}
HRESULT Activator::CopyAllItems(IMFAttributes* destination) {
  return attributes_->CopyAllItems(destination);
}

HRESULT Activator::ActivateObject(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  std::lock_guard lock(mutex_);
  // The same source for every activation until it is shut down or detached.
  if (source_) return source_->QueryInterface(iid, out);
  auto source = MediaSource::Create();
  if (!source) return E_OUTOFMEMORY;
  const HRESULT hr = NoThrow([&] { return source->Initialize(attributes_.Get()); });
  if (FAILED(hr)) {
    CameraLog("Activator: source initialization failed 0x%08X", static_cast<unsigned>(hr));
    return hr;
  }
  source_ = std::move(source);
  return source_->QueryInterface(iid, out);
}

HRESULT Activator::ShutdownObject() {
  std::lock_guard lock(mutex_);
  if (source_) {
    source_->Shutdown();
    source_.Reset();
  }
  return S_OK;
}

HRESULT Activator::DetachObject() {
  std::lock_guard lock(mutex_);
  source_.Reset();
  return S_OK;
}

}  // namespace vistrel
