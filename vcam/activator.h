// The activation object of the virtual camera: an attribute store that the
// frame server fills, and ActivateObject, which creates and initialises the
// media source from those attributes. Any thread.
#pragma once

#include <mutex>

#include "platform/mf/source.h"
#include "vcam/media_source.h"
#include "vcam/module.h"

namespace vistrel {


class Activator final : public IMFActivate {
 public:
  // The store holds MFT_TRANSFORM_CLSID_Attribute = the camera's class from the
  // start. When the store cannot be made the process ends (std::abort): there
  // is no half-built activator. Null only when the object itself cannot be
  // allocated.
  static ComPtr<Activator> Create();

  HRESULT QueryInterface(REFIID iid, void** out) override;
  uint32_t AddRef() override { return refs_.AddRef(); }
  uint32_t Release() override { return refs_.Release(this); }

  // IMFAttributes: each passes its arguments to the store unchanged.
  HRESULT GetItem(REFGUID key, PROPVARIANT* value) override;
  HRESULT GetItemType(REFGUID key, MF_ATTRIBUTE_TYPE* type) override;
  HRESULT CompareItem(REFGUID key, REFPROPVARIANT value, bool* result) override;
  HRESULT Compare(IMFAttributes* theirs, MF_ATTRIBUTES_MATCH_TYPE match_type,
                  bool* result) override;
  HRESULT GetUINT32(REFGUID key, uint32_t* value) override;
  HRESULT GetUINT64(REFGUID key, uint64_t* value) override;
  HRESULT GetDouble(REFGUID key, double* value) override;
  HRESULT GetGUID(REFGUID key, GUID* value) override;
  HRESULT GetStringLength(REFGUID key, uint32_t* length) override;
  HRESULT GetString(REFGUID key, char* buffer, uint32_t size, uint32_t* length) override;
  HRESULT GetAllocatedString(REFGUID key, char** value, uint32_t* length) override;
  HRESULT GetBlobSize(REFGUID key, uint32_t* size) override;
  HRESULT GetBlob(REFGUID key, uint8_t* buffer, uint32_t size, uint32_t* blob_size) override;
  HRESULT GetAllocatedBlob(REFGUID key, uint8_t** buffer, uint32_t* size) override;
  HRESULT GetUnknown(REFGUID key, REFIID iid, void** out) override;
  HRESULT SetItem(REFGUID key, REFPROPVARIANT value) override;
  HRESULT DeleteItem(REFGUID key) override;
  HRESULT DeleteAllItems() override;
  HRESULT SetUINT32(REFGUID key, uint32_t value) override;
  HRESULT SetUINT64(REFGUID key, uint64_t value) override;
  HRESULT SetDouble(REFGUID key, double value) override;
  HRESULT SetGUID(REFGUID key, REFGUID value) override;
  HRESULT SetString(REFGUID key, const char* value) override;
  HRESULT SetBlob(REFGUID key, const uint8_t* buffer, uint32_t size) override;
  HRESULT SetUnknown(REFGUID key, IUnknown* value) override;
  HRESULT LockStore() override;
  HRESULT UnlockStore() override;
  HRESULT GetCount(uint32_t* count) override;
  HRESULT GetItemByIndex(uint32_t index, GUID* key, PROPVARIANT* value) override;
  HRESULT CopyAllItems(IMFAttributes* destination) override;

  // IMFActivate.
  HRESULT ActivateObject(REFIID iid, void** out) override;
  HRESULT ShutdownObject() override;
  HRESULT DetachObject() override;

 private:
  template <typename T, typename... Args>
  friend ComPtr<T> MakeCom(Args&&... args);
  explicit Activator(ComPtr<IMFAttributes> attributes) : attributes_(std::move(attributes)) {}
  ~Activator() override;

  RefCount refs_;
  friend class RefCount;
  ModuleReference module_;
  const ComPtr<IMFAttributes> attributes_;
  std::mutex mutex_;
  ComPtr<MediaSource> source_;  // guarded by mutex_
};

}  // namespace vistrel
