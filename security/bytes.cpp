#include "security/bytes.h"

#include <errno.h>
#include <openssl/evp.h>
#include <sys/random.h>

#include "platform/files.h"

namespace vistrel {
namespace {

constexpr char kBase64UrlAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr char kHexDigits[] = "0123456789abcdef";

// No file the security code reads is anywhere near this; a hostile huge file
// must not be read into memory.
constexpr uint64_t kMaxWholeFileBytes = 64ull << 20;

int Base64UrlValue(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '-') return 62;
  if (c == '_') return 63;
  return -1;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::string Base64UrlEncode(std::span<const uint8_t> bytes) {
  std::string text;
  text.reserve((bytes.size() * 8 + 5) / 6);
  uint32_t accumulator = 0;
  int bits = 0;
  for (uint8_t byte : bytes) {
    accumulator = (accumulator << 8) | byte;
    bits += 8;
    while (bits >= 6) {
      bits -= 6;
      text.push_back(kBase64UrlAlphabet[(accumulator >> bits) & 0x3F]);
    }
  }
  if (bits > 0) text.push_back(kBase64UrlAlphabet[(accumulator << (6 - bits)) & 0x3F]);
  return text;
}

std::optional<Bytes> Base64UrlDecode(std::string_view text) {
  Bytes bytes;
  bytes.reserve(text.size() * 6 / 8);
  uint32_t accumulator = 0;
  int bits = 0;
  for (char c : text) {
    int value = Base64UrlValue(c);
    if (value < 0) return std::nullopt;
    accumulator = ((accumulator << 6) | static_cast<uint32_t>(value)) & 0xFFFFFF;
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      bytes.push_back(static_cast<uint8_t>(accumulator >> bits));
    }
  }
  return bytes;
}

std::string HexEncode(std::span<const uint8_t> bytes) {
  std::string text;
  text.reserve(bytes.size() * 2);
  for (uint8_t byte : bytes) {
    text.push_back(kHexDigits[byte >> 4]);
    text.push_back(kHexDigits[byte & 0x0F]);
  }
  return text;
}

std::optional<Bytes> HexDecode(std::string_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  Bytes bytes;
  bytes.reserve(text.size() / 2);
  for (size_t i = 0; i < text.size(); i += 2) {
    int high = HexValue(text[i]);
    int low = HexValue(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<uint8_t>((high << 4) | low));
  }
  return bytes;
}

bool ConstantTimeEqual(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  if (a.size() != b.size()) return false;
  // volatile keeps the compiler from turning the loop into an early-exit compare.
  volatile uint8_t difference = 0;
  for (size_t i = 0; i < a.size(); ++i) difference = difference | (a[i] ^ b[i]);
  return difference == 0;
}

bool RandomBytes(uint8_t* buffer, size_t count) {
  while (count > 0) {
    ssize_t n = ::getrandom(buffer, count, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    buffer += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

Digest Sha256(std::span<const uint8_t> bytes) {
  Digest digest{};
  unsigned int length = 0;
  // EVP_Digest with SHA-256 only fails on allocation failure; a zero digest
  // is then no worse than aborting, and never matches a real one by chance.
  if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1 ||
      length != digest.size()) {
    digest.fill(0);
  }
  return digest;
}

Result<Bytes> ReadWholeFile(const std::filesystem::path& path) {
  Result<std::string> text = ReadFileContents(path, kMaxWholeFileBytes);
  if (!text) return text.error();
  if (text->empty()) return Error{ENODATA, "the file is empty"};
  return Bytes(text->begin(), text->end());
}

bool WriteFileReplacing(const std::filesystem::path& path, std::span<const uint8_t> bytes) {
  return ReplaceFileContents(path, AsText(bytes)).ok();
}

}  // namespace vistrel
