// The phones this receiver trusts, by the SHA-256 fingerprint of their
// certificate, mirrored in trusted_phones.tsv. Every change is saved at once;
// a change whose save fails is undone in memory.
#pragma once

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace vistrel {

struct TrustedPhone {
  std::string fingerprint;  // 64 lower-case hex characters
  std::string device_id;    // UTF-8, cleaned, at most 64 bytes
  std::string device_name;  // UTF-8, cleaned, at most 64 bytes
  bool operator==(const TrustedPhone&) const = default;
};

// Drops bytes below 32 and stops after 64 bytes.
std::string CleanTrustText(std::string_view text);

// The entries of a trusted_phones.tsv text, in order; unusable lines are skipped.
std::vector<TrustedPhone> ParseTrustedPhones(std::string_view text);
// The file text of the entries: one line each, CR LF line ends.
std::string FormatTrustedPhones(const std::vector<TrustedPhone>& entries);

class TrustStore {
 public:
  // Reads the file; a missing or unreadable file gives an empty store. A file
  // that exists but cannot be read (or is too large) is remembered: Add and
  // Remove then refuse, so that it is never overwritten with what little this
  // run knows.
  explicit TrustStore(std::filesystem::path path);

  bool Contains(const std::string& fingerprint) const;
  // Adds or replaces in place; false (and nothing changed) when the save failed
  // or the file could not be read.
  [[nodiscard]] bool Add(const TrustedPhone& entry);
  // Removes every entry of the fingerprint; true when nothing had to be written
  // or the file was written; false when the file could not be read.
  [[nodiscard]] bool Remove(const std::string& fingerprint);
  std::vector<TrustedPhone> List() const;

 private:
  bool SaveLocked() const;  // requires mutex_
  // False, with a log line, when the file could not be read at load.
  bool Writable() const;

  const std::filesystem::path path_;
  std::optional<Error> load_error_;  // set once, by the constructor
  mutable std::mutex mutex_;
  std::vector<TrustedPhone> entries_;  // guarded by mutex_
};

}  // namespace vistrel
