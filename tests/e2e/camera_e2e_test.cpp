// The virtual camera end to end: the receiver's camera record, the camera
// host that serves it through the registered library, and "--remove-camera".
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <future>
#include <thread>

#include "platform/files.h"
#include "platform/shared_memory.h"
#include "tests/e2e/e2e_support.h"
#include "tools/phone/frame_pattern.h"
#include "tools/phone/webcam.h"

namespace vistrel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr char kClassFolder[] = "SOFTWARE/Classes/CLSID/{6B3A8F2E-4C1D-4E7A-9B52-3D8C0F1A7E64}";
constexpr char kRecordFolder[] =
    "config/vistrel/registry/SOFTWARE/Vistrel/Cameras/{6B3A8F2E-4C1D-4E7A-9B52-3D8C0F1A7E64}";
constexpr int kW = 1280;
constexpr int kH = 720;
constexpr size_t kFrameBytes = size_t(kW) * kH * 3 / 2;

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = 20s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

// The class registration as the installer writes it, pointing at `library`.
void Register(const test::ReceiverProcess& receiver, const std::string& library) {
  const fs::path key = receiver.root() / "registry" / kClassFolder;
  fs::create_directories(key / "InprocServer32");
  ASSERT_TRUE(ReplaceFileContents(key / "@", "Orlith Cam virtual camera"));
  ASSERT_TRUE(ReplaceFileContents(key / "InprocServer32/@", library));
  ASSERT_TRUE(ReplaceFileContents(key / "InprocServer32/ThreadingModel", "Both"));
}

// vistrel-camhost in the receiver's folders; standard error goes to a file.
class HostProcess {
 public:
  HostProcess(const test::ReceiverProcess& receiver, const std::vector<std::string>& args)
      : error_file_(receiver.root() / "camhost.err") {
    std::vector<std::string> argv = {CAMHOST_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> env = receiver.Environment();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, error_file_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> arg_ptrs, env_ptrs;
    for (auto& a : argv) arg_ptrs.push_back(a.data());
    arg_ptrs.push_back(nullptr);
    for (auto& e : env) env_ptrs.push_back(e.data());
    env_ptrs.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0].c_str(), &actions, nullptr, arg_ptrs.data(),
                    env_ptrs.data()) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
  }
  ~HostProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  // The exit code, or -1 when it did not end within the limit.
  int Wait(std::chrono::milliseconds limit = 30s) {
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

 private:
  fs::path error_file_;
  pid_t pid_ = -1;
};

// A real shared library that is no camera library: the C library.
std::string ForeignLibrary() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&::printf), &info) == 0 || !info.dli_fname) return {};
  return info.dli_fname;
}

TEST(CameraE2E, UnregisteredCameraStopsStartUpWithTheInstallMessage) {
  test::ReceiverProcess receiver;
  receiver.EnableCamera();
  EXPECT_FALSE(receiver.Start());
  EXPECT_TRUE(receiver.WaitForLog(
      "[app] start failed: The Orlith Cam virtual camera is not installed. Reinstall Orlith "
      "Cam.\n"));
  EXPECT_EQ(receiver.Log().find("[monitor] recordings go to"), std::string::npos);
  EXPECT_FALSE(fs::exists(receiver.root() / kRecordFolder));
}

TEST(CameraE2E, ReceiverStartsAHostAndSystemCameraOutlivesIt) {
  test::ReceiverProcess receiver;
  receiver.EnableCamera();
  Register(receiver, ForeignLibrary());
  ASSERT_TRUE(receiver.Start());
  EXPECT_TRUE(receiver.WaitForLog("[vcam] \"Orlith Cam\" is available to camera apps\n"));
  EXPECT_EQ(*ReadFileText(receiver.root() / kRecordFolder / "@"), "Orlith Cam");
  EXPECT_EQ(*ReadFileText(receiver.root() / kRecordFolder / "Lifetime"), "system");
  EXPECT_EQ(*ReadFileText(receiver.root() / kRecordFolder /
                          "Attributes/{9F3B2C71-5E0A-4D8B-A6C4-1E7F2B9D3A50}"),
            receiver.ExchangeName());
  // The host was found beside the receiver in the build tree and started
  // detached. Its default sink is the "Orlith Cam" loopback device; without
  // one it ends at once, with one the foreign library ends it, cleanly.
  EXPECT_TRUE(receiver.WaitForLog("[vcam] started the camera host"));
  const fs::path host_log = receiver.root() / "run/vistrel/camhost.log";
  EXPECT_TRUE(WaitUntil([&] {
    const std::string log = ReadFileText(host_log).value_or("");
    return log.find("[camhost] no v4l2loopback device named \"Orlith Cam\"") != std::string::npos ||
           log.find("is no camera library") != std::string::npos;
  })) << ReadFileText(host_log).value_or("(no host log)");

  EXPECT_EQ(receiver.Quit(), 0);
  EXPECT_TRUE(fs::exists(receiver.root() / kRecordFolder / "@"));

  EXPECT_EQ(receiver.RunCommand({VISTREL_BINARY, "--remove-camera"}), 0);
  EXPECT_FALSE(fs::exists(receiver.root() / kRecordFolder));
  // Nothing left to remove still counts as removed.
  EXPECT_EQ(receiver.RunCommand({VISTREL_BINARY, "--remove-camera"}), 0);
  // A record that cannot be deleted is a failure.
  fs::create_directories(receiver.root() / kRecordFolder);
  fs::permissions(receiver.root() / kRecordFolder / "..", fs::perms::owner_write,
                  fs::perm_options::remove);
  if (::geteuid() != 0) {
    EXPECT_EQ(receiver.RunCommand({VISTREL_BINARY, "--remove-camera"}), 1);
  }
  fs::permissions(receiver.root() / kRecordFolder / "..", fs::perms::owner_write,
                  fs::perm_options::add);
}

TEST(CameraE2E, SessionCameraGoesWithTheReceiver) {
  test::ReceiverProcess receiver;
  receiver.EnableCamera();
  Register(receiver, ForeignLibrary());
  ASSERT_TRUE(receiver.Start({"--camera-session"}));
  EXPECT_EQ(*ReadFileText(receiver.root() / kRecordFolder / "Lifetime"), "session");
  EXPECT_EQ(receiver.Quit(), 0);
  EXPECT_FALSE(fs::exists(receiver.root() / kRecordFolder));
}

}  // namespace
}  // namespace vistrel
