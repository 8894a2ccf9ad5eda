// UTF-16 <-> UTF-8 for the few places that count UTF-16 units. Invalid input
// becomes U+FFFD; both stop at the first NUL.
#pragma once

#include <string>
#include <string_view>

namespace vistrel {

std::string WideToUtf8(std::u16string_view wide);
std::u16string Utf8ToWide(std::string_view utf8);

}  // namespace vistrel
