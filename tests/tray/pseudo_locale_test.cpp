// Every page, dialog and the flyout in their states, painted with the
// pseudo-locale catalogue the build makes (every message bracketed, accented
// and 40 % longer): each text drawn is a translated one unless it is data,
// and each fits its box or is shortened with "…" with its whole text in the
// tooltip and the accessible name. A text added without gettext, or a box
// too small for a longer language, fails here.
#include <gtest/gtest.h>
#include <libintl.h>

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "tools/screenshots/sample_views.h"
#include "tray/pages.h"
#include "tray/style.h"

namespace vistrel::tray {
namespace {

class PseudoLocale : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("LANGUAGE", "en@pseudo", 1);
    ASSERT_NE(std::setlocale(LC_MESSAGES, "C.UTF-8"), nullptr);
    bindtextdomain("vistrel", VISTREL_LOCALE_TREE);
    bind_textdomain_codeset("vistrel", "UTF-8");
    ASSERT_STREQ(_("Quit"), "[Qûît~~]")
        << "the pseudo-locale catalogue is not in " VISTREL_LOCALE_TREE;
  }
  void TearDown() override {
    ::unsetenv("LANGUAGE");
    std::setlocale(LC_MESSAGES, "C");
  }

  // Paints the window and checks every text of it.
  void Check(const std::string& what, const TrayView& view, bool flyout) {
    SCOPED_TRACE(what);
    const double width = flyout ? layout::kFlyoutWidth : layout::kMainWidth;
    const double height = flyout ? layout::kFlyoutHeight : layout::kMainHeight;
    cairo_surface_t* image = cairo_image_surface_create(
        CAIRO_FORMAT_ARGB32, static_cast<int>(width), static_cast<int>(height));
    cairo_t* cr = cairo_create(image);
    NoActions actions;
    Surface surface;
    surface.accessible = true;
    std::vector<DrawnText> drawn;
    {
      Painter painter(cr, 1, surface);
      painter.set_drawn_log(&drawn);
      PaintWindow(painter, view, actions, flyout, width, height);
    }
    cairo_destroy(cr);
    if (const char* folder = std::getenv("VISTREL_PSEUDO_PICTURES")) {
      const std::string file = std::string(folder) + "/" + what + ".png";
      cairo_surface_write_to_png(image, file.c_str());
    }
    cairo_surface_destroy(image);

    ASSERT_FALSE(drawn.empty());
    EXPECT_NE(surface.name.find('['), std::string::npos) << surface.name;
    for (const DrawnText& text : drawn) {
      EXPECT_TRUE(text.text.find("[") != std::string::npos || data_.count(text.text))
          << "untranslated: " << text.text;
      if (text.box.width > 0) {
        if (text.cut) {
          const auto tooltip =
              std::find_if(surface.regions.begin(), surface.regions.end(),
                           [&](const HitRegion& region) { return region.tooltip == text.text; });
          EXPECT_NE(tooltip, surface.regions.end()) << "no tooltip: " << text.text;
          const auto node =
              std::find_if(surface.nodes.begin(), surface.nodes.end(),
                           [&](const AccessibleNode& n) { return n.name == text.text; });
          EXPECT_NE(node, surface.nodes.end()) << "no accessible name: " << text.text;
        } else {
          EXPECT_LE(text.width, text.box.width + 0.5) << "overflows: " << text.text;
        }
      } else {
        // Unbounded texts size their own boxes: they stay inside the window.
        EXPECT_LE(text.box.x + text.drawn, width) << "leaves the window: " << text.text;
      }
    }
    for (const AccessibleNode& node : surface.nodes) {
      if (node.region >= 0) {
        EXPECT_FALSE(node.name.empty());
      }
    }
  }

  // Data shown as it is: names, paths, codes, the brand.
  std::set<std::string> data_ = {"Orlith Cam",
                                 "studio-pc",
                                 "Ana's iPhone",
                                 "iPhone 15 Pro",
                                 "418 203",
                                 "/home/ana/Documents/Orlith Cam Scans",
                                 "Port 47800 is in use by another program.",
                                 "page.pdf",
                                 "hello from the phone",
                                 "4006381333931"};
};

// A fixed clock: the dates shown stay the same from run to run.
constexpr int64_t kNow = 1'800'000'000;

TrayView Base() { return SampleView(kNow); }

TrayView Connected() {
  return SampleLiveView(kNow, MakePicture(cairo_image_surface_create(CAIRO_FORMAT_RGB24, 640, 360)));
}

TEST_F(PseudoLocale, EveryPageDialogAndTheFlyoutIsTranslatedAndFits) {
  Check("webcam-first-run", Base(), false);
  Check("flyout-first-run", Base(), true);

  TrayView failed = Base();
  failed.running = false;
  failed.start_error = "Port 47800 is in use by another program.";
  Check("cannot-start", failed, false);
  Check("flyout-cannot-start", failed, true);

  TrayView pairing = Base();
  pairing.status.pairing_open = true;
  pairing.status.invitation_deadline = pairing.now_ms + 94'000;
  pairing.pairing_url = "vstl://pair?v=1&id=3f2a&n=studio-pc&fp=9c41&s=Qm9y&a=192.168.1.20:47800";
  Check("pairing-qr", pairing, false);
  TrayView approval = pairing;
  approval.status.pairing_request_pending = true;
  approval.status.pairing_request_text = "\"Ana's iPhone\" wants to pair. Code 418203";
  approval.status.pairing_code = "418203";
  approval.status.approval_deadline = approval.now_ms + 47'000;
  Check("pairing-approval", approval, false);
  Check("flyout-pairing", approval, true);
  TrayView ended = Base();
  ended.request_ended_until = ended.now_ms + 5000;
  Check("pairing-ended", ended, false);

  TrayView live = Connected();
  live.status.monitor.active = true;
  live.status.monitor.recording = true;
  live.status.monitor.motion_active = true;
  live.status.thermal_state = "serious";
  Check("webcam-live", live, false);
  Check("flyout-live", live, true);
  TrayView waiting = Connected();
  waiting.preview.reset();
  waiting.frames_to_apps_per_second = 0;
  waiting.status.link_kind = "wired";
  waiting.status.battery = -1;
  Check("webcam-waiting-for-picture", waiting, false);
  TrayView paused = Connected();
  paused.status.camera_allowed = false;
  paused.preview.reset();
  Check("webcam-paused", paused, false);
  Check("flyout-paused", paused, true);
  TrayView idle = Base();
  idle.phones = Connected().phones;
  Check("webcam-waiting", idle, false);
  Check("flyout-waiting", idle, true);

  TrayView monitor = Connected();
  monitor.page = kMonitorPage;
  Check("monitor-empty", monitor, false);
  monitor.settings.record = RecordMode::kOff;
  monitor.status.monitor.active = true;
  Check("monitor-off", monitor, false);
  const int64_t now = monitor.now_seconds;
  monitor.clips = {{"/v/clip-3.mp4", now - 300, 74'000, 9'400'000, false},
                   {"/v/clip-2.mp4", now - 86'400, 12'300, 1'650'000, false},
                   {"/v/clip-1.mp4", now - 9 * 86'400, 600'000, 2'076'000'000, true}};
  Check("monitor-clips", monitor, false);

  TrayView scans = Connected();
  scans.page = kScanPage;
  Check("scan-empty", scans, false);
  scans.scans = {{now, "ocr", "", 20, "hello from the phone"},
                 {now - 86'400, "barcode", "", 13, "4006381333931"},
                 {now - 3 * 86'400, "file", "/s/page.pdf", 200'000, ""}};
  Check("scan-list", scans, false);

  TrayView phones = Connected();
  phones.page = kPhonesPage;
  Check("phones", phones, false);
  for (int i = 0; i < 6; ++i) phones.phones.push_back({std::string(64, 'b'), "id", "Ana's iPhone"});
  Check("phones-more", phones, false);
  TrayView none = Base();
  none.page = kPhonesPage;
  Check("phones-none", none, false);

  TrayView settings = Connected();
  settings.page = kSettingsPage;
  Check("settings", settings, false);
}

}  // namespace
}  // namespace vistrel::tray
