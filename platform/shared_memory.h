// Named POSIX shared memory of a fixed size, mapped read-write.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace vistrel {

class SharedMemory {
 public:
  enum class Result { kCreated, kOpened, kFailed };

  // Creates the object (mode 0600) or opens an existing one; `error` gets errno
  // on failure.
  static std::unique_ptr<SharedMemory> CreateOrOpen(const std::string& name, size_t size,
                                                    Result& result, int& error);
  // Opens an existing object only; nothing (with errno in `error`) when it is
  // missing or smaller than `size`.
  static std::unique_ptr<SharedMemory> Open(const std::string& name, size_t size, int& error);
  // Removes the name; mappings stay valid.
  static void Unlink(const std::string& name);

  ~SharedMemory();
  SharedMemory(const SharedMemory&) = delete;
  SharedMemory& operator=(const SharedMemory&) = delete;

  uint8_t* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  SharedMemory(uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t* data_;
  size_t size_;
};

}  // namespace vistrel
