// Reads arbitrary text as trusted_phones.tsv. Every kept entry has a valid
// fingerprint, and the entries survive a write and a read unchanged.
#include <cstddef>
#include <cstdint>
#include <string>

#include "security/bytes.h"
#include "security/trust_store.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<vistrel::TrustedPhone> entries = vistrel::ParseTrustedPhones(text);
  for (const vistrel::TrustedPhone& entry : entries) {
    if (entry.fingerprint.size() != 64 || !vistrel::HexDecode(entry.fingerprint)) __builtin_trap();
    if (entry.device_id.find('\t') != std::string::npos) __builtin_trap();
    if (entry.device_name.find('\n') != std::string::npos) __builtin_trap();
  }
  // Cleaned entries, as Add stores them, must read back as they were written.
  std::vector<vistrel::TrustedPhone> cleaned;
  for (const vistrel::TrustedPhone& entry : entries) {
    cleaned.push_back({entry.fingerprint, vistrel::CleanTrustText(entry.device_id),
                       vistrel::CleanTrustText(entry.device_name)});
  }
  if (vistrel::ParseTrustedPhones(vistrel::FormatTrustedPhones(cleaned)) != cleaned) {
    __builtin_trap();
  }
  return 0;
}
