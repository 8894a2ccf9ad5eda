#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "platform/single_instance.h"

namespace vistrel {
namespace {

namespace fs = std::filesystem;

bool MakeAddress(const fs::path& path, sockaddr_un& addr) {
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  const std::string& text = path.native();
  if (text.size() >= sizeof addr.sun_path) return false;
  std::memcpy(addr.sun_path, text.c_str(), text.size() + 1);
  return true;
}

void SendShow(const fs::path& socket_path) {
  sockaddr_un addr{};
  if (!MakeAddress(socket_path, addr)) return;
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return;
  if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return;
  static constexpr char kShow[] = "show\n";
  (void)::send(fd.Get(), kShow, sizeof kShow - 1, MSG_NOSIGNAL);
}

}  // namespace

SingleInstance::SingleInstance(UniqueFd lock, fs::path socket_path)
    : lock_(std::move(lock)), socket_path_(std::move(socket_path)) {}

SingleInstance::Outcome SingleInstance::Acquire(const fs::path& runtime_folder,
                                                std::unique_ptr<SingleInstance>& out) {
  const fs::path lock_path = runtime_folder / "tray.lock";
  UniqueFd lock(::open(lock_path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!lock) return Outcome::kNoRuntimeFolder;
  if (::flock(lock.Get(), LOCK_EX | LOCK_NB) != 0) {
    SendShow(runtime_folder / "tray.sock");
    return Outcome::kOtherRunning;
  }
  out.reset(new SingleInstance(std::move(lock), runtime_folder / "tray.sock"));
  return Outcome::kFirst;
}

void SingleInstance::Listen(std::function<void()> on_show) {
  sockaddr_un addr{};
  if (thread_.joinable() || !MakeAddress(socket_path_, addr)) return;
  // We hold the lock, so a socket file left here belongs to a dead instance.
  ::unlink(socket_path_.c_str());
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd || ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(fd.Get(), 4) != 0) {
    return;
  }
  ::chmod(socket_path_.c_str(), 0600);
  wake_.Reset(::eventfd(0, EFD_CLOEXEC));
  if (!wake_) return;
  listener_ = std::move(fd);
  on_show_ = std::move(on_show);
  thread_ = std::thread([this] { Serve(); });
}

void SingleInstance::Serve() {
  for (;;) {
    pollfd fds[2] = {{listener_.Get(), POLLIN, 0}, {wake_.Get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    UniqueFd client(::accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!client) continue;
    // A peer that connects and says nothing must not hold this thread.
    pollfd in{client.Get(), POLLIN, 0};
    if (::poll(&in, 1, 500) <= 0) continue;
    char buffer[16] = {};
    ssize_t n = ::recv(client.Get(), buffer, sizeof buffer - 1, 0);
    if (n >= 4 && std::memcmp(buffer, "show", 4) == 0 && on_show_) on_show_();
  }
}

SingleInstance::~SingleInstance() {
  if (thread_.joinable()) {
    uint64_t one = 1;
    // An eventfd write fails only when its counter is full, and a full
    // counter wakes the thread just the same.
    [[maybe_unused]] const ssize_t written = ::write(wake_.Get(), &one, sizeof one);
    thread_.join();
    ::unlink(socket_path_.c_str());
  }
}

}  // namespace vistrel
