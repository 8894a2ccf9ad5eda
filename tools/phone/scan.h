// The phone in scan mode: HELLO, then documents sent as FILE_BEGIN, FILE_CHUNK
// and FILE_END (several at once, interleaved, as the phone may), and texts and
// barcodes as TEXT; the receiver's FILE_RESULTs are collected. Faults a phone
// can show are options: a wrong digest, bytes beyond the declared size, and
// walking away in the middle of a file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/phone/phone.h"

namespace vistrel::phone {

// A fresh random (version 4) UUID text, lower case.
std::string NewTransferId();

struct ScanFile {
  std::string id = NewTransferId();
  std::string name;
  std::string mime;
  std::string bytes;
  std::string sha256;  // empty: the digest of `bytes`
};

// The MIME type of a file name's extension; empty when it has none of the four.
std::string MimeForName(const std::string& name);
// The FILE_BEGIN payload; "size" is the size of the bytes.
std::string FileBeginJson(const ScanFile& file);
// The 16 id bytes and the data.
std::string ChunkPayload(const std::string& id, std::string_view data);
std::string TextJson(const std::string& text, const std::string& kind, const std::string& action);

struct ScanOptions {
  size_t chunk = 262'144;
  uint64_t extra_bytes = 0;               // sent after each file's declared bytes
  std::optional<uint64_t> stop_after;     // drop the link after this many data bytes in all
  size_t parallel = 1;                    // files in flight at once, chunks interleaved
  uint64_t result_timeout_ms = 30000;
};

struct FileResult {
  std::string id;
  bool ok = false;
  std::string saved_as;
  std::string error;
  std::string json;  // the FILE_RESULT payload
};

struct ScanReport {
  bool accepted = false;  // HELLO_REPLY ok
  std::string hello_reply;
  std::vector<FileResult> results;  // in the order they came
  bool closed_by_receiver = false;
  bool stopped = false;  // dropped the link on purpose (stop_after)
  // From the first FILE_CHUNK sent to the last FILE_RESULT read.
  uint64_t first_chunk_to_last_result_us = 0;
};

// HELLO; false when it was not accepted.
bool OpenScanSession(PhoneLink& link, const std::string& device_name, std::string& hello_reply);
// Sends the files on an open session and waits for one FILE_RESULT each.
ScanReport SendFiles(PhoneLink& link, std::vector<ScanFile> files, const ScanOptions& options);
// Reads until a FILE_RESULT arrives (answering PING); nothing on time-out or close.
std::optional<FileResult> ReadFileResult(PhoneLink& link, uint64_t timeout_ms);

}  // namespace vistrel::phone
