// The real receiver with its tray under Xvfb, on a private session bus with
// a tiny status-notifier watcher whose menu host keeps the layout as panels
// do: the icon and its menu following the state, the windows, pairing
// approved by a click on the window, notifications, a snapshot taken from the
// keyboard, the pages filled by the simulator's clips and scans, the folders
// of the settings opened and changed, a phone removed through the question
// dialog, and Quit from the menu.
#include <X11/keysym.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <future>
#include <thread>

#include "platform/files.h"
#include "platform/socket.h"
#include "tests/e2e/e2e_support.h"
#include "tests/e2e/session_bus.h"
#include "tests/e2e/x_display.h"
#include "tests/e2e/x_windows.h"
#include "tests/support/wait_for.h"
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

// The keyboard to the window, as a window manager gives it to a new dialog.
bool FocusWindow(const std::string& name, unsigned long window) {
  Display* display = XOpenDisplay(name.c_str());
  if (!display) return false;
  XSetInputFocus(display, window, RevertToParent, CurrentTime);
  XSync(display, False);
  XCloseDisplay(display);
  return true;
}

std::string Joined(const std::vector<std::string>& labels) {
  std::string text;
  for (const std::string& label : labels) text += label + "|";
  return text;
}

// The desktop's opener would show a file manager, which cannot run here: an
// "xdg-open" first on the PATH the receiver inherits notes what it was asked
// to open, one line each.
class RecordingOpener {
 public:
  explicit RecordingOpener(const fs::path& folder) : log_(folder / "opened.txt") {
    const fs::path bin = folder / "bin";
    fs::create_directories(bin);
    std::ofstream(bin / "xdg-open")
        << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" << log_.string() << "'\n";
    fs::permissions(bin / "xdg-open", fs::perms::owner_all);
    const char* path = std::getenv("PATH");
    saved_ = path ? path : "";
    ::setenv("PATH", (bin.string() + ":" + saved_).c_str(), 1);
  }
  ~RecordingOpener() { ::setenv("PATH", saved_.c_str(), 1); }
  RecordingOpener(const RecordingOpener&) = delete;
  RecordingOpener& operator=(const RecordingOpener&) = delete;

  std::string Opened() const { return ReadFileText(log_).value_or(""); }

 private:
  fs::path log_;
  std::string saved_;
};

class TrayE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    if (xvfb_.name().empty()) GTEST_SKIP() << "Xvfb could not start";
    if (bus_.address().empty()) GTEST_SKIP() << "dbus-daemon could not start";
    watcher_ = test::StatusWatcher::Start(bus_.address());
    ASSERT_NE(watcher_, nullptr);
    receiver_.ShowTrayOn(xvfb_.name(), bus_.address());
    receiver_.AddEnvironment("NO_AT_BRIDGE=1");
  }

  fs::path Hook(const std::string& name) const {
    return receiver_.root() / "run" / "vistrel" / name;
  }
  std::string HookText(const std::string& name) const {
    return ReadFileText(Hook(name)).value_or("");
  }
  bool WaitForHook(const std::string& name, const std::string& text,
                   std::chrono::seconds limit = 20s) {
    return test::WaitFor([&] { return HookText(name).find(text) != std::string::npos; }, limit);
  }
  std::optional<test::ShownWindow> MainWindow() {
    for (const auto& window : test::ShownWindowsNamed(xvfb_.name(), kTitle)) {
      if (window.width == test::kMainWidth && window.height == test::kMainHeight) return window;
    }
    return std::nullopt;
  }
  bool WaitForMainWindow() {
    return test::WaitFor([&] { return MainWindow().has_value(); }, 10s);
  }
  // A click at a point of the main window's client area.
  void ClickMain(int x, int y) {
    auto window = MainWindow();
    ASSERT_TRUE(window);
    ASSERT_TRUE(test::ClickAt(xvfb_.name(), window->x + x, window->y + y));
  }
  uint32_t MainPixel(int x, int y) {
    auto window = MainWindow();
    return window ? test::ScreenPixel(xvfb_.name(), window->x + x, window->y + y) : 0xFFFFFFFF;
  }

  test::Xvfb xvfb_{"1280x800x24"};
  test::SessionBus bus_;
  std::unique_ptr<test::StatusWatcher> watcher_;
  test::ReceiverProcess receiver_;
};

TEST_F(TrayE2E, BackgroundStartShowsTheIconAndASecondStartTheWindow) {
  ASSERT_TRUE(receiver_.Start({"--background"}));
  auto item = watcher_->WaitForItem(10);
  ASSERT_TRUE(item) << receiver_.Log();
  ASSERT_TRUE(receiver_.WaitForLog("[app] tray ready\n"));
  EXPECT_FALSE(MainWindow());

  // The icon: the grey state, sizes from 16 px up, and the state in the tool tip.
  const auto pixmaps = watcher_->IconPixmaps(*item);
  ASSERT_FALSE(pixmaps.empty());
  EXPECT_EQ(pixmaps.front().width, 16);
  for (const auto& pixmap : pixmaps) {
    const int dot = static_cast<int>(0.82 * pixmap.width);
    EXPECT_EQ(pixmap.Pixel(dot, dot), 0xFF9CA3AFu) << pixmap.width;
  }
  EXPECT_EQ(watcher_->ToolTipText(*item), "Orlith Cam: Waiting for phone");
  EXPECT_EQ(
      watcher_->MenuLabels(*item),
      (std::vector<std::string>{"Waiting for phone", "-", "Open Orlith Cam", "Pair a phone...",
                                "Pause video", "Start on login", "-", "Quit"}));
  EXPECT_TRUE(fs::exists(Hook("vstl_tray_icons.png")));
  EXPECT_EQ(HookText("vstl_tray_icon_size.txt"), "16");

  // A left click opens the flyout near the click; a second start shows the main window.
  ASSERT_TRUE(watcher_->Activate(*item, 1200, 790));
  EXPECT_TRUE(test::WaitFor(
      [&] {
        for (const auto& w : test::ShownWindowsNamed(xvfb_.name(), kTitle)) {
          if (w.width == test::kFlyoutWidth && w.height == test::kFlyoutHeight) return true;
        }
        return false;
      },
      10s));
  EXPECT_EQ(receiver_.RunSecondStart(), 0);
  EXPECT_TRUE(WaitForMainWindow());
  EXPECT_TRUE(receiver_.WaitForLog("[app] another start asked this receiver to show itself\n"));

  // "Pause video" from the menu turns the icon amber, and the menu the host
  // keeps follows: the state line and "Resume video", which resumes.
  ASSERT_TRUE(watcher_->ClickMenu(*item, 102));
  EXPECT_TRUE(test::WaitFor(
      [&] {
        auto now = watcher_->IconPixmaps(*item);
        return !now.empty() && now.front().Pixel(13, 13) == 0xFFFFB020u;
      },
      5s));
  EXPECT_TRUE(receiver_.WaitForLog("[gate] camera blocked\n"));
  std::vector<std::string> labels;
  const auto menu_reads = [&](const std::string& state, const std::string& pause) {
    const std::vector<std::string> expected = {
        state, "-", "Open Orlith Cam", "Pair a phone...", pause, "Start on login", "-", "Quit"};
    return test::WaitFor(
        [&] {
          labels = watcher_->MenuLabels(*item);
          return labels == expected;
        },
        10s);
  };
  EXPECT_TRUE(menu_reads("Paused · on this PC", "Resume video")) << Joined(labels);
  ASSERT_TRUE(watcher_->ClickMenu(*item, 102));
  EXPECT_TRUE(receiver_.WaitForLog("[gate] camera allowed\n"));
  EXPECT_TRUE(menu_reads("Waiting for phone", "Pause video")) << Joined(labels);

  // "Start on login" shows its check once chosen, and loses it when chosen again.
  const auto login_check = [&] {
    for (const test::MenuEntry& entry : watcher_->Menu(*item)) {
      if (entry.id == 103) return entry.checked;
    }
    return -2;
  };
  const fs::path autostart = receiver_.root() / "config" / "autostart" / "vistrel.desktop";
  EXPECT_EQ(login_check(), 0);
  ASSERT_TRUE(watcher_->ClickMenu(*item, 103));
  EXPECT_TRUE(test::WaitFor([&] { return login_check() == 1; }, 10s));
  EXPECT_TRUE(fs::exists(autostart));
  ASSERT_TRUE(watcher_->ClickMenu(*item, 103));
  EXPECT_TRUE(test::WaitFor([&] { return login_check() == 0; }, 10s));
  EXPECT_FALSE(fs::exists(autostart));

  ASSERT_TRUE(watcher_->ClickMenu(*item, 104));
  EXPECT_EQ(receiver_.Signal(0, 20s), 0);
  EXPECT_NE(receiver_.Log().find("[app] stopped\n"), std::string::npos);
}

TEST_F(TrayE2E, PairingApprovedByAClickThenClipsAndScansReachThePages) {
  const fs::path videos = receiver_.root() / "videos";
  const fs::path scans = receiver_.root() / "scans";
  const RecordingOpener opener(receiver_.root());
  ASSERT_TRUE(receiver_.Start({"--set", "videos_dir=" + videos.string(), "--set",
                               "scans_dir=" + scans.string(), "--set", "postroll_seconds=1"}));
  ASSERT_TRUE(WaitForMainWindow()) << receiver_.Log();
  auto item = watcher_->WaitForItem(10);
  ASSERT_TRUE(item);

  // Phones page, then "Pair a phone".
  ClickMain(80, 72 + 44 * 3 + 19);
  std::this_thread::sleep_for(200ms);
  ClickMain(670, 40);
  ASSERT_TRUE(test::WaitFor([&] { return !HookText("vstl_pair_url.txt").empty(); }, 10s));
  auto pairing = test::StartPairingFromHook(receiver_, "Cam");
  ASSERT_TRUE(pairing);
  phone::Phone& device = *pairing->device;
  ASSERT_TRUE(WaitForHook("vstl_notify.txt", "Pairing request: "));
  std::this_thread::sleep_for(300ms);
  ClickMain(400, 220);  // "Approve" on the approval dialog
  const phone::PairOutcome paired = pairing->outcome.get();
  ASSERT_TRUE(paired.paired) << paired.error << receiver_.Log();
  EXPECT_NE(HookText("vstl_notify.txt").find(". Open Orlith Cam to approve.\n"), std::string::npos);

  // Monitor mode with motion: a clip, the home state and the notifications.
  std::atomic<bool> stop{false};
  phone::WebcamOptions options;
  options.device_name = "Cam";
  options.monitor = true;
  options.seconds = 8;
  options.motion_start = 2.5;
  options.motion_end = 3.0;
  auto session = std::shared_ptr<phone::PhoneLink>(device.Connect("127.0.0.1", receiver_.port()));
  ASSERT_NE(session, nullptr);
  auto monitoring = std::async(std::launch::async, [&] {
    auto report = phone::RunWebcam(*session, options, &stop);
    session->Drop();
    return report;
  });
  EXPECT_TRUE(WaitForHook("vstl_notify.txt", ": Use it as a webcam, a monitor, or a scanner.\n"))
      << HookText("vstl_notify.txt") << receiver_.Log();
  // The icon's other two states: green with a session, red while recording.
  auto dot = [&] {
    auto pixmaps = watcher_->IconPixmaps(*item);
    return pixmaps.empty() ? 0u : pixmaps.front().Pixel(13, 13);
  };
  EXPECT_TRUE(test::WaitFor([&] { return dot() == 0xFF22C55Eu || dot() == 0xFFEF4444u; }, 10s));
  EXPECT_TRUE(test::WaitFor([&] { return dot() == 0xFFEF4444u; }, 20s));
  // The preview card shows the phone's picture, between full repaints too:
  // the monitor scene is grey (neutral chroma), the card's own colours are not.
  const auto picture_shown = [&] {
    const uint32_t p = MainPixel(600, 290);
    const uint32_t r = p >> 16 & 0xFF, g = p >> 8 & 0xFF, b = p & 0xFF;
    return p != 0xFFFFFFFF && r == g && g == b && r > 40;
  };
  EXPECT_TRUE(test::WaitFor(picture_shown, 5s)) << std::hex << MainPixel(600, 290);
  for (int i = 0; i < 10; ++i) {
    std::this_thread::sleep_for(30ms);
    EXPECT_TRUE(picture_shown()) << std::hex << MainPixel(600, 290);
  }
  // The keyboard: Tab walks the five pages, then the snapshot button; Enter
  // saves the live picture at its full size.
  for (int i = 0; i < 6; ++i) ASSERT_TRUE(test::PressKey(xvfb_.name(), XK_Tab));
  ASSERT_TRUE(test::PressKey(xvfb_.name(), XK_Return));
  ASSERT_TRUE(WaitForHook("vstl_snapshot.txt", ".png")) << receiver_.Log();
  const auto png = ReadFileText(HookText("vstl_snapshot.txt")).value_or("");
  ASSERT_GE(png.size(), 24u);
  const auto be32 = [&png](size_t at) {
    return uint32_t(uint8_t(png[at])) << 24 | uint32_t(uint8_t(png[at + 1])) << 16 |
           uint32_t(uint8_t(png[at + 2])) << 8 | uint8_t(png[at + 3]);
  };
  EXPECT_EQ(png.substr(1, 3), "PNG");
  EXPECT_EQ(be32(16), 1280u);
  EXPECT_EQ(be32(20), 720u);
  EXPECT_TRUE(WaitForHook("vstl_notify.txt", "Snapshot saved: Pictures/Orlith Cam/Orlith Cam "));
  EXPECT_TRUE(WaitForHook("vstl_home_state.txt", "Monitoring"));
  EXPECT_TRUE(WaitForHook("vstl_notify.txt", "Motion detected: "));
  ASSERT_TRUE(receiver_.WaitForLog("[record] saved ", 30s));
  stop = true;
  monitoring.get();

  ClickMain(80, 72 + 44 * 1 + 19);  // Monitor page: the first clip row's "Open" button
  EXPECT_TRUE(test::WaitFor([&] { return MainPixel(672, 334) == 0x2A2E39; }, 5s))
      << std::hex << MainPixel(672, 334);
  // "Open folder" opens the videos folder the settings name.
  ClickMain(680, 300);
  EXPECT_TRUE(test::WaitFor([&] { return opener.Opened() == videos.string() + "\n"; }, 10s))
      << opener.Opened();

  // A scanned text: a notification and a row on the Scan page.
  auto scan_link = device.Connect("127.0.0.1", receiver_.port());
  ASSERT_NE(scan_link, nullptr);
  std::string reply;
  ASSERT_TRUE(phone::OpenScanSession(*scan_link, "Cam", reply));
  scan_link->Send(kText, phone::TextJson("hello from the phone", "ocr", "copy"));
  EXPECT_TRUE(WaitForHook("vstl_notify.txt", "Scan received: Text copied to the clipboard\n"));
  ClickMain(80, 72 + 44 * 2 + 19);
  EXPECT_TRUE(test::WaitFor([&] { return MainPixel(644, 238) == 0x2A2E39; }, 5s))
      << std::hex << MainPixel(644, 238);

  // The Scan page's "Open" opens the scans folder; after "Change…" it opens
  // the folder chosen in the picker, which is typed into its location entry.
  const auto opened_last = [&](const fs::path& folder) {
    return test::WaitFor(
        [&] {
          const std::string text = opener.Opened();
          const std::string line = folder.string() + "\n";
          return text.size() >= line.size() &&
                 text.compare(text.size() - line.size(), line.size(), line) == 0;
        },
        10s);
  };
  ClickMain(692, 100);
  EXPECT_TRUE(opened_last(scans)) << opener.Opened();
  const fs::path chosen = receiver_.root() / "home" / "newscans";
  fs::create_directories(chosen);
  ClickMain(618, 100);
  const auto picker_shown = [&] {
    return !test::ShownWindowsNamed(xvfb_.name(), "Save Orlith Cam scans to").empty();
  };
  ASSERT_TRUE(test::WaitFor(picker_shown, 10s));
  std::this_thread::sleep_for(500ms);
  // A window manager gives a new dialog the keyboard; there is none here.
  ASSERT_TRUE(FocusWindow(xvfb_.name(),
                          test::ShownWindowsNamed(xvfb_.name(), "Save Orlith Cam scans to")[0].id));
  ASSERT_TRUE(test::PressKey(xvfb_.name(), XK_asciitilde, true));
  for (char c : std::string("/newscans")) {
    ASSERT_TRUE(test::PressKey(xvfb_.name(), c == '/' ? XK_slash : static_cast<unsigned long>(c)));
  }
  // Enter may first open the typed folder; then it selects the folder shown.
  for (int i = 0; i < 3 && picker_shown(); ++i) {
    std::this_thread::sleep_for(300ms);
    ASSERT_TRUE(test::PressKey(xvfb_.name(), XK_Return));
    test::WaitFor([&] { return !picker_shown(); }, 2s);
  }
  ASSERT_FALSE(picker_shown());
  EXPECT_TRUE(test::WaitFor(
      [&] {
        return ReadFileText(receiver_.data_folder() / "settings.ini")
                   .value_or("")
                   .find("scans_dir=" + chosen.string() + "\n") != std::string::npos;
      },
      10s));
  ClickMain(692, 100);
  EXPECT_TRUE(opened_last(chosen)) << opener.Opened();

  // "Remove" on the Phones page asks first; Enter answers OK and the phone
  // is no longer trusted.
  ClickMain(80, 72 + 44 * 3 + 19);
  std::this_thread::sleep_for(200ms);
  ClickMain(680, 104);
  const auto question_shown = [&] {
    for (const auto& window : test::ShownWindowsNamed(xvfb_.name(), kTitle)) {
      if (window.width != test::kMainWidth || window.height != test::kMainHeight) return true;
    }
    return false;
  };
  ASSERT_TRUE(test::WaitFor(question_shown, 10s));
  ASSERT_TRUE(test::PressKey(xvfb_.name(), XK_Return));
  EXPECT_TRUE(test::WaitFor([&] { return !question_shown(); }, 10s));
  const fs::path trusted = receiver_.data_folder() / "trusted_phones.tsv";
  EXPECT_TRUE(test::WaitFor(
      [&] {
        const std::string text = ReadFileText(trusted).value_or(device.FingerprintHex());
        return text.find(device.FingerprintHex()) == std::string::npos;
      },
      10s));
  // Escape hides the window; the receiver keeps running in the tray.
  ASSERT_TRUE(test::PressKey(xvfb_.name(), XK_Escape));
  EXPECT_TRUE(test::WaitFor([&] { return !MainWindow(); }, 10s));

  ASSERT_TRUE(watcher_->ClickMenu(*item, 104));
  EXPECT_EQ(receiver_.Signal(0, 20s), 0);
  EXPECT_NE(receiver_.Log().find("[app] stopped\n"), std::string::npos);
}

TEST_F(TrayE2E, AFailedStartKeepsTheTrayAndQuitEndsWithStatus1) {
  UniqueFd taken = ListenIpv4At("0.0.0.0", 0, 1);
  ASSERT_TRUE(taken);
  EXPECT_FALSE(receiver_.Start({"--background", "--port", std::to_string(LocalPort(taken.Get()))}));
  ASSERT_TRUE(receiver_.WaitForLog("[app] start failed: "));
  EXPECT_TRUE(WaitForMainWindow());  // despite --background
  auto item = watcher_->WaitForItem(10);
  ASSERT_TRUE(item);
  const auto menu = watcher_->Menu(*item);
  ASSERT_EQ(menu.size(), 8u);
  EXPECT_EQ(menu[0].label, "Not running");
  EXPECT_FALSE(menu[3].enabled);  // "Pair a phone..."
  EXPECT_FALSE(menu[4].enabled);  // "Pause video"
  // Quitting after a failed start reports the failure.
  ASSERT_TRUE(watcher_->ClickMenu(*item, 104));
  EXPECT_EQ(receiver_.Signal(0, 20s), 1);
}

TEST_F(TrayE2E, NotificationsReachTheNotificationService) {
  const char* daemon = "/usr/lib/notification-daemon/notification-daemon";
  if (!fs::exists(daemon)) GTEST_SKIP() << "notification-daemon is not installed";
  const std::string command = "env DISPLAY=" + xvfb_.name() + " DBUS_SESSION_BUS_ADDRESS='" +
                              bus_.address() + "' NO_AT_BRIDGE=1 " + daemon +
                              " >/dev/null 2>&1 & echo $!";
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  int daemon_pid = 0;
  ASSERT_EQ(std::fscanf(pipe, "%d", &daemon_pid), 1);
  ::pclose(pipe);
  ASSERT_TRUE(
      test::WaitFor([&] { return watcher_->HasName("org.freedesktop.Notifications"); }, 10s));

  ASSERT_TRUE(receiver_.Start({"--background"}));
  auto item = watcher_->WaitForItem(10);
  ASSERT_TRUE(item);
  const size_t before = test::ShownWindows(xvfb_.name()).size();
  auto device = phone::Phone::Create(receiver_.root() / "phone");
  ASSERT_TRUE(watcher_->ClickMenu(*item, 101));  // "Pair a phone..."
  ASSERT_TRUE(test::WaitFor([&] { return !HookText("vstl_pair_url.txt").empty(); }, 10s));
  auto url = phone::ParsePairingUrl(HookText("vstl_pair_url.txt"));
  ASSERT_TRUE(url);
  auto link = device->Connect("127.0.0.1", receiver_.port());
  ASSERT_NE(link, nullptr);
  auto outcome = std::async(std::launch::async, [&] {
    return phone::Pair(*link, *url, device->fingerprint(), phone::PairRequest{});
  });
  ASSERT_TRUE(WaitForHook("vstl_notify.txt", "Pairing request: "));
  // The service shows its bubble as a window of its own, beside the main window.
  EXPECT_TRUE(test::WaitFor(
      [&] {
        size_t others = 0;
        for (const auto& w : test::ShownWindows(xvfb_.name())) others += w.name != kTitle;
        return others >= 1 && test::ShownWindows(xvfb_.name()).size() > before;
      },
      10s));
  ASSERT_TRUE(watcher_->ClickMenu(*item, 104));
  EXPECT_EQ(receiver_.Signal(0, 20s), 0);
  ::kill(daemon_pid, SIGTERM);
  outcome.wait_for(5s);
}

}  // namespace
}  // namespace vistrel
