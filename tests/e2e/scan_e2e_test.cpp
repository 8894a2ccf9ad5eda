// The real receiver as a document scanner, fed by the simulator in scan
// mode: files of the four types saved under safe, unique names, every
// refusal, transfers cut by the phone or by a killed receiver, the history
// across a restart, a full disk, and texts typed and copied under Xvfb.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <random>

#include "link/json.h"
#include "platform/files.h"
#include "tests/e2e/e2e_support.h"
#include "tests/e2e/x_display.h"
#include "tests/support/tmpfs_mount.h"
#include "tools/phone/scan.h"

namespace vistrel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using phone::FileResult;
using phone::ScanFile;

std::string RandomBytesOf(size_t size, std::string head) {
  std::mt19937 random(static_cast<uint32_t>(size));
  while (head.size() < size) head += static_cast<char>(random());
  return head;
}

ScanFile File(std::string name, std::string mime, std::string bytes) {
  ScanFile file;
  file.name = std::move(name);
  file.mime = std::move(mime);
  file.bytes = std::move(bytes);
  return file;
}

std::vector<std::string> FilesIn(const fs::path& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    names.push_back(it->path().filename());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class ScanE2E : public ::testing::Test {
 protected:
  bool Start(const fs::path& scans, std::vector<std::string> settings = {}) {
    std::vector<std::string> args = {"--set", "scans_dir=" + scans.string()};
    for (const std::string& setting : settings) {
      args.push_back("--set");
      args.push_back(setting);
    }
    if (!receiver_.Start(args)) return false;
    if (device_) return true;
    device_ = phone::Phone::Create(receiver_.root() / "phone");
    return device_ && test::PairAndApprove(receiver_, *device_, "Scanner");
  }
  std::unique_ptr<phone::PhoneLink> Open() {
    auto link = device_->Connect("127.0.0.1", receiver_.port());
    std::string reply;
    if (!link || !phone::OpenScanSession(*link, "Scanner", reply)) return nullptr;
    return link;
  }
  // What the receiver answers to the next file message; "" when nothing.
  static std::string Error(phone::PhoneLink& link) {
    std::optional<FileResult> result = phone::ReadFileResult(link, 10000);
    return result ? (result->ok ? "saved " + result->saved_as : result->error) : "";
  }
  // A PING answered: everything sent before it was handled.
  static bool Sync(phone::PhoneLink& link) {
    link.Send(kPing, "sync");
    for (;;) {
      Frame frame = link.Read(10000);
      if (frame.result != ReadResult::kOk) return false;
      if (frame.type == kPong) return true;
    }
  }
  fs::path scans() const { return receiver_.root() / "scans"; }

  test::ReceiverProcess receiver_;
  std::unique_ptr<phone::Phone> device_;
};

TEST_F(ScanE2E, FilesAreSavedInterleavedAndVerifiedAndEveryRefusalIsReached) {
  ASSERT_TRUE(Start(scans()));
  auto link = Open();
  ASSERT_NE(link, nullptr);
  std::vector<ScanFile> files(4);
  files[0] = File("Scans/report.pdf", "application/pdf", RandomBytesOf(100'000, "%PDF-1.7\n"));
  files[1] = File("photo.heic", "image/jpeg", RandomBytesOf(50'000, "\xFF\xD8\xFF\xE0"));
  files[2] = File("..\\page.PNG", "image/png", RandomBytesOf(30'000, std::string("\x89PNG\r\n\x1A\n", 8)));
  files[3] = File("notes", "text/plain", "line one\nline two\n");
  phone::ScanOptions options;
  options.chunk = 4096;
  options.parallel = 4;
  phone::ScanReport report = phone::SendFiles(*link, files, options);
  ASSERT_EQ(report.results.size(), 4u);
  const char* expected[] = {"report.pdf", "photo.heic.jpg", "page.PNG", "notes.txt"};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(report.results[i].json, "{\"id\":" + JsonQuote(files[i].id) +
                                          ",\"ok\":true,\"saved_as\":" + JsonQuote(expected[i]) + "}");
    EXPECT_EQ(ReadFileText(scans() / expected[i]), files[i].bytes) << expected[i];
    // The log comes through a pipe and may trail the reply.
    EXPECT_TRUE(receiver_.WaitForLog("[scan] saved " + (scans() / expected[i]).string() + " (" +
                                     std::to_string(files[i].bytes.size()) +
                                     " bytes, SHA-256 verified)\n"));
  }
  files[0].id = phone::NewTransferId();
  report = phone::SendFiles(*link, {files[0]}, options);
  ASSERT_EQ(report.results.size(), 1u);
  EXPECT_EQ(report.results[0].saved_as, "report (2).pdf");

  // Refusals at FILE_BEGIN.
  const std::string sha = HexEncode(Sha256(AsBytes("abc")));
  auto begin_json = [&](const std::string& id, const std::string& mime, const std::string& size) {
    return "{\"id\":\"" + id + "\",\"name\":\"x\",\"mime\":\"" + mime + "\",\"size\":" + size +
           ",\"sha256\":\"" + sha + "\"}";
  };
  const std::string a = phone::NewTransferId(), b = phone::NewTransferId(),
                    c = phone::NewTransferId(), d = phone::NewTransferId();
  link->Send(kFileBegin, begin_json(a, "text/plain", "1.5"));
  EXPECT_EQ(Error(*link), "malformed");
  link->Send(kFileBegin, begin_json(a, "text/plain", "52428801"));
  EXPECT_EQ(Error(*link), "too_large");
  link->Send(kFileBegin, begin_json(a, "image/gif", "3"));
  EXPECT_EQ(Error(*link), "mime");
  for (const std::string& id : {a, b, c, d}) link->Send(kFileBegin, begin_json(id, "text/plain", "3"));
  link->Send(kFileBegin, begin_json(a, "text/plain", "3"));
  EXPECT_EQ(Error(*link), "duplicate_id");
  const std::string refused = phone::NewTransferId();
  link->Send(kFileBegin, begin_json(refused, "text/plain", "3"));
  EXPECT_EQ(Error(*link), "busy");
  // Refusals at FILE_END; the connection stays through all of them.
  link->Send(kFileChunk, phone::ChunkPayload(a, "abcd"));
  link->Send(kFileEnd, "{\"id\":\"" + a + "\"}");
  EXPECT_EQ(Error(*link), "size");
  link->Send(kFileChunk, phone::ChunkPayload(b, "abd"));
  link->Send(kFileEnd, "{\"id\":\"" + b + "\"}");
  EXPECT_EQ(Error(*link), "checksum");
  link->Send(kFileEnd, "{\"id\":\"" + refused + "\"}");  // already refused: no answer
  link->Send(kFileEnd, "{\"id\":\"" + phone::NewTransferId() + "\"}");
  EXPECT_EQ(Error(*link), "unknown_id");
  link->Send(kFileEnd, "{\"id\":\"" + c + "\"}");
  EXPECT_EQ(Error(*link), "size");
  ScanFile fake_png = File("p.png", "image/png", "not a PNG");
  EXPECT_EQ(phone::SendFiles(*link, {fake_png}, options).results.at(0).error, "content");
  // The scans folder is a file for a moment.
  fs::rename(scans(), receiver_.root() / "scans.away");
  std::ofstream(scans()) << "in the way";
  link->Send(kFileBegin, begin_json(phone::NewTransferId(), "text/plain", "3"));
  EXPECT_EQ(Error(*link), "folder");
  fs::remove(scans());
  fs::rename(receiver_.root() / "scans.away", scans());
  // A link planted at the temporary name.
  const std::string planted = phone::NewTransferId();
  fs::create_symlink("/etc/passwd", scans() / (".orlith-" + planted + ".part"));
  link->Send(kFileBegin, begin_json(planted, "text/plain", "3"));
  EXPECT_EQ(Error(*link), "write_failed");
  link->Send(kFileChunk, phone::ChunkPayload(d, "abc"));
  link->Send(kFileEnd, "{\"id\":\"" + d + "\"}");
  EXPECT_EQ(Error(*link), "saved x.txt");
  EXPECT_EQ(FilesIn(scans()),
            (std::vector<std::string>{".orlith-" + planted + ".part", "notes.txt", "page.PNG",
                                      "photo.heic.jpg", "report (2).pdf", "report.pdf", "x.txt"}));
}

TEST_F(ScanE2E, CutTransfersLeaveNothingAndTheHistorySurvivesARestart) {
  ASSERT_TRUE(Start(scans(), {"allow_typing=on"}));
  {
    auto link = Open();
    ASSERT_NE(link, nullptr);
    phone::ScanOptions options;
    options.stop_after = 1 << 20;
    const ScanFile big = File("big.pdf", "application/pdf", RandomBytesOf(4 << 20, "%PDF-"));
    EXPECT_TRUE(phone::SendFiles(*link, {big}, options).stopped);
    ASSERT_TRUE(receiver_.WaitForLog("\"Scanner\" disconnected"));
    EXPECT_TRUE(FilesIn(scans()).empty());
  }
  {
    auto link = Open();
    ASSERT_NE(link, nullptr);
    const ScanFile big = File("big.pdf", "application/pdf", RandomBytesOf(1 << 20, "%PDF-"));
    link->Send(kFileBegin, phone::FileBeginJson(big));
    link->Send(kFileChunk, phone::ChunkPayload(big.id, std::string_view(big.bytes).substr(0, 65536)));
    ASSERT_TRUE(Sync(*link));
    EXPECT_EQ(FilesIn(scans()), (std::vector<std::string>{".orlith-" + big.id + ".part"}));
    EXPECT_EQ(receiver_.Signal(SIGKILL), 128 + SIGKILL);
  }
  ASSERT_TRUE(Start(scans(), {"allow_typing=on"}));
  EXPECT_TRUE(receiver_.WaitForLog("[scan] removed 1 unfinished transfers left by an earlier run\n"));
  EXPECT_TRUE(FilesIn(scans()).empty());

  auto link = Open();
  ASSERT_NE(link, nullptr);
  for (int i = 1; i <= 100; ++i) {
    link->Send(kText, phone::TextJson("t" + std::to_string(i) + "\tA\r\nB\\", "ocr", "copy"));
  }
  link->Send(kText, phone::TextJson("4006381333931", "barcode", "type"));
  ASSERT_TRUE(Sync(*link));
  EXPECT_TRUE(receiver_.WaitForLog("[text] could not use the clipboard\n"));
  EXPECT_TRUE(receiver_.WaitForLog(
      "[text] typing into apps is not available; could not use the clipboard either\n"));
  receiver_.Send("status");
  EXPECT_TRUE(receiver_.WaitForOutput(" scans_revision=101\n"));
  link.reset();
  ASSERT_EQ(receiver_.Quit(), 0);

  const std::string history = ReadFileText(receiver_.data_folder() / "scans.tsv").value_or("");
  EXPECT_EQ(std::count(history.begin(), history.end(), '\n'), 100);
  EXPECT_EQ(history.find("t1\\t"), std::string::npos);
  EXPECT_NE(history.find("\tocr\t8\t\tt2\\tA\\r\\nB\\\\\n"), std::string::npos);
  ASSERT_TRUE(Start(scans()));
  receiver_.Send("scans");
  EXPECT_TRUE(receiver_.WaitForOutput("barcode           13 bytes  4006381333931\n"));
  EXPECT_TRUE(receiver_.WaitForOutput(" 10 bytes  t100A\n"));
  receiver_.Send("status");
  EXPECT_TRUE(receiver_.WaitForOutput(" scans_revision=0\n"));
}

TEST_F(ScanE2E, AFullDiskRefusesAndFailsInTheMiddleOfAFile) {
  const fs::path small = receiver_.root() / "small-disk";
  test::TmpfsMount mount(small, "size=72m");
  if (!mount.mounted()) GTEST_SKIP() << mount.skip_reason();
  ASSERT_TRUE(Start(small));
  auto link = Open();
  ASSERT_NE(link, nullptr);
  const ScanFile file = File("f.txt", "text/plain", std::string(4 << 20, 'a'));
  link->Send(kFileBegin, phone::FileBeginJson(file));
  auto send_chunks = [&](size_t from, size_t to) {
    for (size_t offset = from; offset < to; offset += 262144) {
      link->Send(kFileChunk,
                 phone::ChunkPayload(file.id, std::string_view(file.bytes).substr(offset, 262144)));
    }
  };
  send_chunks(0, 1 << 20);
  ASSERT_TRUE(Sync(*link));
  // Another program fills the disk while the file comes in.
  const uint64_t free_bytes = AvailableBytes(small).value_or(0);
  ASSERT_GT(free_bytes, 1u << 20);
  std::ofstream(small / "filler", std::ios::binary) << std::string(free_bytes - (512 << 10), '\0');
  send_chunks(1 << 20, file.bytes.size());
  link->Send(kFileEnd, "{\"id\":\"" + file.id + "\"}");
  EXPECT_EQ(Error(*link), "write_failed");
  EXPECT_EQ(FilesIn(small), (std::vector<std::string>{"filler"}));
  const ScanFile next = File("g.txt", "text/plain", "small");
  link->Send(kFileBegin, phone::FileBeginJson(next));
  EXPECT_EQ(Error(*link), "disk_full");
  EXPECT_TRUE(receiver_.WaitForLog("[scan] refused \"g.txt\": disk_full\n"));
  fs::remove(small / "filler");
  EXPECT_EQ(phone::SendFiles(*link, {File("g.txt", "text/plain", "small")},
                             {}).results.at(0).saved_as,
            "g.txt");
}

TEST_F(ScanE2E, BarcodeTypedIntoTheFocusedWindowAndTextOnTheClipboardUnderXvfb) {
  test::Xvfb x;
  if (x.name().empty()) GTEST_SKIP() << "Xvfb could not be started (is the xvfb package installed?)";
  auto window = test::FocusedWindow::Open(x.name());
  ASSERT_NE(window, nullptr);
  receiver_.AddEnvironment("DISPLAY=" + x.name());
  ASSERT_TRUE(Start(scans(), {"allow_typing=on"}));
  auto link = Open();
  ASSERT_NE(link, nullptr);
  // Upper case, Latin-1, Cyrillic, the euro sign and a character beyond 16 bits.
  link->Send(kText, phone::TextJson("Abc-123 \xC3\x84\xD0\x96\xE2\x82\xAC\xF0\x9F\x98\x80\r\n",
                                    "barcode", "type"));
  ASSERT_TRUE(receiver_.WaitForLog("[text] typed 13 characters into the focused app\n"));
  EXPECT_EQ(window->ReadTyped(500ms), "Abc-123 \xC3\x84\xD0\x96\xE2\x82\xAC\xF0\x9F\x98\x80");
  link->Send(kText, phone::TextJson("copied\ttext \xE2\x9C\x93", "ocr", "copy"));
  ASSERT_TRUE(receiver_.WaitForLog("[text] copied to the clipboard\n"));
  EXPECT_EQ(window->ReadClipboard(), "copied\ttext \xE2\x9C\x93");
  link.reset();
  EXPECT_EQ(receiver_.Quit(), 0) << receiver_.Log();
}

}  // namespace
}  // namespace vistrel
