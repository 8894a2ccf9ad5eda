#include <fcntl.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>

#include "platform/shared_memory.h"
#include "platform/unique_handle.h"

namespace vistrel {
namespace {

uint8_t* Map(int fd, size_t size) {
  void* view = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  return view == MAP_FAILED ? nullptr : static_cast<uint8_t*>(view);
}

// Maps an opened object after checking that it is this user's alone and, when
// `grow` is false, already large enough.
uint8_t* CheckAndMap(int fd, size_t size, bool grow, int& error) {
  struct stat st{};
  if (::fstat(fd, &st) != 0) {
    error = errno;
    return nullptr;
  }
  // Another user's object, or one open to others, could watch or feed our pictures.
  if (st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) {
    error = EACCES;
    return nullptr;
  }
  if (static_cast<size_t>(st.st_size) < size) {
    // Mapping past the end of a shorter object would fault on access.
    if (!grow) {
      error = EINVAL;
      return nullptr;
    }
    if (::ftruncate(fd, static_cast<off_t>(size)) != 0) {
      error = errno;
      return nullptr;
    }
  }
  uint8_t* data = Map(fd, size);
  if (!data) error = errno;
  return data;
}

}  // namespace

Result<std::unique_ptr<SharedMemory>> SharedMemory::CreateOrOpen(const std::string& name,
                                                                 size_t size) {
  bool created = true;
  UniqueFd fd(::shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!fd && errno == EEXIST) {
    created = false;
    fd.Reset(::shm_open(name.c_str(), O_RDWR | O_CLOEXEC, 0));
  }
  if (!fd) return ErrorFromErrno(errno);
  int error = 0;
  uint8_t* data = CheckAndMap(fd.Get(), size, /*grow=*/true, error);
  if (!data) return ErrorFromErrno(error);
  return std::unique_ptr<SharedMemory>(new SharedMemory(data, size, created));
}

Result<std::unique_ptr<SharedMemory>> SharedMemory::Open(const std::string& name, size_t size) {
  UniqueFd fd(::shm_open(name.c_str(), O_RDWR | O_CLOEXEC, 0));
  if (!fd) return ErrorFromErrno(errno);
  int error = 0;
  uint8_t* data = CheckAndMap(fd.Get(), size, /*grow=*/false, error);
  if (!data) return ErrorFromErrno(error);
  return std::unique_ptr<SharedMemory>(new SharedMemory(data, size, false));
}

void SharedMemory::Unlink(const std::string& name) { ::shm_unlink(name.c_str()); }

SharedMemory::~SharedMemory() { ::munmap(data_, size_); }

void WaitWhileWordIs(const uint32_t* word, uint32_t expected, uint64_t timeout_ns) {
  const timespec timeout{static_cast<time_t>(timeout_ns / 1'000'000'000ull),
                         static_cast<long>(timeout_ns % 1'000'000'000ull)};
  // Not FUTEX_PRIVATE_FLAG: the waker is another process.
  (void)syscall(SYS_futex, word, FUTEX_WAIT, expected, &timeout, nullptr, 0);
}

void WakeWordWaiters(const uint32_t* word) {
  (void)syscall(SYS_futex, word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

}  // namespace vistrel
