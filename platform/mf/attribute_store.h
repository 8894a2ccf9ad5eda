// The free-threaded attribute store behind every object of this model that is
// an IMFAttributes, and the template that puts the thirty methods on such an
// object. Internal to platform/mf.
#pragma once

#include <mutex>
#include <utility>
#include <vector>

#include "platform/mf/attributes.h"

namespace vistrel {

class AttributeStore {
 public:
  using Item = std::pair<GUID, PropVariant>;

  // The items in the order they were first set.
  std::vector<Item> Snapshot() const;

  HRESULT GetItem(REFGUID key, PROPVARIANT* value) const;
  HRESULT GetItemType(REFGUID key, MF_ATTRIBUTE_TYPE* type) const;
  HRESULT CompareItem(REFGUID key, REFPROPVARIANT value, bool* result) const;
  HRESULT Compare(IMFAttributes* theirs, MF_ATTRIBUTES_MATCH_TYPE match_type, bool* result) const;
  HRESULT GetUINT32(REFGUID key, uint32_t* value) const;
  HRESULT GetUINT64(REFGUID key, uint64_t* value) const;
  HRESULT GetDouble(REFGUID key, double* value) const;
  HRESULT GetGUID(REFGUID key, GUID* value) const;
  HRESULT GetStringLength(REFGUID key, uint32_t* length) const;
  HRESULT GetString(REFGUID key, char* buffer, uint32_t size, uint32_t* length) const;
  HRESULT GetAllocatedString(REFGUID key, char** value, uint32_t* length) const;
  HRESULT GetBlobSize(REFGUID key, uint32_t* size) const;
  HRESULT GetBlob(REFGUID key, uint8_t* buffer, uint32_t size, uint32_t* blob_size) const;
  HRESULT GetAllocatedBlob(REFGUID key, uint8_t** buffer, uint32_t* size) const;
  HRESULT GetUnknown(REFGUID key, REFIID iid, void** out) const;
  HRESULT SetItem(REFGUID key, REFPROPVARIANT value);
  HRESULT DeleteItem(REFGUID key);
  HRESULT DeleteAllItems();
  HRESULT LockStore();
  HRESULT UnlockStore();
  HRESULT GetCount(uint32_t* count) const;
  HRESULT GetItemByIndex(uint32_t index, GUID* key, PROPVARIANT* value) const;
  HRESULT CopyAllItems(IMFAttributes* destination) const;

 private:
  // A copy of the value of `key` with the given type; the HRESULT says why not.
  HRESULT Find(REFGUID key, VARTYPE type, PropVariant& value) const;

  // Recursive: LockStore holds it across calls of the same thread.
  mutable std::recursive_mutex mutex_;
  std::vector<Item> items_;  // guarded by mutex_
};

// Implements the IMFAttributes part of `Interface` over an AttributeStore. The
// store's items are copied and grown, so every method runs under NoThrow.
template <typename Interface>
class AttributesImpl : public Interface {
 public:
  HRESULT GetItem(REFGUID key, PROPVARIANT* value) override {
    return NoThrow([&] { return store_.GetItem(key, value); });
  }
  HRESULT GetItemType(REFGUID key, MF_ATTRIBUTE_TYPE* type) override {
    return NoThrow([&] { return store_.GetItemType(key, type); });
  }
  HRESULT CompareItem(REFGUID key, REFPROPVARIANT value, bool* result) override {
    return NoThrow([&] { return store_.CompareItem(key, value, result); });
  }
  HRESULT Compare(IMFAttributes* theirs, MF_ATTRIBUTES_MATCH_TYPE match_type,
                  bool* result) override {
    return NoThrow([&] { return store_.Compare(theirs, match_type, result); });
  }
  HRESULT GetUINT32(REFGUID key, uint32_t* value) override {
    return NoThrow([&] { return store_.GetUINT32(key, value); });
  }
  HRESULT GetUINT64(REFGUID key, uint64_t* value) override {
    return NoThrow([&] { return store_.GetUINT64(key, value); });
  }
  HRESULT GetDouble(REFGUID key, double* value) override {
    return NoThrow([&] { return store_.GetDouble(key, value); });
  }
  HRESULT GetGUID(REFGUID key, GUID* value) override {
    return NoThrow([&] { return store_.GetGUID(key, value); });
  }
  HRESULT GetStringLength(REFGUID key, uint32_t* length) override {
    return NoThrow([&] { return store_.GetStringLength(key, length); });
  }
  HRESULT GetString(REFGUID key, char* buffer, uint32_t size, uint32_t* length) override {
    return NoThrow([&] { return store_.GetString(key, buffer, size, length); });
  }
  HRESULT GetAllocatedString(REFGUID key, char** value, uint32_t* length) override {
    return NoThrow([&] { return store_.GetAllocatedString(key, value, length); });
  }
  HRESULT GetBlobSize(REFGUID key, uint32_t* size) override {
    return NoThrow([&] { return store_.GetBlobSize(key, size); });
  }
  HRESULT GetBlob(REFGUID key, uint8_t* buffer, uint32_t size, uint32_t* blob_size) override {
    return NoThrow([&] { return store_.GetBlob(key, buffer, size, blob_size); });
  }
  HRESULT GetAllocatedBlob(REFGUID key, uint8_t** buffer, uint32_t* size) override {
    return NoThrow([&] { return store_.GetAllocatedBlob(key, buffer, size); });
  }
  HRESULT GetUnknown(REFGUID key, REFIID iid, void** out) override {
    return NoThrow([&] { return store_.GetUnknown(key, iid, out); });
  }
  HRESULT SetItem(REFGUID key, REFPROPVARIANT value) override {
    return NoThrow([&] { return store_.SetItem(key, value); });
  }
  HRESULT DeleteItem(REFGUID key) override {
    return NoThrow([&] { return store_.DeleteItem(key); });
  }
  HRESULT DeleteAllItems() override {
    return NoThrow([&] { return store_.DeleteAllItems(); });
  }
  HRESULT SetUINT32(REFGUID key, uint32_t value) override {
    return NoThrow([&] { return store_.SetItem(key, PropVariant::FromUInt32(value)); });
  }
  HRESULT SetUINT64(REFGUID key, uint64_t value) override {
    return NoThrow([&] { return store_.SetItem(key, PropVariant::FromUInt64(value)); });
  }
  HRESULT SetDouble(REFGUID key, double value) override {
    return NoThrow([&] { return store_.SetItem(key, PropVariant::FromDouble(value)); });
  }
  HRESULT SetGUID(REFGUID key, REFGUID value) override {
    return NoThrow([&] { return store_.SetItem(key, PropVariant::FromGuid(value)); });
  }
  HRESULT SetString(REFGUID key, const char* value) override {
    if (!value) return E_POINTER;
    return NoThrow([&] { return store_.SetItem(key, PropVariant::FromString(value)); });
  }
  HRESULT SetBlob(REFGUID key, const uint8_t* buffer, uint32_t size) override {
    if (!buffer && size > 0) return E_POINTER;
    return NoThrow([&] {
      return store_.SetItem(key,
                            PropVariant::FromBlob(std::vector<uint8_t>(buffer, buffer + size)));
    });
  }
  HRESULT SetUnknown(REFGUID key, IUnknown* value) override {
    return NoThrow([&] { return store_.SetItem(key, PropVariant::FromUnknown(value)); });
  }
  HRESULT LockStore() override {
    return NoThrow([&] { return store_.LockStore(); });
  }
  HRESULT UnlockStore() override {
    return NoThrow([&] { return store_.UnlockStore(); });
  }
  HRESULT GetCount(uint32_t* count) override {
    return NoThrow([&] { return store_.GetCount(count); });
  }
  HRESULT GetItemByIndex(uint32_t index, GUID* key, PROPVARIANT* value) override {
    return NoThrow([&] { return store_.GetItemByIndex(index, key, value); });
  }
  HRESULT CopyAllItems(IMFAttributes* destination) override {
    return NoThrow([&] { return store_.CopyAllItems(destination); });
  }

 protected:
  AttributeStore store_;
};

}  // namespace vistrel
