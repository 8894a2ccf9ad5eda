#include "app/console.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "platform/log.h"
#include "platform/unique_handle.h"

namespace vistrel {
namespace {

// End of input stops the console only for a terminal or a pipe; under a
// service manager stdin is /dev/null or a file and the receiver runs on.
bool InputCanEnd() {
  struct stat st{};
  if (::fstat(STDIN_FILENO, &st) != 0) return false;
  return ::isatty(STDIN_FILENO) || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode);
}

}  // namespace

int RemoveCameraCommand() { return 0; }

int RunConsole(const CommandLine& /*command_line*/, SingleInstance& instance) {
  SetLogEcho(true);
  instance.Listen([] { LogLine("[app] another start asked this receiver to show itself\n"); });

  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  UniqueFd signal_fd(::signalfd(-1, &signals, SFD_CLOEXEC));

  const bool read_input = InputCanEnd();
  std::string pending;
  for (;;) {
    pollfd fds[2] = {{signal_fd.Get(), POLLIN, 0}, {read_input ? STDIN_FILENO : -1, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents) break;
    if (!fds[1].revents) continue;
    char buffer[4096];
    ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n <= 0) break;
    pending.append(buffer, static_cast<size_t>(n));
    size_t eol;
    bool quit = false;
    while ((eol = pending.find('\n')) != std::string::npos) {
      std::string line = pending.substr(0, eol);
      pending.erase(0, eol + 1);
      if (line == "quit") quit = true;
    }
    if (quit) break;
  }
  return 0;
}

}  // namespace vistrel
