#include "tools/phone/scan.h"

#include <algorithm>

#include "link/json.h"
#include "platform/clock.h"
#include "platform/socket.h"

namespace vistrel::phone {
namespace {

constexpr uint64_t kHelloReplyMs = 5000;

std::optional<FileResult> ParseFileResult(const Frame& frame) {
  if (frame.type != kFileResult) return std::nullopt;
  FileResult result;
  result.json = std::string(AsText(frame.payload));
  JsonParseResult parsed = JsonParse(result.json);
  if (!parsed.ok) return result;
  result.id = JsonGetString(parsed.value, "id").value_or("");
  const JsonValue* ok = JsonFind(parsed.value, "ok");
  result.ok = ok && ok->kind == JsonValue::kBoolean && ok->boolean;
  result.saved_as = JsonGetString(parsed.value, "saved_as").value_or("");
  result.error = JsonGetString(parsed.value, "error").value_or("");
  return result;
}

// Whatever the receiver sent meanwhile, without waiting; false once it closed.
bool TakeWaiting(PhoneLink& link, std::vector<FileResult>& results) {
  while (PollReadable(link.socket(), 0) == 1) {
    Frame frame = link.Read(2000);
    if (frame.result == ReadResult::kFailed) return false;
    if (frame.result != ReadResult::kOk) return true;
    if (frame.type == kPing) link.Send(kPong, frame.payload);
    if (auto result = ParseFileResult(frame)) results.push_back(std::move(*result));
  }
  return true;
}

}  // namespace

std::string NewTransferId() {
  uint8_t bytes[16];
  if (!RandomBytes(bytes, sizeof bytes)) return {};
  bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);
  const std::string hex = HexEncode(bytes);
  return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" +
         hex.substr(16, 4) + "-" + hex.substr(20);
}

std::string MimeForName(const std::string& name) {
  std::string extension = name.substr(name.rfind('.') == std::string::npos ? name.size()
                                                                           : name.rfind('.') + 1);
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (extension == "pdf") return "application/pdf";
  if (extension == "jpg" || extension == "jpeg") return "image/jpeg";
  if (extension == "png") return "image/png";
  if (extension == "txt") return "text/plain";
  return {};
}

std::string FileBeginJson(const ScanFile& file) {
  const std::string digest = file.sha256.empty() ? HexEncode(Sha256(AsBytes(file.bytes))) : file.sha256;
  return "{\"id\":" + JsonQuote(file.id) + ",\"name\":" + JsonQuote(file.name) +
         ",\"mime\":" + JsonQuote(file.mime) + ",\"size\":" + std::to_string(file.bytes.size()) +
         ",\"sha256\":" + JsonQuote(digest) + "}";
}

std::string ChunkPayload(const std::string& id, std::string_view data) {
  std::string digits = id;
  std::erase(digits, '-');
  std::transform(digits.begin(), digits.end(), digits.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  std::string payload(16, '\0');
  if (std::optional<Bytes> bytes = HexDecode(digits); bytes && bytes->size() == 16) {
    std::copy(bytes->begin(), bytes->end(), payload.begin());
  }
  payload.append(data);
  return payload;
}

std::string TextJson(const std::string& text, const std::string& kind, const std::string& action) {
  return "{\"text\":" + JsonQuote(text) + ",\"kind\":" + JsonQuote(kind) +
         ",\"action\":" + JsonQuote(action) + "}";
}

bool OpenScanSession(PhoneLink& link, const std::string& device_name, std::string& hello_reply) {
  if (!link.Send(kHello, HelloJson(device_name, 30))) return false;
  Frame reply = link.Read(kHelloReplyMs);
  if (reply.result != ReadResult::kOk || reply.type != kHelloReply) return false;
  hello_reply = std::string(AsText(reply.payload));
  JsonParseResult parsed = JsonParse(hello_reply);
  const JsonValue* ok = parsed.ok ? JsonFind(parsed.value, "ok") : nullptr;
  return ok && ok->kind == JsonValue::kBoolean && ok->boolean;
}

std::optional<FileResult> ReadFileResult(PhoneLink& link, uint64_t timeout_ms) {
  const uint64_t end = TickMs() + timeout_ms;
  while (TickMs() < end) {
    Frame frame = link.Read(end - TickMs());
    if (frame.result == ReadResult::kFailed) return std::nullopt;
    if (frame.result != ReadResult::kOk) continue;
    if (frame.type == kPing) link.Send(kPong, frame.payload);
    if (auto result = ParseFileResult(frame)) return result;
  }
  return std::nullopt;
}

ScanReport SendFiles(PhoneLink& link, std::vector<ScanFile> files, const ScanOptions& options) {
  ScanReport report;
  report.accepted = true;
  const size_t chunk = std::max<size_t>(options.chunk, 1);
  const size_t parallel = std::max<size_t>(options.parallel, 1);
  uint64_t sent_data = 0;
  uint64_t first_chunk_us = 0;
  auto fail = [&](bool stopped) {
    report.stopped = stopped;
    report.closed_by_receiver = !stopped;
    if (stopped) link.Drop();
    return report;
  };
  for (size_t group = 0; group < files.size(); group += parallel) {
    const size_t group_end = std::min(files.size(), group + parallel);
    for (size_t i = group; i < group_end; ++i) {
      if (!link.Send(kFileBegin, FileBeginJson(files[i]))) return fail(false);
      if (options.extra_bytes > 0) files[i].bytes += std::string(options.extra_bytes, 'x');
    }
    // One chunk of each file in turn, as a phone that sends several at once.
    for (size_t offset = 0;; offset += chunk) {
      bool any = false;
      for (size_t i = group; i < group_end; ++i) {
        const std::string& bytes = files[i].bytes;
        if (offset >= bytes.size()) continue;
        any = true;
        size_t length = std::min(chunk, bytes.size() - offset);
        if (options.stop_after) length = std::min<uint64_t>(length, *options.stop_after - sent_data);
        if (first_chunk_us == 0) first_chunk_us = MonotonicNs() / 1000;
        const std::string_view piece = std::string_view(bytes).substr(offset, length);
        if (!link.Send(kFileChunk, ChunkPayload(files[i].id, piece))) return fail(false);
        sent_data += length;
        if (options.stop_after && sent_data >= *options.stop_after) return fail(true);
      }
      if (!any) break;
      if (!TakeWaiting(link, report.results)) return fail(false);
    }
    for (size_t i = group; i < group_end; ++i) {
      if (!link.Send(kFileEnd, "{\"id\":" + JsonQuote(files[i].id) + "}")) return fail(false);
    }
    // Each group's results before the next group, so no more than `parallel` are open.
    const size_t wanted = group_end;
    while (report.results.size() < wanted) {
      std::optional<FileResult> result = ReadFileResult(link, options.result_timeout_ms);
      if (!result) return fail(false);
      report.results.push_back(std::move(*result));
    }
  }
  if (first_chunk_us != 0) report.first_chunk_to_last_result_us = MonotonicNs() / 1000 - first_chunk_us;
  return report;
}

}  // namespace vistrel::phone
