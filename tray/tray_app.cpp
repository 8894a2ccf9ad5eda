#include "tray/tray_app.h"

#include <glib-unix.h>

#include <cmath>
#include <cstdio>
#include <ctime>

#include "monitor/thumbnail.h"
#include "platform/clock.h"
#include "platform/desktop_shell.h"
#include "platform/folders.h"
#include "platform/log.h"
#include "platform/portal_keyboard.h"
#include "platform/socket.h"
#include "platform/stop_signals.h"
#include "scan/scan_history.h"
#include "tray/glyphs.h"
#include "tray/pages.h"
#include "tray/snapshot.h"
#include "tray/style.h"

namespace vistrel::tray {
namespace {

constexpr uint64_t kTickMs = 40;
constexpr uint64_t kRequestEndedMs = 8000;
constexpr uint64_t kIdleRepaintMs = 250;
constexpr int kPreviewWidth = 640;
constexpr int kPreviewHeight = 360;
constexpr size_t kRecentClips = 3;
constexpr size_t kRecentScans = 4;

// Tray icon states, in the order of their pixmaps.
constexpr uint32_t kStateColors[] = {0xFF9CA3AF, 0xFF22C55E, 0xFFEF4444, 0xFFFFB020};
enum IconState { kIdle = 0, kSession = 1, kRecording = 2, kPaused = 3 };

gboolean TickThunk(gpointer data) {
  static_cast<TrayApp*>(data)->Tick();
  return G_SOURCE_CONTINUE;
}

gboolean StopSignalThunk(gint, GIOCondition, gpointer) {
  gtk_main_quit();
  return G_SOURCE_CONTINUE;  // removed by Run once the loop has ended
}

cairo_status_t AppendPng(void* closure, const unsigned char* data, unsigned int length) {
  static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
  return CAIRO_STATUS_SUCCESS;
}

}  // namespace

TrayApp::TrayApp() = default;

TrayApp::~TrayApp() {
  if (timer_) g_source_remove(timer_);
  if (chooser_) g_object_unref(chooser_);
  icon_.reset();
  if (main_.window) gtk_widget_destroy(main_.window);
  if (flyout_.window) gtk_widget_destroy(flyout_.window);
}

bool TrayApp::InitializeGtk() {
  // Other threads read numbers with the C locale; GTK must not switch it.
  gtk_disable_setlocale();
  // Typing and the clipboard speak X11; under Wayland that is XWayland.
  gdk_set_allowed_backends("x11");
  g_set_prgname("vistrel");  // the window class, matched by the launcher
  return gtk_init_check(nullptr, nullptr);
}

int TrayApp::Run(bool background, const ReceiverOptions& options, SingleInstance& instance) {
  SetLogEcho(true);
  IgnoreSigpipe();
  UniqueFd signal_fd = StopSignalFd();
  const guint signal_source = g_unix_fd_add(signal_fd.Get(), G_IO_IN, StopSignalThunk, nullptr);
  instance.Listen([flag = show_requested_] {
    LogLine("[app] another start asked this receiver to show itself\n");
    *flag = true;
  });

  const double resolution = gdk_screen_get_resolution(gdk_screen_get_default());
  scale_ = resolution > 96 ? static_cast<float>(resolution / 96.0) : 1.0f;
  if (TestHooksEnabled()) WriteIconSheet();
  CreateWindows();
  notifier_ = std::make_unique<Notifier>();
  StatusNotifierItem::Callbacks callbacks;
  callbacks.activate = [this](int x, int y) { ToggleFlyout(x, y); };
  callbacks.menu = [this] { return MenuItems(); };
  callbacks.chosen = [this](int id) { MenuChosen(id); };
  callbacks.context_menu = [this](int, int) { ShowPopupMenu(); };
  icon_ = StatusNotifierItem::Create(
      std::move(callbacks),
      [](int state, int size) { return DrawTrayGlyph(kStateColors[state], size); }, 4);
  if (icon_) icon_->SetToolTip("Orlith Cam");

  // A stored autostart entry names the current program file again.
  if (IsAutostartEnabled()) (void)vistrel::SetAutostart(true, ProgramFile());

  receiver_owner_ = std::make_unique<Receiver>(
      SystemClock(), WithPortalKeyboardOnWayland(CreateDesktopOnCallerLoop()));
  receiver_ = receiver_owner_.get();
  view_.start_error = receiver_->Start(options);
  view_.running = view_.start_error.empty();
  if (!view_.running) {
    LogLine("[app] start failed: %s\n", view_.start_error.c_str());
  } else {
    view_.SetSettings(receiver_->GetSettings());
    view_.receiver_name = receiver_->receiver_name();
  }
  view_.thumbnails = &thumbnails_;
  view_.log_folder = AppDataFolder();
  view_.snapshots_folder = SnapshotsFolder();
  view_.autostart = IsAutostartEnabled();

  Tick();
  timer_ = g_timeout_add(kTickMs, TickThunk, this);
  if (!background || !view_.running) ShowMainWindow();
  LogLine("[app] tray ready\n");
  gtk_main();

  if (timer_) g_source_remove(timer_);
  timer_ = 0;
  g_source_remove(signal_source);
  icon_.reset();
  gtk_widget_hide(main_.window);
  gtk_widget_hide(flyout_.window);
  receiver_->Stop();
  LogLine("[app] stopped\n");
  return view_.running ? 0 : 1;
}

void TrayApp::Tick() {
  const uint64_t now = TickMs();
  view_.now_ms = now;
  view_.now_seconds = static_cast<int64_t>(std::time(nullptr));
  if (show_requested_->exchange(false)) ShowMainWindow();

  // 1. The status and the phone list.
  const ReceiverStatus before = view_.status;
  if (view_.running) {
    view_.status = receiver_->GetStatus();
    view_.phones = receiver_->TrustedPhones();
  }
  const ReceiverStatus& s = view_.status;

  // 2. Rates, once a second.
  if (now - rates_at_ >= 1000) {
    const double elapsed = rates_at_ == 0 ? 1.0 : static_cast<double>(now - rates_at_) / 1000.0;
    auto rise = [](uint64_t current, uint64_t last) {
      return current >= last ? static_cast<double>(current - last) : 0.0;
    };
    view_.frames_in_per_second = rise(s.video_received, rates_video_) / elapsed;
    view_.frames_to_apps_per_second = rise(s.frames_read_by_camera, rates_frames_) / elapsed;
    rates_video_ = s.video_received;
    rates_frames_ = s.frames_read_by_camera;
    rates_at_ = now;
  }

  // 3. No pairing open: forget the invitation.
  if (!s.pairing_open && !s.pairing_request_pending) view_.pairing_url.clear();

  TickNotifications(before, first_tick_);

  // 12. The home state.
  const std::string home = HomeStateText(s, view_.settings);
  if (home != view_.home_state) {
    view_.home_state = home;
    WriteTestHookFile("vstl_home_state.txt", home, false);
  }
  UpdateTrayIcon();
  RefreshPreview();
  first_tick_ = false;
}

void TrayApp::TickNotifications(const ReceiverStatus& before, bool first) {
  const ReceiverStatus& s = view_.status;
  const uint64_t now = view_.now_ms;
  // 4. A pairing request comes up, or goes away.
  if (s.pairing_request_pending && !before.pairing_request_pending) {
    acted_on_request_ = false;
    Notify(_("Pairing request"),
           Substitute(_("%s. Code %s. Open Orlith Cam to approve."),
                      {PairingRequestTitle(s.pairing_request_text), s.pairing_code}),
           kWebcamPage);
    view_.page = kWebcamPage;
    ShowMainWindow();
  } else if (!s.pairing_request_pending && before.pairing_request_pending && !acted_on_request_) {
    view_.request_ended_until = now + kRequestEndedMs;
  }
  // 5. A session starts.
  if (s.session_state != 0 && before.session_state == 0) {
    Notify(Substitute(_("Connected · %s"), {view_.phone_label()}),
           _("Use it as a webcam, a monitor, or a scanner."), kWebcamPage);
  }
  // 6. Another phone was refused.
  if (!first && s.refused_at != before.refused_at) {
    Notify(_("Another iPhone tried to connect"),
           Substitute(_("%s was refused while %s is in use. One phone at a time."),
                      {s.refused_phone, view_.phone_label()}),
           kWebcamPage);
  }
  if (!view_.running) return;
  // 9. The clip list.
  if (!clips_fetched_ || s.monitor.clip_list_version != clip_list_version_) {
    clips_fetched_ = true;
    clip_list_version_ = s.monitor.clip_list_version;
    view_.clips = receiver_->RecentClips(kRecentClips);
    std::vector<std::filesystem::path> keep;
    for (const ClipEntry& clip : view_.clips) keep.push_back(ThumbnailPathFor(clip.path));
    thumbnails_.Retain(keep);
  }
  // 10. Scans.
  if (!scans_fetched_ || s.scans_revision != scans_revision_) {
    const int64_t fresh = scans_fetched_ ? s.scans_revision - scans_revision_ : 0;
    scans_fetched_ = true;
    scans_revision_ = s.scans_revision;
    view_.scans = receiver_->RecentScans(kRecentScans);
    if (fresh > 0 && !view_.scans.empty()) {
      const ScanEntry& newest = view_.scans.front();
      std::string text = newest.kind == "file"      ? EntryDisplayText(newest)
                         : newest.kind == "barcode" ? _("Barcode copied to the clipboard")
                                                    : _("Text copied to the clipboard");
      if (fresh > 1) {
        const auto count = static_cast<unsigned long>(fresh);
        text = Substitute(P_("%s item, the latest: %s", "%s items, the latest: %s", count),
                          {std::to_string(count), text});
      }
      Notify(_("Scan received"), text, kScanPage);
    }
  }
  // 11. A motion alert.
  if (!first && s.monitor.alert_count != before.monitor.alert_count) {
    Notify(_("Motion detected"),
           Substitute(s.monitor.recording ? _("%s is recording a clip.") : _("%s saw motion."),
                      {view_.phone_label()}),
           kMonitorPage);
  }
}

void TrayApp::RefreshPreview() {
  const bool main_visible = Visible(main_);
  const bool flyout_visible = Visible(flyout_);
  if (!(main_visible || flyout_visible) || !view_.running) return;
  bool new_frame = false;
  // Without a picture yet, the current frame is converted even when seen.
  if (!view_.preview) preview_sequence_ = UINT64_MAX;
  // Converted where the receiver keeps it, without a copy of the frame.
  const bool fresh =
      receiver_->ReadPreviewFrame(preview_sequence_, [&](const PictureView& picture) {
        Picture target = spare_preview_ ? std::move(spare_preview_)
                                        : PreviewSurface(kPreviewWidth, kPreviewHeight);
        spare_preview_ = std::move(view_.preview);
        view_.preview = PictureToRgb(picture, kPreviewWidth, kPreviewHeight, std::move(target));
        new_frame = true;
      });
  if (!fresh) view_.preview.reset();
  if (view_.now_ms - last_repaint_ >= kIdleRepaintMs) {
    last_repaint_ = view_.now_ms;
    if (main_visible) Repaint(main_);
    if (flyout_visible) Repaint(flyout_);
  } else if (new_frame) {
    if (main_visible) RepaintPreview();
    if (flyout_visible) Repaint(flyout_);
  }
}

void TrayApp::RepaintPreview() {
  if (view_.page != kWebcamPage || !PreviewCardIsLive(view_)) {
    Repaint(main_);
    return;
  }
  const double width = gtk_widget_get_allocated_width(main_.area) / scale_;
  const double height = gtk_widget_get_allocated_height(main_.area) / scale_;
  const Rect card = PreviewCardRect({static_cast<float>(layout::kSidebarWidth), 0,
                                     static_cast<float>(width - layout::kSidebarWidth),
                                     static_cast<float>(height)});
  const int x = static_cast<int>(card.x * scale_);
  const int y = static_cast<int>(card.y * scale_);
  const int w = static_cast<int>(std::ceil((card.x + card.width) * scale_)) - x;
  const int h = static_cast<int>(std::ceil((card.y + card.height) * scale_)) - y;
  if (cairo_t* cr = main_.direct.Begin(main_.area, x, y, w, h)) {
    PaintCard(cr, card);
    main_.direct.Finish(cr);
    return;
  }
  gtk_widget_queue_draw_area(main_.area, x, y, w, h);
}

void TrayApp::Notify(const std::string& title, const std::string& text, int page) {
  notification_page_ = page;
  const std::string cut_title = CutUtf16(title, 63);
  const std::string cut_text = CutUtf16(text, 255);
  if (notifier_) {
    notifier_->Show(cut_title, cut_text, [this, page] {
      view_.page = page;
      ShowMainWindow();
    });
  }
  WriteTestHookFile("vstl_notify.txt", title + ": " + text + "\n", true);
}

void TrayApp::SayStillRunningOnce() {
  if (said_still_running_ || (icon_ && icon_->HasHost())) return;
  said_still_running_ = true;
  Notify("Orlith Cam keeps running", "Open it again from the applications menu.", view_.page);
}

void TrayApp::UpdateTrayIcon() {
  const ReceiverStatus& s = view_.status;
  const int state = !s.camera_allowed      ? kPaused
                    : s.monitor.recording  ? kRecording
                    : s.session_state != 0 ? kSession
                                           : kIdle;
  const std::string tooltip = CutUtf16(Substitute(_("Orlith Cam: %s"), {StateText(view_)}), 127);
  // The host shows the menu it was last told of, not one built when it opens.
  if (icon_) icon_->RefreshMenu();
  if (state == icon_state_ && tooltip == icon_tooltip_) return;
  icon_state_ = state;
  icon_tooltip_ = tooltip;
  if (icon_) {
    icon_->SetState(state);
    icon_->SetToolTip(tooltip);
  }
}

std::vector<TrayMenuItem> TrayApp::MenuItems() {
  const bool allowed = view_.status.camera_allowed;
  return {
      {1, StateText(view_), false, false, -1},
      {2, "", true, true, -1},
      {100, _("Open Orlith Cam"), true, false, -1},
      {101, _("Pair a phone..."), view_.running, false, -1},
      {102, allowed ? _("Pause video") : _("Resume video"), view_.running, false, -1},
      {103, _("Start on login"), true, false, IsAutostartEnabled() ? 1 : 0},
      {3, "", true, true, -1},
      {104, _("Quit"), true, false, -1},
  };
}

void TrayApp::MenuChosen(int id) {
  switch (id) {
    case 100:
      ShowMainWindow();
      break;
    case 101:
      StartPairing();
      break;
    case 102:
      if (view_.running) {
        SetCameraAllowed(!view_.status.camera_allowed);
        Tick();
      }
      break;
    case 103:
      SetAutostart(!IsAutostartEnabled());
      break;
    case 104:
      Quit();
      break;
    default:
      break;
  }
  if (icon_) icon_->RefreshMenu();
}

void TrayApp::WriteIconSheet() {
  cairo_surface_t* sheet = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 256, 64);
  cairo_t* cr = cairo_create(sheet);
  SetSourceArgb(cr, 0xFF202020);
  cairo_rectangle(cr, 0, 0, 256, 32);
  cairo_fill(cr);
  SetSourceArgb(cr, 0xFFF3F3F3);
  cairo_rectangle(cr, 0, 32, 256, 32);
  cairo_fill(cr);
  for (int half = 0; half < 2; ++half) {
    for (int size : {16, 24}) {
      const int start = size == 16 ? 0 : 128;
      for (int i = 0; i < 4; ++i) {
        cairo_surface_t* icon = DrawTrayGlyph(kStateColors[i], size);
        const int offset = (32 - size) / 2;
        cairo_set_source_surface(cr, icon, start + 32 * i + offset, 32 * half + offset);
        cairo_paint(cr);
        cairo_surface_destroy(icon);
      }
    }
  }
  cairo_destroy(cr);
  std::string png;
  if (cairo_surface_write_to_png_stream(sheet, AppendPng, &png) == CAIRO_STATUS_SUCCESS) {
    WriteTestHookFile("vstl_tray_icons.png", png, false);
  }
  cairo_surface_destroy(sheet);
  WriteTestHookFile("vstl_tray_icon_size.txt", std::to_string(static_cast<int>(16 * scale_ + 0.5f)),
                    false);
}

}  // namespace vistrel::tray
