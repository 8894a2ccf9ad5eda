#include "security/bytes.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/support/temp_folder.h"

namespace vistrel {
namespace {

Bytes Of(std::initializer_list<uint8_t> values) { return Bytes(values); }

TEST(Base64Url, EncodesWithoutPadding) {
  EXPECT_EQ(Base64UrlEncode({}), "");
  EXPECT_EQ(Base64UrlEncode(Of({0xFB})), "-w");
  EXPECT_EQ(Base64UrlEncode(Of({0xFB, 0xFF})), "-_8");
  EXPECT_EQ(Base64UrlEncode(Of({0xFB, 0xFF, 0xBF})), "-_-_");
  EXPECT_EQ(Base64UrlEncode(Bytes(16, 0xA5)).size(), 22u);
  EXPECT_EQ(Base64UrlEncode(Bytes(32, 0x5A)).size(), 43u);
  Bytes secret;
  for (uint8_t b = 0xA0; b < 0xB0; ++b) secret.push_back(b);
  EXPECT_EQ(Base64UrlEncode(secret), "oKGio6SlpqeoqaqrrK2urw");
}

TEST(Base64Url, DecodeRules) {
  struct Case {
    std::string text;
    std::optional<Bytes> expected;
  };
  const Case cases[] = {
      {"", Bytes{}},
      {"AA", Of({0})},
      {"AA==", std::nullopt},
      {"-_8", Of({0xFB, 0xFF})},
      {"+w", std::nullopt},
      {"/w", std::nullopt},
      {"A A", std::nullopt},
      {std::string("AA\0", 3), std::nullopt},
      {"A", Bytes{}},  // fewer than 8 bits: dropped unchecked
      {"oKGio6SlpqeoqaqrrK2urw", Base64UrlDecode("oKGio6SlpqeoqaqrrK2urw")},
  };
  for (const Case& c : cases) EXPECT_EQ(Base64UrlDecode(c.text), c.expected) << c.text;
}

TEST(Base64Url, RoundTripsEveryLength) {
  Bytes bytes;
  for (int n = 0; n < 40; ++n) {
    std::string text = Base64UrlEncode(bytes);
    EXPECT_EQ(text.find('='), std::string::npos);
    EXPECT_EQ(Base64UrlDecode(text), bytes);
    bytes.push_back(static_cast<uint8_t>(n * 37 + 11));
  }
}

TEST(Hex, EncodeAndDecodeRules) {
  EXPECT_EQ(HexEncode(Of({0x00, 0x0A, 0xFF})), "000aff");
  EXPECT_EQ(HexDecode("0a"), Of({10}));
  EXPECT_EQ(HexDecode(""), Bytes{});
  EXPECT_EQ(HexDecode("0A"), std::nullopt);
  EXPECT_EQ(HexDecode("abc"), std::nullopt);
  EXPECT_EQ(HexDecode("0g"), std::nullopt);
  EXPECT_EQ(HexDecode(" 0"), std::nullopt);
}

TEST(ConstantTimeEqual, LengthAndContent) {
  Bytes a(32, 7);
  Bytes b(31, 7);
  EXPECT_FALSE(ConstantTimeEqual(a, b));
  EXPECT_TRUE(ConstantTimeEqual(a, Bytes(32, 7)));
  Bytes c = a;
  c[31] ^= 1;
  EXPECT_FALSE(ConstantTimeEqual(a, c));
  EXPECT_TRUE(ConstantTimeEqual({}, {}));
}

TEST(Sha256, KnownDigests) {
  EXPECT_EQ(HexEncode(Sha256({})),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(HexEncode(Sha256(AsBytes("abc"))),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(RandomBytes, FillsBuffers) {
  Bytes a(64), b(64);
  ASSERT_TRUE(RandomBytes(a.data(), a.size()));
  ASSERT_TRUE(RandomBytes(b.data(), b.size()));
  EXPECT_NE(a, b);
}

TEST(Files, ReadWholeFileRefusesMissingAndEmpty) {
  test::TempFolder folder;
  EXPECT_FALSE(ReadWholeFile(folder / "missing"));
  std::ofstream(folder / "empty").close();
  EXPECT_FALSE(ReadWholeFile(folder / "empty"));
  ASSERT_TRUE(WriteFileReplacing(folder / "data", AsBytes("xyz")));
  EXPECT_EQ(ReadWholeFile(folder / "data"), Bytes({'x', 'y', 'z'}));
}

TEST(Files, FailedReplaceKeepsTheOldFile) {
  test::TempFolder folder;
  ASSERT_TRUE(WriteFileReplacing(folder / "receiver.cer", AsBytes("old")));
  std::filesystem::create_directory(folder / "receiver.cer.tmp");
  EXPECT_FALSE(WriteFileReplacing(folder / "receiver.cer", AsBytes("new")));
  EXPECT_EQ(ReadWholeFile(folder / "receiver.cer"), Bytes({'o', 'l', 'd'}));
}

}  // namespace
}  // namespace vistrel
