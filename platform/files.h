// File operations with the guarantees the receiver relies on: a replaced file
// is never seen half-written, and a private file is never followed through a link.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/result.h"
#include "platform/unique_handle.h"

namespace vistrel {

// Writes every byte to a descriptor, going on after short writes and EINTR.
Status WriteAllBytes(int fd, std::string_view bytes);

// Writes `bytes` to target + ".tmp", flushes it to disk, renames it over the
// target and flushes the folder. On false the target is untouched.
Status ReplaceFileContents(const std::filesystem::path& target, std::string_view bytes);

// Moves `from` to `to` only when `to` does not exist; the error is EEXIST when it does.
Status RenameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to);

// The whole file, or why not: ENOENT when it does not exist, EFBIG when it is
// larger than max_bytes, else the errno of the failed open or read.
Result<std::string> ReadFileContents(const std::filesystem::path& path,
                                     uint64_t max_bytes = 64ull << 20);
// The same without the reason: nothing when it is missing, unreadable, or
// larger than max_bytes.
std::optional<std::string> ReadFileText(const std::filesystem::path& path,
                                        uint64_t max_bytes = 64ull << 20);

// Creates or truncates a file with mode 0600 without following a symlink, and
// writes all bytes.
Status WritePrivateFile(const std::filesystem::path& path, std::string_view bytes);
// The same, appending to the file's end.
Status AppendPrivateFile(const std::filesystem::path& path, std::string_view bytes);

// A file that one writer fills before it is renamed into place: created with
// mode 0600 (or emptied when it exists), never through a symlink, and locked
// against every other writer, as a file opened without sharing is. Fails with
// EWOULDBLOCK when another writer holds it.
Result<UniqueFd> CreateLockedPrivateFile(const std::filesystem::path& path);
// Starts writing a range of a file's data to the disk without waiting, so
// that a later SyncFile has little left to do.
void StartWriteback(int fd, uint64_t offset, uint64_t length);
// Flushes a file's data to the disk.
[[nodiscard]] bool SyncFile(int fd);
// Flushes a folder's entries (a file renamed into it) to the disk.
[[nodiscard]] bool SyncFolder(const std::filesystem::path& folder);
// Removes a regular file that no writer holds locked: a temporary file whose
// writer died. Never follows a symlink; true when it was removed.
bool RemoveAbandonedFile(const std::filesystem::path& path);

// Bytes available to this user on the file system holding `path`.
std::optional<uint64_t> AvailableBytes(const std::filesystem::path& path);

}  // namespace vistrel
