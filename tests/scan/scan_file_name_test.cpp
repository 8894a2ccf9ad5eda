#include <gtest/gtest.h>

#include "scan/scan_file_name.h"

namespace vistrel {
namespace {

TEST(SanitizeScanFileName, ExamplesReservedNamesAndHostileNames) {
  struct Case {
    std::string name;
    const char* mime;
    std::string expected;
  };
  const std::string emoji300 = [] {
    std::string text;
    for (int i = 0; i < 300; ++i) text += "\xF0\x9F\x98\x80";  // U+1F600
    return text;
  }();
  std::string emoji50;
  for (int i = 0; i < 50; ++i) emoji50 += "\xF0\x9F\x98\x80";
  const Case cases[] = {
      {"Scans/Invoice.PDF", "application/pdf", "Invoice.PDF"},
      {"photo.heic", "image/jpeg", "photo.heic.jpg"},
      {"CON.txt", "text/plain", "_CON.txt"},
      {"...", "application/pdf", "scan.pdf"},
      {"report", "text/plain", "report.txt"},
      {"a.JPEG", "image/jpeg", "a.JPEG"},
      {"a.jpg", "image/png", "a.jpg.png"},
      {"a.0123456789abcdefg", "image/png", "a.png"},  // 17 characters: dropped
      {"prn", "application/pdf", "_prn.pdf"},
      {"aux.tar.txt", "text/plain", "_aux.tar.txt"},
      {"CONOUT$.txt", "text/plain", "_CONOUT$.txt"},
      {"com1.pdf", "application/pdf", "_com1.pdf"},
      {"LPT\xC2\xB9.pdf", "application/pdf", "_LPT\xC2\xB9.pdf"},  // LPT + superscript one
      {"COM10.pdf", "application/pdf", "COM10.pdf"},
      {"CONSOLE.pdf", "application/pdf", "CONSOLE.pdf"},
      {"..", "text/plain", "scan.txt"},
      {"../../etc/passwd", "text/plain", "passwd.txt"},
      {"a\\b\\..\\c.pdf", "application/pdf", "c.pdf"},
      {"/", "text/plain", "scan.txt"},
      {"x/", "image/png", "scan.png"},
      {std::string("ev\0il.pdf", 9), "application/pdf", "ev.pdf"},  // the name ends at NUL
      {"a<b>c:d\"e|f?g*h\x01\x7F.txt", "text/plain", "abcdefgh.txt"},
      {"  . .name. . ", "text/plain", "name.txt"},
      // A right-to-left override would show "x\u202Egpj.pdf" as "xfdp.jpg".
      {"x\xE2\x80\xAEgpj.pdf", "application/pdf", "xgpj.pdf"},
      {"\xE2\x80\x8F\xE2\x81\xA6.pdf\xE2\x80\xA8", "application/pdf", "pdf.pdf"},
      {"a\xC2\x85" "b.txt", "text/plain", "ab.txt"},  // C1 next line
      {emoji300 + ".png", "image/png", emoji50 + ".png"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SanitizeScanFileName(c.name, c.mime), c.expected) << c.name;
  }
}

TEST(SanitizeScanFileName, CutsNeverSplitACharacterAndFitALinuxName) {
  // 99 ASCII letters and an emoji across the 100-unit cut: the half is dropped.
  const std::string straddling = std::string(99, 'a') + "\xF0\x9F\x98\x80" + "b.pdf";
  EXPECT_EQ(SanitizeScanFileName(straddling, "application/pdf"), std::string(99, 'a') + ".pdf");
  // 100 CJK characters are 300 bytes: cut to what fits 255 bytes with " (9998)".
  std::string cjk;
  for (int i = 0; i < 120; ++i) cjk += "\xE6\x96\x87";  // U+6587
  const std::string name = SanitizeScanFileName(cjk + ".txt", "text/plain");
  EXPECT_LE(name.size() + 7, 255u);
  EXPECT_EQ(name.size(), 81u * 3 + 4);
  EXPECT_EQ(name.substr(name.size() - 4), ".txt");
}

TEST(ParseTransferId, CanonicalLowerCaseTextOnly) {
  const auto id = ParseTransferId("00112233-4455-6677-8899-aabbccddeeff");
  ASSERT_TRUE(id);
  EXPECT_EQ((*id)[0], 0x00);
  EXPECT_EQ((*id)[15], 0xFF);
  for (const char* bad : {"00112233-4455-6677-8899-AABBCCDDEEFF", "00112233-4455-6677-8899-aabbccddeef",
                          "0011223344556677-8899-aabbccddeeff0", "00112233-4455-6677-8899_aabbccddeeff",
                          "0011223-44455-6677-8899-aabbccddeeff", "00112233-4455-6677-8899-aabbccddeefg",
                          "-0112233-4455-6677-8899-aabbccddeeff", ""}) {
    EXPECT_FALSE(ParseTransferId(bad)) << bad;
  }
  EXPECT_TRUE(IsTemporaryScanName(".orlith-00112233-4455-6677-8899-aabbccddeeff.part"));
  EXPECT_FALSE(IsTemporaryScanName(".orlith-00112233-4455-6677-8899-AABBCCDDEEFF.part"));
  EXPECT_FALSE(IsTemporaryScanName("orlith-00112233-4455-6677-8899-aabbccddeeff.part"));
  EXPECT_FALSE(IsTemporaryScanName(".orlith-00112233-4455-6677-8899-aabbccddeeff.part2"));
}

}  // namespace
}  // namespace vistrel
