#include "platform/registry.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>

#include "platform/files.h"
#include "tests/support/registry_values.h"
#include "tests/support/temp_folder.h"

namespace vistrel {
namespace {

namespace fs = std::filesystem;

constexpr char kClassKey[] = "SOFTWARE\\Classes\\CLSID\\{6B3A8F2E-4C1D-4E7A-9B52-3D8C0F1A7E64}";
constexpr char kServerKey[] =
    "SOFTWARE\\Classes\\CLSID\\{6B3A8F2E-4C1D-4E7A-9B52-3D8C0F1A7E64}\\InprocServer32";

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("VSTL_REGISTRY_ROOT", (folder_ / "machine").c_str(), 1);
    ::setenv("VSTL_USER_REGISTRY_ROOT", (folder_ / "user").c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("VSTL_REGISTRY_ROOT");
    ::unsetenv("VSTL_USER_REGISTRY_ROOT");
  }
  fs::path Machine() const { return folder_ / "machine"; }

  test::TempFolder folder_;
};

TEST_F(RegistryTest, ClassRegistrationRoundTrip) {
  ASSERT_EQ(CreateKey(kServerKey).code(), 0);
  ASSERT_EQ(SetStringValue(kClassKey, "", "Orlith Cam virtual camera").code(), 0);
  ASSERT_EQ(SetStringValue(kServerKey, "", "/usr/lib/libvistrel-vcam.so").code(), 0);
  ASSERT_EQ(SetStringValue(kServerKey, "ThreadingModel", "Both").code(), 0);

  EXPECT_EQ(OpenKey(kServerKey).code(), 0);
  std::string text;
  EXPECT_EQ(test::ReadValue(kServerKey, "", text), 0);
  EXPECT_EQ(text, "/usr/lib/libvistrel-vcam.so");
  EXPECT_EQ(test::ReadValue(kServerKey, "ThreadingModel", text), 0);
  EXPECT_EQ(text, "Both");
  // The layout on disk is what an installer or an administrator sees.
  EXPECT_EQ(*ReadFileText(Machine() / "SOFTWARE/Classes/CLSID" /
                          "{6B3A8F2E-4C1D-4E7A-9B52-3D8C0F1A7E64}" / "@"),
            "Orlith Cam virtual camera");

  std::vector<std::string> names;
  EXPECT_EQ(test::ReadNames(false, kServerKey, names), 0);
  EXPECT_EQ(names, (std::vector<std::string>{"", "ThreadingModel"}));
  EXPECT_EQ(test::ReadNames(true, kClassKey, names), 0);
  EXPECT_EQ(names, std::vector<std::string>{"InprocServer32"});

  // Machine values are readable by every user (the camera host runs as one).
  struct stat st{};
  ASSERT_EQ(::stat((Machine() / "SOFTWARE/Classes/CLSID" /
                    "{6B3A8F2E-4C1D-4E7A-9B52-3D8C0F1A7E64}/InprocServer32/@")
                       .c_str(),
                   &st),
            0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);

  EXPECT_EQ(DeleteTree(kClassKey).code(), 0);
  EXPECT_EQ(OpenKey(kServerKey).code(), ENOENT);
  EXPECT_EQ(OpenKey("SOFTWARE\\Classes\\CLSID").code(), 0);
}

TEST_F(RegistryTest, MissingThingsAreNotFound) {
  std::string text = "stale";
  EXPECT_EQ(OpenKey(kServerKey).code(), ENOENT);  // not even the root exists
  EXPECT_EQ(DeleteTree(kClassKey).code(), ENOENT);
  ASSERT_EQ(CreateKey(kClassKey).code(), 0);
  EXPECT_EQ(DeleteTree(kServerKey).code(), ENOENT);
  EXPECT_EQ(test::ReadValue(kClassKey, "", text), ENOENT);
  EXPECT_EQ(text, "");
  EXPECT_EQ(SetStringValue(kServerKey, "", "x").code(), ENOENT);  // the key must exist
  EXPECT_EQ(DeleteValue(kClassKey, "ThreadingModel").code(), ENOENT);
  std::vector<std::string> names;
  EXPECT_EQ(test::ReadNames(true, kServerKey, names), ENOENT);
  EXPECT_EQ(CreateKey(kClassKey).code(), 0);  // creating it again is fine
}

TEST_F(RegistryTest, EscapingNamesAreRefused) {
  ASSERT_EQ(CreateKey("SOFTWARE").code(), 0);
  ASSERT_TRUE(ReplaceFileContents(folder_ / "outside", "secret"));
  std::string text;
  for (const char* key : {"", "SOFTWARE\\..", "..\\outside", "SOFTWARE\\.", "SOFTWARE\\\\x",
                          "SOFTWARE\\", "\\SOFTWARE", "SOFTWARE/..", "a/b", ".."}) {
    SCOPED_TRACE(key);
    EXPECT_EQ(CreateKey(key).code(), EINVAL);
    EXPECT_EQ(OpenKey(key).code(), EINVAL);
    EXPECT_EQ(DeleteTree(key).code(), EINVAL);
    EXPECT_EQ(test::ReadValue(key, "", text), EINVAL);
  }
  for (const char* name : {"..", ".", "../outside", "a/b", "@", "value.tmp"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(SetStringValue("SOFTWARE", name, "x").code(), EINVAL);
    EXPECT_EQ(test::ReadValue("SOFTWARE", name, text), EINVAL);
    EXPECT_EQ(DeleteValue("SOFTWARE", name).code(), EINVAL);
  }
  EXPECT_EQ(CreateKey(std::string(256, 'k')).code(), EINVAL);
  EXPECT_EQ(SetStringValue("SOFTWARE", std::string_view("a\0b", 3), "x").code(), EINVAL);
  EXPECT_EQ(*ReadFileText(folder_ / "outside"), "secret");
  EXPECT_TRUE(fs::exists(Machine() / "SOFTWARE"));
}

TEST_F(RegistryTest, LinksInsideTheRootAreNotFollowed) {
  ASSERT_EQ(CreateKey("SOFTWARE").code(), 0);
  fs::create_directories(folder_ / "elsewhere/Key");
  ASSERT_TRUE(ReplaceFileContents(folder_ / "elsewhere/Key/@", "planted"));
  fs::create_directory_symlink(folder_ / "elsewhere", Machine() / "SOFTWARE/Link");
  fs::create_symlink(folder_ / "elsewhere/Key/@", Machine() / "SOFTWARE/Value");

  std::string text;
  EXPECT_EQ(OpenKey("SOFTWARE\\Link\\Key").code(), ELOOP);
  EXPECT_EQ(test::ReadValue("SOFTWARE\\Link\\Key", "", text), ELOOP);
  EXPECT_EQ(test::ReadValue("SOFTWARE", "Value", text), ENOENT);
  EXPECT_EQ(DeleteTree("SOFTWARE\\Link").code(), ELOOP);
  EXPECT_EQ(CreateKey("SOFTWARE\\Link\\Other").code(), ELOOP);
  std::vector<std::string> names;
  EXPECT_EQ(test::ReadNames(true, "SOFTWARE", names), 0);
  EXPECT_TRUE(names.empty());
  EXPECT_EQ(DeleteTree("SOFTWARE").code(), 0);
  EXPECT_EQ(*ReadFileText(folder_ / "elsewhere/Key/@"), "planted");
}

TEST_F(RegistryTest, UntrustedValuesAreBounded) {
  ASSERT_EQ(CreateKey("K").code(), 0);
  std::string text;
  const std::string largest(kMaxRegistryValueBytes, 'v');
  EXPECT_EQ(SetStringValue("K", "big", largest).code(), 0);
  EXPECT_EQ(test::ReadValue("K", "big", text), 0);
  EXPECT_EQ(text.size(), kMaxRegistryValueBytes);
  EXPECT_EQ(SetStringValue("K", "big", largest + "v").code(), EFBIG);
  EXPECT_EQ(test::ReadValue("K", "big", text), 0);  // the old value stays

  // Values written behind the registry's back.
  ASSERT_TRUE(ReplaceFileContents(Machine() / "K/huge", largest + "v"));
  EXPECT_EQ(test::ReadValue("K", "huge", text), EFBIG);
  ASSERT_TRUE(ReplaceFileContents(Machine() / "K/nul", std::string("lib\0.so", 7)));
  EXPECT_EQ(test::ReadValue("K", "nul", text), EILSEQ);
  EXPECT_EQ(text, "");
  fs::create_directory(Machine() / "K/folder");
  EXPECT_EQ(test::ReadValue("K", "folder", text), ENOENT);
  ASSERT_EQ(::mkfifo((Machine() / "K/fifo").c_str(), 0600), 0);
  EXPECT_EQ(test::ReadValue("K", "fifo", text), ENOENT);  // and it does not block
}

TEST_F(RegistryTest, UserHiveIsSeparateAndPrivate) {
  ASSERT_EQ(CreateKey("SOFTWARE\\Vistrel", RegistryHive::kUser).code(), 0);
  ASSERT_EQ(SetStringValue("SOFTWARE\\Vistrel", "A", "1", RegistryHive::kUser).code(), 0);
  EXPECT_EQ(OpenKey("SOFTWARE\\Vistrel").code(), ENOENT);
  EXPECT_EQ(OpenKey("SOFTWARE\\Vistrel", KeyAccess::kWrite, RegistryHive::kUser).code(), 0);
  struct stat st{};
  ASSERT_EQ(::stat((folder_ / "user/SOFTWARE/Vistrel/A").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat((folder_ / "user/SOFTWARE/Vistrel").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(DeleteValue("SOFTWARE\\Vistrel", "A", RegistryHive::kUser).code(), 0);
  std::vector<std::string> names;
  EXPECT_EQ(test::ReadNames(false, "SOFTWARE\\Vistrel", names, RegistryHive::kUser), 0);
  EXPECT_TRUE(names.empty());
}

TEST(RegistryRootTest, DefaultsAndRelativeOverrides) {
  ::unsetenv("VSTL_REGISTRY_ROOT");
  EXPECT_EQ(RegistryRoot(), fs::path("/var/lib/vistrel/registry"));
  ::setenv("VSTL_REGISTRY_ROOT", "relative/root", 1);
  EXPECT_EQ(RegistryRoot(), fs::path("/var/lib/vistrel/registry"));
  ::unsetenv("VSTL_REGISTRY_ROOT");
  ::unsetenv("VSTL_USER_REGISTRY_ROOT");
  ::setenv("XDG_CONFIG_HOME", "/tmp/cfg", 1);
  EXPECT_EQ(RegistryRoot(RegistryHive::kUser), fs::path("/tmp/cfg/vistrel/registry"));
  ::unsetenv("XDG_CONFIG_HOME");
}

// dpkg installing into another root (DPKG_ROOT) writes that system's hive,
// with paths as that system sees them, whatever this system's override says.
TEST_F(RegistryTest, InstallIntoAnotherRoot) {
  const fs::path target = folder_ / "target";
  ::setenv("DPKG_ROOT", (target.string() + "/").c_str(), 1);
  EXPECT_EQ(RegistryRoot(), target / "var/lib/vistrel/registry");
  ASSERT_EQ(CreateKey(kServerKey).code(), 0);
  ASSERT_EQ(SetStringValue(kServerKey, "", target.string() + "/usr/lib/libvistrel-vcam.so").code(), 0);
  ASSERT_EQ(SetStringValue(kServerKey, "Other", target.string() + "-not/lib.so").code(), 0);
  ASSERT_EQ(CreateKey("K", RegistryHive::kUser).code(), 0);
  ASSERT_EQ(SetStringValue("K", "Own", target.string() + "/x", RegistryHive::kUser).code(), 0);
  ::setenv("DPKG_ROOT", "/", 1);  // this system
  EXPECT_EQ(RegistryRoot(), Machine());
  ::unsetenv("DPKG_ROOT");

  const fs::path server = target / "var/lib/vistrel/registry/SOFTWARE/Classes/CLSID" /
                          "{6B3A8F2E-4C1D-4E7A-9B52-3D8C0F1A7E64}/InprocServer32";
  EXPECT_EQ(*ReadFileText(server / "@"), "/usr/lib/libvistrel-vcam.so");
  EXPECT_EQ(*ReadFileText(server / "Other"), target.string() + "-not/lib.so");
  EXPECT_FALSE(fs::exists(Machine()));
  std::string text;
  EXPECT_EQ(test::ReadValue("K", "Own", text, RegistryHive::kUser), 0);
  EXPECT_EQ(text, target.string() + "/x");
}

}  // namespace
}  // namespace vistrel
