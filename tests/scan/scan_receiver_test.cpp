#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "platform/files.h"
#include "platform/log.h"
#include "scan/scan_receiver.h"
#include "tests/scan/fake_scan_services.h"
#include "tests/support/temp_folder.h"
#include "tests/support/tmpfs_mount.h"

namespace vistrel {
namespace {

namespace fs = std::filesystem;

constexpr char kPdfBytes[] = "%PDF-1.7 a page";

std::string Id(int n) {
  char text[40];
  std::snprintf(text, sizeof text, "00000000-0000-4000-8000-%012d", n);
  return text;
}

std::string DigestHex(std::string_view bytes) { return HexEncode(Sha256(AsBytes(bytes))); }

std::string Begin(const std::string& id, const std::string& name, const std::string& mime,
                  std::string_view bytes, const std::string& size = "") {
  return "{\"id\":\"" + id + "\",\"name\":\"" + name + "\",\"mime\":\"" + mime + "\",\"size\":" +
         (size.empty() ? std::to_string(bytes.size()) : size) + ",\"sha256\":\"" +
         DigestHex(bytes) + "\"}";
}

Bytes Chunk(const std::string& id, std::string_view data) {
  std::string digits = id;
  std::erase(digits, '-');
  for (char& c : digits) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  Bytes payload = *HexDecode(digits);
  payload.insert(payload.end(), data.begin(), data.end());
  return payload;
}

std::string End(const std::string& id) { return "{\"id\":\"" + id + "\"}"; }

std::string Failure(const std::string& id, const std::string& code) {
  return "{\"id\":\"" + id + "\",\"ok\":false,\"error\":\"" + code + "\"}";
}

std::vector<std::string> FilesIn(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

class ScanReceiverTest : public ::testing::Test {
 protected:
  ScanReceiverTest() {
    settings_.scans_folder = scans();
    context_.Load(folder_ / "data", settings_);
  }
  fs::path scans() const { return folder_ / "scans"; }
  // The reply to a FILE_BEGIN that must not close the connection.
  std::string BeginReply(const std::string& payload) {
    std::string reply;
    EXPECT_TRUE(receiver_.OnFileBegin(payload, reply));
    return reply;
  }
  std::string EndReply(const std::string& id) {
    std::string reply;
    EXPECT_TRUE(receiver_.OnFileEnd(End(id), reply));
    return reply;
  }
  // A whole file in one chunk; the FILE_RESULT.
  std::string Send(const std::string& id, const std::string& name, const std::string& mime,
                   std::string_view bytes) {
    EXPECT_EQ(BeginReply(Begin(id, name, mime, bytes)), "");
    if (!bytes.empty()) {
      EXPECT_TRUE(receiver_.OnFileChunk(Chunk(id, bytes)));
    }
    return EndReply(id);
  }

  test::TempFolder folder_;
  test::FakeDesktop desktop_;
  test::FakeScanEnvironment environment_;
  AppSettings settings_;
  ScanContext context_{desktop_, environment_};
  ScanReceiver receiver_{context_};
  ScopedLogCapture log_;
};

TEST_F(ScanReceiverTest, FileBeginChecksRunInTheirOrder) {
  const std::string ok_sha = DigestHex("x");
  EXPECT_EQ(BeginReply(R"({"id":"bad","name":"a","mime":"x","size":1e12,"sha256":"00"})"),
            Failure("bad", "malformed"));
  EXPECT_EQ(BeginReply(Begin(Id(1), "a", "x", "x", "-1")), Failure(Id(1), "malformed"));
  EXPECT_EQ(BeginReply(Begin(Id(1), "a", "x", "x", "1.5")), Failure(Id(1), "malformed"));
  EXPECT_EQ(BeginReply("{\"id\":\"" + Id(1) + R"(","name":"a","mime":"text/plain","size":1,"sha256":"0g"})"),
            Failure(Id(1), "malformed"));
  EXPECT_EQ(BeginReply(Begin(Id(1), "a", "x", "x", "52428801")), Failure(Id(1), "too_large"));
  EXPECT_EQ(BeginReply(Begin(Id(1), "a", "application/PDF", "x")), Failure(Id(1), "mime"));
  // Exactly 50 MiB is accepted; an upper-case id is lower-cased everywhere.
  EXPECT_EQ(BeginReply(Begin("00000000-0000-4000-8000-00000000000A", "big.pdf", "application/pdf",
                             "", "52428800")),
            "");
  EXPECT_EQ(BeginReply(Begin("00000000-0000-4000-8000-00000000000a", "again", "text/plain", "x")),
            Failure("00000000-0000-4000-8000-00000000000a", "duplicate_id"));
  for (int n = 2; n <= 4; ++n) EXPECT_EQ(BeginReply(Begin(Id(n), "f", "text/plain", "x")), "");
  // Busy comes before the folder and the free space.
  environment_.available = 0;
  EXPECT_EQ(BeginReply(Begin(Id(5), "f", "text/plain", "x")), Failure(Id(5), "busy"));
  // A transfer that failed with "size" keeps its place until its FILE_END.
  EXPECT_TRUE(receiver_.OnFileChunk(Chunk(Id(4), "xx")));
  EXPECT_EQ(BeginReply(Begin(Id(5), "f", "text/plain", "x")), Failure(Id(5), "busy"));
  EXPECT_EQ(EndReply(Id(4)), Failure(Id(4), "size"));
  EXPECT_TRUE(log_.Contains("[scan] \"f.txt\" not saved: size\n"));

  AppSettings broken = settings_;
  broken.scans_folder = folder_ / "a-file";
  std::ofstream(folder_ / "a-file") << "in the way";
  context_.UpdateSettings(broken);
  EXPECT_EQ(BeginReply(Begin(Id(6), "f", "text/plain", "x")), Failure(Id(6), "folder"));
  context_.UpdateSettings(settings_);
  environment_.available = 1 + ScanReceiver::kSpareBytes - 1;
  EXPECT_EQ(BeginReply(Begin(Id(7), "f", "text/plain", "x")), Failure(Id(7), "disk_full"));
  EXPECT_TRUE(log_.Contains("[scan] refused \"f\": disk_full\n"));
  // A link planted at the temporary name is neither followed nor removed.
  fs::create_symlink(folder_ / "elsewhere", scans() / (".orlith-" + Id(8) + ".part"));
  environment_.available = 1 + ScanReceiver::kSpareBytes;
  EXPECT_EQ(BeginReply(Begin(Id(8), "f", "text/plain", "x")), Failure(Id(8), "write_failed"));
  EXPECT_TRUE(fs::is_symlink(scans() / (".orlith-" + Id(8) + ".part")));
  EXPECT_FALSE(fs::exists(folder_ / "elsewhere"));

  // A refused id's FILE_END gets nothing; an id never seen gets unknown_id.
  EXPECT_EQ(EndReply(Id(7)), "");
  EXPECT_EQ(EndReply(Id(99)), Failure(Id(99), "unknown_id"));
  EXPECT_EQ(EndReply("not an id"), Failure("not an id", "unknown_id"));
  // Only the last 16 refusals are remembered, however many come.
  for (int n = 1000; n < 11000; ++n) BeginReply(Begin(Id(n), "f", "image/gif", "x"));
  EXPECT_EQ(EndReply(Id(10983)), Failure(Id(10983), "unknown_id"));
  EXPECT_EQ(EndReply(Id(10984)), "");

  std::string reply;
  for (const char* bad : {"not json", R"({"id":"x","mime":"text/plain","size":1,"sha256":"00"})",
                          R"({"id":"x","name":"a","mime":"text/plain","size":"1","sha256":"00"})"}) {
    EXPECT_FALSE(receiver_.OnFileBegin(bad, reply)) << bad;
  }
  EXPECT_TRUE(log_.Contains("[scan] malformed FILE_BEGIN, closing\n"));
  EXPECT_FALSE(receiver_.OnFileEnd(R"({"id":1})", reply));
  EXPECT_TRUE(log_.Contains("[scan] malformed FILE_END, closing\n"));
}

TEST_F(ScanReceiverTest, FilesAreSavedVerifiedAndNeverHalfWritten) {
  const std::string saved = R"(","ok":true,"saved_as":")";
  EXPECT_EQ(Send(Id(1), "Scans/Invoice.pdf", "application/pdf", kPdfBytes),
            "{\"id\":\"" + Id(1) + saved + "Invoice.pdf\"}");
  EXPECT_EQ(Send(Id(2), "Invoice.pdf", "application/pdf", kPdfBytes),
            "{\"id\":\"" + Id(2) + saved + "Invoice (2).pdf\"}");
  EXPECT_EQ(Send(Id(3), "Invoice.pdf", "application/pdf", kPdfBytes),
            "{\"id\":\"" + Id(3) + saved + "Invoice (3).pdf\"}");
  EXPECT_EQ(ReadFileText(scans() / "Invoice (3).pdf"), kPdfBytes);
  EXPECT_TRUE(log_.Contains("[scan] receiving \"Invoice.pdf\" (application/pdf, 15 bytes)\n"));
  EXPECT_TRUE(log_.Contains("[scan] saved " + (scans() / "Invoice (2).pdf").string() +
                            " (15 bytes, SHA-256 verified)\n"));
  const std::vector<ScanEntry> entries = context_.LatestEntries(1);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0], (ScanEntry{environment_.now, "file", scans() / "Invoice (3).pdf", 15, ""}));

  // An empty text with the digest of nothing is a file; an empty PDF is not.
  EXPECT_EQ(Send(Id(4), "", "text/plain", ""), "{\"id\":\"" + Id(4) + saved + "scan.txt\"}");
  EXPECT_EQ(Send(Id(5), "e.pdf", "application/pdf", ""), Failure(Id(5), "content"));
  EXPECT_EQ(Send(Id(6), "p.png", "image/png", "\x89PNG\r\n\x1A\x0B"), Failure(Id(6), "content"));
  EXPECT_EQ(Send(Id(7), "j.jpg", "image/jpeg", "\xFF\xD8\xFF"), "{\"id\":\"" + Id(7) + saved + "j.jpg\"}");

  // A wrong digest, and data beyond the size (its file goes at once).
  EXPECT_EQ(BeginReply(Begin(Id(8), "c.txt", "text/plain", "right")), "");
  EXPECT_TRUE(receiver_.OnFileChunk(Chunk(Id(8), "wrong")));
  EXPECT_EQ(EndReply(Id(8)), Failure(Id(8), "checksum"));
  EXPECT_EQ(BeginReply(Begin(Id(9), "s.txt", "text/plain", "abc")), "");
  EXPECT_TRUE(receiver_.OnFileChunk(Chunk(Id(9), "ab")));
  EXPECT_TRUE(fs::exists(scans() / (".orlith-" + Id(9) + ".part")));
  EXPECT_TRUE(receiver_.OnFileChunk(Chunk(Id(9), "cd")));
  EXPECT_FALSE(fs::exists(scans() / (".orlith-" + Id(9) + ".part")));
  EXPECT_EQ(EndReply(Id(9)), Failure(Id(9), "size"));
  // FILE_END before any chunk; a chunk for an unknown transfer is ignored.
  EXPECT_EQ(BeginReply(Begin(Id(10), "s.txt", "text/plain", "abc")), "");
  EXPECT_TRUE(receiver_.OnFileChunk(Chunk(Id(11), "abc")));
  EXPECT_EQ(EndReply(Id(10)), Failure(Id(10), "size"));

  // The temporary file is private; a chunk too short or too long closes.
  EXPECT_EQ(BeginReply(Begin(Id(12), "open.txt", "text/plain", "abc")), "");
  struct stat st{};
  ASSERT_EQ(::stat((scans() / (".orlith-" + Id(12) + ".part")).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_FALSE(receiver_.OnFileChunk(Bytes(15)));
  EXPECT_FALSE(receiver_.OnFileChunk(Bytes(16 + ScanReceiver::kMaxChunkBytes + 1)));
  EXPECT_TRUE(receiver_.OnFileChunk(Bytes(16 + ScanReceiver::kMaxChunkBytes)));
  EXPECT_TRUE(log_.Contains("[scan] malformed FILE_CHUNK, closing\n"));
  EXPECT_EQ(FilesIn(scans()),
            (std::vector<std::string>{".orlith-" + Id(12) + ".part", "Invoice (2).pdf",
                                      "Invoice (3).pdf", "Invoice.pdf", "j.jpg", "scan.txt"}));
}

TEST_F(ScanReceiverTest, EndOfTheConnectionDiscardsOpenTransfers) {
  {
    ScanReceiver other(context_);
    std::string reply;
    ASSERT_TRUE(other.OnFileBegin(Begin(Id(1), "a.txt", "text/plain", "abc"), reply));
    ASSERT_TRUE(other.OnFileChunk(Chunk(Id(1), "ab")));
    EXPECT_TRUE(fs::exists(scans() / (".orlith-" + Id(1) + ".part")));
    // The other connection's transfer is unknown here.
    EXPECT_TRUE(receiver_.OnFileChunk(Chunk(Id(1), "c")));
    EXPECT_EQ(EndReply(Id(1)), Failure(Id(1), "unknown_id"));
  }
  EXPECT_TRUE(FilesIn(scans()).empty());
  EXPECT_EQ(context_.Revision(), 0u);
}

TEST_F(ScanReceiverTest, NamesRunOutAfter9998) {
  fs::create_directories(scans());
  std::ofstream(scans() / "n.txt") << "";
  for (int n = 2; n <= 9998; ++n) std::ofstream(scans() / ("n (" + std::to_string(n) + ").txt"));
  EXPECT_EQ(Send(Id(1), "n.txt", "text/plain", "x"), Failure(Id(1), "write_failed"));
  EXPECT_FALSE(fs::exists(scans() / "n (9999).txt"));
  EXPECT_EQ(FilesIn(scans()).size(), 9998u);
}

TEST_F(ScanReceiverTest, ScansFolderLinkedToAReadOnlyPlace) {
  const fs::path target = folder_ / "read-only";
  test::TmpfsMount mount(target, "size=1m,mode=0755");
  if (mount.mounted()) {
    ::mount(nullptr, target.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr);
  } else if (::geteuid() != 0) {
    fs::create_directories(target);
    fs::permissions(target, fs::perms::owner_read | fs::perms::owner_exec);
  } else {
    GTEST_SKIP() << mount.skip_reason();
  }
  fs::remove_all(scans());
  fs::create_directory_symlink(target, scans());
  environment_.available = std::nullopt;
  EXPECT_EQ(BeginReply(Begin(Id(1), "a.txt", "text/plain", "x")), Failure(Id(1), "write_failed"));
  EXPECT_EQ(context_.Revision(), 0u);
}

}  // namespace
}  // namespace vistrel
