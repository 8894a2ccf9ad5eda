#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/socket.h"

namespace vistrel {

Result<UniqueFd> ListenTcp4(uint16_t port, int backlog) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
  if (!fd) return ErrorFromErrno(errno);
  // Lets a restarted receiver bind while old connections linger in TIME_WAIT;
  // on Linux it never lets a second listener share the port.
  int one = 1;
  ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(port);
  if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(fd.Get(), backlog) != 0) {
    return ErrorFromErrno(errno);
  }
  return fd;
}

uint16_t LocalPort(int fd) {
  sockaddr_in addr{};
  socklen_t length = sizeof addr;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) return 0;
  return ntohs(addr.sin_port);
}

Result<Accepted> AcceptTcp(int listen_fd) {
  sockaddr_in addr{};
  socklen_t length = sizeof addr;
  UniqueFd fd(::accept4(listen_fd, reinterpret_cast<sockaddr*>(&addr), &length, SOCK_CLOEXEC));
  if (!fd) return ErrorFromErrno(errno);
  char text[INET_ADDRSTRLEN] = {};
  return Accepted{std::move(fd), ::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text) ? text : "?"};
}

UniqueFd ConnectTcp(const std::string& host, uint16_t port, int timeout_ms) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return {};
  UniqueHandle<addrinfo*, ::freeaddrinfo, nullptr> list(found);
  for (addrinfo* ai = list.Get(); ai; ai = ai->ai_next) {
    UniqueFd fd(::socket(ai->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) continue;
    if (::connect(fd.Get(), ai->ai_addr, ai->ai_addrlen) != 0) {
      if (errno != EINPROGRESS) continue;
      pollfd p{fd.Get(), POLLOUT, 0};
      if (::poll(&p, 1, timeout_ms) <= 0) continue;
      int so_error = 0;
      socklen_t length = sizeof so_error;
      ::getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &so_error, &length);
      if (so_error != 0) continue;
    }
    int flags = ::fcntl(fd.Get(), F_GETFL);
    ::fcntl(fd.Get(), F_SETFL, flags & ~O_NONBLOCK);
    return fd;
  }
  return {};
}

UniqueFd ConnectIpv4(const std::string& dotted, uint16_t port, int timeout_ms) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (::inet_pton(AF_INET, dotted.c_str(), &addr.sin_addr) != 1) return {};
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd) return {};
  if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    if (errno != EINPROGRESS) return {};
    pollfd p{fd.Get(), POLLOUT, 0};
    if (::poll(&p, 1, timeout_ms) <= 0) return {};
    int so_error = 0;
    socklen_t length = sizeof so_error;
    ::getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &so_error, &length);
    if (so_error != 0) return {};
  }
  ::fcntl(fd.Get(), F_SETFL, ::fcntl(fd.Get(), F_GETFL) & ~O_NONBLOCK);
  return fd;
}

namespace {

bool UnixAddress(const std::string& path, sockaddr_un& addr) {
  addr = sockaddr_un{};
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr.sun_path) return false;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  return true;
}

}  // namespace

UniqueFd ConnectUnix(const std::string& path) {
  sockaddr_un addr;
  if (!UnixAddress(path, addr)) return {};
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd || ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return {};
  return fd;
}

UniqueFd ListenUnix(const std::string& path, int backlog) {
  sockaddr_un addr;
  if (!UnixAddress(path, addr)) return {};
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return {};
  struct stat st{};
  if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) ::unlink(path.c_str());
  if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(fd.Get(), backlog) != 0) {
    return {};
  }
  return fd;
}

UniqueFd ListenIpv4At(const std::string& dotted, uint16_t port, int backlog) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (::inet_pton(AF_INET, dotted.c_str(), &addr.sin_addr) != 1) return {};
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return {};
  int one = 1;
  ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(fd.Get(), backlog) != 0) {
    return {};
  }
  return fd;
}

UniqueFd AcceptConnection(int listen_fd) {
  return UniqueFd(::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC));
}

bool SendAll(int fd, const void* data, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (size > 0) {
    const ssize_t sent = ::send(fd, bytes, size, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    bytes += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

Result<size_t> ReceiveSome(int fd, void* buffer, size_t size) {
  for (;;) {
    const ssize_t n = ::recv(fd, buffer, size, 0);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno != EINTR) return ErrorFromErrno(errno);
  }
}

void SetNoDelay(int fd) {
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void ShutdownBoth(int fd) {
  if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

Result<bool> PollReadable(int fd, int timeout_ms) {
  pollfd p{fd, POLLIN, 0};
  const int n = ::poll(&p, 1, timeout_ms);
  if (n < 0) return ErrorFromErrno(errno);
  return n > 0;
}

void IgnoreSigpipe() { ::signal(SIGPIPE, SIG_IGN); }

}  // namespace vistrel
