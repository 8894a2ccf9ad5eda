// Exact reads from a plain socket (no TLS) for the usbmux protocol, on both
// of its ends: they give up at the deadline or, within 100 ms, once `go_on`
// turns false, so a stopping thread never waits on a silent peer.
#pragma once

#include <cstdint>
#include <functional>

#include "link/tls_channel.h"

namespace vistrel {

inline constexpr uint64_t kNoReadDeadline = UINT64_MAX;

class SocketReader final : public ByteReader {
 public:
  SocketReader(int socket, std::function<bool()> go_on)
      : socket_(socket), go_on_(std::move(go_on)) {}

  ReadResult ReadExact(uint8_t* buffer, size_t n, uint64_t deadline_ms) override;

 private:
  const int socket_;
  const std::function<bool()> go_on_;
};

}  // namespace vistrel
