// vistrel-camhost as the end-to-end tests run it: in a receiver's folders,
// its standard error in a file.
#pragma once

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "tests/e2e/receiver_process.h"
#include "tests/support/wait_for.h"

namespace vistrel::test {

// Processes start slowly under the sanitizers: twice the unit tests' limit.
inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  return WaitFor(condition, limit);
}

// Starts `argv` (looked up on PATH without a slash) with standard input and
// output on /dev/null and standard error into `error_file`, opened with
// `error_flags`; `blocked` signals start blocked. 0, or the spawn's error.
inline int SpawnQuiet(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                      const std::filesystem::path& error_file, int error_flags, pid_t& pid,
                      std::initializer_list<int> blocked = {}) {
  std::vector<std::string> args = argv, environment = env;
  std::vector<char*> arg_ptrs, env_ptrs;
  for (auto& a : args) arg_ptrs.push_back(a.data());
  arg_ptrs.push_back(nullptr);
  for (auto& e : environment) env_ptrs.push_back(e.data());
  env_ptrs.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, error_file.c_str(),
                                   O_WRONLY | O_CREAT | error_flags, 0600);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t mask;
  sigemptyset(&mask);
  for (int signal_number : blocked) sigaddset(&mask, signal_number);
  posix_spawnattr_setsigmask(&attributes, &mask);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  const int spawned =
      posix_spawnp(&pid, args[0].c_str(), &actions, &attributes, arg_ptrs.data(), env_ptrs.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) pid = -1;
  return spawned;
}

// A program of the test's (a text field, a clipboard manager); ended with
// the object.
class ClientProgram {
 public:
  ClientProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                const std::filesystem::path& errors) {
    if (SpawnQuiet(argv, env, errors, O_TRUNC, pid_) != 0) pid_ = -1;
  }
  ~ClientProgram() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  ClientProgram(const ClientProgram&) = delete;
  ClientProgram& operator=(const ClientProgram&) = delete;
  bool running() const { return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0; }

 private:
  pid_t pid_ = -1;
};

// vistrel-camhost in the receiver's folders; standard error goes to a file.
class HostProcess {
 public:
  // `blocked`: signals that the host starts with blocked, as a starter that
  // reads them from a signalfd leaves them.
  HostProcess(const ReceiverProcess& receiver, const std::vector<std::string>& args,
              std::initializer_list<int> blocked = {},
              const std::vector<std::string>& extra_environment = {})
      : error_file_(receiver.root() / "camhost.err") {
    std::vector<std::string> argv = {CAMHOST_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> env = receiver.Environment();
    env.insert(env.end(), extra_environment.begin(), extra_environment.end());
    SpawnQuiet(argv, env, error_file_, O_TRUNC, pid_, blocked);
  }
  void Signal(int signal_number) const { ::kill(pid_, signal_number); }
  ~HostProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  // The exit code, or -1 when it did not end within the limit.
  int Wait(std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    int status = 0;
    if (pid_ <= 0 || !WaitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, limit)) {
      return -1;
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string Log() const { return ReadFileText(error_file_).value_or(""); }
  bool WaitForLog(const std::string& text) {
    return WaitUntil([&] { return Log().find(text) != std::string::npos; });
  }
  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

 private:
  std::filesystem::path error_file_;
  pid_t pid_ = -1;
};

// Registers the built library by calling its own DllRegisterServer, with the
// receiver's registry root.
inline bool RegisterCameraLibrary(const ReceiverProcess& receiver) {
  void* library = ::dlopen(VCAM_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  if (!library) return false;
  auto register_server = reinterpret_cast<int32_t (*)()>(::dlsym(library, "DllRegisterServer"));
  ::setenv("VSTL_REGISTRY_ROOT", (receiver.root() / "registry").c_str(), 1);
  const bool ok = register_server && register_server() == 0;
  ::unsetenv("VSTL_REGISTRY_ROOT");
  ::dlclose(library);
  return ok;
}

}  // namespace vistrel::test
