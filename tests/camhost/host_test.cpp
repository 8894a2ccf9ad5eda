#include "camhost/host.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
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

}  // namespace
}  // namespace vistrel
