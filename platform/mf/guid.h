// 128-bit identifiers of classes, interfaces and attribute keys, with their
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" text form (upper-case hexadecimal).
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vistrel {

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];

  friend constexpr bool operator==(const GUID&, const GUID&) = default;
  friend constexpr auto operator<=>(const GUID&, const GUID&) = default;
};

using IID = GUID;
using CLSID = GUID;
using REFGUID = const GUID&;
using REFIID = const GUID&;
using REFCLSID = const GUID&;

inline constexpr GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

// "{6B3A8F2E-4C1D-4E7A-9B52-3D8C0F1A7E64}"; hexadecimal digits in upper case.
std::string FormatGuid(const GUID& guid);
// Accepts the braced form, either case; nothing for any other text.
std::optional<GUID> ParseGuid(std::string_view text);

}  // namespace vistrel
