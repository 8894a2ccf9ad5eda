// SHA-256 over data that arrives in pieces (a received file, chunk by chunk),
// so that no file is ever held whole in memory to be hashed.
#pragma once

#include <memory>
#include <optional>
#include <span>

#include "security/bytes.h"

namespace vistrel {

class Sha256Stream {
 public:
  // Nothing when the digest cannot be set up (out of memory).
  static std::unique_ptr<Sha256Stream> Create();
  ~Sha256Stream();
  Sha256Stream(const Sha256Stream&) = delete;
  Sha256Stream& operator=(const Sha256Stream&) = delete;

  [[nodiscard]] bool Update(std::span<const uint8_t> bytes);
  // The digest of everything given; the stream is spent afterwards.
  std::optional<Digest> Finish();

 private:
  struct Impl;
  explicit Sha256Stream(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace vistrel
