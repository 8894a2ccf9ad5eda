// The console's desktop: the clipboard and the keyboard in a helper process
// of ours. GTK 3 cannot open a display again in the same process, and GDK's
// and Xlib's answers to a lost display end the process; so a console
// receiver started in a desktop session keeps running when the X server goes
// (a logout, a restart of X), and only its helper ends with it.

// Before the X headers, whose Status macro it would meet.
#include "platform/socket.h"

#include <fcntl.h>
#include <glib-unix.h>
#include <gtk/gtk.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/desktop.h"
#include "platform/log.h"
#include "platform/thread_annotations.h"
#include "platform/unique_handle.h"
#include "platform/utf.h"
#include "platform/x11_desktop.h"
#include "platform/x_typing.h"

extern char** environ;

namespace vistrel {
namespace {

using namespace std::chrono_literals;

// The helper's end of the socket pair.
constexpr int kHelperFd = 3;
constexpr char kReady = 'R';
constexpr char kCopy = 'C';
constexpr char kType = 'T';
constexpr uint32_t kMaxRequestBytes = 16u << 20;
constexpr int kReadyWaitMs = 10'000;
// Typing a barcode or taking the clipboard takes milliseconds; a helper that
// does not answer in this time is stuck on a display that went away.
constexpr int kAnswerWaitMs = 5'000;
constexpr uint64_t kRetryAfterMs = 2'000;
// A helper that hands the clipboard to a manager at the end may take this long.
constexpr auto kExitWait = 1s;

bool ReadAll(int fd, void* data, size_t size) {
  char* bytes = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t n = ::read(fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// One byte within `timeout_ms`; nothing on a time-out, the end or an error.
std::optional<unsigned char> ReadByte(int fd, int timeout_ms) {
  const uint64_t deadline = TickMs() + static_cast<uint64_t>(timeout_ms);
  for (;;) {
    const uint64_t now = TickMs();
    if (now >= deadline) return std::nullopt;
    pollfd entry{fd, POLLIN, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(deadline - now));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return std::nullopt;
    unsigned char byte = 0;
    const ssize_t n = ::read(fd, &byte, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n != 1) return std::nullopt;
    return byte;
  }
}

void KillAndReap(pid_t pid) {
  ::kill(pid, SIGKILL);
  while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

bool DisplayNamed() {
  const char* display = std::getenv("DISPLAY");
  return display && *display;
}

class HelperDesktop final : public Desktop {
 public:
  explicit HelperDesktop(std::filesystem::path program) : program_(std::move(program)) {
    if (DisplayNamed()) (void)Start();
  }

  ~HelperDesktop() override {
    if (pid_ <= 0) return;
    // The end of input tells the helper to hand the clipboard on and go.
    socket_.Reset();
    const auto deadline = std::chrono::steady_clock::now() + kExitWait;
    while (::waitpid(pid_, nullptr, WNOHANG) == 0) {
      // Left to finish on its own; it needs nothing more of us.
      if (std::chrono::steady_clock::now() > deadline) return;
      std::this_thread::sleep_for(10ms);
    }
  }

  bool CopyTextToClipboard(std::u16string_view text) override {
    return Ask(kCopy, text).value_or(0) == 1;
  }

  TypingResult TypeIntoFocusedApp(std::u16string_view text) override {
    const std::optional<int> answer = Ask(kType, text);
    if (!answer || *answer > static_cast<int>(TypingResult::kNotAllowed)) {
      return TypingResult::kUnavailable;
    }
    return static_cast<TypingResult>(*answer);
  }

 private:
  // One request at a time; the helper's state belongs to the asking thread
  // while busy_ is set, and no lock is held while it talks to the helper.
  std::optional<int> Ask(char op, std::u16string_view text) {
    {
      MutexLock lock(mutex_);
      while (busy_) idle_.wait(lock);
      busy_ = true;
    }
    const std::optional<int> answer = AskWhileBusy(op, WideToUtf8(text));
    {
      MutexLock lock(mutex_);
      busy_ = false;
    }
    idle_.notify_one();
    return answer;
  }

  std::optional<int> AskWhileBusy(char op, const std::string& utf8) {
    if (!socket_ && !Restart()) return std::nullopt;
    if (utf8.size() + 1 > kMaxRequestBytes) return std::nullopt;
    const uint32_t length = static_cast<uint32_t>(utf8.size() + 1);
    if (!SendAll(socket_.Get(), &length, sizeof length) || !SendAll(socket_.Get(), &op, 1) ||
        !SendAll(socket_.Get(), utf8.data(), utf8.size())) {
      Lost();
      return std::nullopt;
    }
    const std::optional<unsigned char> answer = ReadByte(socket_.Get(), kAnswerWaitMs);
    if (!answer) {
      Lost();
      return std::nullopt;
    }
    return *answer;
  }

  bool Start() {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return false;
    UniqueFd ours(pair[0]), theirs(pair[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, theirs.Get(), kHelperFd);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // Its own process group: a Ctrl+C in the terminal is the receiver's to
    // handle; the helper ends when the receiver closes its socket.
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int signal_number : {SIGPIPE, SIGINT, SIGTERM, SIGHUP}) sigaddset(&defaults, signal_number);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                              POSIX_SPAWN_SETPGROUP);
    const std::string program = program_.string();
    std::string argument = kDesktopHelperArgument;
    char* argv[] = {const_cast<char*>(program.c_str()), argument.data(), nullptr};
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    theirs.Reset();
    if (spawned != 0) return false;
    if (ReadByte(ours.Get(), kReadyWaitMs) != static_cast<unsigned char>(kReady)) {
      KillAndReap(pid);
      return false;
    }
    pid_ = pid;
    socket_ = std::move(ours);
    return true;
  }

  bool Restart() {
    if (!DisplayNamed() || TickMs() < next_try_ms_) return false;
    if (!Start()) {
      next_try_ms_ = TickMs() + kRetryAfterMs;
      return false;
    }
    if (lost_) LogLine("[app] the X display is back; the clipboard and typing work again\n");
    lost_ = false;
    return true;
  }

  void Lost() {
    if (!lost_) {
      LogLine("[app] lost the X display; the clipboard and typing are not available until it "
              "returns\n");
    }
    lost_ = true;
    socket_.Reset();
    KillAndReap(pid_);
    pid_ = -1;
    next_try_ms_ = TickMs() + kRetryAfterMs;
  }

  const std::filesystem::path program_;
  Mutex mutex_;
  std::condition_variable_any idle_;
  bool busy_ GUARDED_BY(mutex_) = false;
  // Below: the asking thread's while busy_, else nobody's.
  UniqueFd socket_;
  pid_t pid_ = -1;
  uint64_t next_try_ms_ = 0;
  bool lost_ = false;
};

// In the helper process: one request at a time from the receiver.
struct HelperState {
  int fd = kHelperFd;
  GMainLoop* loop = nullptr;
  std::unique_ptr<XTypist> typist;
};

gboolean OnRequest(gint, GIOCondition, gpointer data) {
  HelperState& state = *static_cast<HelperState*>(data);
  uint32_t length = 0;
  std::string request;
  if (!ReadAll(state.fd, &length, sizeof length) || length == 0 || length > kMaxRequestBytes ||
      (request.resize(length), !ReadAll(state.fd, request.data(), length))) {
    g_main_loop_quit(state.loop);  // the receiver has gone, or talks nonsense
    return G_SOURCE_REMOVE;
  }
  const std::string utf8 = request.substr(1);
  unsigned char answer = 0;
  if (request[0] == kCopy) {
    answer = SetClipboardText(utf8) ? 1 : 0;
  } else if (request[0] == kType) {
    answer = static_cast<unsigned char>(TypeWithKeyboard(state.typist, Utf8ToWide(utf8)));
  }
  if (!SendAll(state.fd, &answer, 1)) {
    g_main_loop_quit(state.loop);
    return G_SOURCE_REMOVE;
  }
  return G_SOURCE_CONTINUE;
}

}  // namespace

const char* const kDesktopHelperArgument = "--desktop-helper";

std::unique_ptr<Desktop> CreateDesktopInHelper(const std::filesystem::path& program) {
  return std::make_unique<HelperDesktop>(program);
}

int RunDesktopHelper() {
  if (::fcntl(kHelperFd, F_GETFD) < 0) return 2;  // not started by a receiver
  gtk_disable_setlocale();
  gdk_set_allowed_backends("x11");
  if (!gtk_init_check(nullptr, nullptr)) return 2;
  if (!SendAll(kHelperFd, &kReady, 1)) return 2;
  HelperState state;
  state.loop = g_main_loop_new(nullptr, FALSE);
  g_unix_fd_add(kHelperFd, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), OnRequest,
                &state);
  g_main_loop_run(state.loop);
  g_main_loop_unref(state.loop);
  StoreClipboard();
  ForgetKeyboard(state.typist);
  return 0;
}

}  // namespace vistrel
