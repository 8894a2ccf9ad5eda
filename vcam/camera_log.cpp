#include "vcam/camera_log.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>

#include "platform/folders.h"
#include "platform/unique_handle.h"

namespace vistrel {
namespace {

void AppendToLogFile(const char* line, size_t length) noexcept {
  try {
    const std::filesystem::path folder = CameraLogFolder();
    if (!folder.is_absolute()) return;
    UniqueFd fd(::open((folder / "vcam.log").c_str(),
                       O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd) return;
    // One write per line keeps lines whole between processes.
    const ssize_t ignored = ::write(fd.Get(), line, length);
    (void)ignored;
  } catch (...) {
    // The folder's path could not be made; the line goes to standard error only.
  }
}

}  // namespace

void CameraLog(const char* format, ...) noexcept {
  char message[1024];
  va_list args;
  va_start(args, format);
  const int formatted = std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  if (formatted < 0) return;

  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  const time_t seconds = now.tv_sec;
  localtime_r(&seconds, &local);
  char line[1200];
  int length = std::snprintf(line, sizeof line, "%02u:%02u:%02u.%03u [%lu] %s\n",
                             static_cast<unsigned>(local.tm_hour),
                             static_cast<unsigned>(local.tm_min),
                             static_cast<unsigned>(local.tm_sec),
                             static_cast<unsigned>(now.tv_nsec / 1'000'000),
                             static_cast<unsigned long>(::getpid()), message);
  if (length < 0) return;
  if (length >= static_cast<int>(sizeof line)) length = sizeof line - 1;

  const ssize_t ignored = ::write(STDERR_FILENO, line, static_cast<size_t>(length));
  (void)ignored;
  AppendToLogFile(line, static_cast<size_t>(length));
}

}  // namespace vistrel
