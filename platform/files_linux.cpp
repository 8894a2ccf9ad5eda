#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "platform/files.h"
#include "platform/unique_handle.h"

namespace vistrel {

namespace fs = std::filesystem;

Status WriteAllBytes(int fd, std::string_view bytes) {
  const char* data = bytes.data();
  size_t size = bytes.size();
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return ErrorFromErrno(errno);
    if (n == 0) return ErrorFromErrno(EIO);
    data += n;
    size -= static_cast<size_t>(n);
  }
  return Ok();
}

namespace {

void SyncFolderOf(const fs::path& path) {
  fs::path folder = path.parent_path();
  if (folder.empty()) folder = ".";
  (void)SyncFolder(folder);
}

}  // namespace

bool SyncFile(int fd) { return ::fsync(fd) == 0; }

void StartWriteback(int fd, uint64_t offset, uint64_t length) {
  (void)::sync_file_range(fd, static_cast<off64_t>(offset), static_cast<off64_t>(length),
                          SYNC_FILE_RANGE_WRITE);
}

bool SyncFolder(const fs::path& folder) {
  UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return dir && ::fsync(dir.Get()) == 0;
}

Result<UniqueFd> CreateLockedPrivateFile(const fs::path& path) {
  // Not O_TRUNC: a file that another writer holds must keep its bytes, so it
  // is emptied only once the lock is ours.
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) return ErrorFromErrno(errno);
  if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) return ErrorFromErrno(errno);
  // An existing file keeps its mode through open, and the umask applies to a new one.
  if (::fchmod(fd.Get(), 0600) != 0 || ::ftruncate(fd.Get(), 0) != 0) return ErrorFromErrno(errno);
  return fd;
}

bool RemoveAbandonedFile(const fs::path& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st{};
  if (!fd || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) return false;
  return ::unlink(path.c_str()) == 0;
}

Status ReplaceFileContents(const fs::path& target, std::string_view bytes) {
  fs::path temp = target;
  temp += ".tmp";
  {
    UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) return ErrorFromErrno(errno);
    if (Status written = WriteAllBytes(fd.Get(), bytes); !written) return written;
    if (::fsync(fd.Get()) != 0) return ErrorFromErrno(errno);
    if (::close(fd.Release()) != 0) return ErrorFromErrno(errno);
  }
  if (::rename(temp.c_str(), target.c_str()) != 0) return ErrorFromErrno(errno);
  SyncFolderOf(target);
  return Ok();
}

Status RenameNoReplace(const fs::path& from, const fs::path& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0) {
    return ErrorFromErrno(errno);
  }
  return Ok();
}

Result<std::string> ReadFileContents(const fs::path& path, uint64_t max_bytes) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return ErrorFromErrno(errno);
  std::string text;
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return ErrorFromErrno(errno);
    if (n == 0) break;
    if (text.size() + static_cast<size_t>(n) > max_bytes) {
      return Error{EFBIG, "larger than " + std::to_string(max_bytes) + " bytes"};
    }
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

std::optional<std::string> ReadFileText(const fs::path& path, uint64_t max_bytes) {
  Result<std::string> contents = ReadFileContents(path, max_bytes);
  if (!contents) return std::nullopt;
  return std::move(*contents);
}

Status WritePrivateFile(const fs::path& path, std::string_view bytes) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) return ErrorFromErrno(errno);
  // An existing file keeps its mode through open; make it private all the same.
  if (::fchmod(fd.Get(), 0600) != 0) return ErrorFromErrno(errno);
  return WriteAllBytes(fd.Get(), bytes);
}

Status AppendPrivateFile(const fs::path& path, std::string_view bytes) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) return ErrorFromErrno(errno);
  if (::fchmod(fd.Get(), 0600) != 0) return ErrorFromErrno(errno);
  return WriteAllBytes(fd.Get(), bytes);
}

std::optional<uint64_t> AvailableBytes(const fs::path& path) {
  struct statvfs st{};
  if (::statvfs(path.c_str(), &st) != 0) return std::nullopt;
  return static_cast<uint64_t>(st.f_bavail) * static_cast<uint64_t>(st.f_frsize);
}

}  // namespace vistrel
