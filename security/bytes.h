// Byte helpers shared by the security and scan code: base64url, hex, a
// constant-time comparison, random bytes, SHA-256 and whole-file reading and
// replacing. Free functions without state.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace vistrel {

using Bytes = std::vector<uint8_t>;
using Digest = std::array<uint8_t, 32>;

inline std::span<const uint8_t> AsBytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}
inline std::string_view AsText(std::span<const uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// RFC 4648 base64url without padding.
std::string Base64UrlEncode(std::span<const uint8_t> bytes);
// Fails on any character outside the alphabet ("=" included); spare bits are dropped.
std::optional<Bytes> Base64UrlDecode(std::string_view text);
// Lower-case, high nibble first.
std::string HexEncode(std::span<const uint8_t> bytes);
// Lower-case only; odd length or any other character fails.
std::optional<Bytes> HexDecode(std::string_view text);
// Unequal at once on different lengths; otherwise no early exit.
bool ConstantTimeEqual(std::span<const uint8_t> a, std::span<const uint8_t> b);
// From the kernel's generator; false when it cannot deliver.
[[nodiscard]] bool RandomBytes(uint8_t* buffer, size_t count);
Digest Sha256(std::span<const uint8_t> bytes);
// The file's bytes, or why there are none: ENOENT when it does not exist,
// ENODATA when it is empty, EFBIG when it is too large to be ours, else the
// errno of the failed read. Only ENOENT means that the file is absent.
Result<Bytes> ReadWholeFile(const std::filesystem::path& path);
// Writes path + ".tmp" and moves it over the path; the target holds the old or
// the complete new content, never a partial write.
[[nodiscard]] bool WriteFileReplacing(const std::filesystem::path& path,
                                      std::span<const uint8_t> bytes);

}  // namespace vistrel
