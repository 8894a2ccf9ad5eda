// PlistValue on arbitrary text: the input up to its first NUL is the key,
// the rest the property list. The value is always a piece of that text. The
// same bytes also go through the service-address rule of VSTL_USBMUXD.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "link/usbmux_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t split = input.find('\0');
  const std::string_view key = input.substr(0, split);
  const std::string_view xml = split == std::string_view::npos ? input : input.substr(split + 1);
  const std::string value = vistrel::PlistValue(xml, key);
  if (!value.empty() && xml.find(value) == std::string_view::npos) __builtin_trap();
  (void)vistrel::AtoiLike(value);

  const std::string environment(input.substr(0, split));
  const vistrel::UsbmuxService service = vistrel::UsbmuxServiceFrom(environment.c_str());
  // Only values below 64 characters are taken.
  if (service.host.size() >= 64 || service.path.size() >= 64) __builtin_trap();
  return 0;
}
