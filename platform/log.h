// The receiver's log: one printf-style line per call, no time stamp, appended
// at once. Callable from any thread; one call is never interleaved with another.
#pragma once

#include <filesystem>
#include <mutex>
#include <string>

namespace vistrel {

// Formats and appends one entry. "%s" takes UTF-8. Returns the formatted length
// or a negative value.
int LogLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Rotates "vistrel.log" to "vistrel.old.log" when it is above 4,194,304 bytes,
// then opens it for appending. A failure only means that lines are lost.
void OpenLogFile(const std::filesystem::path& log_folder);
// Also writes every line to standard error (console mode).
void SetLogEcho(bool echo);
void CloseLogFile();

// Collects the log text while it lives, for tests.
class ScopedLogCapture {
 public:
  ScopedLogCapture();
  ~ScopedLogCapture();
  ScopedLogCapture(const ScopedLogCapture&) = delete;
  ScopedLogCapture& operator=(const ScopedLogCapture&) = delete;

  std::string Text() const;
  bool Contains(const std::string& needle) const;
  void Append(const std::string& text);

 private:
  mutable std::mutex mutex_;
  std::string text_;
};

}  // namespace vistrel
