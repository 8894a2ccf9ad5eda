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

// The GUID of a braced text fixed when compiling: one spelling serves as both
// text and GUID. A malformed text does not compile.
consteval GUID GuidFromText(const char (&text)[39]) {
  auto digit = [&](int i) -> uint32_t {
    const char c = text[i];
    if (c >= '0' && c <= '9') return uint32_t(c - '0');
    if (c >= 'A' && c <= 'F') return uint32_t(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return uint32_t(c - 'a' + 10);
    throw "not a hexadecimal digit";
  };
  auto hex = [&](int at, int digits) {
    uint32_t value = 0;
    for (int i = 0; i < digits; ++i) value = value << 4 | digit(at + i);
    return value;
  };
  if (text[0] != '{' || text[9] != '-' || text[14] != '-' || text[19] != '-' || text[24] != '-' ||
      text[37] != '}') {
    throw "not a braced GUID";
  }
  GUID guid{hex(1, 8), static_cast<uint16_t>(hex(10, 4)), static_cast<uint16_t>(hex(15, 4)), {}};
  guid.Data4[0] = static_cast<uint8_t>(hex(20, 2));
  guid.Data4[1] = static_cast<uint8_t>(hex(22, 2));
  for (int i = 0; i < 6; ++i) guid.Data4[2 + i] = static_cast<uint8_t>(hex(25 + 2 * i, 2));
  return guid;
}

}  // namespace vistrel
