// Sockets, credentials and a byte relay for the TLS channel tests.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <csignal>
#include <thread>

#include "link/tls_channel.h"
#include "platform/clock.h"
#include "platform/unique_handle.h"
#include "tests/support/test_certs.h"

namespace vistrel::test {

struct SocketPair {
  UniqueFd a;
  UniqueFd b;
};

inline SocketPair MakeUnixPair() {
  int fds[2] = {-1, -1};
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return {};
  return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

// A connected TCP pair over 127.0.0.1.
inline SocketPair MakeTcpPair() {
  UniqueFd listener(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof(address);
  if (!listener || ::bind(listener.Get(), reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::listen(listener.Get(), 1) != 0 ||
      ::getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    return {};
  }
  UniqueFd client(::socket(AF_INET, SOCK_STREAM, 0));
  if (!client ||
      ::connect(client.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    return {};
  }
  UniqueFd server(::accept(listener.Get(), nullptr, nullptr));
  int one = 1;
  ::setsockopt(server.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  ::setsockopt(client.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  return {std::move(server), std::move(client)};
}

// One server and one client identity with their credentials, made once.
struct TestCredentials {
  TestIdentity server_identity = MakeTestIdentity("receiver");
  TestIdentity client_identity = MakeTestIdentity("phone");
  TlsCredentials server;
  TlsCredentials client;
  bool ok = false;

  TestCredentials() {
    ok = server.Acquire(server_identity.certificate_der, server_identity.private_key_der, false) &&
         client.Acquire(client_identity.certificate_der, client_identity.private_key_der, true);
  }
  static TestCredentials& Get() {
    static TestCredentials credentials;
    return credentials;
  }
};

// Runs both handshakes at once, the client on its own thread.
inline bool EstablishBoth(TlsChannel& server, TlsChannel& client, uint64_t timeout_ms = 20'000) {
  bool client_ok = false;
  std::thread client_thread([&] { client_ok = client.Establish(TickMs() + timeout_ms); });
  const bool server_ok = server.Establish(TickMs() + timeout_ms);
  client_thread.join();
  return server_ok && client_ok;
}

// Copies bytes both ways between two sockets on a thread until stopped, so a
// test can take over the byte stream after the handshake.
class Relay {
 public:
  Relay(int x, int y) : thread_([this, x, y] { Run(x, y); }) {}
  ~Relay() { Stop(); }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

 private:
  void Run(int x, int y) {
    uint8_t buffer[4096];
    while (!stop_) {
      pollfd entries[2] = {{x, POLLIN, 0}, {y, POLLIN, 0}};
      if (::poll(entries, 2, 5) <= 0) continue;
      for (int i = 0; i < 2; ++i) {
        if ((entries[i].revents & POLLIN) == 0) continue;
        const ssize_t got = ::recv(entries[i].fd, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (got > 0) ::send(i == 0 ? y : x, buffer, static_cast<size_t>(got), MSG_NOSIGNAL);
      }
    }
  }

  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Everything readable on `fd` right now.
inline Bytes DrainSocket(int fd) {
  Bytes out;
  uint8_t buffer[4096];
  for (;;) {
    const ssize_t got = ::recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (got <= 0) return out;
    out.insert(out.end(), buffer, buffer + got);
  }
}

inline bool SendRaw(int fd, std::span<const uint8_t> bytes) {
  return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

}  // namespace vistrel::test
