#include "platform/log.h"

#include <gtest/gtest.h>

#include <fstream>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "tests/support/temp_folder.h"

namespace vistrel {
namespace {

void MakeFile(const std::filesystem::path& path, size_t size) {
  std::ofstream(path, std::ios::binary) << std::string(size, 'x');
}

TEST(Log, RotatesOnlyAboveFourMebibytes) {
  test::TempFolder folder;
  MakeFile(folder / "vistrel.log", 4'194'304);
  OpenLogFile(folder.path());
  CloseLogFile();
  EXPECT_FALSE(std::filesystem::exists(folder / "vistrel.old.log"));

  MakeFile(folder / "vistrel.log", 4'194'305);
  MakeFile(folder / "vistrel.old.log", 3);
  OpenLogFile(folder.path());
  LogLine("[app] fresh %d\n", 1);
  CloseLogFile();
  EXPECT_EQ(std::filesystem::file_size(folder / "vistrel.old.log"), 4'194'305u);
  EXPECT_EQ(*ReadFileText(folder / "vistrel.log"), "[app] fresh 1\n");
}

TEST(Log, LinesFromManyThreadsStayWhole) {
  test::TempFolder folder;
  OpenLogFile(folder.path());
  const std::string long_text(3000, 'y');  // longer than the stack buffer
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) LogLine("[test] %d %s\n", t, long_text.c_str());
    });
  }
  for (auto& thread : threads) thread.join();
  CloseLogFile();
  std::ifstream in(folder / "vistrel.log");
  std::string line;
  int lines = 0;
  while (std::getline(in, line)) {
    ++lines;
    ASSERT_EQ(line.size(), 9 + long_text.size());
  }
  EXPECT_EQ(lines, 800);
}

TEST(Log, CaptureSeesLines) {
  ScopedLogCapture capture;
  LogLine("[net] %s\n", "hello");
  EXPECT_TRUE(capture.Contains("[net] hello\n"));
}

}  // namespace
}  // namespace vistrel
