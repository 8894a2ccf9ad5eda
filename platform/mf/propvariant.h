// PROPVARIANT reduced to a tagged value: the kinds an attribute or an event
// can carry. Copying a value copies its string or blob and adds a reference to
// its object.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "platform/mf/guid.h"
#include "platform/mf/unknown.h"

namespace vistrel {

// The platform's VARTYPE numbers for the kinds kept here.
enum VARTYPE : uint16_t {
  VT_EMPTY = 0,
  VT_R8 = 5,
  VT_UNKNOWN = 13,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_LPWSTR = 31,  // a UTF-8 string here
  VT_CLSID = 72,
  VT_VECTOR_UI1 = 0x1011,  // a blob (VT_VECTOR | VT_UI1)
};

class PropVariant {
 public:
  PropVariant() = default;

  static PropVariant FromUInt32(uint32_t value) { return PropVariant(VT_UI4, value); }
  static PropVariant FromUInt64(uint64_t value) { return PropVariant(VT_UI8, value); }
  static PropVariant FromInt64(int64_t value) { return PropVariant(VT_I8, value); }
  static PropVariant FromDouble(double value) { return PropVariant(VT_R8, value); }
  static PropVariant FromGuid(const GUID& value) { return PropVariant(VT_CLSID, value); }
  static PropVariant FromString(std::string value) { return PropVariant(VT_LPWSTR, std::move(value)); }
  static PropVariant FromBlob(std::vector<uint8_t> value) {
    return PropVariant(VT_VECTOR_UI1, std::move(value));
  }
  static PropVariant FromUnknown(IUnknown* value) {
    return PropVariant(VT_UNKNOWN, ComPtr<IUnknown>(value));
  }

  VARTYPE vt() const { return vt_; }
  bool empty() const { return vt_ == VT_EMPTY; }

  // Each accessor is valid only for its own type (checked; a wrong type gives
  // the zero value).
  uint32_t ulVal() const { return Value<uint32_t>(VT_UI4); }
  uint64_t uhVal() const { return Value<uint64_t>(VT_UI8); }
  int64_t hVal() const { return Value<int64_t>(VT_I8); }
  double dblVal() const { return Value<double>(VT_R8); }
  GUID puuid() const { return Value<GUID>(VT_CLSID); }
  const std::string& pwszVal() const;
  const std::vector<uint8_t>& blob() const;
  IUnknown* punkVal() const;

  // Same type and value; objects compare by identity.
  friend bool operator==(const PropVariant& a, const PropVariant& b);

  // PropVariantClear.
  void Clear() { *this = PropVariant(); }

 private:
  using Storage = std::variant<std::monostate, uint32_t, uint64_t, int64_t, double, GUID,
                               std::string, std::vector<uint8_t>, ComPtr<IUnknown>>;

  template <typename T>
  PropVariant(VARTYPE vt, T value) : vt_(vt), value_(std::move(value)) {}

  template <typename T>
  T Value(VARTYPE vt) const {
    if (vt_ != vt) return T{};
    return std::get<T>(value_);
  }

  VARTYPE vt_ = VT_EMPTY;
  Storage value_;
};

using PROPVARIANT = PropVariant;
using REFPROPVARIANT = const PropVariant&;

}  // namespace vistrel
