#include "camhost/host.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <thread>

#include "camhost/camera_library.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/registry.h"
#include "platform/virtual_camera.h"
#include "tests/support/registry_values.h"
#include "tests/support/temp_folder.h"

namespace vistrel {
namespace {

namespace fs = std::filesystem;

size_t Count(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

constexpr GUID kClass = {0x6b3a8f2e, 0x4c1d, 0x4e7a, {0x9b, 0x52, 0x3d, 0x8c, 0x0f, 0x1a, 0x7e, 0x64}};
constexpr char kServerKey[] =
    "SOFTWARE\\Classes\\CLSID\\{6B3A8F2E-4C1D-4E7A-9B52-3D8C0F1A7E64}\\InprocServer32";

// A real shared library that is no camera library: the C library.
std::string ForeignLibrary() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&::printf), &info) == 0 || !info.dli_fname) return {};
  return info.dli_fname;
}

class CamhostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("VSTL_REGISTRY_ROOT", (folder_ / "machine").c_str(), 1);
    ::setenv("VSTL_USER_REGISTRY_ROOT", (folder_ / "user").c_str(), 1);
    // No real host may be started by the records these tests write.
    ::setenv("VISTREL_CAMHOST", "/nonexistent/vistrel-camhost", 1);
  }
  void TearDown() override {
    ::unsetenv("VSTL_REGISTRY_ROOT");
    ::unsetenv("VSTL_USER_REGISTRY_ROOT");
    ::unsetenv("VISTREL_CAMHOST");
  }
  // A camera record of this user for kClass.
  void CreateCamera(std::unique_ptr<VirtualCamera>& camera) {
    ASSERT_EQ(VirtualCamera::Create(VirtualCameraType::kSoftwareCameraSource,
                                    VirtualCameraLifetime::kSystem,
                                    VirtualCameraAccess::kCurrentUser, "Orlith Cam",
                                    "{6B3A8F2E-4C1D-4E7A-9B52-3D8C0F1A7E64}", camera),
              kCameraOk);
    ASSERT_EQ(camera->Start(), kCameraOk);
  }
  void Register(const std::string& path) {
    ASSERT_EQ(CreateKey(kServerKey).code(), 0);
    ASSERT_EQ(SetStringValue(kServerKey, "", path).code(), 0);
  }

  test::TempFolder folder_;
};

TEST_F(CamhostTest, LibrariesThatCannotServeAreRefused) {
  struct Case {
    std::string registered;  // empty: no registration at all
    std::string error;
  };
  ASSERT_TRUE(ReplaceFileContents(folder_ / "garbage.so", "not an ELF file"));
  const Case cases[] = {
      {"", "is not registered"},
      {"libvistrel-vcam.so", "names no absolute path"},
      {(folder_ / "missing.so").string(), "cannot load"},
      {(folder_ / "garbage.so").string(), "cannot load"},
      // A real library that is no camera library.
      {ForeignLibrary(), "is no camera library (no DllGetClassObject)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.registered);
    if (!c.registered.empty()) Register(c.registered);
    std::string error;
    EXPECT_EQ(CameraLibrary::Load(kClass, error), nullptr);
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
  }
}

// A record left over after the camera library's package was removed names a
// class with no library: the host waits as if there were no record.
TEST_F(CamhostTest, HostIgnoresRecordsOfUninstalledLibrariesAndWaitsUntilStopped) {
  std::unique_ptr<VirtualCamera> camera;
  ASSERT_NO_FATAL_FAILURE(CreateCamera(camera));
  Register((folder_ / "removed.so").string());
  auto sink = OpenNullSink();
  std::atomic<bool> stop{false};
  ScopedLogCapture log;
  int result = -1;
  std::thread host([&] { result = RunCameraHost({0, 10}, *sink, stop); });
  while (!log.Contains("[camhost] waiting for a camera")) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // a few more polls
  stop = true;
  host.join();
  EXPECT_EQ(result, 0);
  const std::string text = log.Text();
  const std::string ignored =
      "[camhost] the camera \"Orlith Cam\" names a camera library that is not installed; "
      "ignoring it";
  EXPECT_NE(text.find(ignored), std::string::npos) << text;
  EXPECT_EQ(text.find(ignored), text.rfind(ignored)) << "logged once";
}

TEST_F(CamhostTest, RecordWithoutAUsableLibraryEndsCleanly) {
  std::unique_ptr<VirtualCamera> camera;
  ASSERT_NO_FATAL_FAILURE(CreateCamera(camera));
  Register(ForeignLibrary());
  auto sink = OpenNullSink();
  std::atomic<bool> stop{false};
  ScopedLogCapture log;
  EXPECT_EQ(RunCameraHost({}, *sink, stop), 1);
  EXPECT_TRUE(log.Contains("is no camera library")) << log.Text();
}


// A sink that an app reads, leaves, and reads again.
class ReadAtWillSink final : public Sink {
 public:
  bool Write(const Nv12View&, int64_t) override {
    ++written;
    return true;
  }
  bool Wanted() const override { return wanted; }
  void AwaitWanted(uint32_t ms) override {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!wanted && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  std::string Describe() const override { return "read at will"; }

  std::atomic<bool> wanted{true};
  std::atomic<int> written{0};
};

// The exit line's rate counts only the time someone read: two reading
// periods with a pause between them give each period's line and a total
// whose seconds are those of the periods, not of the whole run.
TEST_F(CamhostTest, ExitLineCountsOnlyTheReadingPeriods) {
  std::unique_ptr<VirtualCamera> camera;
  ASSERT_NO_FATAL_FAILURE(CreateCamera(camera));
  Register(VCAM_LIBRARY_PATH);
  ::setenv("XDG_STATE_HOME", (folder_ / "state").c_str(), 1);  // the library's log
  ReadAtWillSink sink;
  std::atomic<bool> stop{false};
  ScopedLogCapture log;
  int result = -1;
  using Clock = std::chrono::steady_clock;
  const auto started = Clock::now();
  std::thread host([&] { result = RunCameraHost({0, 50}, sink, stop); });
  const auto written = [&](int n) {
    const auto end = Clock::now() + std::chrono::seconds(20);
    while (sink.written < n && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return sink.written >= n;
  };
  EXPECT_TRUE(written(10));
  sink.wanted = false;
  const auto left = Clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  sink.wanted = true;
  const auto back = Clock::now();
  EXPECT_TRUE(written(sink.written + 10));
  stop = true;
  const auto stopped = Clock::now();
  host.join();
  ::unsetenv("XDG_STATE_HOME");
  EXPECT_EQ(result, 0);

  const std::string text = log.Text();
  EXPECT_EQ(Count(text, "[camhost] read for "), 2u) << text;
  const std::string total = "[camhost] " + std::to_string(sink.written.load()) + " samples in ";
  const size_t at = text.find(total);
  ASSERT_NE(at, std::string::npos) << text;
  const double seconds = std::strtod(text.c_str() + at + total.size(), nullptr);
  const double wanted =
      std::chrono::duration<double>((left - started) + (stopped - back)).count();
  // A sample already requested when the app leaves may still arrive.
  EXPECT_LE(seconds, wanted + 0.1) << text;
  EXPECT_NE(text.find(" s of reading (2 periods): "), std::string::npos) << text;
}

}  // namespace
}  // namespace vistrel
