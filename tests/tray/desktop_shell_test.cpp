#include "platform/desktop_shell.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>

#include "platform/files.h"
#include "tests/support/temp_folder.h"

namespace vistrel {
namespace {

namespace fs = std::filesystem;

TEST(TrayDesktopShell, AutostartEntryAndTestHooks) {
  test::TempFolder root;
  setenv("XDG_CONFIG_HOME", (root.path() / "config").c_str(), 1);
  setenv("XDG_RUNTIME_DIR", (root.path() / "run").c_str(), 1);
  fs::create_directories(root.path() / "run");
  fs::permissions(root.path() / "run", fs::perms::owner_all);

  // The Exec value: the path quoted, its specials escaped twice, then the switch.
  EXPECT_EQ(AutostartExec("/opt/vistrel/vistrel"), "\"/opt/vistrel/vistrel\" --background");
  EXPECT_EQ(AutostartExec("/opt/a \"b\" $c 100%/vistrel"),
            "\"/opt/a \\\\\"b\\\\\" \\\\$c 100%%/vistrel\" --background");
  EXPECT_EQ(AutostartExec("/opt/line\nbreak"), "");
  EXPECT_FALSE(IsAutostartEnabled());
  ASSERT_TRUE(SetAutostart(true, "/opt/vistrel/vistrel"));
  EXPECT_TRUE(IsAutostartEnabled());
  const std::string entry = ReadFileText(AutostartFile()).value_or("");
  EXPECT_NE(entry.find("\nExec=\"/opt/vistrel/vistrel\" --background\n"), std::string::npos);
  EXPECT_FALSE(SetAutostart(true, "/opt/line\nbreak"));
  ASSERT_TRUE(SetAutostart(false, {}));
  EXPECT_FALSE(IsAutostartEnabled());

  const fs::path hook = root.path() / "run" / "vistrel" / "vstl_notify.txt";
  for (const char* off : {"0", "1234", "", "x1"}) {
    setenv("VSTL_TEST_HOOKS", off, 1);
    EXPECT_FALSE(TestHooksEnabled()) << off;
    WriteTestHookFile("vstl_notify.txt", "a\n", true);
    EXPECT_FALSE(fs::exists(hook)) << off;
  }
  setenv("VSTL_TEST_HOOKS", "1ab", 1);
  EXPECT_TRUE(TestHooksEnabled());
  WriteTestHookFile("vstl_notify.txt", "a\n", true);
  WriteTestHookFile("vstl_notify.txt", "b\n", true);
  EXPECT_EQ(ReadFileText(hook).value_or(""), "a\nb\n");
  struct stat st {};
  ASSERT_EQ(::stat(hook.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // A link planted under a hook's name is never written through.
  const fs::path target = root.path() / "elsewhere.txt";
  std::ofstream(target) << "keep";
  fs::create_symlink(target, root.path() / "run" / "vistrel" / "vstl_home_state.txt");
  WriteTestHookFile("vstl_home_state.txt", "Monitoring", false);
  EXPECT_EQ(ReadFileText(target).value_or(""), "keep");
  unsetenv("VSTL_TEST_HOOKS");
  unsetenv("XDG_RUNTIME_DIR");
  unsetenv("XDG_CONFIG_HOME");
}

}  // namespace
}  // namespace vistrel
