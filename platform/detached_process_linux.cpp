#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/detached_process.h"
#include "platform/unique_handle.h"

namespace vistrel {
namespace {

// Reports errno to the starter through the pipe and ends the child; only
// async-signal-safe calls from here on.
[[noreturn]] void Fail(int pipe_fd) {
  int error = errno;
  (void)!::write(pipe_fd, &error, sizeof error);
  ::_exit(127);
}

}  // namespace

// The errno of the step that failed, 0 once the program was executed.
static int StartDetachedCode(const std::filesystem::path& program,
                             const std::vector<std::string>& args,
                             const std::filesystem::path& error_file) {
  // Everything the children need is prepared before fork: after it, in a
  // threaded process, only async-signal-safe calls are allowed.
  std::vector<char*> argv;
  const std::string program_text = program.string();
  argv.push_back(const_cast<char*>(program_text.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  const std::string error_text = error_file.string();

  // The grandchild's exec closes the write end (O_CLOEXEC); a failure before
  // that writes its errno first.
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return errno;
  UniqueFd read_end(pipe_fds[0]);
  UniqueFd write_end(pipe_fds[1]);

  pid_t child = ::fork();
  if (child < 0) return errno;
  if (child == 0) {
    const int report = write_end.Get();
    if (::setsid() < 0) Fail(report);
    pid_t grandchild = ::fork();
    if (grandchild < 0) Fail(report);
    if (grandchild > 0) ::_exit(0);

    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
    int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    int error_fd = ::open(error_text.c_str(),
                          O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (null_fd < 0 || error_fd < 0) Fail(report);
    if (::dup2(null_fd, STDIN_FILENO) < 0 || ::dup2(null_fd, STDOUT_FILENO) < 0 ||
        ::dup2(error_fd, STDERR_FILENO) < 0) {
      Fail(report);
    }
    // Descriptors the starter left inheritable must not leak into the program.
    if (report > STDERR_FILENO + 1) ::close_range(STDERR_FILENO + 1, report - 1, 0);
    ::close_range(report + 1, ~0u, 0);
    ::execv(argv[0], argv.data());
    Fail(report);
  }
  write_end.Reset();
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  int error = 0;
  ssize_t n;
  do {
    n = ::read(read_end.Get(), &error, sizeof error);
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(sizeof error)) return error != 0 ? error : ECHILD;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return ECHILD;
  return 0;
}

Status StartDetached(const std::filesystem::path& program, const std::vector<std::string>& args,
                     const std::filesystem::path& error_file) {
  return StatusFromErrno(StartDetachedCode(program, args, error_file));
}

}  // namespace vistrel
