#include "app/command_line.h"

#include <gtest/gtest.h>

namespace vistrel {
namespace {

CommandLine Parse(std::vector<std::string> args, bool display = true) {
  args.insert(args.begin(), "/usr/bin/vistrel");
  return ParseCommandLine(args, display);
}

TEST(CommandLine, DataDirNeedsAValueAndTheLastWins) {
  EXPECT_EQ(Parse({"--data-dir"}).options.data_folder, "");
  EXPECT_EQ(Parse({"--data-dir", "/a", "--data-dir", "/b"}).options.data_folder, "/b");
  EXPECT_EQ(Parse({"--data-dir", "/a", "--data-dir"}).options.data_folder, "/a");
}

TEST(CommandLine, SwitchesAreFoundInsideOtherArguments) {
  CommandLine line = Parse({"--data-dir", "/home/me/x--background y"});
  EXPECT_TRUE(line.background);
  EXPECT_FALSE(line.remove_camera);
  EXPECT_TRUE(Parse({"/tmp/--remove-camera.txt"}).remove_camera);
}

TEST(CommandLine, DefaultsAndUnknownArguments) {
  CommandLine line = Parse({"--frobnicate", "7"});
  EXPECT_TRUE(line.error.empty());
  EXPECT_EQ(line.options.port, 47800u);
  EXPECT_TRUE(line.options.create_camera);
  EXPECT_TRUE(line.options.camera_for_all_sessions);
  EXPECT_TRUE(line.options.usb_link);
  EXPECT_EQ(line.options.pairing_window_ms, 120000u);
  EXPECT_FALSE(line.headless);
  EXPECT_TRUE(Parse({}, /*display=*/false).headless);
}

TEST(CommandLine, ConsoleOptions) {
  CommandLine line = Parse({"--headless", "--port", "0", "--name", "Desk", "--set",
                            "record=off", "--set", "zones=", "--no-camera", "--no-usb",
                            "--camera-session"});
  EXPECT_TRUE(line.error.empty());
  EXPECT_TRUE(line.headless);
  EXPECT_EQ(line.options.port, 0u);
  EXPECT_EQ(line.options.receiver_name, "Desk");
  ASSERT_EQ(line.options.setting_overrides.size(), 2u);
  EXPECT_EQ(line.options.setting_overrides[0], (std::pair<std::string, std::string>{"record", "off"}));
  EXPECT_EQ(line.options.setting_overrides[1], (std::pair<std::string, std::string>{"zones", ""}));
  EXPECT_FALSE(line.options.create_camera);
  EXPECT_FALSE(line.options.usb_link);
  EXPECT_FALSE(line.options.camera_for_all_sessions);
}

TEST(CommandLine, BadValuesOfOurOptionsAreReported) {
  EXPECT_FALSE(Parse({"--port", "70000"}).error.empty());
  EXPECT_FALSE(Parse({"--port", "12a"}).error.empty());
  EXPECT_FALSE(Parse({"--set", "novalue"}).error.empty());
  EXPECT_FALSE(Parse({"--pairing-window", "0"}).error.empty());
  EXPECT_EQ(Parse({"--pairing-window", "2"}).options.pairing_window_ms, 2000u);
}

}  // namespace
}  // namespace vistrel
