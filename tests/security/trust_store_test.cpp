#include "security/trust_store.h"

#include <gtest/gtest.h>

#include "platform/files.h"
#include "platform/log.h"
#include "tests/support/temp_folder.h"

namespace vistrel {
namespace {

namespace fs = std::filesystem;

const std::string kFpA(64, 'a');
const std::string kFpB = std::string(63, '0') + "1";
const std::string kFpC(64, 'c');

std::string FileText(const fs::path& path) { return ReadFileText(path).value_or("<missing>"); }

TEST(TrustedPhonesFile, LoadRules) {
  const std::string text =
      kFpA + "\tid-a\tPhone A\r\n" +                 // kept, CR removed
      std::string(64, 'A') + "\tid\tupper\n" +        // upper-case fingerprint
      std::string(63, 'b') + "\tid\tshort\n" +        // 63 characters
      std::string(65, 'b') + "\tid\tlong\n" +         // 65 characters
      std::string(62, 'b') + "zz\tid\tnot hex\n" +    // not hex
      kFpB + "\tonly one tab\n" +                     // fewer than two tabs
      "\n" +                                          // empty
      kFpB + "\t\tname\twith\ttabs\n" +               // tabs stay in the third field
      kFpC + "\tid-c\tno line end";
  std::vector<TrustedPhone> entries = ParseTrustedPhones(text);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0], (TrustedPhone{kFpA, "id-a", "Phone A"}));
  EXPECT_EQ(entries[1], (TrustedPhone{kFpB, "", "name\twith\ttabs"}));
  EXPECT_EQ(entries[2], (TrustedPhone{kFpC, "id-c", "no line end"}));
}

TEST(TrustedPhonesFile, CleaningDropsControlBytesAndCutsAt64Bytes) {
  EXPECT_EQ(CleanTrustText("a\tb\r\nc\x01\x7f\xc3\xa9"), "abc\x7f\xc3\xa9");
  EXPECT_EQ(CleanTrustText(std::string(100, 'n')), std::string(64, 'n'));
  // The cut is by bytes and may split a UTF-8 character.
  std::string accents;
  for (int i = 0; i < 40; ++i) accents += "\xc3\xa9";
  EXPECT_EQ(CleanTrustText(accents).size(), 64u);
}

class TrustStoreTest : public ::testing::Test {
 protected:
  fs::path path() const { return folder_ / "trusted_phones.tsv"; }
  test::TempFolder folder_;
};

TEST_F(TrustStoreTest, MissingFileIsEmpty) {
  TrustStore store(path());
  EXPECT_TRUE(store.List().empty());
  EXPECT_FALSE(store.Contains(kFpA));
}

TEST_F(TrustStoreTest, AddWritesCrLfLinesAndReloads) {
  {
    TrustStore store(path());
    ASSERT_TRUE(store.Add({kFpA, "id\ta", "Name\nA"}));
    ASSERT_TRUE(store.Add({kFpB, "id-b", std::string(100, 'x')}));
    EXPECT_TRUE(store.Contains(kFpA));
    EXPECT_FALSE(store.Contains(std::string(64, 'A')));
  }
  EXPECT_EQ(FileText(path()), kFpA + "\tida\tNameA\r\n" + kFpB + "\tid-b\t" +
                                  std::string(64, 'x') + "\r\n");
  TrustStore reloaded(path());
  ASSERT_EQ(reloaded.List().size(), 2u);
  EXPECT_EQ(reloaded.List()[0], (TrustedPhone{kFpA, "ida", "NameA"}));
}

TEST_F(TrustStoreTest, PairingAgainReplacesInPlace) {
  TrustStore store(path());
  ASSERT_TRUE(store.Add({kFpA, "a", "A"}));
  ASSERT_TRUE(store.Add({kFpB, "b", "B"}));
  ASSERT_TRUE(store.Add({kFpA, "a2", "A2"}));
  std::vector<TrustedPhone> list = store.List();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0], (TrustedPhone{kFpA, "a2", "A2"}));
  EXPECT_EQ(list[1], (TrustedPhone{kFpB, "b", "B"}));
}

TEST_F(TrustStoreTest, RemovingAnUnknownPhoneWritesNothing) {
  const std::string original = kFpA + "\tid\tname\n";  // LF only: a rewrite would add CR
  ASSERT_TRUE(ReplaceFileContents(path(), original));
  TrustStore store(path());
  EXPECT_TRUE(store.Remove(kFpC));
  EXPECT_EQ(FileText(path()), original);
}

TEST_F(TrustStoreTest, RemoveDropsEveryDuplicate) {
  ASSERT_TRUE(ReplaceFileContents(path(), kFpA + "\t1\tone\n" + kFpB + "\t2\ttwo\n" + kFpA +
                                              "\t3\tthree\n"));
  TrustStore store(path());
  EXPECT_EQ(store.List().size(), 3u);
  ASSERT_TRUE(store.Remove(kFpA));
  EXPECT_FALSE(store.Contains(kFpA));
  EXPECT_EQ(FileText(path()), kFpB + "\t2\ttwo\r\n");
}

TEST_F(TrustStoreTest, FailedSaveIsUndone) {
  TrustStore store(path());
  ASSERT_TRUE(store.Add({kFpA, "a", "A"}));
  fs::create_directory(folder_ / "trusted_phones.tsv.tmp");  // the temporary file cannot be made

  EXPECT_FALSE(store.Add({kFpB, "b", "B"}));
  EXPECT_FALSE(store.Contains(kFpB));
  EXPECT_FALSE(store.Add({kFpA, "changed", "changed"}));
  EXPECT_EQ(store.List(), (std::vector<TrustedPhone>{{kFpA, "a", "A"}}));
  EXPECT_FALSE(store.Remove(kFpA));
  EXPECT_TRUE(store.Contains(kFpA));
  EXPECT_EQ(FileText(path()), kFpA + "\ta\tA\r\n");
}

TEST_F(TrustStoreTest, RefusesFingerprintsTheFileCouldNotKeep) {
  TrustStore store(path());
  EXPECT_FALSE(store.Add({std::string(64, 'A'), "a", "A"}));
  EXPECT_FALSE(store.Add({kFpA + "\n", "a", "A"}));
  EXPECT_TRUE(store.List().empty());
  EXPECT_FALSE(fs::exists(path()));
}

// A file that is there but cannot be read must not be replaced by one that
// holds only this run's phones: pairing and forgetting refuse instead.
TEST_F(TrustStoreTest, UnreadableFileIsNeverOverwritten) {
  const std::string trusted = kFpA + "\tid\tname\r\n";
  ASSERT_TRUE(ReplaceFileContents(path(), trusted));
  fs::resize_file(path(), (64u << 20) + 1);  // a file we would not read whole
  ScopedLogCapture log;
  {
    TrustStore store(path());
    EXPECT_TRUE(store.List().empty());
    EXPECT_FALSE(store.Add({kFpB, "b", "B"}));
    EXPECT_FALSE(store.Contains(kFpB));
    EXPECT_FALSE(store.Remove(kFpA));
    const std::string line = "[trust] " + path().string() +
                             " could not be read (larger than 67108864 bytes); it is not "
                             "changed, so that no paired phone is forgotten\n";
    EXPECT_EQ(log.Text(), line + line);
  }
  EXPECT_EQ(fs::file_size(path()), (64u << 20) + 1);
  EXPECT_EQ(ReadFileText(path(), 65u << 20)->substr(0, trusted.size()), trusted);

  fs::remove(path());
  fs::create_directory(path());
  TrustStore folder(path());
  EXPECT_FALSE(folder.Add({kFpB, "b", "B"}));
  EXPECT_FALSE(folder.Remove(kFpA));
  EXPECT_TRUE(fs::is_directory(path()));
  EXPECT_TRUE(log.Contains(path().string() + " could not be read (Is a directory)"));
}

}  // namespace
}  // namespace vistrel
