// The desktop front end: GTK on the main thread, the main window and the
// flyout painted by our own painter, the tray icon, notifications, and the
// 40 ms tick that polls the receiver. Everything here runs on the main
// thread; the receiver is only polled and called, never calling back.
#pragma once

#include <gtk/gtk.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "app/command_line.h"
#include "app/receiver.h"
#include "platform/single_instance.h"
#include "tray/direct_paint.h"
#include "tray/notifier.h"
#include "tray/painter.h"
#include "tray/status_notifier.h"
#include "tray/view.h"

namespace vistrel::tray {

class TrayApp final : public TrayActions {
 public:
  TrayApp();
  ~TrayApp() override;
  TrayApp(const TrayApp&) = delete;
  TrayApp& operator=(const TrayApp&) = delete;

  // Whether GTK can open the display; call once on the main thread before Run.
  static bool InitializeGtk();
  // Runs until Quit; the result is the exit code.
  int Run(bool background, const ReceiverOptions& options, SingleInstance& instance);

  void Tick();
  void Notify(const std::string& title, const std::string& text, int page);
  void UpdateTrayIcon();
  void ToggleFlyout(int anchor_x, int anchor_y);

  // TrayActions
  void SetPage(int page) override;
  void StartPairing() override;
  void CancelPairing() override;
  void Decide(bool approve) override;
  void SetCameraAllowed(bool allowed) override;
  void ChangeSettings(const std::function<void(AppSettings&)>& change) override;
  void SaveSnapshot() override;
  void ShowInFolder(const std::filesystem::path& path) override;
  void Open(const std::filesystem::path& path) override;
  void OpenFolder(const std::filesystem::path& folder) override;
  void PickScansFolder() override;
  void CopyText(const std::string& text) override;
  void RemovePhone(const TrustedPhone& phone) override;
  void SetAutostart(bool on) override;
  void ShowMainWindow() override;
  void Quit() override;

  // One window and its painted surface.
  struct Window {
    GtkWidget* window = nullptr;
    GtkWidget* area = nullptr;
    Surface surface;
    bool flyout = false;
    DirectPaint direct;  // the preview card between GTK frames
  };

  // Window event handlers (tray_windows.cpp).
  void Paint(Window& w, cairo_t* cr);
  // The preview card alone: its regions go to a surface of their own, since
  // the window's stay as the last full paint made them.
  void PaintCard(cairo_t* cr, Rect card);
  void PointerMoved(Window& w, double x, double y);
  void PointerLeft(Window& w);
  void Clicked(Window& w, double x, double y);
  bool KeyPressed(Window& w, const GdkEventKey& key);
  void FocusLost(Window& w);
  void HideWindow(Window& w);

 private:
  // The window's controls recorded by a paint off screen, for the first
  // question of an assistive technology.
  void RecordAccessible(Window& w);
  void CreateWindows();
  void Repaint(Window& w);
  // A new picture alone: only the preview card when nothing else can have changed.
  void RepaintPreview();
  bool Visible(const Window& w) const;
  void RunAction(Window& w, const std::function<void()>& action);
  std::vector<TrayMenuItem> MenuItems();
  void MenuChosen(int id);
  void ShowPopupMenu();
  void ClosePicker();
  void WriteIconSheet();
  void RefreshPreview();
  // An empty preview picture that the display server reads without a copy
  // (shared memory on X11); null when no window is realised.
  Picture PreviewSurface(int width, int height) const;
  void TickNotifications(const ReceiverStatus& before, bool first);
  // Without a panel that shows the icon, a closed main window leaves the
  // user no way back but the applications menu: said once a run.
  void SayStillRunningOnce();

  Receiver* receiver_ = nullptr;  // owned by receiver_owner_
  std::unique_ptr<Receiver> receiver_owner_;
  TrayView view_;
  ThumbnailCache thumbnails_;
  Window main_;
  Window flyout_;
  std::unique_ptr<Notifier> notifier_;
  std::unique_ptr<StatusNotifierItem> icon_;
  float scale_ = 1;
  uint64_t flyout_hidden_at_ = 0;
  bool first_tick_ = true;
  bool acted_on_request_ = false;
  uint64_t clip_list_version_ = 0;
  bool clips_fetched_ = false;
  int64_t scans_revision_ = 0;
  bool scans_fetched_ = false;
  uint64_t rates_at_ = 0;
  uint64_t rates_video_ = 0;
  uint64_t rates_frames_ = 0;
  uint64_t preview_sequence_ = UINT64_MAX;
  // The preview picture before the current one, converted into next: the X
  // server may still be reading the current one from shared memory.
  Picture spare_preview_;
  uint64_t last_repaint_ = 0;
  Surface card_surface_;  // regions of card-only paints, which add none
  int icon_state_ = -1;
  std::string icon_tooltip_;
  int notification_page_ = 0;
  std::shared_ptr<std::atomic<bool>> show_requested_ = std::make_shared<std::atomic<bool>>(false);
  guint timer_ = 0;
  bool said_still_running_ = false;
  GtkFileChooserNative* chooser_ = nullptr;
};

// The flyout's top-left corner for an anchor rectangle and a work area
// (all in the same pixels), by the taskbar placement rules.
struct PixelRect {
  int x = 0, y = 0, width = 0, height = 0;
};
std::pair<int, int> PlaceFlyout(PixelRect anchor, PixelRect work, int w, int h, int margin);

}  // namespace vistrel::tray
