// The pages drawn off-screen from constructed state: where their controls
// are, which colours land where, and what their actions call.
#include "tray/pages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "app/qr_text.h"
#include "tray/format.h"
#include "tray/glyphs.h"
#include "tray/style.h"

namespace vistrel::tray {
namespace {

class Recorder final : public TrayActions {
 public:
  void SetPage(int page) override { calls.push_back("page " + std::to_string(page)); }
  void StartPairing() override { calls.push_back("pair"); }
  void CancelPairing() override { calls.push_back("cancel"); }
  void Decide(bool approve) override { calls.push_back(approve ? "approve" : "reject"); }
  void SetCameraAllowed(bool allowed) override { calls.push_back(allowed ? "resume" : "pause"); }
  void ChangeSettings(const std::function<void(AppSettings&)>& change) override {
    change(settings);
    calls.push_back("settings");
  }
  void SaveSnapshot() override { calls.push_back("snapshot"); }
  void ShowInFolder(const std::filesystem::path& path) override {
    calls.push_back("show " + path.string());
  }
  void Open(const std::filesystem::path& path) override {
    calls.push_back("open " + path.string());
  }
  void OpenFolder(const std::filesystem::path& path) override {
    calls.push_back("folder " + path.string());
  }
  void PickScansFolder() override { calls.push_back("pick"); }
  void CopyText(const std::string& text) override { calls.push_back("copy " + text); }
  void RemovePhone(const TrustedPhone& phone) override {
    calls.push_back("remove " + phone.device_name);
  }
  void SetAutostart(bool on) override { calls.push_back(on ? "autostart on" : "autostart off"); }
  void ShowMainWindow() override { calls.push_back("main"); }
  void Quit() override { calls.push_back("quit"); }

  std::vector<std::string> calls;
  AppSettings settings;
};

// One off-screen paint of the main window or the flyout.
class Rendering {
 public:
  Rendering(const TrayView& view, Recorder& actions, Surface& surface, bool flyout = false,
            float scale = 1, double height = layout::kMainHeight) {
    const double width = flyout ? layout::kFlyoutWidth : layout::kMainWidth;
    if (flyout) height = layout::kFlyoutHeight;
    image_ = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, static_cast<int>(width * scale),
                                        static_cast<int>(height * scale));
    cairo_t* cr = cairo_create(image_);
    {
      Painter painter(cr, scale, surface);
      painter.set_text_log(&texts);
      PaintWindow(painter, view, actions, flyout, width, height);
    }
    cairo_destroy(cr);
    cairo_surface_flush(image_);
  }
  ~Rendering() { cairo_surface_destroy(image_); }

  uint32_t Pixel(int x, int y) const {
    const unsigned char* data = cairo_image_surface_get_data(image_);
    const int stride = cairo_image_surface_get_stride(image_);
    return reinterpret_cast<const uint32_t*>(data + y * stride)[x];
  }
  bool Drew(const std::string& text) const {
    return std::find(texts.begin(), texts.end(), text) != texts.end();
  }

  std::vector<std::string> texts;

 private:
  cairo_surface_t* image_ = nullptr;
};

bool Click(Surface& surface, float x, float y) {
  const int index = surface.HitTest(x, y);
  if (index < 0 || !surface.regions[static_cast<size_t>(index)].action) return false;
  auto regions = surface.regions;  // an action may repaint
  regions[static_cast<size_t>(index)].action();
  return true;
}

TrayView RunningView() {
  TrayView view;
  view.running = true;
  view.now_ms = 10'000'000;
  view.now_seconds = 1'800'000'000;
  view.receiver_name = "desk";
  view.log_folder = "/home/u/.local/share/Vistrel";
  view.snapshots_folder = "/home/u/Pictures/Orlith Cam";
  view.videos_folder = "/home/u/Videos/Orlith Cam";
  view.scans_folder = "/home/u/Documents/Orlith Cam Scans";
  return view;
}

TrustedPhone Phone(const std::string& name, char digit) {
  return {std::string(64, digit), "id", name};
}

TEST(TrayPages, SidebarRegionsColoursAndFocusFollowTheScale) {
  TrayView view = RunningView();
  Recorder actions;
  for (float scale : {1.0f, 1.5f}) {
    Surface surface;
    surface.focus = 5;  // the "Pair a phone" button of the first-run card
    Rendering r(view, actions, surface, false, scale);
    ASSERT_GE(surface.regions.size(), 8u);
    for (int i = 0; i < 5; ++i) {
      const Rect& item = surface.regions[static_cast<size_t>(i)].rect;
      EXPECT_FLOAT_EQ(item.x, 12 * scale);
      EXPECT_FLOAT_EQ(item.y, static_cast<float>((72 + 44 * i) * scale));
      EXPECT_FLOAT_EQ(item.width, 152 * scale);
      EXPECT_FLOAT_EQ(item.height, 38 * scale);
    }
    const auto at = [&](double x, double y) {
      return r.Pixel(static_cast<int>(x * scale), static_cast<int>(y * scale));
    };
    EXPECT_EQ(at(750, 470), color::kWindow);
    EXPECT_EQ(at(4, 300), color::kSidebar);
    EXPECT_EQ(at(160, 76), color::kRaised);   // the current item
    EXPECT_EQ(at(13.5, 91), color::kAccent);  // its selection bar
    EXPECT_TRUE(r.Drew("Pair your iPhone"));
    EXPECT_TRUE(r.Drew("No phone paired"));
    EXPECT_TRUE(r.Drew("Waiting for phone"));  // the footer
    EXPECT_TRUE(r.Drew("Battery —"));
    // The focus ring lies 3 outside the focused button.
    const Rect& button = surface.regions[5].rect;
    EXPECT_EQ(r.Pixel(static_cast<int>(button.x - 3 * scale),
                      static_cast<int>(button.y + button.height / 2)),
              color::kAccentHover);
  }
  Surface surface;
  Rendering first(view, actions, surface);
  EXPECT_TRUE(Click(surface, 80, 72 + 44 * 3 + 10));
  EXPECT_TRUE(Click(surface, surface.regions[5].rect.x + 4, surface.regions[5].rect.y + 4));
  // Without a picture the snapshot button is inert; the pause button works.
  EXPECT_FALSE(surface.regions[6].action);
  EXPECT_EQ(surface.regions[6].tooltip, "Snapshot (needs a live picture)");
  surface.regions[7].action();
  EXPECT_EQ(actions.calls, (std::vector<std::string>{"page 3", "pair", "pause"}));
}

TEST(TrayPages, TabSkipsInertRegionsAndTheLastRegionWinsAHit) {
  Surface surface;
  auto act = [] {};
  surface.regions = {
      {{0, 0, 100, 100}, "", act}, {{10, 10, 20, 20}, "", {}}, {{50, 50, 10, 10}, "", act}};
  surface.focus = surface.NextFocus(false);
  EXPECT_EQ(surface.focus, 0);
  surface.focus = surface.NextFocus(false);
  EXPECT_EQ(surface.focus, 2);
  surface.focus = surface.NextFocus(false);
  EXPECT_EQ(surface.focus, 0);
  EXPECT_EQ(surface.NextFocus(true), 2);
  EXPECT_EQ(surface.HitTest(15, 15), 1);
  EXPECT_EQ(surface.HitTest(55, 55), 2);
  EXPECT_EQ(surface.HitTest(200, 5), -1);
  surface.regions.resize(2);
  surface.regions[0].action = nullptr;
  EXPECT_EQ(surface.NextFocus(false), -1);
}

TEST(TrayPages, TooltipSitsAboveTheHoveredButtonInsideTheWindow) {
  TrayView view = RunningView();
  Recorder actions;
  Surface surface;
  { Rendering first(view, actions, surface); }
  surface.hover = 7;  // the pause button
  Rendering r(view, actions, surface);
  const Rect& button = surface.regions[7].rect;
  EXPECT_TRUE(r.Drew("Pause video (apps see the waiting picture; Monitor stops recording)"));
  // The box is 28 high, 8 above the region.
  const int cx = static_cast<int>(button.x + button.width / 2);
  EXPECT_EQ(r.Pixel(cx, static_cast<int>(button.y) - 9), color::kTooltipBorder);
  EXPECT_EQ(r.Pixel(cx, static_cast<int>(button.y) - 36), color::kTooltipBorder);
  EXPECT_EQ(r.Pixel(cx, static_cast<int>(button.y) - 4), color::kWindow);
}

TEST(TrayPages, MonitorSegmentsSelectByValueAndWriteTheirSetting) {
  TrayView view = RunningView();
  view.page = kMonitorPage;
  view.settings.retention_days = 14;  // not an option: nothing selected
  view.settings.retention_mb = 20480.3;
  view.settings.record = RecordMode::kContinuous;
  Recorder actions;
  actions.settings = view.settings;
  Surface surface;
  Rendering r(view, actions, surface);
  // Sidebar 5, then 3 + 3 + 4 + 4 segments, the toggle, "Open folder".
  ASSERT_EQ(surface.regions.size(), 5u + 3 + 3 + 4 + 4 + 1 + 1);
  auto segment_colour = [&](size_t index) {
    const Rect& cell = surface.regions[index].rect;
    return r.Pixel(static_cast<int>(cell.x + 5), static_cast<int>(cell.y + cell.height / 2));
  };
  EXPECT_EQ(segment_colour(5 + 1), color::kAccent);  // Continuous
  EXPECT_NE(segment_colour(5 + 0), color::kAccent);
  for (size_t i = 11; i < 15; ++i) EXPECT_NE(segment_colour(i), color::kAccent) << i;
  EXPECT_EQ(segment_colour(15 + 1), color::kAccent);  // 20 GB, within 0.5
  EXPECT_EQ(surface.regions[5].rect.width * 3, 330);
  EXPECT_TRUE(r.Drew("Not monitoring"));
  EXPECT_TRUE(r.Drew("Clips appear here when the iPhone records in Monitor mode."));

  surface.regions[12].action();  // "30 days"
  surface.regions[18].action();  // "No limit"
  surface.regions[19].action();  // motion alerts off
  EXPECT_EQ(actions.settings.retention_days, 30);
  EXPECT_EQ(actions.settings.retention_mb, 0);
  EXPECT_FALSE(actions.settings.motion_alerts);
  surface.regions[20].action();
  EXPECT_EQ(actions.calls.back(), "folder /home/u/Videos/Orlith Cam");
}

TEST(TrayPages, ClipsAndScansListTheirEntries) {
  TrayView view = RunningView();
  view.page = kMonitorPage;
  view.status.session_state = 1;
  view.status.monitor.active = true;
  view.status.monitor.recording = true;
  ThumbnailCache thumbnails;
  view.thumbnails = &thumbnails;
  const int64_t day = 86400;
  view.clips = {{"/v/a.mp4", view.now_seconds - day, 61'500, 3 * 1048576, false},
                {"/v/b.mp4", view.now_seconds - 3 * day, 499, 512, true}};
  Recorder actions;
  Surface surface;
  {
    Rendering r(view, actions, surface);
    EXPECT_TRUE(r.Drew("Recording"));
    EXPECT_TRUE(r.Drew("1:02 · Motion · 3.0 MB"));
    EXPECT_TRUE(r.Drew("0:00 · Continuous · 1 KB"));
    EXPECT_NE(std::find_if(r.texts.begin(), r.texts.end(),
                           [](const std::string& t) {
                             return t.rfind("Yesterday ", 0) == 0 && t.size() == 18;
                           }),
              r.texts.end());
    EXPECT_EQ(thumbnails.size(), 2u);  // unreadable files, cached as no picture
    EXPECT_EQ(surface.regions.size(), 21u + 4);
    surface.regions[21].action();
    surface.regions[22].action();
  }
  EXPECT_EQ(actions.calls, (std::vector<std::string>{"show /v/a.mp4", "open /v/a.mp4"}));

  view.page = kScanPage;
  view.scans = {{view.now_seconds, "ocr", "", 11, "first\r\nsecond"},
                {view.now_seconds, "barcode", "", 5, "12345"},
                {view.now_seconds, "file", "/s/page.pdf", 2'000'000, ""}};
  actions.calls.clear();
  Rendering r(view, actions, surface);
  EXPECT_TRUE(r.Drew("first  second"));
  EXPECT_TRUE(r.Drew("page.pdf"));
  EXPECT_TRUE(
      r.Drew("1.9 MB · Today " + FormatWhen(view.now_seconds, false, view.now_seconds).substr(6)));
  // Sidebar, the folder shortened with its whole path as the tooltip, Change…,
  // Open, the toggle, then one button per text and two per file.
  ASSERT_EQ(surface.regions.size(), 5u + 1 + 3 + 1 + 1 + 2);
  EXPECT_EQ(surface.regions[5].tooltip, "/home/u/Documents/Orlith Cam Scans");
  EXPECT_FALSE(surface.regions[5].action);
  for (size_t i = 6; i < surface.regions.size(); ++i) surface.regions[i].action();
  EXPECT_EQ(actions.calls,
            (std::vector<std::string>{"pick", "folder /home/u/Documents/Orlith Cam Scans",
                                      "settings", "copy first\r\nsecond", "copy 12345",
                                      "open /s/page.pdf", "show /s/page.pdf"}));
}

TEST(TrayPages, PairingDialogsShowTheCodeCountdownAndQr) {
  TrayView view = RunningView();
  view.status.pairing_open = true;
  view.pairing_url = "vstl://pair?v=1&id=abc&n=desk&fp=0123456789abcdef&s=secret&a=192.168.1.2";
  view.status.invitation_deadline = view.now_ms + 95'400;
  Recorder actions;
  Surface surface;
  {
    Rendering r(view, actions, surface);
    EXPECT_TRUE(r.Drew("Code expires in 1:35"));
    // The QR code's white square starts 24 into the card; its corner module is dark.
    const Rect& card_left = {200, 20, 0, 0};
    const auto qr = EncodeQr(view.pairing_url);
    ASSERT_TRUE(qr);
    const double module = std::floor(250.0 / (qr->size + 8));
    const double side = module * (qr->size + 8);
    const double card_height = std::round(536.0 * 9 / 16);
    const double qy = card_left.y + (card_height - side) / 2;
    EXPECT_EQ(
        r.Pixel(static_cast<int>(card_left.x + 24 + 2 * module), static_cast<int>(qy + 2 * module)),
        color::kWhite);
    EXPECT_EQ(r.Pixel(static_cast<int>(card_left.x + 24 + 4.5 * module),
                      static_cast<int>(qy + 4.5 * module)),
              0xFF000000u);
    surface.regions[5].action();
    EXPECT_EQ(actions.calls.back(), "cancel");
  }

  view.status.pairing_request_pending = true;
  view.status.pairing_request_text = "Anna's iPhone wants to pair. Code 123456";
  view.status.pairing_code = "123456";
  view.status.approval_deadline = view.now_ms - 1;
  Rendering r(view, actions, surface);
  EXPECT_TRUE(r.Drew("Anna's iPhone wants to pair"));
  EXPECT_TRUE(r.Drew("123 456"));
  EXPECT_TRUE(r.Drew("Approve within 0:00"));
  EXPECT_TRUE(r.Drew("Pairing request"));
  surface.regions[5].action();
  surface.regions[6].action();
  EXPECT_EQ(actions.calls, (std::vector<std::string>{"cancel", "approve", "reject"}));
  EXPECT_EQ(GroupCode("12345"), "12345");
}

TEST(TrayPages, FocusMovesOnFromAControlThatWentInactive) {
  TrayView view = RunningView();
  view.phones = {Phone("Anna's iPhone", 'a')};
  view.status.pairing_request_pending = true;
  view.status.pairing_request_text = "Anna's iPhone wants to pair. Code 123456";
  view.status.pairing_code = "123456";
  view.status.approval_deadline = view.now_ms + 30'000;
  Recorder actions;
  Surface surface;
  surface.focus = 5;  // "Approve", reached with Tab
  { Rendering dialog(view, actions, surface); }
  ASSERT_EQ(surface.focus, 5);
  surface.regions[5].action();

  // Approved and connected, no picture yet: where "Approve" was, the snapshot
  // button is drawn without an action; the focus goes on to the pause button.
  view.status.pairing_request_pending = false;
  view.status.session_state = 1;
  view.status.phone_name = "Anna's iPhone";
  Rendering r(view, actions, surface);
  EXPECT_FALSE(surface.regions[5].action);
  ASSERT_EQ(surface.focus, 6);
  const Rect& pause = surface.regions[6].rect;
  EXPECT_EQ(r.Pixel(static_cast<int>(pause.x - 3), static_cast<int>(pause.y + pause.height / 2)),
            color::kAccentHover);
  surface.regions[static_cast<size_t>(surface.focus)].action();  // what Enter runs
  EXPECT_EQ(actions.calls, (std::vector<std::string>{"approve", "pause"}));

  // A focus beyond the controls drawn wraps to the first active one.
  surface.focus = 99;
  Rendering wrapped(view, actions, surface);
  EXPECT_EQ(surface.focus, 0);
}

TEST(TrayPages, PhonesThatDoNotFitEndInACount) {
  TrayView view = RunningView();
  view.page = kPhonesPage;
  for (char c : {'1', '2', '3', '4', '5'})
    view.phones.push_back(Phone(std::string("Phone ") + c, c));
  view.status.session_state = 1;
  view.status.phone_name = "Phone 2";
  view.status.phone_model = "iPhone 15";
  Recorder actions;
  Surface surface;
  // Header 72, three rows of 64 with gaps of 8, the count line and the margin.
  Rendering r(view, actions, surface, false, 1, 72 + 3 * 72 + 24 + 16);
  EXPECT_TRUE(r.Drew("+2 more"));
  EXPECT_TRUE(r.Drew("Live"));
  EXPECT_TRUE(r.Drew("Key 222222222222… · iPhone 15"));
  EXPECT_TRUE(r.Drew("Key 111111111111…"));
  ASSERT_EQ(surface.regions.size(), 5u + 1 + 3);
  surface.regions[5].action();
  surface.regions[8].action();
  EXPECT_EQ(actions.calls, (std::vector<std::string>{"pair", "remove Phone 3"}));
}

TEST(TrayPages, SettingsTextsFitTheirCardsAndControlsAct) {
  TrayView view = RunningView();
  view.page = kSettingsPage;
  view.autostart = true;
  Recorder actions;
  Surface surface;
  Rendering r(view, actions, surface);
  EXPECT_TRUE(r.Drew("Orlith Cam 1.0.0 · protocol v1.1"));
  EXPECT_TRUE(r.Drew("desk"));
  ASSERT_EQ(surface.regions.size(), 5u + 3);
  for (size_t i = 5; i < 8; ++i) surface.regions[i].action();
  EXPECT_EQ(actions.calls,
            (std::vector<std::string>{"autostart off", "folder /home/u/.local/share/Vistrel",
                                      "folder /home/u/Pictures/Orlith Cam"}));
  // Every note and title fits the width its card gives it, at the scale of 1.
  cairo_surface_t* image = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 10, 10);
  cairo_t* cr = cairo_create(image);
  {
    Surface scratch;
    Painter p(cr, 1, scratch);
    const double card_text = 536 - 32 - 12;
    const double two_lines =
        p.WrappedHeight(100, "a b c d e f g h i j k l m n o p", type::kSmall, 2);
    const std::vector<std::pair<double, std::string>> notes = {
        {card_text - 40, "Keeps Orlith Cam in the tray, ready for your iPhone."},
        {card_text - 110, "1280 × 720 at 30 FPS, video only. Use your PC's microphone for sound."},
        {card_text - 130,
         "Logs are in " + view.log_folder.string() + ". Include them when you ask for support."},
        {card_text - 110, "Saved as PNG to Pictures/Orlith Cam."},
        {card_text - 160, "Name your iPhone sees when it looks for computers."}};
    for (const auto& [width, note] : notes) {
      EXPECT_LE(p.WrappedHeight(width, note, type::kSmall), two_lines) << note;
      EXPECT_LE(two_lines, 72 - 33 - 4) << note;
    }
    EXPECT_TRUE(p.TextFits(536 - 32 - 60,
                           "Type barcodes where your cursor is. Text always goes to the clipboard.",
                           type::kSmall, false));
    EXPECT_TRUE(p.TextFits(330 - 52, "A notification at most once a minute", type::kSmall, false));
    EXPECT_TRUE(p.TextFits(110, "Save a snapshot", type::kSmall, false));
  }
  cairo_destroy(cr);
  cairo_surface_destroy(image);
}

TEST(TrayPages, FlyoutAndStateTextsFollowTheStatus) {
  TrayView view = RunningView();
  Recorder actions;
  Surface surface;
  {
    Rendering r(view, actions, surface, true);
    EXPECT_EQ(r.Pixel(340, 5), color::kSidebar);
    EXPECT_TRUE(r.Drew("No phone paired"));
    EXPECT_TRUE(r.Drew("Open Orlith Cam on your iPhone"));
    ASSERT_EQ(surface.regions.size(), 2u);
    surface.regions[1].action();
    EXPECT_EQ(actions.calls.back(), "main");
  }
  view.phones.push_back(Phone("Anna", 'a'));
  view.status.session_state = 1;
  view.status.phone_name = "Anna";
  view.status.link_kind = "wired";
  view.status.battery = 0.374;
  view.frames_in_per_second = 30;
  view.preview = MakePicture(cairo_image_surface_create(CAIRO_FORMAT_RGB24, 640, 360));
  {
    Rendering r(view, actions, surface, true);
    EXPECT_TRUE(r.Drew("Live"));
    EXPECT_TRUE(r.Drew("Cable · Anna · 37%"));
    ASSERT_EQ(surface.regions.size(), 3u);
    EXPECT_EQ(surface.regions[0].tooltip, "Save a snapshot");
  }
  EXPECT_EQ(StateText(view), "Live · Anna");
  view.status.monitor.active = true;
  view.home_state = HomeStateText(view.status, view.settings);
  EXPECT_EQ(view.home_state, "Monitoring · Motion clips");
  EXPECT_EQ(StateText(view), "Monitoring · Motion clips");
  view.status.camera_allowed = false;
  EXPECT_EQ(StateText(view), "Paused · on this PC");
  EXPECT_EQ(FooterState(view).color, color::kAmber);
  view.status.pairing_request_pending = true;
  EXPECT_EQ(StateText(view), "Pairing request");
  view.running = false;
  EXPECT_EQ(StateText(view), "Not running");
  EXPECT_EQ(CutUtf16("ab\xF0\x9F\x98\x80"
                     "c",
                     3),
            "ab");
}

// What a screen reader is told comes from the same paint as the hit regions:
// recording it changes no region, and every control is one named node at
// its region's place, with its state.
TEST(TrayPages, AccessibleNodesFollowTheRegionsOfEveryPage) {
  TrayView view = RunningView();
  view.phones = {Phone("Cam", 'a')};
  view.status.session_state = 1;
  view.status.phone_name = "Cam";
  view.settings.record = RecordMode::kContinuous;
  view.scans = {{view.now_seconds, "ocr", "", 5, "hello"}};
  Recorder actions;
  for (int page = kWebcamPage; page <= kSettingsPage; ++page) {
    for (bool flyout : {false, true}) {
      SCOPED_TRACE(std::to_string(page) + (flyout ? " flyout" : ""));
      view.page = page;
      Surface plain;
      Rendering without(view, actions, plain, flyout);
      EXPECT_TRUE(plain.nodes.empty());
      Surface heard;
      heard.accessible = true;
      Rendering with(view, actions, heard, flyout);
      ASSERT_EQ(heard.regions.size(), plain.regions.size());
      for (size_t i = 0; i < heard.regions.size(); ++i) {
        const HitRegion& region = heard.regions[i];
        EXPECT_FLOAT_EQ(region.rect.x, plain.regions[i].rect.x);
        EXPECT_FLOAT_EQ(region.rect.y, plain.regions[i].rect.y);
        if (!region.action) continue;
        const auto named =
            std::count_if(heard.nodes.begin(), heard.nodes.end(),
                          [&](const auto& n) { return n.region == static_cast<int>(i); });
        EXPECT_EQ(named, 1) << i;
      }
      for (const AccessibleNode& node : heard.nodes) {
        EXPECT_FALSE(node.name.empty());
        EXPECT_LT(node.parent, static_cast<int>(&node - heard.nodes.data()));
        if (node.region < 0) continue;
        const Rect& r = heard.regions[static_cast<size_t>(node.region)].rect;
        EXPECT_FLOAT_EQ(node.rect.x, r.x) << node.name;
        EXPECT_FLOAT_EQ(node.rect.width, r.width) << node.name;
      }
      static const char* const kNames[] = {"Webcam", "Monitor", "Scan", "Phones", "Settings"};
      EXPECT_EQ(heard.name, flyout ? "Status" : kNames[page]);
    }
  }
  // The Monitor page's choices: radio buttons inside a panel named by their
  // row, the chosen one checked; the current page tab selected.
  view.page = kMonitorPage;
  Surface surface;
  surface.accessible = true;
  Rendering r(view, actions, surface);
  const auto find = [&](Role role, const std::string& name) {
    return std::find_if(surface.nodes.begin(), surface.nodes.end(),
                        [&](const auto& n) { return n.role == role && n.name == name; });
  };
  const auto group = find(Role::kGroup, "Recording");
  ASSERT_NE(group, surface.nodes.end());
  const auto continuous = find(Role::kRadioButton, "Continuous");
  ASSERT_NE(continuous, surface.nodes.end());
  EXPECT_EQ(continuous->parent, group - surface.nodes.begin());
  EXPECT_TRUE(continuous->checked);
  EXPECT_FALSE(find(Role::kRadioButton, "Motion clips")->checked);
  EXPECT_TRUE(find(Role::kPageTab, "Monitor")->checked);
  EXPECT_FALSE(find(Role::kPageTab, "Webcam")->checked);
  EXPECT_TRUE(find(Role::kCheckBox, "Motion alerts") != surface.nodes.end());
}

TEST(TrayPages, TrayGlyphHasItsShapeGapAndStateDot) {
  for (int size : {16, 24, 32}) {
    cairo_surface_t* glyph = DrawTrayGlyph(color::kGreen, size);
    const unsigned char* data = cairo_image_surface_get_data(glyph);
    const int stride = cairo_image_surface_get_stride(glyph);
    auto pixel = [&](double fx, double fy) {
      const int x = static_cast<int>(fx * size), y = static_cast<int>(fy * size);
      return reinterpret_cast<const uint32_t*>(data + y * stride)[x];
    };
    EXPECT_EQ(pixel(0.82, 0.82), color::kGreen) << size;
    EXPECT_EQ(pixel(0.5, 0.02), 0xFF1E2430u) << size;
    EXPECT_EQ(pixel(0.0, 0.0) >> 24, 0u) << size;  // the rounded corner
    if (size == 32) {
      EXPECT_EQ(pixel(0.668, 0.668) >> 24, 0u);  // the gap
    }
    cairo_surface_destroy(glyph);
  }
}

}  // namespace
}  // namespace vistrel::tray
