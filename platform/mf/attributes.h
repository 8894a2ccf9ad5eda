// IMFAttributes: the thirty operations of the attribute store in the
// platform's slot order, over PropVariant; IMFMediaType, which is one.
// The stores made here are free-threaded: every operation takes the store's
// lock, and LockStore/UnlockStore hold it across several.
#pragma once

#include <cstdint>

#include "platform/mf/propvariant.h"
#include "platform/mf/unknown.h"

namespace vistrel {

// The platform's MF_ATTRIBUTE_TYPE numbers (the VARTYPE of the value).
enum MF_ATTRIBUTE_TYPE : uint16_t {
  MF_ATTRIBUTE_UINT32 = VT_UI4,
  MF_ATTRIBUTE_UINT64 = VT_UI8,
  MF_ATTRIBUTE_DOUBLE = VT_R8,
  MF_ATTRIBUTE_GUID = VT_CLSID,
  MF_ATTRIBUTE_STRING = VT_LPWSTR,
  MF_ATTRIBUTE_BLOB = VT_VECTOR_UI1,
  MF_ATTRIBUTE_IUNKNOWN = VT_UNKNOWN,
};

enum MF_ATTRIBUTES_MATCH_TYPE {
  MF_ATTRIBUTES_MATCH_OUR_ITEMS = 0,
  MF_ATTRIBUTES_MATCH_THEIR_ITEMS = 1,
  MF_ATTRIBUTES_MATCH_ALL_ITEMS = 2,
  MF_ATTRIBUTES_MATCH_INTERSECTION = 3,
  MF_ATTRIBUTES_MATCH_SMALLER = 4,
};

class IMFAttributes : public IUnknown {
 public:
  static constexpr const GUID& kIid = IID_IMFAttributes;

  // Only the types above can be stored; others give MF_E_INVALIDTYPE. Getters
  // of a missing key give MF_E_ATTRIBUTENOTFOUND, of another type
  // MF_E_INVALIDTYPE. Strings are UTF-8 and lengths count bytes without the
  // terminating zero.
  virtual HRESULT GetItem(REFGUID key, PROPVARIANT* value) = 0;
  virtual HRESULT GetItemType(REFGUID key, MF_ATTRIBUTE_TYPE* type) = 0;
  virtual HRESULT CompareItem(REFGUID key, REFPROPVARIANT value, bool* result) = 0;
  virtual HRESULT Compare(IMFAttributes* theirs, MF_ATTRIBUTES_MATCH_TYPE match_type,
                          bool* result) = 0;
  virtual HRESULT GetUINT32(REFGUID key, uint32_t* value) = 0;
  virtual HRESULT GetUINT64(REFGUID key, uint64_t* value) = 0;
  virtual HRESULT GetDouble(REFGUID key, double* value) = 0;
  virtual HRESULT GetGUID(REFGUID key, GUID* value) = 0;
  virtual HRESULT GetStringLength(REFGUID key, uint32_t* length) = 0;
  // `size` counts the buffer including room for the zero (MF_E_BUFFERTOOSMALL
  // when it is short); `length` (optional) receives the string's length.
  virtual HRESULT GetString(REFGUID key, char* buffer, uint32_t size, uint32_t* length) = 0;
  // A zero-terminated copy from CoTaskMemAlloc; the caller frees it.
  virtual HRESULT GetAllocatedString(REFGUID key, char** value, uint32_t* length) = 0;
  virtual HRESULT GetBlobSize(REFGUID key, uint32_t* size) = 0;
  virtual HRESULT GetBlob(REFGUID key, uint8_t* buffer, uint32_t size, uint32_t* blob_size) = 0;
  virtual HRESULT GetAllocatedBlob(REFGUID key, uint8_t** buffer, uint32_t* size) = 0;
  virtual HRESULT GetUnknown(REFGUID key, REFIID iid, void** out) = 0;
  virtual HRESULT SetItem(REFGUID key, REFPROPVARIANT value) = 0;
  virtual HRESULT DeleteItem(REFGUID key) = 0;
  virtual HRESULT DeleteAllItems() = 0;
  virtual HRESULT SetUINT32(REFGUID key, uint32_t value) = 0;
  virtual HRESULT SetUINT64(REFGUID key, uint64_t value) = 0;
  virtual HRESULT SetDouble(REFGUID key, double value) = 0;
  virtual HRESULT SetGUID(REFGUID key, REFGUID value) = 0;
  virtual HRESULT SetString(REFGUID key, const char* value) = 0;
  virtual HRESULT SetBlob(REFGUID key, const uint8_t* buffer, uint32_t size) = 0;
  virtual HRESULT SetUnknown(REFGUID key, IUnknown* value) = 0;
  virtual HRESULT LockStore() = 0;
  virtual HRESULT UnlockStore() = 0;
  virtual HRESULT GetCount(uint32_t* count) = 0;
  virtual HRESULT GetItemByIndex(uint32_t index, GUID* key, PROPVARIANT* value) = 0;
  // Replaces everything in `destination` with copies of these items.
  virtual HRESULT CopyAllItems(IMFAttributes* destination) = 0;
};

// Creates an empty store; `initial_size` is a hint.
HRESULT MFCreateAttributes(IMFAttributes** attributes, uint32_t initial_size);

// Attribute helpers of the platform's headers: two 32-bit halves in one UINT64.
inline HRESULT MFSetAttributeSize(IMFAttributes* a, REFGUID key, uint32_t width, uint32_t height) {
  return a->SetUINT64(key, (static_cast<uint64_t>(width) << 32) | height);
}
inline HRESULT MFSetAttributeRatio(IMFAttributes* a, REFGUID key, uint32_t numerator,
                                   uint32_t denominator) {
  return MFSetAttributeSize(a, key, numerator, denominator);
}
inline HRESULT MFGetAttributeSize(IMFAttributes* a, REFGUID key, uint32_t* width,
                                  uint32_t* height) {
  uint64_t value = 0;
  const HRESULT hr = a->GetUINT64(key, &value);
  if (SUCCEEDED(hr)) {
    *width = static_cast<uint32_t>(value >> 32);
    *height = static_cast<uint32_t>(value);
  }
  return hr;
}

enum MFVideoInterlaceMode { MFVideoInterlace_Progressive = 2 };

// IsEqual flags.
constexpr uint32_t MF_MEDIATYPE_EQUAL_MAJOR_TYPES = 0x1;
constexpr uint32_t MF_MEDIATYPE_EQUAL_FORMAT_TYPES = 0x2;
constexpr uint32_t MF_MEDIATYPE_EQUAL_FORMAT_DATA = 0x4;
constexpr uint32_t MF_MEDIATYPE_EQUAL_FORMAT_USER_DATA = 0x8;

class IMFMediaType : public IMFAttributes {
 public:
  static constexpr const GUID& kIid = IID_IMFMediaType;

  virtual HRESULT GetMajorType(GUID* major_type) = 0;
  virtual HRESULT IsCompressedFormat(bool* compressed) = 0;
  // S_OK when equal; S_FALSE with the flags of what matches otherwise.
  virtual HRESULT IsEqual(IMFMediaType* other, uint32_t* flags) = 0;
};

HRESULT MFCreateMediaType(IMFMediaType** media_type);

}  // namespace vistrel
