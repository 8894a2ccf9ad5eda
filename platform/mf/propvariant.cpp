#include "platform/mf/propvariant.h"

namespace vistrel {

const std::string& PropVariant::pwszVal() const {
  static const std::string kEmpty;
  return vt_ == VT_LPWSTR ? std::get<std::string>(value_) : kEmpty;
}

const std::vector<uint8_t>& PropVariant::blob() const {
  static const std::vector<uint8_t> kEmpty;
  return vt_ == VT_VECTOR_UI1 ? std::get<std::vector<uint8_t>>(value_) : kEmpty;
}

IUnknown* PropVariant::punkVal() const {
  return vt_ == VT_UNKNOWN ? std::get<ComPtr<IUnknown>>(value_).Get() : nullptr;
}

bool operator==(const PropVariant& a, const PropVariant& b) {
  if (a.vt_ != b.vt_) return false;
  if (a.vt_ == VT_UNKNOWN) return a.punkVal() == b.punkVal();
  return a.value_ == b.value_;
}

}  // namespace vistrel
