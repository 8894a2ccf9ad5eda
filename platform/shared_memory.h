// Named POSIX shared memory of a fixed size, mapped read-write.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/result.h"

namespace vistrel {

class SharedMemory {
 public:
  // Creates the object (mode 0600) or opens an existing one; created() tells which.
  static Result<std::unique_ptr<SharedMemory>> CreateOrOpen(const std::string& name,
                                                            size_t size);
  // Opens an existing object only; an error when it is missing or smaller
  // than `size`.
  static Result<std::unique_ptr<SharedMemory>> Open(const std::string& name, size_t size);
  // Removes the name; mappings stay valid.
  static void Unlink(const std::string& name);

  ~SharedMemory();
  SharedMemory(const SharedMemory&) = delete;
  SharedMemory& operator=(const SharedMemory&) = delete;

  uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  bool created() const { return created_; }

 private:
  SharedMemory(uint8_t* data, size_t size, bool created)
      : data_(data), size_(size), created_(created) {}
  uint8_t* data_;
  size_t size_;
  bool created_;
};

// A word in shared memory that one process changes and others wait on,
// without polling.
// Returns when the word no longer holds `expected`, when woken, or after
// `timeout_ns`; which one, the caller reads from the word and its clock.
void WaitWhileWordIs(const uint32_t* word, uint32_t expected, uint64_t timeout_ns);
// Wakes every thread of every process that waits on the word.
void WakeWordWaiters(const uint32_t* word);

}  // namespace vistrel
