#include "tests/e2e/receiver_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <random>

extern char** environ;

namespace vistrel::test {
namespace {

using namespace std::chrono_literals;

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& env,
            int in_fd, int out_fd, int err_fd) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in_fd, 0);
  posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
  posix_spawn_file_actions_adddup2(&actions, err_fd, 2);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0].c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) {
    pid = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

}  // namespace

ReceiverProcess::ReceiverProcess() {
  data_folder_ = root_ / "data";
  std::random_device rd;
  session_id_ = "e2e" + std::to_string(rd() % 1000000);
  for (const char* sub : {"home", "data", "config", "state", "share", "run"}) {
    std::filesystem::create_directories(root_ / sub);
  }
  std::filesystem::permissions(root_ / "run", std::filesystem::perms::owner_all);
}

ReceiverProcess::~ReceiverProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  stdin_.Reset();
  if (reader_.joinable()) reader_.join();
}

std::vector<std::string> ReceiverProcess::Environment() const {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    if (entry.rfind("HOME=", 0) == 0 || entry.rfind("XDG_", 0) == 0 ||
        entry.rfind("DISPLAY=", 0) == 0 || entry.rfind("WAYLAND_DISPLAY=", 0) == 0 ||
        entry.rfind("VSTL_", 0) == 0 || entry.rfind("VISTREL_", 0) == 0 ||
        entry.rfind("PIPEWIRE_", 0) == 0 ||
        entry.rfind("DBUS_SYSTEM_BUS_ADDRESS=", 0) == 0 ||
        entry.rfind("DBUS_SESSION_BUS_ADDRESS=", 0) == 0) {
      continue;
    }
    env.push_back(entry);
  }
  const std::string root = root_.path().string();
  env.push_back("HOME=" + root + "/home");
  env.push_back("XDG_DATA_HOME=" + root + "/share");
  env.push_back("XDG_CONFIG_HOME=" + root + "/config");
  env.push_back("XDG_STATE_HOME=" + root + "/state");
  env.push_back("XDG_RUNTIME_DIR=" + root + "/run");
  env.push_back("XDG_SESSION_ID=" + session_id_);
  env.push_back("VSTL_REGISTRY_ROOT=" + root + "/registry");
  env.push_back("DBUS_SYSTEM_BUS_ADDRESS=" +
                (system_bus_.empty() ? "unix:path=" + root + "/no-system-bus" : system_bus_));
  if (!usbmuxd_.empty()) env.push_back("VSTL_USBMUXD=" + usbmuxd_);
  if (!pipewire_) env.push_back("PIPEWIRE_CONFIG_DIR=" + root + "/no-pipewire");
  env.insert(env.end(), extra_environment_.begin(), extra_environment_.end());
  return env;
}

bool ReceiverProcess::Start(const std::vector<std::string>& extra) {
  if (reader_.joinable()) reader_.join();  // a start after an earlier run ended
  const size_t log_start = Log().size();  // an earlier run's lines stay in the log
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC)) return false;
  std::vector<std::string> args = {VISTREL_BINARY, "--headless", "--port", "0",
                                   "--data-dir", data_folder_.string()};
  if (tray_) args.erase(args.begin() + 1);
  if (!camera_) args.push_back("--no-camera");
  if (usbmuxd_.empty()) args.push_back("--no-usb");
  args.insert(args.end(), extra.begin(), extra.end());
  pid_ = Spawn(args, Environment(), in[0], out[1], err[1]);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  stdin_.Reset(in[1]);
  stdout_.Reset(out[0]);
  stderr_.Reset(err[0]);
  if (pid_ < 0) return false;
  reader_ = std::thread([this] { ReadPipes(); });
  static const std::string kListening = "is listening on port ";
  if (!WaitUntil([&] {
        std::string log = Log().substr(log_start);
        return log.find(kListening) != std::string::npos ||
               log.find("[app] start failed") != std::string::npos;
      }, 30s)) {
    return false;
  }
  std::string log = Log().substr(log_start);
  size_t at = log.find(kListening);
  if (at == std::string::npos) return false;
  port_ = static_cast<uint16_t>(std::stoi(log.substr(at + kListening.size())));
  return true;
}

void ReceiverProcess::ReadPipes() {
  pollfd fds[2] = {{stdout_.Get(), POLLIN, 0}, {stderr_.Get(), POLLIN, 0}};
  int open = 2;
  while (open > 0) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !fds[i].revents) continue;
      char buffer[4096];
      ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n <= 0) {
        fds[i].fd = -1;
        --open;
        continue;
      }
      std::lock_guard lock(mutex_);
      (i == 0 ? output_ : log_).append(buffer, static_cast<size_t>(n));
    }
  }
}

int ReceiverProcess::RunSecondStart() {
  return RunCommand({VISTREL_BINARY, "--headless", "--data-dir", data_folder_.string()});
}

int ReceiverProcess::RunCommand(const std::vector<std::string>& args) {
  int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  pid_t pid = Spawn(args, Environment(), null_fd, null_fd, null_fd);
  ::close(null_fd);
  if (pid < 0) return -1;
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void ReceiverProcess::Send(const std::string& line) {
  std::string text = line + "\n";
  (void)!::write(stdin_.Get(), text.data(), text.size());
}

bool ReceiverProcess::WaitForLog(const std::string& text, std::chrono::milliseconds limit) {
  return WaitUntil([&] { return Log().find(text) != std::string::npos; }, limit);
}

bool ReceiverProcess::WaitForOutput(const std::string& text, std::chrono::milliseconds limit) {
  return WaitUntil([&] { return Output().find(text) != std::string::npos; }, limit);
}

std::string ReceiverProcess::Log() const {
  std::lock_guard lock(mutex_);
  return log_;
}

std::string ReceiverProcess::Output() const {
  std::lock_guard lock(mutex_);
  return output_;
}

int ReceiverProcess::WaitExit(std::chrono::milliseconds limit) {
  int status = 0;
  if (!WaitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, limit)) return -1;
  pid_ = -1;
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int ReceiverProcess::Signal(int signal, std::chrono::milliseconds limit) {
  ::kill(pid_, signal);
  return WaitExit(limit);
}

int ReceiverProcess::Quit(std::chrono::milliseconds limit) {
  Send("quit");
  return WaitExit(limit);
}

std::string ReceiverProcess::ExchangeName() const {
  return "/Vistrel_" + std::to_string(::geteuid()) + "_" + session_id_;
}

std::string ReceiverProcess::OpenPairing() {
  const size_t before = Output().size();
  Send("pair");
  std::string url;
  WaitUntil([&] {
    std::string out = Output().substr(before);
    size_t at = out.find("vstl://pair?");
    if (at == std::string::npos) return false;
    size_t end = out.find('\n', at);
    if (end == std::string::npos) return false;
    url = out.substr(at, end - at);
    return true;
  }, 10s);
  return url;
}

}  // namespace vistrel::test
