#include <gtest/gtest.h>

#include "platform/log.h"
#include "platform/utf.h"
#include "scan/scan_receiver.h"
#include "tests/scan/fake_scan_services.h"

namespace vistrel {
namespace {

std::string Text(const std::string& text, const std::string& kind, const std::string& action) {
  return "{\"text\":\"" + text + "\",\"kind\":\"" + kind + "\",\"action\":\"" + action + "\"}";
}

TEST(TypingCandidate, OnlyShortBarcodesWithoutControls) {
  EXPECT_EQ(TypingCandidate("barcode", u"4006381333931\r\n"), u"4006381333931");
  EXPECT_EQ(TypingCandidate("barcode", u"a\tb\x7F\x85\x9F" u"c\xD83D\xDE00"), u"abc\xD83D\xDE00");
  EXPECT_EQ(TypingCandidate("barcode", u"\r\n\t"), std::nullopt);
  EXPECT_EQ(TypingCandidate("Barcode", u"123"), std::nullopt);
  EXPECT_EQ(TypingCandidate("ocr", u"123"), std::nullopt);
  EXPECT_EQ(TypingCandidate("barcode", std::u16string(256, u'7'))->size(), 256u);
  EXPECT_EQ(TypingCandidate("barcode", std::u16string(257, u'7')), std::nullopt);
}

class TextDeliveryTest : public ::testing::Test {
 protected:
  TextDeliveryTest() {
    AppSettings settings;
    settings.allow_typing = true;
    context_.UpdateSettings(settings);
  }
  void Deliver(const std::string& payload) { EXPECT_TRUE(receiver_.OnText(payload)) << payload; }
  void AllowTyping(bool allow) {
    AppSettings settings = context_.SettingsCopy();
    settings.allow_typing = allow;
    context_.UpdateSettings(settings);
  }

  test::FakeDesktop desktop_;
  test::FakeScanEnvironment environment_;
  ScanContext context_{desktop_, environment_};
  ScanReceiver receiver_{context_};
  ScopedLogCapture log_;
};

TEST_F(TextDeliveryTest, TypedCopiedOrExplainedAndAlwaysRecorded) {
  Deliver(Text("4006381333931\\r\\n", "barcode", "type"));
  EXPECT_EQ(desktop_.typed, (std::vector<std::u16string>{u"4006381333931"}));
  EXPECT_TRUE(desktop_.copied.empty());
  EXPECT_TRUE(log_.Contains("[text] typed 13 characters into the focused app\n"));

  Deliver(Text(std::string(257, '7'), "barcode", "type"));
  EXPECT_EQ(desktop_.copied.back(), std::u16string(257, u'7'));
  EXPECT_TRUE(log_.Contains(
      "[text] only a barcode of up to 256 characters is typed; copied to the clipboard instead\n"));
  Deliver(Text("\\r\\n", "barcode", "type"));
  EXPECT_EQ(desktop_.copied.back(), u"\r\n");
  Deliver(Text("page text", "ocr", "type"));
  EXPECT_EQ(desktop_.copied.back(), u"page text");
  EXPECT_EQ(desktop_.typed.size(), 1u);

  // A Wayland app's desktop still asking the user, or refusing.
  desktop_.typing = TypingResult::kAwaitingPermission;
  Deliver(Text("123", "barcode", "type"));
  EXPECT_TRUE(log_.Contains("[text] typing into Wayland apps waits for the desktop's permission; "
                            "copied to the clipboard instead\n"));
  desktop_.typing = TypingResult::kNotAllowed;
  Deliver(Text("123", "barcode", "type"));
  EXPECT_TRUE(log_.Contains("[text] the desktop does not allow typing into Wayland apps; copied "
                            "to the clipboard instead\n"));

  // Without a display typing is not available, and the clipboard neither.
  desktop_.typing = TypingResult::kUnavailable;
  desktop_.clipboard_works = false;
  Deliver(Text("123", "barcode", "type"));
  EXPECT_TRUE(log_.Contains(
      "[text] typing into apps is not available; could not use the clipboard either\n"));
  AllowTyping(false);
  desktop_.clipboard_works = true;
  Deliver(Text("123", "barcode", "type"));
  EXPECT_TRUE(log_.Contains("[text] typing into apps is off; copied to the clipboard instead\n"));
  Deliver(Text("plain", "ocr", "copy"));
  EXPECT_TRUE(log_.Contains("[text] copied to the clipboard\n"));
  desktop_.clipboard_works = false;
  Deliver(Text("plain", "ocr", "copy"));
  EXPECT_TRUE(log_.Contains("[text] could not use the clipboard\n"));

  // Three characters of two UTF-8 bytes each.
  Deliver(Text("\xC3\xA9\xC3\xA9\xC3\xA9", "something", "copy"));
  const std::vector<ScanEntry> latest = context_.LatestEntries(2);
  EXPECT_EQ(latest[0], (ScanEntry{environment_.now, "ocr", {}, 6, "\xC3\xA9\xC3\xA9\xC3\xA9"}));
  EXPECT_EQ(latest[1].kind, "ocr");
  EXPECT_EQ(context_.LatestEntries(100).back(),
            (ScanEntry{environment_.now, "barcode", {}, 15, "4006381333931\r\n"}));
  EXPECT_EQ(context_.Revision(), 11u);

  EXPECT_FALSE(receiver_.OnText(R"({"text":"a","kind":"barcode"})"));
  EXPECT_FALSE(receiver_.OnText(R"({"text":1,"kind":"barcode","action":"type"})"));
  EXPECT_TRUE(log_.Contains("[text] malformed TEXT, closing\n"));
  EXPECT_EQ(context_.Revision(), 11u);
}

}  // namespace
}  // namespace vistrel
