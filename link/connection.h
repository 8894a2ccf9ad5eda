// One phone connection, shared by its worker entry, the worker thread and,
// while it streams, the server's active-session slot. The last owner closes
// the socket.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "link/tls_channel.h"
#include "platform/unique_handle.h"
#include "security/bytes.h"

namespace vistrel {

struct Connection {
  Connection(UniqueFd socket_in, std::string peer_in, std::unique_ptr<Channel> channel_in,
             bool wired_in)
      : socket(std::move(socket_in)),
        peer(std::move(peer_in)),
        channel(std::move(channel_in)),
        wired(wired_in) {}

  // Destroy the channel before the socket it reads.
  ~Connection() { channel.reset(); }

  // Wakes the reader; the descriptor stays open until the last owner lets go.
  void Shutdown() const;

  UniqueFd socket;
  const std::string peer;  // dotted IPv4 address, or the USB label
  std::unique_ptr<Channel> channel;
  // Set once after the handshake, under the server lock.
  std::string fingerprint;  // hex SHA-256 of the peer certificate
  Digest certificate_digest{};
  std::atomic<uint32_t> awaited_allow{0};
  std::atomic<uint32_t> acknowledged_allow{0};
  std::atomic<bool> closing{false};
  // Set when a wired session of the same phone took this one's place.
  std::atomic<bool> handed_to_cable{false};
  const bool wired;
};

}  // namespace vistrel
