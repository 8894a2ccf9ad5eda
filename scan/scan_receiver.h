// The scan messages of one phone connection: files (FILE_BEGIN, FILE_CHUNK,
// FILE_END, answered with FILE_RESULT) written into a hidden, locked
// temporary file in the scans folder while they are hashed, and saved under a
// safe, unique name only once complete, verified and flushed; and texts and
// barcodes (TEXT), which go to the clipboard or are typed. Every saved file
// and every text becomes an entry of the scan history.
//
// One ScanReceiver per connection, owned by its streaming session and used
// only on that session's thread, so it needs no lock; the shared ScanContext
// locks itself. Nothing a phone sends is trusted: every handler checks its
// payload, and every failure after a temporary file was made removes it.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/unique_handle.h"
#include "scan/scan_context.h"
#include "scan/scan_file_name.h"
#include "security/bytes.h"
#include "security/sha256_stream.h"

namespace vistrel {

// One file in flight.
struct ScanTransfer {
  std::string id_text;    // lower-cased
  std::string file_name;  // sanitised; the final name once saved
  std::string mime;
  uint64_t declared_size = 0;
  Digest expected_digest{};
  uint64_t received = 0;
  std::array<uint8_t, 8> head{};  // the first bytes, for the signature check
  std::filesystem::path folder;   // the scans folder at FILE_BEGIN
  // Empty when there is no temporary file of ours: not made, removed, or renamed.
  std::filesystem::path temporary_path;
  UniqueFd file;
  std::unique_ptr<Sha256Stream> hash;
  std::string error;  // empty while healthy, else the code FILE_END reports
};

class ScanReceiver {
 public:
  static constexpr size_t kMaxTransfers = 4;
  static constexpr uint64_t kMaxFileBytes = 52'428'800;
  static constexpr size_t kMaxChunkBytes = 262'144;
  static constexpr uint64_t kSpareBytes = 67'108'864;
  static constexpr size_t kRefusedIdsKept = 16;

  explicit ScanReceiver(ScanContext& context) : context_(context) {}
  // Discards every transfer still open: no reply, no log line, no entry.
  ~ScanReceiver();
  ScanReceiver(const ScanReceiver&) = delete;
  ScanReceiver& operator=(const ScanReceiver&) = delete;

  // False for a message that must close the connection (logged here); a
  // non-empty `reply` is a FILE_RESULT to send.
  [[nodiscard]] bool OnFileBegin(std::string_view payload, std::string& reply);
  [[nodiscard]] bool OnFileChunk(std::span<const uint8_t> payload);
  [[nodiscard]] bool OnFileEnd(std::string_view payload, std::string& reply);
  // TEXT is never answered.
  [[nodiscard]] bool OnText(std::string_view payload);

 private:
  bool Refuse(std::string_view name, const std::string& id_text, std::string_view code,
              std::string& reply);
  // The error code, or nothing when the file now has its final name.
  std::optional<std::string> FinishTransfer(ScanTransfer& transfer);

  ScanContext& context_;
  std::map<TransferId, ScanTransfer> transfers_;
  std::deque<std::string> refused_ids_;  // oldest first
};

// The text to type for a barcode: without C0 and C1 controls and DEL,
// nothing when that leaves no text or more than 256 UTF-16 units, and
// nothing for any other kind than "barcode".
std::optional<std::u16string> TypingCandidate(std::string_view kind, std::u16string_view text);

}  // namespace vistrel
