#include "platform/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>

#include "tests/support/temp_folder.h"

namespace vistrel {
namespace {

TEST(Files, ReplaceWritesWholeFileAndLeavesNoTemporary) {
  test::TempFolder folder;
  auto target = folder / "settings.ini";
  ASSERT_TRUE(ReplaceFileContents(target, "old"));
  ASSERT_TRUE(ReplaceFileContents(target, "new content"));
  EXPECT_EQ(*ReadFileText(target), "new content");
  EXPECT_FALSE(std::filesystem::exists(folder / "settings.ini.tmp"));
}

TEST(Files, FailedReplaceKeepsTheOldFile) {
  test::TempFolder folder;
  auto target = folder / "id.txt";
  ASSERT_TRUE(ReplaceFileContents(target, "keep me"));
  // A folder where the temporary file must go makes the write fail.
  std::filesystem::create_directory(folder / "id.txt.tmp");
  EXPECT_FALSE(ReplaceFileContents(target, "lost"));
  EXPECT_EQ(*ReadFileText(target), "keep me");
}

TEST(Files, RenameNoReplaceRefusesAnExistingTarget) {
  test::TempFolder folder;
  ASSERT_TRUE(ReplaceFileContents(folder / "a", "a"));
  ASSERT_TRUE(ReplaceFileContents(folder / "b", "b"));
  EXPECT_EQ(RenameNoReplace(folder / "a", folder / "b").code(), EEXIST);
  EXPECT_EQ(*ReadFileText(folder / "b"), "b");
  EXPECT_TRUE(RenameNoReplace(folder / "a", folder / "c"));
}

TEST(Files, PrivateFileRefusesSymlinksAndIsPrivate) {
  test::TempFolder folder;
  ASSERT_TRUE(ReplaceFileContents(folder / "victim", "secret"));
  std::filesystem::create_symlink(folder / "victim", folder / "dump.bin");
  EXPECT_FALSE(WritePrivateFile(folder / "dump.bin", "attack"));
  EXPECT_EQ(*ReadFileText(folder / "victim"), "secret");

  ASSERT_TRUE(WritePrivateFile(folder / "real.bin", "data"));
  struct stat st{};
  ASSERT_EQ(::stat((folder / "real.bin").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(Files, ReadRefusesOversizedFiles) {
  test::TempFolder folder;
  ASSERT_TRUE(ReplaceFileContents(folder / "big", std::string(100, 'x')));
  EXPECT_FALSE(ReadFileText(folder / "big", 99).has_value());
  EXPECT_EQ(ReadFileText(folder / "big", 100)->size(), 100u);
  EXPECT_FALSE(ReadFileText(folder / "missing").has_value());
  // The reasons tell an absent file from one that is there.
  EXPECT_EQ(ReadFileContents(folder / "missing").error().code, ENOENT);
  EXPECT_EQ(ReadFileContents(folder / "big", 99).error().code, EFBIG);
  EXPECT_EQ(ReadFileContents(folder.path()).error().code, EISDIR);
}

}  // namespace
}  // namespace vistrel
