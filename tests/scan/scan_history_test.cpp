#include <gtest/gtest.h>
#include <sys/file.h>

#include <fcntl.h>
#include <fstream>

#include "platform/files.h"
#include "platform/log.h"
#include "scan/scan_context.h"
#include "tests/scan/fake_scan_services.h"
#include "tests/support/temp_folder.h"

namespace vistrel {
namespace {

namespace fs = std::filesystem;

TEST(ScanHistory, EscapesTextAndReadsWhatItCan) {
  const std::deque<ScanEntry> entries = {
      {-5, "barcode", {}, 9, "a\tb\\c\r\nd\\"},
      {1700000000, "file", "/home/u/Scans/a b.pdf", 1234, ""},
  };
  const std::string text = FormatScanHistory(entries);
  EXPECT_EQ(text,
            "-5\tbarcode\t9\t\ta\\tb\\\\c\\r\\nd\\\\\n"
            "1700000000\tfile\t1234\t/home/u/Scans/a b.pdf\t\n");
  EXPECT_EQ(ParseScanHistory(text), entries);
  // CR LF reads like LF; three TABs are too few; the unfinished last line is lost;
  // a lone trailing backslash stays; numbers read as far as they go.
  EXPECT_EQ(ParseScanHistory("12x\tocr\t-\t\tend\\\r\n1\t2\t3\n7\tocr\t1\t\tlost"),
            (std::deque<ScanEntry>{{12, "ocr", {}, 0, "end\\"}}));
  EXPECT_EQ(ParseScanHistory("1\tocr\t2\t\t\\q\\"), std::deque<ScanEntry>{});
  EXPECT_EQ(ParseScanHistory("1\tocr\t2\t\t\\q\\x\n").front().text, "qx");

  EXPECT_EQ(EntryDisplayText({0, "file", "/home/u/Scans/a.pdf", 1, ""}), "a.pdf");
  EXPECT_EQ(EntryDisplayText({0, "ocr", {}, 300, std::string(300, 'x')}), std::string(200, 'x'));
}

TEST(ScanContext, KeepsTheNewest100AcrossARestart) {
  test::TempFolder folder;
  test::FakeDesktop desktop;
  test::FakeScanEnvironment environment;
  AppSettings settings;
  settings.scans_folder = folder / "scans";
  {
    ScanContext context(desktop, environment);
    context.Load(folder.path(), settings);
    for (int i = 0; i < 101; ++i) context.AddEntry({i, "ocr", {}, 1, "line\t" + std::to_string(i)});
    EXPECT_EQ(context.Revision(), 101u);
    const std::vector<ScanEntry> latest = context.LatestEntries(4);
    ASSERT_EQ(latest.size(), 4u);
    EXPECT_EQ(latest[0].time, 100);
    EXPECT_EQ(latest[3].time, 97);
  }
  const std::string file = ReadFileText(folder / "scans.tsv").value_or("");
  EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), 100);
  EXPECT_EQ(file.substr(0, 16), "1\tocr\t1\t\tline\\t1");
  ScanContext reloaded(desktop, environment);
  reloaded.Load(folder.path(), settings);
  EXPECT_EQ(reloaded.Revision(), 0u);
  const std::vector<ScanEntry> all = reloaded.LatestEntries(200);
  ASSERT_EQ(all.size(), 100u);
  EXPECT_EQ(all.front().text, "line\t100");
  EXPECT_EQ(all.back().text, "line\t1");
  EXPECT_EQ(reloaded.LatestEntries(0).size(), 0u);
}

TEST(ScanContext, LoadRemovesOnlyTransfersWhoseWriterIsGone) {
  test::TempFolder folder;
  const fs::path scans = folder / "scans";
  fs::create_directories(scans);
  const std::string id = "00000000-0000-4000-8000-000000000001";
  std::ofstream(scans / (".orlith-" + id + ".part")) << "half a file";
  std::ofstream(scans / ".orlith-00000000-0000-4000-8000-00000000000A.part") << "not ours";
  std::ofstream(scans / "kept.pdf") << "%PDF-";
  fs::create_symlink(scans / "kept.pdf", scans / ".orlith-00000000-0000-4000-8000-000000000002.part");
  // A transfer still being written by another receiver holds its lock.
  Result<UniqueFd> live = CreateLockedPrivateFile(scans / ".orlith-00000000-0000-4000-8000-000000000003.part");
  ASSERT_TRUE(live.ok());
  test::FakeDesktop desktop;
  ScanContext context(desktop);
  AppSettings settings;
  settings.scans_folder = scans;
  ScopedLogCapture log;
  context.Load(folder / "data", settings);
  EXPECT_TRUE(log.Contains("[scan] removed 1 unfinished transfers left by an earlier run\n"));
  EXPECT_FALSE(fs::exists(scans / (".orlith-" + id + ".part")));
  EXPECT_TRUE(fs::exists(scans / ".orlith-00000000-0000-4000-8000-00000000000A.part"));
  EXPECT_TRUE(fs::is_symlink(scans / ".orlith-00000000-0000-4000-8000-000000000002.part"));
  EXPECT_TRUE(fs::exists(scans / ".orlith-00000000-0000-4000-8000-000000000003.part"));
  EXPECT_TRUE(fs::exists(scans / "kept.pdf"));
}

}  // namespace
}  // namespace vistrel
