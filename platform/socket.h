// Thin BSD-socket helpers for the link: the logic above never calls the
// socket API itself.
#pragma once

#include <cstdint>
#include <string>

#include "platform/result.h"
#include "platform/unique_handle.h"

namespace vistrel {

// An IPv4 listening socket on 0.0.0.0:port (SO_REUSEADDR, never SO_REUSEPORT).
Result<UniqueFd> ListenTcp4(uint16_t port, int backlog);
// The port a socket is bound to, 0 when unknown.
uint16_t LocalPort(int fd);
// A connection with the peer's dotted IPv4 address.
struct Accepted {
  UniqueFd socket;
  std::string peer;
};
// Blocks until a connection arrives.
Result<Accepted> AcceptTcp(int listen_fd);
// Connects to host:port (IPv4 or a name) within timeout_ms; invalid on failure.
UniqueFd ConnectTcp(const std::string& host, uint16_t port, int timeout_ms);
// Connects to a dotted-decimal IPv4 address (no name lookup) within
// timeout_ms; invalid on failure.
UniqueFd ConnectIpv4(const std::string& dotted, uint16_t port, int timeout_ms);
// Connects to a Unix stream socket; invalid on failure.
UniqueFd ConnectUnix(const std::string& path);
// A listening Unix stream socket at `path` (an old socket file there is
// replaced); invalid on failure.
UniqueFd ListenUnix(const std::string& path, int backlog);
// A listening socket on a dotted IPv4 address; invalid on failure.
UniqueFd ListenIpv4At(const std::string& dotted, uint16_t port, int backlog);
// Blocks until a connection arrives on any kind of listening socket.
UniqueFd AcceptConnection(int listen_fd);
// Sends every byte (never raising SIGPIPE); false when a send fails.
[[nodiscard]] bool SendAll(int fd, const void* data, size_t size);
// One recv: the byte count, 0 at the end of the stream.
Result<size_t> ReceiveSome(int fd, void* buffer, size_t size);
void SetNoDelay(int fd);
// Wakes every thread blocked on the socket; the descriptor stays open.
void ShutdownBoth(int fd);
// True when readable (data, end of stream or an error on the socket), false
// after the time-out; an error when poll itself fails.
Result<bool> PollReadable(int fd, int timeout_ms);
// Process-wide: a write to a closed socket must not kill the receiver.
void IgnoreSigpipe();

}  // namespace vistrel
