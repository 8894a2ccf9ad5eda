#include "security/trust_store.h"

#include <cerrno>

#include "platform/files.h"
#include "platform/log.h"
#include "security/bytes.h"

namespace vistrel {
namespace {

constexpr size_t kMaxFieldBytes = 64;
constexpr size_t kFingerprintChars = 64;

std::optional<TrustedPhone> ParseLine(std::string_view line) {
  size_t first_tab = line.find('\t');
  if (first_tab == std::string_view::npos) return std::nullopt;
  size_t second_tab = line.find('\t', first_tab + 1);
  if (second_tab == std::string_view::npos) return std::nullopt;
  std::string_view fingerprint = line.substr(0, first_tab);
  if (fingerprint.size() != kFingerprintChars || !HexDecode(fingerprint)) return std::nullopt;
  return TrustedPhone{std::string(fingerprint),
                      std::string(line.substr(first_tab + 1, second_tab - first_tab - 1)),
                      std::string(line.substr(second_tab + 1))};
}

}  // namespace

std::string CleanTrustText(std::string_view text) {
  std::string cleaned;
  for (char c : text) {
    if (cleaned.size() == kMaxFieldBytes) break;
    if (static_cast<unsigned char>(c) < 32) continue;
    cleaned.push_back(c);
  }
  return cleaned;
}

std::vector<TrustedPhone> ParseTrustedPhones(std::string_view text) {
  std::vector<TrustedPhone> entries;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (std::optional<TrustedPhone> entry = ParseLine(line)) entries.push_back(std::move(*entry));
  }
  return entries;
}

std::string FormatTrustedPhones(const std::vector<TrustedPhone>& entries) {
  std::string text;
  for (const TrustedPhone& entry : entries) {
    text += entry.fingerprint;
    text += '\t';
    text += entry.device_id;
    text += '\t';
    text += entry.device_name;
    text += "\r\n";
  }
  return text;
}

TrustStore::TrustStore(std::filesystem::path path) : path_(std::move(path)) {
  Result<std::string> text = ReadFileContents(path_);
  if (text) {
    entries_ = ParseTrustedPhones(*text);
  } else if (text.error().code != ENOENT) {
    load_error_ = text.error();
  }
}

bool TrustStore::Writable() const {
  if (!load_error_) return true;
  LogLine(
      "[trust] %s could not be read (%s); it is not changed, so that no paired phone is "
      "forgotten\n",
      path_.c_str(), load_error_->text.c_str());
  return false;
}

bool TrustStore::Contains(const std::string& fingerprint) const {
  std::lock_guard lock(mutex_);
  for (const TrustedPhone& entry : entries_) {
    if (entry.fingerprint == fingerprint) return true;
  }
  return false;
}

bool TrustStore::Add(const TrustedPhone& entry) {
  // An entry the loader would skip must not look trusted for this run only.
  if (entry.fingerprint.size() != kFingerprintChars || !HexDecode(entry.fingerprint)) return false;
  if (!Writable()) return false;
  std::lock_guard lock(mutex_);
  std::vector<TrustedPhone> previous = entries_;
  TrustedPhone cleaned{entry.fingerprint, CleanTrustText(entry.device_id),
                       CleanTrustText(entry.device_name)};
  bool replaced = false;
  for (TrustedPhone& existing : entries_) {
    if (existing.fingerprint == cleaned.fingerprint) {
      existing = cleaned;
      replaced = true;
      break;
    }
  }
  if (!replaced) entries_.push_back(std::move(cleaned));
  if (SaveLocked()) return true;
  entries_ = std::move(previous);
  return false;
}

bool TrustStore::Remove(const std::string& fingerprint) {
  // The phone may be in the file that could not be read.
  if (!Writable()) return false;
  std::lock_guard lock(mutex_);
  std::vector<TrustedPhone> previous = entries_;
  size_t removed = std::erase_if(
      entries_, [&](const TrustedPhone& entry) { return entry.fingerprint == fingerprint; });
  if (removed == 0) return true;
  if (SaveLocked()) return true;
  entries_ = std::move(previous);
  return false;
}

std::vector<TrustedPhone> TrustStore::List() const {
  std::lock_guard lock(mutex_);
  return entries_;
}

bool TrustStore::SaveLocked() const {
  return ReplaceFileContents(path_, FormatTrustedPhones(entries_)).ok();
}

}  // namespace vistrel
