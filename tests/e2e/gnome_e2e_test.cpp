// The receiver as a user starts it in GNOME Shell on Wayland (the real shell,
// headless): its windows on XWayland, its notifications, the clipboard read
// back by a native Wayland client, and barcodes typed into native Wayland
// and XWayland text fields, with and without the shell's status-notifier host.
#include <X11/keysym.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <cstdlib>
#include <future>
#include <optional>

#include "platform/files.h"
#include "tests/e2e/e2e_support.h"
#include "tests/e2e/gnome_session.h"
#include "tests/e2e/host_process.h"
#include "tests/e2e/remote_desktop_portal.h"
#include "tests/e2e/x_display.h"
#include "tests/e2e/x_windows.h"
#include "tools/phone/scan.h"
#include "tools/phone/webcam.h"
// Last: Xlib's macros would break the headers above.
#include <X11/Xlib.h>
#undef None
#undef Bool
#undef Status

namespace vistrel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr char kTitle[] = "Orlith Cam";
constexpr int kStartOnLoginItem = 103;

size_t Count(const std::string& text, const std::string& needle) {
  size_t found = 0;
  for (size_t at = 0; (at = text.find(needle, at)) != std::string::npos; at += needle.size()) {
    ++found;
  }
  return found;
}

std::string Fields(const std::vector<test::ShownWindow>& windows) {
  std::string text;
  for (const auto& w : windows) {
    text += w.name + " " + std::to_string(w.width) + "x" + std::to_string(w.height) + "+" +
            std::to_string(w.x) + "+" + std::to_string(w.y) + "; ";
  }
  return text;
}

int IgnoreXError(Display*, XErrorEvent*) {
  return 0;
}

// The client windows on XWayland that are shown, as the shell framed them:
// name and place on the screen.
std::vector<test::ShownWindow> ClientWindows(const std::string& name) {
  std::vector<test::ShownWindow> shown;
  Display* display = XOpenDisplay(name.c_str());
  if (!display) return shown;
  // Windows come and go between two requests; Xlib's own handler would end the test.
  const XErrorHandler previous = XSetErrorHandler(IgnoreXError);
  const Window root = DefaultRootWindow(display);
  const Atom wm_state = XInternAtom(display, "WM_STATE", False);
  std::vector<Window> pending = {root};
  while (!pending.empty()) {
    const Window window = pending.back();
    pending.pop_back();
    Window unused = 0, parent = 0, *children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display, window, &unused, &parent, &children, &count)) continue;
    for (unsigned int i = 0; i < count; ++i) pending.push_back(children[i]);
    if (children) XFree(children);
    Atom type = 0;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    XGetWindowProperty(display, window, wm_state, 0, 2, False, wm_state, &type, &format, &items,
                       &after, &data);
    if (data) XFree(data);
    XWindowAttributes attributes{};
    if (type != wm_state || !XGetWindowAttributes(display, window, &attributes) ||
        attributes.map_state != IsViewable) {
      continue;
    }
    int x = 0, y = 0;
    Window child = 0;
    XTranslateCoordinates(display, window, root, 0, 0, &x, &y, &child);
    char* title = nullptr;
    XFetchName(display, window, &title);
    shown.push_back({window, x, y, attributes.width, attributes.height, title ? title : ""});
    if (title) XFree(title);
  }
  XSync(display, False);
  XSetErrorHandler(previous);
  XCloseDisplay(display);
  return shown;
}

// Closes the window as its title bar's close button does.
void CloseWindow(const std::string& name, unsigned long window) {
  Display* display = XOpenDisplay(name.c_str());
  if (!display) return;
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(display, "_NET_CLOSE_WINDOW", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = CurrentTime;
  event.xclient.data.l[1] = 2;  // asked by the user through a pager or task bar
  XSendEvent(display, DefaultRootWindow(display), False,
             SubstructureRedirectMask | SubstructureNotifyMask, &event);
  XCloseDisplay(display);
}

class GnomeE2E : public ::testing::Test {
 protected:
  // Starts the shell; a shell that cannot start fails the test, unless the
  // kernel lacks what it needs.
  void StartSession(bool status_host) {
    session_ = std::make_unique<test::GnomeSession>(status_host);
    if (!session_->error().empty() && !session_->missing_kernel_feature().empty()) {
      GTEST_SKIP() << "GNOME Shell cannot run here: the kernel lacks "
                   << session_->missing_kernel_feature();
    }
    ASSERT_EQ(session_->error(), "");
    // The test's own X requests go to XWayland.
    for (const std::string& entry : session_->Environment()) {
      if (entry.rfind("XAUTHORITY=", 0) == 0) ::setenv("XAUTHORITY", entry.c_str() + 11, 1);
    }
  }
  std::vector<std::string> ClientEnvironment(const std::string& backend) const {
    std::vector<std::string> env = receiver_.Environment();
    for (const std::string& entry : session_->Environment()) env.push_back(entry);
    env.push_back("GDK_BACKEND=" + backend);
    env.push_back("LC_ALL=C.UTF-8");
    return env;
  }
  // Pairs the phone with a console receiver in the same folders, then starts
  // the tray in the session and opens a scan session.
  void StartReceiver() {
    ASSERT_TRUE(receiver_.Start());
    device_ = phone::Phone::Create(receiver_.root() / "phone");
    ASSERT_TRUE(device_ && test::PairAndApprove(receiver_, *device_, "Scanner"));
    ASSERT_EQ(receiver_.Quit(), 0);
    receiver_.EnableTray();
    for (const std::string& entry : session_->Environment()) receiver_.AddEnvironment(entry);
    receiver_.AddEnvironment("VSTL_TEST_HOOKS=1");
    ASSERT_TRUE(receiver_.Start({"--set", "allow_typing=on"})) << receiver_.Log();
    ASSERT_TRUE(receiver_.WaitForLog("[app] tray ready\n")) << receiver_.Log();
  }
  // A TEXT on a new scan session (an idle one ends after 15 s).
  bool SendText(const std::string& text, const std::string& kind, const std::string& action) {
    link_ = device_->Connect("127.0.0.1", receiver_.port());
    std::string reply;
    return link_ && phone::OpenScanSession(*link_, "Scanner", reply) &&
           link_->Send(kText, phone::TextJson(text, kind, action));
  }
  // The clipboard as a native Wayland app reads it: UTF-8 text, as GTK asks.
  std::string Pasted() {
    const fs::path out = receiver_.root() / "pasted.txt";
    std::vector<std::string> argv = {"sh", "-c",
                                     "timeout 10 wl-paste --no-newline --type "
                                     "'text/plain;charset=utf-8' > '" +
                                         out.string() + "'"};
    pid_t pid = -1;
    if (test::SpawnQuiet(argv, ClientEnvironment("wayland"), receiver_.root() / "paste.err",
                         O_TRUNC, pid) != 0) {
      return "(wl-paste did not run)";
    }
    ::waitpid(pid, nullptr, 0);
    return ReadFileText(out).value_or("") +
           ReadFileText(receiver_.root() / "paste.err").value_or("");
  }
  // A GTK text field of the given GDK backend ("wayland" or "x11"), focused
  // as a new window is; its text is written to the file on every change.
  std::unique_ptr<test::ClientProgram> Field(const std::string& backend, const fs::path& output) {
    auto field = std::make_unique<test::ClientProgram>(
        std::vector<std::string>{GTK_TEXT_FIELD, output.string()}, ClientEnvironment(backend),
        receiver_.root() / (backend + ".err"));
    // Written when the field takes the focus.
    if (!test::WaitUntil([&] { return fs::exists(output); })) {
      ADD_FAILURE() << "the " << backend << " field did not take the focus: "
                    << ReadFileText(receiver_.root() / (backend + ".err")).value_or("");
    }
    return field;
  }
  bool WaitForNotification(const std::string& line) {
    return test::WaitUntil(
        [&] { return session_->Notifications().find(line) != std::string::npos; });
  }
  // Sends a TEXT and waits for the `nth` log line that starts with `line`.
  bool Deliver(const std::string& text, const std::string& kind, const std::string& action,
               const std::string& line, size_t nth) {
    if (!SendText(text, kind, action)) return false;
    return test::WaitUntil([&] { return Count(receiver_.Log(), line) >= nth; });
  }
  std::optional<test::ShownWindow> Shown(int width, int height) {
    for (const auto& window : ClientWindows(session_->x_display())) {
      if (window.name == kTitle && window.width == width && window.height == height) return window;
    }
    return std::nullopt;
  }

  std::unique_ptr<test::GnomeSession> session_;
  test::ReceiverProcess receiver_;
  std::unique_ptr<phone::Phone> device_;
  std::unique_ptr<phone::PhoneLink> link_;
};

// GNOME without the AppIndicator extension: no icon. The main window shows
// on XWayland; closing it says once how to come back; a second start shows
// it again. Copied text reaches native Wayland apps. Barcodes typed into an
// XWayland field arrive as sent; a native Wayland field cannot be typed
// into, so the barcode goes to the clipboard and the log says why.
TEST_F(GnomeE2E, WithoutAnIconHost) {
  StartSession(false);
  if (HasFatalFailure() || IsSkipped()) return;
  StartReceiver();
  if (HasFatalFailure()) return;
  ASSERT_TRUE(test::WaitUntil([&] {
    return Shown(test::kMainWidth, test::kMainHeight).has_value();
  })) << Fields(ClientWindows(session_->x_display()));
  EXPECT_FALSE(session_->HasName("org.kde.StatusNotifierWatcher"));

  // The live preview, and a snapshot of it from the keyboard (the shell gave
  // the new window the focus): Tab walks the five pages, then the snapshot
  // button.
  std::atomic<bool> stop{false};
  auto webcam = std::async(std::launch::async, [&] {
    auto link = device_->Connect("127.0.0.1", receiver_.port());
    phone::WebcamOptions options;
    options.device_name = "Scanner";
    options.seconds = 20;
    if (link) phone::RunWebcam(*link, options, &stop);
  });
  ASSERT_TRUE(WaitForNotification(
      ": Use it as a webcam, a monitor, or a scanner. [default,Open Orlith Cam]\n"))
      << session_->Notifications() << receiver_.Log();
  std::this_thread::sleep_for(1s);
  for (int i = 0; i < 6; ++i) ASSERT_TRUE(session_->PressKeys({XK_Tab}));
  ASSERT_TRUE(session_->PressKeys({XK_Return}));
  const fs::path hook = receiver_.root() / "run" / "vistrel" / "vstl_snapshot.txt";
  ASSERT_TRUE(test::WaitUntil([&] { return fs::exists(hook); })) << receiver_.Log();
  const std::string png = ReadFileText(ReadFileText(hook).value_or("")).value_or("");
  EXPECT_EQ(png.substr(1, 3), "PNG");
  EXPECT_TRUE(WaitForNotification("Snapshot saved: Pictures/Orlith Cam/Orlith Cam "));
  stop = true;
  webcam.get();

  const std::string copied = test::Utf8Of(U"Gr\u00FC\u00DFe \u00B7 \u6761\u7801");
  ASSERT_TRUE(Deliver(copied, "ocr", "copy", "[text] copied to the clipboard\n", 1));
  // As GTK asks. Plain "text/plain" is X11's STRING to the shell: Latin-1.
  EXPECT_EQ(Pasted(), copied);
  EXPECT_TRUE(
      WaitForNotification("Scan received: Text copied to the clipboard [default,Open "
                          "Orlith Cam]\n"))
      << session_->Notifications();

  {
    const fs::path output = receiver_.root() / "x11.txt";
    const auto field = Field("x11", output);
    const std::vector<std::string> barcodes = {
        "4006381333931", "ABC!@#abc~", test::Utf8Of(U"\u00DCn\u00EFc\u00F6d\u00E9-\u6761\u7801")};
    std::string expected;
    for (size_t i = 0; i < barcodes.size(); ++i) {
      ASSERT_TRUE(Deliver(barcodes[i], "barcode", "type", "[text] typed ", i + 1))
          << receiver_.Log();
      expected += barcodes[i];
    }
    EXPECT_TRUE(test::WaitUntil([&] { return ReadFileText(output).value_or("") == expected; }, 10s))
        << ReadFileText(output).value_or("");
  }
  {
    const fs::path output = receiver_.root() / "wayland.txt";
    const auto field = Field("wayland", output);
    ASSERT_TRUE(Deliver("9780201379624", "barcode", "type",
                        "[text] the focused app is a Wayland app, which typing cannot reach; "
                        "copied to the clipboard instead\n",
                        1))
        << receiver_.Log();
    EXPECT_EQ(ReadFileText(output).value_or(""), "");
  }
  EXPECT_EQ(Pasted(), "9780201379624");

  // Closed twice, a second start between: said once.
  const std::string still_running =
      "Orlith Cam keeps running: Open it again from the applications menu. [default,Open "
      "Orlith Cam]\n";
  for (int round = 0; round < 2; ++round) {
    if (round > 0) {
      EXPECT_EQ(receiver_.RunSecondStart(), 0);
    }
    ASSERT_TRUE(
        test::WaitUntil([&] { return Shown(test::kMainWidth, test::kMainHeight).has_value(); }));
    CloseWindow(session_->x_display(), Shown(test::kMainWidth, test::kMainHeight)->id);
    ASSERT_TRUE(test::WaitUntil([&] { return !Shown(test::kMainWidth, test::kMainHeight); }));
    EXPECT_TRUE(WaitForNotification(still_running)) << session_->Notifications();
  }
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(Count(session_->Notifications(), still_running), 1u) << session_->Notifications();
  EXPECT_EQ(receiver_.Signal(SIGTERM), 0);
}

// With the extension the icon is shown: a click on it opens the flyout at
// the icon, inside the screen and below the top bar, its menu turns "Start on
// login" on, and closing the main window says nothing (the icon brings it
// back).
TEST_F(GnomeE2E, WithTheAppIndicatorExtension) {
  StartSession(true);
  if (HasFatalFailure() || IsSkipped()) return;
  StartReceiver();
  if (HasFatalFailure()) return;
  ASSERT_TRUE(test::WaitUntil([&] { return !session_->StatusItems().empty(); }))
      << session_->ShellLog();
  const std::string item = session_->StatusItems()[0];

  // The top bar's icons sit at its right end; the host reports the click there.
  ASSERT_TRUE(session_->ActivateItem(item, 1200, 10));
  ASSERT_TRUE(test::WaitUntil([&] {
    return Shown(test::kFlyoutWidth, test::kFlyoutHeight).has_value();
  })) << Fields(ClientWindows(session_->x_display()));
  const test::ShownWindow flyout = *Shown(test::kFlyoutWidth, test::kFlyoutHeight);
  EXPECT_LE(flyout.x + flyout.width, 1280);
  EXPECT_GE(flyout.x + flyout.width, 1200);
  EXPECT_GE(flyout.y, 20);  // below the top bar
  EXPECT_LE(flyout.y, 100);

  ASSERT_TRUE(session_->ClickMenuItem(item, kStartOnLoginItem));
  EXPECT_TRUE(test::WaitUntil(
      [&] { return fs::exists(receiver_.root() / "config" / "autostart" / "vistrel.desktop"); }));

  ASSERT_TRUE(
      test::WaitUntil([&] { return Shown(test::kMainWidth, test::kMainHeight).has_value(); }));
  CloseWindow(session_->x_display(), Shown(test::kMainWidth, test::kMainHeight)->id);
  ASSERT_TRUE(test::WaitUntil([&] { return !Shown(test::kMainWidth, test::kMainHeight); }));
  ASSERT_TRUE(Deliver("after", "ocr", "copy", "[text] copied to the clipboard\n", 1));
  EXPECT_TRUE(WaitForNotification("Scan received: "));
  EXPECT_EQ(session_->Notifications().find("keeps running"), std::string::npos);
  EXPECT_EQ(Pasted(), "after");
  EXPECT_EQ(receiver_.Signal(SIGTERM), 0);
  // The shell keeps copied text once its owner has gone.
  EXPECT_EQ(Pasted(), "after");
}

// Typing into a native Wayland field through the desktop portal's keyboard,
// from the tray and then from the console: the user is asked once, the
// restore token spares the next run the question, every character arrives as
// sent, and a barcode with characters the layout lacks goes to the clipboard
// instead.
TEST_F(GnomeE2E, TypingThroughThePortalKeyboard) {
  StartSession(false);
  if (HasFatalFailure() || IsSkipped()) return;
  test::GnomeSession& session = *session_;
  const auto portal = test::RemoteDesktopPortal::Start(
      session.bus_address(),
      [&session](uint32_t keysym, bool pressed) { session.Key(keysym, pressed); });
  ASSERT_NE(portal, nullptr);
  StartReceiver();
  if (HasFatalFailure()) return;

  const fs::path output = receiver_.root() / "wayland.txt";
  std::string expected;
  {
    const auto field = Field("wayland", output);
    for (const std::string barcode : {"4006381333931", "Ab-C_d!9"}) {
      ASSERT_TRUE(Deliver(barcode, "barcode", "type", "[text] typed ",
                          Count(receiver_.Log(), "[text] typed ") + 1))
          << receiver_.Log();
      expected += barcode;
    }
    ASSERT_TRUE(Deliver(test::Utf8Of(U"\u6761\u7801-42"), "barcode", "type",
                        "[text] the keyboard layout lacks some of its characters, which a Wayland "
                        "app needs; copied to the clipboard instead\n",
                        1))
        << receiver_.Log();
    EXPECT_TRUE(test::WaitUntil([&] { return ReadFileText(output).value_or("") == expected; }, 10s))
        << ReadFileText(output).value_or("");
  }
  const auto first = portal->Recorded();
  EXPECT_EQ(first.consents, 1);
  EXPECT_EQ(first.types, 1u);         // the keyboard alone
  EXPECT_EQ(first.persist_mode, 2u);  // until revoked
  EXPECT_EQ(std::string(first.pressed.begin(), first.pressed.end()), expected);

  EXPECT_TRUE(fs::exists(receiver_.root() / "state/Vistrel/portal_restore_token"));
  // The next run, the console this time (its desktop helper on XWayland),
  // restores the session without asking.
  EXPECT_EQ(receiver_.Signal(SIGTERM), 0);
  ASSERT_TRUE(receiver_.Start({"--headless", "--set", "allow_typing=on"}));
  const fs::path second = receiver_.root() / "wayland2.txt";
  const auto field = Field("wayland", second);
  ASSERT_TRUE(Deliver("978", "barcode", "type", "[text] typed ", 3)) << receiver_.Log();
  EXPECT_TRUE(test::WaitUntil([&] { return ReadFileText(second).value_or("") == "978"; }, 10s));
  EXPECT_EQ(portal->Recorded().restore_token_given, "restore-1");
  EXPECT_EQ(portal->Recorded().consents, 1);
  EXPECT_EQ(receiver_.Quit(), 0);
}

}  // namespace
}  // namespace vistrel
