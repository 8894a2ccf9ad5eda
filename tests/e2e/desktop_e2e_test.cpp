// The console receiver's clipboard and keyboard with real X clients: barcodes
// typed into a Tk entry and into a slow GTK text view arrive as sent, the
// receiver outlives its X server and finds the next one, and copied text
// outlives the receiver where a clipboard manager runs.
#include <gtest/gtest.h>
#include <signal.h>

#include "platform/files.h"
#include "tests/e2e/e2e_support.h"
#include "tests/e2e/host_process.h"
#include "tests/e2e/session_bus.h"
#include "tests/e2e/x_display.h"
#include "tools/phone/scan.h"

namespace vistrel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

size_t Count(const std::string& text, const std::string& needle) {
  size_t found = 0;
  for (size_t at = 0; (at = text.find(needle, at)) != std::string::npos; at += needle.size()) {
    ++found;
  }
  return found;
}

class DesktopE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    if (x_.name().empty()) GTEST_SKIP() << "Xvfb could not be started";
    receiver_.AddEnvironment("DISPLAY=" + x_.name());
  }
  bool Start(std::vector<std::string> settings = {}) {
    std::vector<std::string> args;
    for (const std::string& setting : settings) {
      args.push_back("--set");
      args.push_back(setting);
    }
    if (!receiver_.Start(args)) return false;
    device_ = phone::Phone::Create(receiver_.root() / "phone");
    if (!device_ || !test::PairAndApprove(receiver_, *device_, "Scanner")) return false;
    link_ = device_->Connect("127.0.0.1", receiver_.port());
    std::string reply;
    return link_ && phone::OpenScanSession(*link_, "Scanner", reply);
  }
  // The clients' environment: the test's display and a UTF-8 locale.
  std::vector<std::string> ClientEnvironment() const {
    std::vector<std::string> env = receiver_.Environment();
    env.push_back("DISPLAY=" + x_.name());
    env.push_back("LC_ALL=C.UTF-8");
    env.push_back("NO_AT_BRIDGE=1");
    return env;
  }
  // Sends one TEXT and waits for the `nth` log line that starts with `line`.
  bool Deliver(const std::string& text, const std::string& action, const std::string& line,
               size_t nth) {
    link_->Send(kText, phone::TextJson(text, "barcode", action));
    return test::WaitUntil([&] { return Count(receiver_.Log(), line) >= nth; });
  }

  test::Xvfb x_{"640x480x24"};
  test::ReceiverProcess receiver_;
  std::unique_ptr<phone::Phone> device_;
  std::unique_ptr<phone::PhoneLink> link_;
};

TEST_F(DesktopE2E, BarcodesTypedIntoTkAndSlowGtkFieldsArriveAsSent) {
  ASSERT_TRUE(Start({"allow_typing=on"}));
  // Every printable ASCII character, in barcodes as a scanner reads them, then
  // accents and CJK that the layout lacks, then more distinct characters
  // than there are free keys, then an ASCII barcode again.
  std::vector<std::string> barcodes = {"4006381333931", "ABC!@#abc"};
  std::string ascii;
  for (char c = 0x21; c < 0x7F; ++c) ascii += c;
  for (size_t at = 0; at < ascii.size(); at += 24) barcodes.push_back(ascii.substr(at, 24));
  barcodes.push_back(
      test::Utf8Of(U"\u00DCn\u00EFc\u00F6d\u00E9-\u6761\u7801-\u30D0\u30FC\u30B3\u30FC\u30C9"));
  std::u32string many;
  for (char32_t c = 0x4E00; c < 0x4E00 + 256; ++c) many += c;
  const std::string too_many = test::Utf8Of(many);
  const std::string last = "4006381333931";

  const fs::path tk_script = fs::path(VISTREL_SOURCE_DIR) / "tests/e2e/tk_text_field.tcl";
  size_t typed = 0;
  for (const bool gtk : {false, true}) {
    SCOPED_TRACE(gtk ? "GTK" : "Tk");
    const fs::path output = receiver_.root() / (gtk ? "gtk.txt" : "tk.txt");
    const test::ClientProgram client(
        gtk ? std::vector<std::string>{GTK_TEXT_FIELD, output.string()}
            : std::vector<std::string>{"wish", tk_script.string(), output.string()},
        ClientEnvironment(), receiver_.root() / "client.err");
    ASSERT_TRUE(test::WaitUntil([&] { return fs::exists(output); }))
        << ReadFileText(receiver_.root() / "client.err").value_or("");
    std::string expected;
    for (const std::string& barcode : barcodes) {
      ASSERT_TRUE(Deliver(barcode, "type", "[text] typed ", ++typed)) << receiver_.Log();
      expected += barcode;
    }
    ASSERT_TRUE(Deliver(too_many, "type",
                        "[text] the keyboard has too few free keys for its characters; copied to "
                        "the clipboard instead\n",
                        gtk ? 2 : 1));
    ASSERT_TRUE(Deliver(last, "type", "[text] typed ", ++typed));
    expected += last;
    EXPECT_TRUE(test::WaitUntil([&] { return ReadFileText(output).value_or("") == expected; }, 10s))
        << ReadFileText(output).value_or("") << "\n"
        << expected;
  }
  EXPECT_EQ(receiver_.Quit(), 0);
}

TEST_F(DesktopE2E, ConsoleOutlivesItsDisplayAndCopiedTextOutlivesTheConsole) {
  ASSERT_TRUE(Start());
  auto window = test::FocusedWindow::Open(x_.name());
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(Deliver("before", "copy", "[text] copied to the clipboard\n", 1));
  EXPECT_EQ(window->ReadClipboard(), "before");
  window.reset();

  // The X server goes, as at a logout: the receiver stays, with no clipboard.
  x_.Stop();
  ASSERT_TRUE(Deliver("while gone", "copy", "[text] could not use the clipboard\n", 1));
  EXPECT_TRUE(
      receiver_.WaitForLog("[app] lost the X display; the clipboard and typing are not "
                           "available until it returns\n"));
  receiver_.Send("status");
  EXPECT_TRUE(receiver_.WaitForOutput("session=active"));

  // A new X server on the same display, with a clipboard manager this time.
  ASSERT_TRUE(x_.Restart());
  test::SessionBus bus;
  ASSERT_FALSE(bus.address().empty());
  std::vector<std::string> env = ClientEnvironment();
  env.push_back("DBUS_SESSION_BUS_ADDRESS=" + bus.address());
  const test::ClientProgram manager({"xfce4-clipman"}, env, receiver_.root() / "clipman.err");
  window = test::FocusedWindow::Open(x_.name());
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(test::WaitUntil([&] { return window->HasClipboardManager(); }))
      << ReadFileText(receiver_.root() / "clipman.err").value_or("");
  // A new helper is tried at most every 2 s.
  bool copied = false;
  for (int attempt = 0; attempt < 20 && !copied; ++attempt) {
    link_->Send(kText, phone::TextJson("after", "barcode", "copy"));
    copied = test::WaitUntil(
        [&] { return Count(receiver_.Log(), "[text] copied to the clipboard\n") >= 2; }, 1s);
  }
  ASSERT_TRUE(copied) << receiver_.Log();
  EXPECT_TRUE(
      receiver_.WaitForLog("[app] the X display is back; the clipboard and typing work "
                           "again\n"));
  EXPECT_EQ(window->ReadClipboard(), "after");

  // Quit: the manager keeps the text.
  link_.reset();
  EXPECT_EQ(receiver_.Quit(), 0);
  EXPECT_TRUE(receiver_.Log().ends_with("[app] stopped\n"));
  EXPECT_TRUE(test::WaitUntil([&] { return window->ReadClipboard() == "after"; }, 10s));
}

}  // namespace
}  // namespace vistrel
