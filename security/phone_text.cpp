#include "security/phone_text.h"

#include <cstdint>

namespace vistrel {
namespace {

// Length of the well-formed UTF-8 sequence at the start of `text`, 0 if none.
size_t SequenceLength(std::string_view text, char32_t& code_point) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  const uint8_t lead = byte(0);
  size_t length = 0;
  char32_t value = 0;
  if (lead < 0x80) {
    code_point = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, value = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, value = lead & 0x07;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    value = (value << 6) | (byte(i) & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
  static constexpr char32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
  if (value < kMinimum[length] || (value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF) {
    return 0;
  }
  code_point = value;
  return length;
}

bool Unwanted(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029 ||
         (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

}  // namespace

std::string CleanPhoneText(std::string_view text, size_t max_bytes) {
  std::string cleaned;
  while (!text.empty()) {
    char32_t code_point = 0;
    const size_t length = SequenceLength(text, code_point);
    if (length == 0) {
      text.remove_prefix(1);
      continue;
    }
    if (!Unwanted(code_point)) {
      if (cleaned.size() + length > max_bytes) break;
      cleaned.append(text.substr(0, length));
    }
    text.remove_prefix(length);
  }
  return cleaned;
}

}  // namespace vistrel
