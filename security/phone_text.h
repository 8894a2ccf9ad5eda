// Texts a phone sends (device names, model, thermal state, reasons) go into log
// lines, console lines and notifications. A phone must not be able to forge a
// log line or reorder what the user reads, so every such text is cleaned once,
// where it is read.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vistrel {

inline constexpr size_t kMaxPhoneTextBytes = 64;

// Drops control characters (C0, DEL, C1), line and paragraph separators, bidi
// embedding, override and isolate marks, and bytes that are not UTF-8; keeps
// at most `max_bytes` bytes without cutting a character.
std::string CleanPhoneText(std::string_view text, size_t max_bytes = kMaxPhoneTextBytes);

}  // namespace vistrel
