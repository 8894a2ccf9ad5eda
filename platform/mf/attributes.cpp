#include <algorithm>
#include <cstring>
#include <limits>
#include <map>

#include "platform/mf/attribute_store.h"

namespace vistrel {
namespace {

bool IsAttributeType(VARTYPE vt) {
  switch (vt) {
    case VT_UI4:
    case VT_UI8:
    case VT_R8:
    case VT_CLSID:
    case VT_LPWSTR:
    case VT_VECTOR_UI1:
    case VT_UNKNOWN:
      return true;
    default:
      return false;
  }
}

// The items of another store, read under its own lock.
std::vector<AttributeStore::Item> ReadAll(IMFAttributes* attributes) {
  std::vector<AttributeStore::Item> items;
  attributes->LockStore();
  uint32_t count = 0;
  if (SUCCEEDED(attributes->GetCount(&count))) {
    for (uint32_t i = 0; i < count; ++i) {
      AttributeStore::Item item;
      if (FAILED(attributes->GetItemByIndex(i, &item.first, &item.second))) break;
      items.push_back(std::move(item));
    }
  }
  attributes->UnlockStore();
  return items;
}

// Every item of `subset` is in `set` with an equal value.
bool Contains(const std::vector<AttributeStore::Item>& set,
              const std::vector<AttributeStore::Item>& subset) {
  std::map<GUID, const PropVariant*> index;
  for (const auto& [key, value] : set) index[key] = &value;
  for (const auto& [key, value] : subset) {
    auto it = index.find(key);
    if (it == index.end() || !(*it->second == value)) return false;
  }
  return true;
}

bool SameOnCommonKeys(const std::vector<AttributeStore::Item>& a,
                      const std::vector<AttributeStore::Item>& b) {
  std::map<GUID, const PropVariant*> index;
  for (const auto& [key, value] : a) index[key] = &value;
  for (const auto& [key, value] : b) {
    auto it = index.find(key);
    if (it != index.end() && !(*it->second == value)) return false;
  }
  return true;
}

uint32_t ClampSize(size_t size) {
  return static_cast<uint32_t>(std::min<size_t>(size, std::numeric_limits<uint32_t>::max()));
}

}  // namespace

std::vector<AttributeStore::Item> AttributeStore::Snapshot() const {
  std::lock_guard lock(mutex_);
  return items_;
}

HRESULT AttributeStore::Find(REFGUID key, VARTYPE type, PropVariant& value) const {
  std::lock_guard lock(mutex_);
  for (const auto& item : items_) {
    if (item.first == key) {
      if (item.second.vt() != type) return MF_E_INVALIDTYPE;
      value = item.second;
      return S_OK;
    }
  }
  return MF_E_ATTRIBUTENOTFOUND;
}

HRESULT AttributeStore::GetItem(REFGUID key, PROPVARIANT* value) const {
  std::lock_guard lock(mutex_);
  for (const auto& item : items_) {
    if (item.first == key) {
      if (value) *value = item.second;
      return S_OK;
    }
  }
  return MF_E_ATTRIBUTENOTFOUND;
}

HRESULT AttributeStore::GetItemType(REFGUID key, MF_ATTRIBUTE_TYPE* type) const {
  if (!type) return E_POINTER;
  PropVariant value;
  const HRESULT hr = GetItem(key, &value);
  if (SUCCEEDED(hr)) *type = static_cast<MF_ATTRIBUTE_TYPE>(value.vt());
  return hr;
}

HRESULT AttributeStore::CompareItem(REFGUID key, REFPROPVARIANT value, bool* result) const {
  if (!result) return E_POINTER;
  PropVariant mine;
  *result = SUCCEEDED(GetItem(key, &mine)) && mine == value;
  return S_OK;
}

HRESULT AttributeStore::Compare(IMFAttributes* theirs, MF_ATTRIBUTES_MATCH_TYPE match_type,
                                bool* result) const {
  if (!theirs || !result) return E_POINTER;
  *result = false;
  // Ours first and released, so that comparing a store with itself cannot
  // hold one lock while waiting for the other.
  const auto ours = Snapshot();
  const auto other = ReadAll(theirs);
  switch (match_type) {
    case MF_ATTRIBUTES_MATCH_OUR_ITEMS:
      *result = Contains(other, ours);
      return S_OK;
    case MF_ATTRIBUTES_MATCH_THEIR_ITEMS:
      *result = Contains(ours, other);
      return S_OK;
    case MF_ATTRIBUTES_MATCH_ALL_ITEMS:
      *result = ours.size() == other.size() && Contains(other, ours);
      return S_OK;
    case MF_ATTRIBUTES_MATCH_INTERSECTION:
      *result = SameOnCommonKeys(ours, other);
      return S_OK;
    case MF_ATTRIBUTES_MATCH_SMALLER:
      *result = ours.size() <= other.size() ? Contains(other, ours) : Contains(ours, other);
      return S_OK;
  }
  return E_INVALIDARG;
}

HRESULT AttributeStore::GetUINT32(REFGUID key, uint32_t* value) const {
  if (!value) return E_POINTER;
  PropVariant v;
  const HRESULT hr = Find(key, VT_UI4, v);
  if (SUCCEEDED(hr)) *value = v.ulVal();
  return hr;
}

HRESULT AttributeStore::GetUINT64(REFGUID key, uint64_t* value) const {
  if (!value) return E_POINTER;
  PropVariant v;
  const HRESULT hr = Find(key, VT_UI8, v);
  if (SUCCEEDED(hr)) *value = v.uhVal();
  return hr;
}

HRESULT AttributeStore::GetDouble(REFGUID key, double* value) const {
  if (!value) return E_POINTER;
  PropVariant v;
  const HRESULT hr = Find(key, VT_R8, v);
  if (SUCCEEDED(hr)) *value = v.dblVal();
  return hr;
}

HRESULT AttributeStore::GetGUID(REFGUID key, GUID* value) const {
  if (!value) return E_POINTER;
  PropVariant v;
  const HRESULT hr = Find(key, VT_CLSID, v);
  if (SUCCEEDED(hr)) *value = v.puuid();
  return hr;
}

HRESULT AttributeStore::GetStringLength(REFGUID key, uint32_t* length) const {
  if (!length) return E_POINTER;
  PropVariant v;
  const HRESULT hr = Find(key, VT_LPWSTR, v);
  if (SUCCEEDED(hr)) *length = ClampSize(v.pwszVal().size());
  return hr;
}

HRESULT AttributeStore::GetString(REFGUID key, char* buffer, uint32_t size,
                                  uint32_t* length) const {
  if (!buffer) return E_POINTER;
  PropVariant v;
  const HRESULT hr = Find(key, VT_LPWSTR, v);
  if (FAILED(hr)) return hr;
  const std::string& text = v.pwszVal();
  if (text.size() >= size) return MF_E_BUFFERTOOSMALL;
  std::memcpy(buffer, text.data(), text.size());
  buffer[text.size()] = '\0';
  if (length) *length = ClampSize(text.size());
  return S_OK;
}

HRESULT AttributeStore::GetAllocatedString(REFGUID key, char** value, uint32_t* length) const {
  if (!value) return E_POINTER;
  *value = nullptr;
  PropVariant v;
  const HRESULT hr = Find(key, VT_LPWSTR, v);
  if (FAILED(hr)) return hr;
  const std::string& text = v.pwszVal();
  auto* copy = static_cast<char*>(CoTaskMemAlloc(text.size() + 1));
  if (!copy) return E_OUTOFMEMORY;
  std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  *value = copy;
  if (length) *length = ClampSize(text.size());
  return S_OK;
}

HRESULT AttributeStore::GetBlobSize(REFGUID key, uint32_t* size) const {
  if (!size) return E_POINTER;
  PropVariant v;
  const HRESULT hr = Find(key, VT_VECTOR_UI1, v);
  if (SUCCEEDED(hr)) *size = ClampSize(v.blob().size());
  return hr;
}

HRESULT AttributeStore::GetBlob(REFGUID key, uint8_t* buffer, uint32_t size,
                                uint32_t* blob_size) const {
  if (!buffer && size > 0) return E_POINTER;
  PropVariant v;
  const HRESULT hr = Find(key, VT_VECTOR_UI1, v);
  if (FAILED(hr)) return hr;
  const auto& blob = v.blob();
  if (blob.size() > size) return MF_E_BUFFERTOOSMALL;
  if (!blob.empty()) std::memcpy(buffer, blob.data(), blob.size());
  if (blob_size) *blob_size = ClampSize(blob.size());
  return S_OK;
}

HRESULT AttributeStore::GetAllocatedBlob(REFGUID key, uint8_t** buffer, uint32_t* size) const {
  if (!buffer || !size) return E_POINTER;
  *buffer = nullptr;
  *size = 0;
  PropVariant v;
  const HRESULT hr = Find(key, VT_VECTOR_UI1, v);
  if (FAILED(hr)) return hr;
  const auto& blob = v.blob();
  auto* copy = static_cast<uint8_t*>(CoTaskMemAlloc(blob.size()));
  if (!copy) return E_OUTOFMEMORY;
  if (!blob.empty()) std::memcpy(copy, blob.data(), blob.size());
  *buffer = copy;
  *size = ClampSize(blob.size());
  return S_OK;
}

HRESULT AttributeStore::GetUnknown(REFGUID key, REFIID iid, void** out) const {
  if (!out) return E_POINTER;
  *out = nullptr;
  PropVariant v;
  const HRESULT hr = Find(key, VT_UNKNOWN, v);
  if (FAILED(hr)) return hr;
  if (!v.punkVal()) return E_NOINTERFACE;
  return v.punkVal()->QueryInterface(iid, out);
}

HRESULT AttributeStore::SetItem(REFGUID key, REFPROPVARIANT value) {
  if (!IsAttributeType(value.vt())) return MF_E_INVALIDTYPE;
  std::lock_guard lock(mutex_);
  for (auto& item : items_) {
    if (item.first == key) {
      item.second = value;
      return S_OK;
    }
  }
  items_.emplace_back(key, value);
  return S_OK;
}

HRESULT AttributeStore::DeleteItem(REFGUID key) {
  std::lock_guard lock(mutex_);
  std::erase_if(items_, [&](const Item& item) { return item.first == key; });
  return S_OK;
}

HRESULT AttributeStore::DeleteAllItems() {
  std::lock_guard lock(mutex_);
  items_.clear();
  return S_OK;
}

HRESULT AttributeStore::LockStore() {
  mutex_.lock();
  return S_OK;
}

HRESULT AttributeStore::UnlockStore() {
  mutex_.unlock();
  return S_OK;
}

HRESULT AttributeStore::GetCount(uint32_t* count) const {
  if (!count) return E_POINTER;
  std::lock_guard lock(mutex_);
  *count = ClampSize(items_.size());
  return S_OK;
}

HRESULT AttributeStore::GetItemByIndex(uint32_t index, GUID* key, PROPVARIANT* value) const {
  if (!key) return E_POINTER;
  std::lock_guard lock(mutex_);
  if (index >= items_.size()) return E_INVALIDARG;
  *key = items_[index].first;
  if (value) *value = items_[index].second;
  return S_OK;
}

HRESULT AttributeStore::CopyAllItems(IMFAttributes* destination) const {
  if (!destination) return E_POINTER;
  const auto items = Snapshot();
  destination->LockStore();
  HRESULT hr = destination->DeleteAllItems();
  for (const auto& [key, value] : items) {
    if (FAILED(hr)) break;
    hr = destination->SetItem(key, value);
  }
  destination->UnlockStore();
  return hr;
}

namespace {

class Attributes final : public AttributesImpl<IMFAttributes> {
 public:
  HRESULT QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid == IID_IUnknown || iid == IID_IMFAttributes) return ReturnInterface(this, out);
    return E_NOINTERFACE;
  }
  uint32_t AddRef() override { return refs_.AddRef(); }
  uint32_t Release() override { return refs_.Release(this); }

 private:
  RefCount refs_;
};

class MediaType final : public AttributesImpl<IMFMediaType> {
 public:
  HRESULT QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid == IID_IUnknown || iid == IID_IMFAttributes || iid == IID_IMFMediaType) {
      return ReturnInterface(this, out);
    }
    return E_NOINTERFACE;
  }
  uint32_t AddRef() override { return refs_.AddRef(); }
  uint32_t Release() override { return refs_.Release(this); }

  HRESULT GetMajorType(GUID* major_type) override {
    if (!major_type) return E_POINTER;
    return store_.GetGUID(MF_MT_MAJOR_TYPE, major_type);
  }
  HRESULT IsCompressedFormat(bool* compressed) override {
    if (!compressed) return E_POINTER;
    // Only uncompressed video is described here.
    *compressed = false;
    return S_OK;
  }
  HRESULT IsEqual(IMFMediaType* other, uint32_t* flags) override {
    if (!other || !flags) return E_POINTER;
    *flags = 0;
    GUID mine{}, theirs{};
    if (SUCCEEDED(GetMajorType(&mine)) && SUCCEEDED(other->GetMajorType(&theirs)) &&
        mine == theirs) {
      *flags |= MF_MEDIATYPE_EQUAL_MAJOR_TYPES;
    }
    GUID my_sub{}, their_sub{};
    if (SUCCEEDED(store_.GetGUID(MF_MT_SUBTYPE, &my_sub)) &&
        SUCCEEDED(other->GetGUID(MF_MT_SUBTYPE, &their_sub)) && my_sub == their_sub) {
      *flags |= MF_MEDIATYPE_EQUAL_FORMAT_TYPES;
    }
    bool same = false;
    // Through the guarded method: comparing copies the items.
    if (SUCCEEDED(Compare(other, MF_ATTRIBUTES_MATCH_ALL_ITEMS, &same)) && same) {
      *flags |= MF_MEDIATYPE_EQUAL_FORMAT_DATA | MF_MEDIATYPE_EQUAL_FORMAT_USER_DATA;
    }
    constexpr uint32_t kAll = MF_MEDIATYPE_EQUAL_MAJOR_TYPES | MF_MEDIATYPE_EQUAL_FORMAT_TYPES |
                              MF_MEDIATYPE_EQUAL_FORMAT_DATA | MF_MEDIATYPE_EQUAL_FORMAT_USER_DATA;
    return *flags == kAll ? S_OK : S_FALSE;
  }

 private:
  RefCount refs_;
};

}  // namespace

HRESULT MFCreateAttributes(IMFAttributes** attributes, uint32_t /*initial_size*/) {
  if (!attributes) return E_POINTER;
  auto created = MakeCom<Attributes>();
  if (!created) return E_OUTOFMEMORY;
  *attributes = created.Detach();
  return S_OK;
}

HRESULT MFCreateMediaType(IMFMediaType** media_type) {
  if (!media_type) return E_POINTER;
  auto created = MakeCom<MediaType>();
  if (!created) return E_OUTOFMEMORY;
  *media_type = created.Detach();
  return S_OK;
}

}  // namespace vistrel
