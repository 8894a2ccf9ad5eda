// The receiver's tray as a screen reader meets it: the real receiver under
// Xvfb on a private session bus, GTK's bridge to the real AT-SPI bus and
// registry (started by D-Bus activation, as on a desktop), read and driven
// through libatspi as Orca does. Its own program: libatspi keeps one
// connection per process.
#include <X11/keysym.h>
#include <atspi/atspi.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "platform/files.h"
#include "tests/e2e/e2e_support.h"
#include "tests/e2e/receiver_process.h"
#include "tests/e2e/session_bus.h"
#include "tests/e2e/x_display.h"
#include "tests/e2e/x_windows.h"
#include "tests/support/temp_folder.h"
#include "tests/support/wait_for.h"
#include "tools/phone/phone.h"

namespace vistrel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct Unref {
  void operator()(gpointer object) const {
    if (object) g_object_unref(object);
  }
};
using Node = std::unique_ptr<AtspiAccessible, Unref>;

std::string NameOf(AtspiAccessible* node) {
  gchar* name = atspi_accessible_get_name(node, nullptr);
  std::string text = name ? name : "";
  g_free(name);
  return text;
}

AtspiRole RoleOf(AtspiAccessible* node) {
  return atspi_accessible_get_role(node, nullptr);
}

bool Has(AtspiAccessible* node, AtspiStateType state) {
  std::unique_ptr<AtspiStateSet, Unref> states(atspi_accessible_get_state_set(node));
  return states && atspi_state_set_contains(states.get(), state);
}

int ActionCount(AtspiAccessible* node) {
  std::unique_ptr<AtspiAction, Unref> action(atspi_accessible_get_action_iface(node));
  return action ? atspi_action_get_n_actions(action.get(), nullptr) : 0;
}

bool Activate(AtspiAccessible* node) {
  std::unique_ptr<AtspiAction, Unref> action(atspi_accessible_get_action_iface(node));
  return action && atspi_action_do_action(action.get(), 0, nullptr);
}

// Depth first, the node itself included.
void Walk(AtspiAccessible* node, const std::function<void(AtspiAccessible*)>& visit) {
  visit(node);
  const int count = atspi_accessible_get_child_count(node, nullptr);
  for (int i = 0; i < count; ++i) {
    Node child(atspi_accessible_get_child_at_index(node, i, nullptr));
    if (child) Walk(child.get(), visit);
  }
}

// The first node under `root` with this role whose name holds `name`.
Node Find(AtspiAccessible* root, AtspiRole role, const std::string& name) {
  Node found;
  Walk(root, [&](AtspiAccessible* node) {
    if (!found && RoleOf(node) == role && NameOf(node).find(name) != std::string::npos) {
      found.reset(ATSPI_ACCESSIBLE(g_object_ref(node)));
    }
  });
  return found;
}

// The accessibility bus's launcher, started by D-Bus activation with this
// process's environment, puts its socket in the runtime folder: a private one,
// so that no other session's launcher shares it.
class PrivateRuntime {
 public:
  PrivateRuntime() { ::setenv("XDG_RUNTIME_DIR", folder_.path().c_str(), 1); }

 private:
  test::TempFolder folder_;
};

class AccessibilityE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    if (xvfb_.name().empty()) GTEST_SKIP() << "Xvfb could not start";
    if (bus_.address().empty()) GTEST_SKIP() << "dbus-daemon could not start";
    watcher_ = test::StatusWatcher::Start(bus_.address());
    ASSERT_NE(watcher_, nullptr);
    receiver_.ShowTrayOn(xvfb_.name(), bus_.address());
    // This process is the screen reader; it finds the accessibility bus
    // through the same session bus.
    ::setenv("DBUS_SESSION_BUS_ADDRESS", bus_.address().c_str(), 1);
    ::setenv("DISPLAY", xvfb_.name().c_str(), 1);
    ::unsetenv("AT_SPI_BUS_ADDRESS");
    // libatspi keeps the first session's connection for the life of the
    // process; ctest runs each test in a process of its own.
    static bool used = false;
    if (used) GTEST_SKIP() << "one test per process: run them one at a time, as ctest does";
    used = true;
    ASSERT_EQ(atspi_init(), 0);
  }

  // The receiver's application on the accessibility bus, its cache dropped:
  // what it says now.
  Node Application() {
    std::unique_ptr<AtspiAccessible, Unref> desktop(atspi_get_desktop(0));
    const int count = atspi_accessible_get_child_count(desktop.get(), nullptr);
    for (int i = 0; i < count; ++i) {
      Node app(atspi_accessible_get_child_at_index(desktop.get(), i, nullptr));
      if (app && NameOf(app.get()) == "vistrel") {
        atspi_accessible_clear_cache(app.get());
        return app;
      }
    }
    return nullptr;
  }

  // The painted content of the main window: the panel holding the page tabs.
  Node MainCanvas() {
    Node app = Application();
    if (!app) return nullptr;
    Node tabs = Find(app.get(), ATSPI_ROLE_PAGE_TAB_LIST, "");
    return tabs ? Node(atspi_accessible_get_parent(tabs.get(), nullptr)) : nullptr;
  }

  // A control on the main window, waiting for a repaint to bring it.
  Node WaitFind(AtspiRole role, const std::string& name) {
    Node found;
    test::WaitFor(
        [&] {
          Node canvas = MainCanvas();
          if (canvas) found = Find(canvas.get(), role, name);
          return found != nullptr;
        },
        10s);
    return found;
  }

  // A node anywhere in the receiver's application (the flyout, a dialog),
  // waiting for it to show.
  Node WaitFindInApplication(AtspiRole role, const std::string& name) {
    Node found;
    test::WaitFor(
        [&] {
          Node app = Application();
          found = app ? Find(app.get(), role, name) : nullptr;
          return found != nullptr;
        },
        10s);
    return found;
  }

  bool ShowPage(const std::string& page) {
    Node tab = WaitFind(ATSPI_ROLE_PAGE_TAB, page);
    if (!tab || !Activate(tab.get())) return false;
    return test::WaitFor(
        [&] {
          Node canvas = MainCanvas();
          return canvas && NameOf(canvas.get()) == page;
        },
        10s);
  }

  // Every control with an action on the current page has a role and a name.
  void ExpectEveryControlNamed(const std::string& page) {
    Node canvas = MainCanvas();
    ASSERT_TRUE(canvas);
    int controls = 0;
    Walk(canvas.get(), [&](AtspiAccessible* node) {
      if (ActionCount(node) == 0) return;
      ++controls;
      const AtspiRole role = RoleOf(node);
      EXPECT_NE(role, ATSPI_ROLE_UNKNOWN) << page;
      EXPECT_NE(role, ATSPI_ROLE_INVALID) << page;
      EXPECT_FALSE(NameOf(node).empty()) << page << ": a " << atspi_role_get_name(role);
    });
    EXPECT_GE(controls, 5) << page;  // the page tabs at least
  }

  std::string HookText(const std::string& name) const {
    return ReadFileText(receiver_.root() / "run" / "vistrel" / name).value_or("");
  }

  test::Xvfb xvfb_{"1280x800x24"};
  PrivateRuntime runtime_;
  test::SessionBus bus_;
  std::unique_ptr<test::StatusWatcher> watcher_;
  test::ReceiverProcess receiver_;
};

TEST_F(AccessibilityE2E, AScreenReaderPairsAPhoneSetsRecordingAndHearsTheState) {
  ASSERT_TRUE(receiver_.Start());
  auto item = watcher_->WaitForItem(10);
  ASSERT_TRUE(item) << receiver_.Log();

  // The main window's content: named by its page, with the page tabs, the
  // current one selected, and the status line as a label.
  Node webcam = WaitFind(ATSPI_ROLE_PAGE_TAB, "Webcam");
  ASSERT_TRUE(webcam) << receiver_.Log();
  EXPECT_TRUE(Has(webcam.get(), ATSPI_STATE_SELECTED));
  EXPECT_EQ(NameOf(MainCanvas().get()), "Webcam");
  EXPECT_TRUE(WaitFind(ATSPI_ROLE_LABEL, "No phone paired"));
  Node snapshot = WaitFind(ATSPI_ROLE_PUSH_BUTTON, "Snapshot (needs a live picture)");
  ASSERT_TRUE(snapshot);
  EXPECT_FALSE(Has(snapshot.get(), ATSPI_STATE_ENABLED));
  EXPECT_EQ(ActionCount(snapshot.get()), 0);
  {
    // Bounds as painted: the first page tab at (12, 72) in the window, 152 × 38.
    std::unique_ptr<AtspiComponent, Unref> component(
        atspi_accessible_get_component_iface(webcam.get()));
    ASSERT_TRUE(component);
    std::unique_ptr<AtspiRect, decltype(&g_free)> extents(
        atspi_component_get_extents(component.get(), ATSPI_COORD_TYPE_WINDOW, nullptr), g_free);
    ASSERT_TRUE(extents);
    EXPECT_EQ(extents->x, 12);
    EXPECT_EQ(extents->y, 72);
    EXPECT_EQ(extents->width, 152);
    EXPECT_EQ(extents->height, 38);
  }
  ExpectEveryControlNamed("Webcam");

  // Tab moves the keyboard focus, which the reader is told of.
  ASSERT_TRUE(test::PressKey(xvfb_.name(), XK_Tab));
  EXPECT_TRUE(test::WaitFor(
      [&] {
        Node tab = WaitFind(ATSPI_ROLE_PAGE_TAB, "Webcam");
        return tab && Has(tab.get(), ATSPI_STATE_FOCUSED);
      },
      10s));

  // Pause from its toggle (named by its tooltip): the state line says so.
  Node pause = WaitFind(ATSPI_ROLE_TOGGLE_BUTTON, "Pause video");
  ASSERT_TRUE(pause);
  EXPECT_FALSE(Has(pause.get(), ATSPI_STATE_PRESSED));
  ASSERT_TRUE(Activate(pause.get()));
  EXPECT_TRUE(receiver_.WaitForLog("[gate] camera blocked\n"));
  EXPECT_TRUE(WaitFind(ATSPI_ROLE_LABEL, "Paused · on this PC"));
  Node resume = WaitFind(ATSPI_ROLE_TOGGLE_BUTTON, "Resume video");
  ASSERT_TRUE(resume);
  EXPECT_TRUE(Has(resume.get(), ATSPI_STATE_PRESSED));
  ASSERT_TRUE(Activate(resume.get()));
  EXPECT_TRUE(receiver_.WaitForLog("[gate] camera allowed\n"));

  // Pairing: "Pair a phone" on the Phones page, then "Approve" in the alert
  // that carries the code.
  ASSERT_TRUE(ShowPage("Phones"));
  ExpectEveryControlNamed("Phones");
  Node pair = WaitFind(ATSPI_ROLE_PUSH_BUTTON, "Pair a phone");
  ASSERT_TRUE(pair);
  ASSERT_TRUE(Activate(pair.get()));
  ASSERT_TRUE(test::WaitFor([&] { return !HookText("vstl_pair_url.txt").empty(); }, 10s));
  EXPECT_TRUE(WaitFind(ATSPI_ROLE_IMAGE, "Pairing code to scan"));
  auto pairing = test::StartPairingFromHook(receiver_, "Cam");
  ASSERT_TRUE(pairing);
  Node alert = WaitFind(ATSPI_ROLE_ALERT, "\"Cam\" wants to pair. Code ");
  ASSERT_TRUE(alert) << receiver_.Log();
  Node approve = Find(alert.get(), ATSPI_ROLE_PUSH_BUTTON, "Approve");
  ASSERT_TRUE(approve);
  EXPECT_TRUE(Find(alert.get(), ATSPI_ROLE_PUSH_BUTTON, "Reject"));
  ASSERT_TRUE(Activate(approve.get()));
  const phone::PairOutcome paired = pairing->outcome.get();
  ASSERT_TRUE(paired.paired) << paired.error << receiver_.Log();

  // The phone in the Phones list, with its Remove button.
  ASSERT_TRUE(ShowPage("Phones"));
  Node row = WaitFind(ATSPI_ROLE_LIST_ITEM, "Cam");
  ASSERT_TRUE(row);
  EXPECT_TRUE(Find(row.get(), ATSPI_ROLE_PUSH_BUTTON, "Remove"));

  // Monitor: the "Recording" choice is a group of radio buttons.
  ASSERT_TRUE(ShowPage("Monitor"));
  ExpectEveryControlNamed("Monitor");
  Node recording = WaitFind(ATSPI_ROLE_PANEL, "Recording");
  ASSERT_TRUE(recording);
  Node motion = Find(recording.get(), ATSPI_ROLE_RADIO_BUTTON, "Motion clips");
  Node continuous = Find(recording.get(), ATSPI_ROLE_RADIO_BUTTON, "Continuous");
  ASSERT_TRUE(motion && continuous);
  EXPECT_TRUE(Has(motion.get(), ATSPI_STATE_CHECKED));
  EXPECT_FALSE(Has(continuous.get(), ATSPI_STATE_CHECKED));
  ASSERT_TRUE(Activate(continuous.get()));
  EXPECT_TRUE(test::WaitFor(
      [&] {
        return ReadFileText(receiver_.data_folder() / "settings.ini")
                   .value_or("")
                   .find("record=continuous\n") != std::string::npos;
      },
      10s));
  EXPECT_TRUE(test::WaitFor(
      [&] {
        Node now = WaitFind(ATSPI_ROLE_RADIO_BUTTON, "Continuous");
        return now && Has(now.get(), ATSPI_STATE_CHECKED);
      },
      10s));
  EXPECT_TRUE(WaitFind(ATSPI_ROLE_CHECK_BOX, "Motion alerts"));

  ASSERT_TRUE(ShowPage("Scan"));
  ExpectEveryControlNamed("Scan");
  EXPECT_TRUE(WaitFind(ATSPI_ROLE_CHECK_BOX, "Allow typing into apps"));
  ASSERT_TRUE(ShowPage("Settings"));
  ExpectEveryControlNamed("Settings");
  EXPECT_TRUE(WaitFind(ATSPI_ROLE_PUSH_BUTTON, "Open log folder"));

  // The live status text: back on the Webcam page, the phone paired.
  ASSERT_TRUE(ShowPage("Webcam"));
  EXPECT_TRUE(WaitFind(ATSPI_ROLE_LABEL, "Waiting for phone"));

  // The flyout from the tray icon: its own content, named, with the button
  // that opens the main window.
  ASSERT_TRUE(watcher_->Activate(*item, 1200, 790));
  Node flyout = WaitFindInApplication(ATSPI_ROLE_PANEL, "Status");
  ASSERT_TRUE(flyout);
  EXPECT_TRUE(Find(flyout.get(), ATSPI_ROLE_LABEL, "Waiting for phone"));
  EXPECT_TRUE(Find(flyout.get(), ATSPI_ROLE_PUSH_BUTTON, "Open Orlith Cam"));

  // The tray icon's menu as a panel reads it: every item labelled, the
  // login item with its check state.
  for (const test::MenuEntry& entry : watcher_->Menu(*item)) {
    if (entry.label == "-") continue;
    EXPECT_FALSE(entry.label.empty()) << entry.id;
    if (entry.id == 103) {
      EXPECT_EQ(entry.checked, 0);
    }
  }

  ASSERT_TRUE(watcher_->ClickMenu(*item, 104));
  EXPECT_EQ(receiver_.Signal(0, 20s), 0);
}

// The pseudo-locale (every message bracketed and accented) in the real
// receiver: the tray icon's tool tip and menu, a notification, the painted
// window as a screen reader reads it and GTK's question dialog are all the
// catalogue's texts; pairing and the dialog work by their translated names.
TEST_F(AccessibilityE2E, ThePseudoLocaleTranslatesTheMenuNotificationsWindowAndDialogs) {
  receiver_.AddEnvironment("LANGUAGE=en@pseudo");
  receiver_.AddEnvironment("LC_MESSAGES=C.UTF-8");
  receiver_.AddEnvironment(std::string("VISTREL_LOCALEDIR=") + VISTREL_LOCALE_TREE);
  ASSERT_TRUE(receiver_.Start());
  auto item = watcher_->WaitForItem(10);
  ASSERT_TRUE(item) << receiver_.Log();
  ASSERT_TRUE(receiver_.WaitForLog("[app] tray ready\n"));  // the log stays English

  EXPECT_EQ(watcher_->ToolTipText(*item).rfind("[Örlîth Câm: [Wâîtîñg för phöñé", 0), 0u)
      << watcher_->ToolTipText(*item);
  for (const test::MenuEntry& entry : watcher_->Menu(*item)) {
    if (entry.label != "-") {
      EXPECT_EQ(entry.label.rfind("[", 0), 0u) << entry.label;
    }
  }

  // Every name in the painted window is the catalogue's, but for the brand.
  Node tab = WaitFind(ATSPI_ROLE_PAGE_TAB, "[Wébçâm");
  ASSERT_TRUE(tab) << receiver_.Log();
  EXPECT_EQ(NameOf(MainCanvas().get()), "[Wébçâm~~~]");
  Walk(MainCanvas().get(), [&](AtspiAccessible* node) {
    const std::string name = NameOf(node);
    EXPECT_TRUE(name.find('[') != std::string::npos || name == "Orlith Cam") << name;
  });

  // Pairing from the menu, approved by the translated name.
  ASSERT_TRUE(watcher_->ClickMenu(*item, 101));
  ASSERT_TRUE(test::WaitFor([&] { return !HookText("vstl_pair_url.txt").empty(); }, 10s));
  auto pairing = test::StartPairingFromHook(receiver_, "Cam");
  ASSERT_TRUE(pairing);
  phone::Phone& device = *pairing->device;
  Node alert = WaitFind(ATSPI_ROLE_ALERT, "[\"Cam\" wâñtš tö pâîr");
  ASSERT_TRUE(alert) << receiver_.Log();
  Node approve = Find(alert.get(), ATSPI_ROLE_PUSH_BUTTON, "[Âpprövé");
  ASSERT_TRUE(approve);
  ASSERT_TRUE(Activate(approve.get()));
  ASSERT_TRUE(pairing->outcome.get().paired) << receiver_.Log();
  EXPECT_NE(HookText("vstl_notify.txt").find("[Pâîrîñg réqûéšt~~~~~~]: [[\"Cam\" wâñtš"),
            std::string::npos)
      << HookText("vstl_notify.txt");

  // "Remove" asks in GTK's dialog, with the catalogue's words on its buttons.
  ASSERT_TRUE(ShowPage("[Phöñéš~~~]"));
  Node remove = WaitFind(ATSPI_ROLE_PUSH_BUTTON, "[Rémövé");
  ASSERT_TRUE(remove);
  ASSERT_TRUE(Activate(remove.get()));
  Node cancel = WaitFindInApplication(ATSPI_ROLE_PUSH_BUTTON, "[Câñçél");
  ASSERT_TRUE(cancel);
  Node app = Application();
  EXPECT_TRUE(Find(app.get(), ATSPI_ROLE_PUSH_BUTTON, "[ÖK"));
  EXPECT_TRUE(Find(app.get(), ATSPI_ROLE_LABEL, "[Rémövé Cam?"));
  ASSERT_TRUE(Activate(cancel.get()));
  EXPECT_TRUE(test::WaitFor(
      [&] {
        Node now = Application();
        return now && !Find(now.get(), ATSPI_ROLE_PUSH_BUTTON, "[Câñçél");
      },
      10s));
  EXPECT_NE(ReadFileText(receiver_.data_folder() / "trusted_phones.tsv")
                .value_or("")
                .find(device.FingerprintHex()),
            std::string::npos);

  ASSERT_TRUE(watcher_->ClickMenu(*item, 104));
  EXPECT_EQ(receiver_.Signal(0, 20s), 0);
}

}  // namespace
}  // namespace vistrel
