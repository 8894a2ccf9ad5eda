#include "platform/virtual_camera.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "platform/detached_process.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "platform/log.h"
#include "platform/registry.h"
#include "tests/support/registry_values.h"
#include "tests/support/temp_folder.h"

namespace vistrel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr char kSource[] = "{6B3A8F2E-4C1D-4E7A-9B52-3D8C0F1A7E64}";
constexpr char kSharedName[] = "{9F3B2C71-5E0A-4D8B-A6C4-1E7F2B9D3A50}";
constexpr char kOther[] = "{00000000-1111-2222-3333-444444444444}";

// Waits for a file that a detached program writes; the limit only guards
// against a hang, it is not a speed requirement.
bool WaitForFile(const fs::path& path) {
  for (int i = 0; i < 2000; ++i) {
    if (fs::exists(path) && fs::file_size(path) > 0) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

class VirtualCameraTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(folder_ / "run");
    fs::permissions(folder_ / "run", fs::perms::owner_all);
    ::setenv("VSTL_USER_REGISTRY_ROOT", (folder_ / "user").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (folder_ / "run").c_str(), 1);
    // A stand-in host that says how it was started.
    const fs::path host = folder_ / "fake-camhost";
    ASSERT_TRUE(ReplaceFileContents(
        host, "#!/bin/sh\necho \"started $#\" > \"" + (folder_ / "marker").string() +
                  "\"\necho 'to the error file' >&2\n"));
    fs::permissions(host, fs::perms::owner_all);
    ::setenv("VISTREL_CAMHOST", host.c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("VSTL_USER_REGISTRY_ROOT");
    ::unsetenv("XDG_RUNTIME_DIR");
    ::unsetenv("VISTREL_CAMHOST");
  }
  fs::path Runtime() const { return folder_ / "run" / "vistrel"; }

  std::unique_ptr<VirtualCamera> Make(VirtualCameraLifetime lifetime) {
    std::unique_ptr<VirtualCamera> camera;
    EXPECT_EQ(VirtualCamera::Create(VirtualCameraType::kSoftwareCameraSource, lifetime,
                                    VirtualCameraAccess::kCurrentUser, "Orlith Cam", kSource,
                                    camera),
              kCameraOk);
    return camera;
  }

  test::TempFolder folder_;
};

TEST_F(VirtualCameraTest, CreateChecksItsArguments) {
  std::unique_ptr<VirtualCamera> camera;
  const auto create = [&](std::string_view name, std::string_view source) {
    return VirtualCamera::Create(VirtualCameraType::kSoftwareCameraSource,
                                 VirtualCameraLifetime::kSystem,
                                 VirtualCameraAccess::kCurrentUser, name, source, camera);
  };
  EXPECT_EQ(create("", kSource), kCameraInvalidArg);
  EXPECT_EQ(create(std::string(256, 'n'), kSource), kCameraInvalidArg);
  for (const char* source : {"6B3A8F2E-4C1D-4E7A-9B52-3D8C0F1A7E64", "{..\\..\\..\\etc}", "",
                             "{6B3A8F2E-4C1D-4E7A-9B52-3D8C0F1A7E6G}",
                             "{6B3A8F2E-4C1D-4E7A-9B52-3D8C0F1A7E64}x"}) {
    SCOPED_TRACE(source);
    EXPECT_EQ(create("Orlith Cam", source), kCameraInvalidArg);
    EXPECT_EQ(camera, nullptr);
  }
  EXPECT_EQ(create("Orlith Cam", "{6b3a8f2e-4c1d-4e7a-9b52-3d8c0f1a7e64}"), kCameraOk);
  EXPECT_EQ(camera->SetString("SharedName", "x"), kCameraInvalidArg);
  EXPECT_EQ(camera->SetString(kSharedName, std::string_view("a\0b", 3)), kCameraInvalidArg);
  // Nothing is written before Start.
  EXPECT_FALSE(fs::exists(folder_ / "user"));
}

TEST_F(VirtualCameraTest, StartWritesTheRecordAndStartsAHost) {
  auto camera = Make(VirtualCameraLifetime::kSystem);
  ASSERT_EQ(camera->SetString(kSharedName, "/Vistrel_1000_0"), kCameraOk);
  ScopedLogCapture log;
  ASSERT_EQ(camera->Start(), kCameraOk);

  auto records = ReadCameraRecords();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].source_id, kSource);
  EXPECT_EQ(records[0].friendly_name, "Orlith Cam");
  EXPECT_EQ(records[0].lifetime, VirtualCameraLifetime::kSystem);
  EXPECT_EQ(records[0].attributes,
            (std::map<std::string, std::string>{{kSharedName, "/Vistrel_1000_0"}}));
  std::string text;
  EXPECT_EQ(test::ReadValue(camera->key(), "Access", text, RegistryHive::kUser), 0);
  EXPECT_EQ(text, "current user");

  ASSERT_TRUE(WaitForFile(folder_ / "marker"));
  EXPECT_EQ(*ReadFileText(folder_ / "marker"), "started 0\n");
  EXPECT_TRUE(log.Contains("[vcam] started the camera host"));
  ASSERT_TRUE(WaitForFile(Runtime() / kCameraHostLogFile));
  EXPECT_EQ(*ReadFileText(Runtime() / kCameraHostLogFile), "to the error file\n");
  struct stat st{};
  ASSERT_EQ(::stat((Runtime() / kCameraHostLogFile).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // System lifetime: the camera stays for apps after the receiver lets go.
  EXPECT_EQ(camera->Stop(), kCameraOk);
  EXPECT_EQ(camera->Shutdown(), kCameraOk);
  EXPECT_EQ(camera->Start(), kCameraShutDown);
  EXPECT_EQ(camera->Remove(), kCameraShutDown);
  camera.reset();
  EXPECT_TRUE(CameraRecordExists(kSource));

  // "--remove-camera": a fresh object removes it; a second removal finds nothing
  // and still succeeds.
  auto remover = Make(VirtualCameraLifetime::kSystem);
  EXPECT_EQ(remover->Remove(), kCameraOk);
  EXPECT_FALSE(CameraRecordExists(kSource));
  EXPECT_EQ(remover->Remove(), kCameraOk);
}

TEST_F(VirtualCameraTest, RunningHostIsNotStartedTwice) {
  ASSERT_EQ(RuntimeFolder(), Runtime());
  Result<UniqueFd> lock = LockCameraHost(Runtime());
  ASSERT_TRUE(lock);
  EXPECT_EQ(LockCameraHost(Runtime()).code(), EWOULDBLOCK);

  auto camera = Make(VirtualCameraLifetime::kSystem);
  ScopedLogCapture log;
  ASSERT_EQ(camera->Start(), kCameraOk);
  EXPECT_EQ(log.Text(), "");
  EXPECT_FALSE(fs::exists(folder_ / "marker"));
  EXPECT_TRUE(CameraRecordExists(kSource));
}

TEST_F(VirtualCameraTest, MissingHostIsLoggedAndTheRecordStands) {
  ::setenv("VISTREL_CAMHOST", "/nonexistent/vistrel-camhost", 1);
  auto camera = Make(VirtualCameraLifetime::kSystem);
  ScopedLogCapture log;
  EXPECT_EQ(camera->Start(), kCameraOk);
  EXPECT_TRUE(log.Contains("[vcam] could not start /nonexistent/vistrel-camhost (2)"));
  EXPECT_TRUE(CameraRecordExists(kSource));
}

TEST_F(VirtualCameraTest, SessionCameraGoesWithItsObject) {
  {
    auto camera = Make(VirtualCameraLifetime::kSession);
    ASSERT_EQ(camera->Start(), kCameraOk);
    ASSERT_EQ(ReadCameraRecords().at(0).lifetime, VirtualCameraLifetime::kSession);
    EXPECT_EQ(camera->Stop(), kCameraOk);
    EXPECT_FALSE(CameraRecordExists(kSource));
    ASSERT_EQ(camera->Start(), kCameraOk);
    EXPECT_TRUE(CameraRecordExists(kSource));
  }
  // Released without Stop or Shutdown (a failed receiver start).
  EXPECT_FALSE(CameraRecordExists(kSource));

  // A session camera that never started leaves another camera's record alone.
  auto system = Make(VirtualCameraLifetime::kSystem);
  ASSERT_EQ(system->Start(), kCameraOk);
  Make(VirtualCameraLifetime::kSession).reset();
  EXPECT_TRUE(CameraRecordExists(kSource));
}

TEST_F(VirtualCameraTest, RestartDropsAttributesNoLongerSet) {
  auto first = Make(VirtualCameraLifetime::kSystem);
  ASSERT_EQ(first->SetString(kSharedName, "/Vistrel_1000_0"), kCameraOk);
  ASSERT_EQ(first->SetString(kOther, "old"), kCameraOk);
  ASSERT_EQ(first->Start(), kCameraOk);
  auto second = Make(VirtualCameraLifetime::kSystem);
  ASSERT_EQ(second->SetString(kSharedName, "/Vistrel_1000_7"), kCameraOk);
  ASSERT_EQ(second->Start(), kCameraOk);
  EXPECT_EQ(ReadCameraRecords().at(0).attributes,
            (std::map<std::string, std::string>{{kSharedName, "/Vistrel_1000_7"}}));
}

TEST_F(VirtualCameraTest, ReadSkipsIncompleteAndForeignRecords) {
  const std::string base = kCameraRecordsKey;
  // Half-written: no friendly name yet.
  ASSERT_EQ(CreateKey(base + "\\" + kOther, RegistryHive::kUser).code(), 0);
  ASSERT_EQ(SetStringValue(base + "\\" + kOther, "Lifetime", "system", RegistryHive::kUser).code(), 0);
  // A key that is no class id, and a lifetime nobody writes.
  ASSERT_EQ(CreateKey(base + "\\not-a-guid", RegistryHive::kUser).code(), 0);
  ASSERT_EQ(SetStringValue(base + "\\not-a-guid", "", "x", RegistryHive::kUser).code(), 0);
  const std::string odd = base + "\\{11111111-1111-1111-1111-111111111111}";
  ASSERT_EQ(CreateKey(odd, RegistryHive::kUser).code(), 0);
  ASSERT_EQ(SetStringValue(odd, "", "Odd", RegistryHive::kUser).code(), 0);
  ASSERT_EQ(SetStringValue(odd, "Lifetime", "forever", RegistryHive::kUser).code(), 0);
  EXPECT_TRUE(ReadCameraRecords().empty());

  auto camera = Make(VirtualCameraLifetime::kSystem);
  ASSERT_EQ(camera->Start(), kCameraOk);
  // An attribute value planted under a name that is no GUID is not passed on.
  ASSERT_EQ(SetStringValue(camera->key() + "\\Attributes", "junk", "x", RegistryHive::kUser).code(), 0);
  auto records = ReadCameraRecords();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].source_id, kSource);
  EXPECT_TRUE(records[0].attributes.empty());
}

TEST(DetachedProcessTest, ReportsAProgramThatCannotRun) {
  test::TempFolder folder;
  EXPECT_EQ(StartDetached(folder / "missing", {}, folder / "err.log").code(), ENOENT);
  ASSERT_TRUE(ReplaceFileContents(folder / "not-executable", "#!/bin/sh\n"));
  EXPECT_EQ(StartDetached(folder / "not-executable", {}, folder / "err.log").code(), EACCES);
  // The error file is never opened through a link.
  fs::create_symlink(folder / "elsewhere", folder / "link.log");
  EXPECT_EQ(StartDetached("/bin/true", {}, folder / "link.log").code(), ELOOP);
  EXPECT_FALSE(fs::exists(folder / "elsewhere"));
  EXPECT_EQ(StartDetached("/bin/true", {"a", "b"}, folder / "err.log").code(), 0);
}

}  // namespace
}  // namespace vistrel
