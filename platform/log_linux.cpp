#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <system_error>
#include <vector>

#include "platform/files.h"
#include "platform/log.h"
#include "platform/unique_handle.h"

namespace vistrel {
namespace {

constexpr uintmax_t kRotateAbove = 4'194'304;

struct LogState {
  std::mutex mutex;
  UniqueFd fd;                              // guarded by mutex
  bool echo = false;                        // guarded by mutex
  std::vector<ScopedLogCapture*> captures;  // guarded by mutex
};

LogState& State() {
  static LogState state;
  return state;
}

}  // namespace

int LogLine(const char* format, ...) {
  char stack_buffer[1024];
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int length = std::vsnprintf(stack_buffer, sizeof stack_buffer, format, args);
  va_end(args);
  std::string heap_buffer;
  const char* text = stack_buffer;
  if (length >= static_cast<int>(sizeof stack_buffer)) {
    heap_buffer.resize(static_cast<size_t>(length) + 1);
    std::vsnprintf(heap_buffer.data(), heap_buffer.size(), format, copy);
    text = heap_buffer.data();
  }
  va_end(copy);
  if (length <= 0) return length;

  LogState& state = State();
  std::lock_guard lock(state.mutex);
  if (state.fd) (void)WriteAllBytes(state.fd.Get(), {text, static_cast<size_t>(length)});
  if (state.echo) (void)WriteAllBytes(STDERR_FILENO, {text, static_cast<size_t>(length)});
  for (ScopedLogCapture* capture : state.captures) capture->Append(std::string(text, length));
  return length;
}

void OpenLogFile(const std::filesystem::path& log_folder) {
  std::error_code ec;
  std::filesystem::create_directories(log_folder, ec);
  const auto log_path = log_folder / "vistrel.log";
  auto size = std::filesystem::file_size(log_path, ec);
  if (!ec && size > kRotateAbove) {
    std::filesystem::rename(log_path, log_folder / "vistrel.old.log", ec);
  }
  int fd = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  LogState& state = State();
  std::lock_guard lock(state.mutex);
  state.fd.Reset(fd);
}

void SetLogEcho(bool echo) {
  LogState& state = State();
  std::lock_guard lock(state.mutex);
  state.echo = echo;
}

void CloseLogFile() {
  LogState& state = State();
  std::lock_guard lock(state.mutex);
  state.fd.Reset();
}

ScopedLogCapture::ScopedLogCapture() {
  LogState& state = State();
  std::lock_guard lock(state.mutex);
  state.captures.push_back(this);
}

ScopedLogCapture::~ScopedLogCapture() {
  LogState& state = State();
  std::lock_guard lock(state.mutex);
  std::erase(state.captures, this);
}

void ScopedLogCapture::Append(const std::string& text) {
  std::lock_guard lock(mutex_);
  text_ += text;
}

std::string ScopedLogCapture::Text() const {
  std::lock_guard lock(mutex_);
  return text_;
}

bool ScopedLogCapture::Contains(const std::string& needle) const {
  std::lock_guard lock(mutex_);
  return text_.find(needle) != std::string::npos;
}

}  // namespace vistrel
