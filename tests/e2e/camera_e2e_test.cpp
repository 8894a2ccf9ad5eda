// The virtual camera end to end: the receiver's camera record, the camera
// host that serves it through the registered library, and "--remove-camera".
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <optional>
#include <set>
#include <cstdio>
#include <future>
#include <thread>

#include "platform/files.h"
#include "platform/shared_memory.h"
#include "tools/phone/phone.h"
#include "tests/e2e/e2e_support.h"
#include "tests/e2e/host_process.h"
#include "tools/phone/frame_pattern.h"
#include "tools/phone/webcam.h"

namespace vistrel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::HostProcess;
using test::WaitUntil;

constexpr char kClassFolder[] = "SOFTWARE/Classes/CLSID/{6B3A8F2E-4C1D-4E7A-9B52-3D8C0F1A7E64}";
constexpr char kRecordFolder[] =
    "config/vistrel/registry/SOFTWARE/Vistrel/Cameras/{6B3A8F2E-4C1D-4E7A-9B52-3D8C0F1A7E64}";
constexpr int kW = 1280;
constexpr int kH = 720;
constexpr size_t kFrameBytes = size_t(kW) * kH * 3 / 2;

// The class registration as the installer writes it, pointing at `library`.
void Register(const test::ReceiverProcess& receiver, const std::string& library) {
  const fs::path key = receiver.root() / "registry" / kClassFolder;
  fs::create_directories(key / "InprocServer32");
  ASSERT_TRUE(ReplaceFileContents(key / "@", "Orlith Cam virtual camera"));
  ASSERT_TRUE(ReplaceFileContents(key / "InprocServer32/@", library));
  ASSERT_TRUE(ReplaceFileContents(key / "InprocServer32/ThreadingModel", "Both"));
}

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
  // The console ends on its own with the failure, as a service manager needs.
  EXPECT_EQ(receiver.WaitExit(10s), 1);
  EXPECT_TRUE(receiver.Log().ends_with("[app] stopped\n")) << receiver.Log();

  // A bad setting on the command line ends it the same way.
  test::ReceiverProcess misconfigured;
  EXPECT_FALSE(misconfigured.Start({"--set", "record=sometimes"}));
  EXPECT_TRUE(misconfigured.WaitForLog("[app] start failed: Unknown setting or bad value: "
                                       "record=sometimes\n"));
  EXPECT_EQ(misconfigured.WaitExit(10s), 1);
}

// SIGTERM and SIGINT stop the host cleanly once its threads run, also when it
// was started with them blocked.
TEST(CameraE2E, HostStopsCleanlyOnSigtermAndSigint) {
  test::ReceiverProcess receiver;  // its folders only
  for (int signal_number : {SIGTERM, SIGINT}) {
    for (bool blocked : {false, true}) {
      HostProcess host(
          receiver, {"--sink", "null"},
          blocked ? std::initializer_list<int>{SIGINT, SIGTERM} : std::initializer_list<int>{});
      ASSERT_TRUE(host.WaitForLog("[camhost] waiting for a camera")) << host.Log();
      host.Signal(signal_number);
      EXPECT_EQ(host.Wait(10s), 0) << signal_number << (blocked ? " blocked " : " ") << host.Log();
      EXPECT_TRUE(host.Log().ends_with("[camhost] stopped\n")) << host.Log();
    }
  }
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
  // detached. Its default sink is PipeWire or else the "Orlith Cam" loopback
  // device; PipeWire is not installed as far as the receiver's programs can
  // tell, so without a loopback device it ends at once, with one the foreign
  // library ends it.
  EXPECT_TRUE(receiver.WaitForLog("[vcam] started the camera host"));
  const fs::path host_log = receiver.root() / "run/vistrel/camhost.log";
  EXPECT_TRUE(WaitUntil([&] {
    const std::string log = ReadFileText(host_log).value_or("");
    return log.find("[camhost] nothing to serve the camera into: PipeWire is not installed and "
                    "no v4l2loopback device named \"Orlith Cam\" exists; install PipeWire, or "
                    "load v4l2loopback with card_label=\"Orlith Cam\"\n") != std::string::npos ||
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

// What one Y4M frame showed.
struct FrameSeen {
  bool waiting = false;
  std::optional<uint32_t> number;
};

// Reads the host's Y4M from a FIFO as it comes, keeping only what each frame
// showed (a file would grow by 41 MB a second).
class Y4mReader {
 public:
  explicit Y4mReader(fs::path fifo) : fifo_(std::move(fifo)) {
    ::mkfifo(fifo_.c_str(), 0600);
    thread_ = std::thread([this] { Run(); });
  }
  ~Y4mReader() {
    // Unblocks an open that no writer ever answered.
    int fd = ::open(fifo_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) ::close(fd);
    thread_.join();
  }
  std::vector<FrameSeen> Frames() const {
    std::lock_guard lock(mutex_);
    return frames_;
  }
  size_t Count() const { return Frames().size(); }
  std::string Header() const {
    std::lock_guard lock(mutex_);
    return header_;
  }

 private:
  bool ReadExactly(int fd, uint8_t* data, size_t size) {
    while (size > 0) {
      ssize_t n = ::read(fd, data, size);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      data += n;
      size -= static_cast<size_t>(n);
    }
    return true;
  }
  void Run() {
    int fd = ::open(fifo_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    std::string header;
    uint8_t byte = 0;
    while (header.size() < 200 && ReadExactly(fd, &byte, 1) && byte != '\n') header.push_back(byte);
    {
      std::lock_guard lock(mutex_);
      header_ = header;
    }
    std::vector<uint8_t> frame(6 + kFrameBytes);
    while (ReadExactly(fd, frame.data(), frame.size())) {
      const uint8_t* y = frame.data() + 6;
      const uint8_t* u = y + kW * kH;
      const uint8_t* v = u + kW * kH / 4;
      FrameSeen seen;
      seen.waiting = std::memcmp(frame.data(), "FRAME\n", 6) == 0 && u[0] == 150 && v[0] == 120 &&
                     std::all_of(y, y + kW, [](uint8_t b) { return b == 40 || b == 110; });
      if (!seen.waiting) seen.number = phone::ReadFrameNumber(y, kW, kW, kH);
      std::lock_guard lock(mutex_);
      frames_.push_back(seen);
    }
    ::close(fd);
  }

  fs::path fifo_;
  mutable std::mutex mutex_;
  std::string header_;              // guarded by mutex_
  std::vector<FrameSeen> frames_;   // guarded by mutex_
  std::thread thread_;
};

TEST(CameraE2E, HostServesThePhoneAndTheWaitingPictureUntilRemoved) {
  test::ReceiverProcess receiver;
  receiver.EnableCamera();
  ASSERT_TRUE(test::RegisterCameraLibrary(receiver));
  Y4mReader y4m(receiver.root() / "camera.y4m");
  // The host comes first and waits for the receiver's camera record; the
  // receiver then finds it running and starts no other.
  HostProcess host(receiver, {"--sink", "y4m:" + (receiver.root() / "camera.y4m").string(),
                              "--frames", "9000"});
  ASSERT_TRUE(host.WaitForLog("[camhost] waiting for a camera"));
  ASSERT_TRUE(receiver.Start());
  ASSERT_TRUE(host.WaitForLog("[camhost] serving \"Orlith Cam\" into y4m:")) << host.Log();
  EXPECT_EQ(receiver.Log().find("[vcam] started the camera host"), std::string::npos);
  ASSERT_TRUE(WaitUntil([&] { return y4m.Count() >= 10; }));

  ASSERT_TRUE(test::PairAndStreamWebcam(receiver, 3));
  // The phone has gone: the camera falls back to the waiting picture.
  const size_t after_phone = y4m.Count();
  ASSERT_TRUE(WaitUntil([&] { return y4m.Count() >= after_phone + 60; }));

  EXPECT_EQ(receiver.RunCommand({VISTREL_BINARY, "--remove-camera"}), 0);
  EXPECT_EQ(host.Wait(), 0) << host.Log();
  EXPECT_NE(host.Log().find("[camhost] the camera \"Orlith Cam\" was removed"), std::string::npos);
  EXPECT_EQ(receiver.Quit(), 0);
  SharedMemory::Unlink(receiver.ExchangeName());

  EXPECT_EQ(y4m.Header(), "YUV4MPEG2 W1280 H720 F30:1 Ip A1:1 C420jpeg");
  const std::vector<FrameSeen> frames = y4m.Frames();
  ASSERT_GE(frames.size(), 70u);
  EXPECT_TRUE(frames.front().waiting);
  EXPECT_TRUE(frames.back().waiting);
  // Every picture is whole: the waiting picture or a readable phone frame, and
  // the phone's frame numbers never go back.
  std::optional<uint32_t> last;
  size_t numbered = 0, unreadable = 0;
  std::set<uint32_t> distinct;
  for (const FrameSeen& frame : frames) {
    if (frame.waiting) continue;
    if (!frame.number) {
      ++unreadable;
      continue;
    }
    ++numbered;
    distinct.insert(*frame.number);
    if (last) {
      EXPECT_GE(*frame.number, *last);
    }
    last = frame.number;
  }
  EXPECT_EQ(unreadable, 0u);
  EXPECT_GE(distinct.size(), 30u);
  std::printf("camera frames: %zu, from the phone: %zu (%zu distinct)\n%s", frames.size(),
              numbered, distinct.size(), host.Log().c_str());
}

}  // namespace
}  // namespace vistrel
