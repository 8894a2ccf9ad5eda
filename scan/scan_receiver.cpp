#include "scan/scan_receiver.h"

#include <errno.h>

#include <algorithm>
#include <cmath>

#include "link/json.h"
#include "platform/files.h"
#include "platform/log.h"
#include "security/phone_text.h"

namespace vistrel {
namespace {

namespace fs = std::filesystem;

// The longest name a log line repeats; a file system name is not longer.
constexpr size_t kMaxLoggedNameBytes = 255;
constexpr uint32_t kLastRenameNumber = 9998;
// Received data goes to the disk in steps of this size while the file comes
// in, so the flush at FILE_END does not wait for all of it.
constexpr uint64_t kWritebackStep = 4u << 20;

std::string AsciiLower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

std::string FailureText(std::string_view id_text, std::string_view code) {
  return JsonObject().String("id", id_text).Bool("ok", false).String("error", code).Text();
}

bool SignatureMatches(const ScanTransfer& transfer) {
  auto starts_with = [&](std::initializer_list<uint8_t> signature) {
    return transfer.received >= signature.size() &&
           std::equal(signature.begin(), signature.end(), transfer.head.begin());
  };
  if (transfer.mime == "application/pdf") return starts_with({0x25, 0x50, 0x44, 0x46, 0x2D});
  if (transfer.mime == "image/jpeg") return starts_with({0xFF, 0xD8, 0xFF});
  if (transfer.mime == "image/png") {
    return starts_with({0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A});
  }
  return true;
}

// Removes the temporary file while the lock is still held, so that no other
// writer can have taken the name in between; then lets go of the file.
void DiscardTransfer(ScanTransfer& transfer) {
  if (!transfer.temporary_path.empty()) {
    std::error_code ec;
    fs::remove(transfer.temporary_path, ec);
    transfer.temporary_path.clear();
  }
  transfer.file.Reset();
  transfer.hash.reset();
}

}  // namespace

ScanReceiver::~ScanReceiver() {
  for (auto& [id, transfer] : transfers_) DiscardTransfer(transfer);
}

bool ScanReceiver::Refuse(std::string_view name, const std::string& id_text,
                          std::string_view code, std::string& reply) {
  LogLine("[scan] refused \"%s\": %.*s\n", CleanPhoneText(name, kMaxLoggedNameBytes).c_str(),
          static_cast<int>(code.size()), code.data());
  refused_ids_.push_back(id_text);
  if (refused_ids_.size() > kRefusedIdsKept) refused_ids_.pop_front();
  reply = FailureText(id_text, code);
  return true;
}

bool ScanReceiver::OnFileBegin(std::string_view payload, std::string& reply) {
  reply.clear();
  const JsonParseResult begin = JsonParse(payload);
  const auto id = begin.ok ? JsonGetString(begin.value, "id") : std::nullopt;
  const auto name = begin.ok ? JsonGetString(begin.value, "name") : std::nullopt;
  const auto mime = begin.ok ? JsonGetString(begin.value, "mime") : std::nullopt;
  const auto size_member = begin.ok ? JsonGetNumber(begin.value, "size") : std::nullopt;
  const auto sha256 = begin.ok ? JsonGetString(begin.value, "sha256") : std::nullopt;
  if (!id || !name || !mime || !size_member || !sha256) {
    LogLine("[scan] malformed FILE_BEGIN, closing\n");
    return false;
  }
  const double size = *size_member;
  const std::string id_text = AsciiLower(*id);
  const std::optional<TransferId> transfer_id = ParseTransferId(id_text);
  const std::optional<Bytes> digest = HexDecode(AsciiLower(*sha256));
  if (!transfer_id || !digest || digest->size() != 32 || size < 0 || std::floor(size) != size) {
    return Refuse(*name, id_text, "malformed", reply);
  }
  if (size > double(kMaxFileBytes)) return Refuse(*name, id_text, "too_large", reply);
  if (!FindScanMime(*mime)) return Refuse(*name, id_text, "mime", reply);
  if (transfers_.contains(*transfer_id)) return Refuse(*name, id_text, "duplicate_id", reply);
  if (transfers_.size() >= kMaxTransfers) return Refuse(*name, id_text, "busy", reply);
  const fs::path folder = ResolveScansFolder(context_.SettingsCopy());
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec || !fs::is_directory(folder, ec)) return Refuse(*name, id_text, "folder", reply);
  const auto declared_size = static_cast<uint64_t>(size);
  const std::optional<uint64_t> available = context_.environment().AvailableBytes(folder);
  if (available && *available < declared_size + kSpareBytes) {
    return Refuse(*name, id_text, "disk_full", reply);
  }

  ScanTransfer transfer;
  transfer.id_text = id_text;
  transfer.file_name = SanitizeScanFileName(*name, *mime);
  transfer.mime = *mime;
  transfer.declared_size = declared_size;
  std::copy(digest->begin(), digest->end(), transfer.expected_digest.begin());
  transfer.folder = folder;
  const fs::path temporary_path = folder / TemporaryScanName(id_text);
  Result<UniqueFd> file = CreateLockedPrivateFile(temporary_path);
  // A file that could not be made (a link in its place, another writer's
  // lock) is not ours to remove.
  if (!file) return Refuse(*name, id_text, "write_failed", reply);
  transfer.temporary_path = temporary_path;
  transfer.file = std::move(*file);
  transfer.hash = Sha256Stream::Create();
  if (!transfer.hash) {
    DiscardTransfer(transfer);
    return Refuse(*name, id_text, "write_failed", reply);
  }
  LogLine("[scan] receiving \"%s\" (%s, %llu bytes)\n", transfer.file_name.c_str(), mime->c_str(),
          static_cast<unsigned long long>(declared_size));
  transfers_.emplace(*transfer_id, std::move(transfer));
  return true;
}

bool ScanReceiver::OnFileChunk(std::span<const uint8_t> payload) {
  if (payload.size() < 16 || payload.size() - 16 > kMaxChunkBytes) {
    LogLine("[scan] malformed FILE_CHUNK, closing\n");
    return false;
  }
  TransferId id;
  std::copy_n(payload.begin(), id.size(), id.begin());
  const auto found = transfers_.find(id);
  if (found == transfers_.end() || !found->second.error.empty()) return true;
  ScanTransfer& transfer = found->second;
  const std::span<const uint8_t> data = payload.subspan(16);
  if (transfer.received + data.size() > transfer.declared_size) {
    transfer.error = "size";
    DiscardTransfer(transfer);
    return true;
  }
  for (size_t i = 0; transfer.received + i < transfer.head.size() && i < data.size(); ++i) {
    transfer.head[transfer.received + i] = data[i];
  }
  if (!WriteAllBytes(transfer.file.Get(), AsText(data)) || !transfer.hash->Update(data)) {
    transfer.error = "write_failed";
    DiscardTransfer(transfer);
    return true;
  }
  const uint64_t before = transfer.received;
  transfer.received += data.size();
  if (before / kWritebackStep != transfer.received / kWritebackStep) {
    const uint64_t step_end = transfer.received / kWritebackStep * kWritebackStep;
    StartWriteback(transfer.file.Get(), step_end - kWritebackStep, kWritebackStep);
  }
  return true;
}

bool ScanReceiver::OnFileEnd(std::string_view payload, std::string& reply) {
  reply.clear();
  const JsonParseResult end = JsonParse(payload);
  const auto id = end.ok ? JsonGetString(end.value, "id") : std::nullopt;
  if (!id) {
    LogLine("[scan] malformed FILE_END, closing\n");
    return false;
  }
  const std::string id_text = AsciiLower(*id);
  const std::optional<TransferId> transfer_id = ParseTransferId(id_text);
  auto node = transfer_id ? transfers_.extract(*transfer_id) : decltype(transfers_)::node_type();
  if (node) {
    ScanTransfer& transfer = node.mapped();
    const std::optional<std::string> error = FinishTransfer(transfer);
    DiscardTransfer(transfer);
    if (error) {
      LogLine("[scan] \"%s\" not saved: %s\n", transfer.file_name.c_str(), error->c_str());
      reply = FailureText(id_text, *error);
      return true;
    }
    const fs::path path = transfer.folder / transfer.file_name;
    context_.AddEntry({context_.environment().NowSeconds(), "file", path, transfer.declared_size, ""});
    LogLine("[scan] saved %s (%llu bytes, SHA-256 verified)\n", path.c_str(),
            static_cast<unsigned long long>(transfer.declared_size));
    reply = JsonObject()
                .String("id", id_text)
                .Bool("ok", true)
                .String("saved_as", transfer.file_name)
                .Text();
    return true;
  }
  // The phone already had its refusal for an id refused lately.
  if (std::find(refused_ids_.begin(), refused_ids_.end(), id_text) == refused_ids_.end()) {
    reply = FailureText(id_text, "unknown_id");
  }
  return true;
}

std::optional<std::string> ScanReceiver::FinishTransfer(ScanTransfer& transfer) {
  if (!transfer.error.empty()) return transfer.error;
  if (transfer.received != transfer.declared_size) return "size";
  const std::optional<Digest> digest = transfer.hash->Finish();
  if (!digest) return "write_failed";
  if (!ConstantTimeEqual(*digest, transfer.expected_digest)) return "checksum";
  if (!SignatureMatches(transfer)) return "content";
  if (!SyncFile(transfer.file.Get())) return "write_failed";
  const size_t dot = transfer.file_name.rfind('.');
  const std::string stem = transfer.file_name.substr(0, dot);
  const std::string extension = dot == std::string::npos ? "" : transfer.file_name.substr(dot);
  std::string candidate = transfer.file_name;
  // Never over an existing file: the names tried are the name, then
  // " (2)" ... " (9998)" before the extension.
  for (uint32_t number = 2;; ++number) {
    const Status renamed = RenameNoReplace(transfer.temporary_path, transfer.folder / candidate);
    if (renamed) {
      transfer.temporary_path.clear();
      transfer.file_name = candidate;
      (void)SyncFolder(transfer.folder);
      return std::nullopt;
    }
    if (renamed.code() != EEXIST || number > kLastRenameNumber) return "write_failed";
    candidate = stem + " (" + std::to_string(number) + ")" + extension;
  }
}

}  // namespace vistrel
