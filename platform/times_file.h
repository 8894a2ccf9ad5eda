// Per-picture times for the latency benchmark: when the environment names a
// file, each Line appends one line of numbers to it. Off (and free) unless
// asked for; a failure to write only loses lines.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <utility>

#include "platform/unique_handle.h"

namespace vistrel {

class TimesFile {
 public:
  // The file named by the environment variable `variable`; nothing when the
  // variable is unset or the file cannot be made. Callers keep it for the
  // life of the process.
  static std::unique_ptr<TimesFile> FromEnvironment(const char* variable);

  explicit TimesFile(UniqueFd fd) : fd_(std::move(fd)) {}

  // One line of the numbers, separated by spaces. Any thread.
  void Line(std::initializer_list<uint64_t> numbers);

 private:
  UniqueFd fd_;
};

}  // namespace vistrel
