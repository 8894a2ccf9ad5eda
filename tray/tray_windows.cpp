// The two GTK windows: creation, events, placement of the flyout.
#include <algorithm>
#include <cmath>
#include <memory>

#include "platform/clock.h"
#include "tray/accessible.h"
#include "tray/pages.h"
#include "tray/style.h"
#include "tray/tray_app.h"

namespace vistrel::tray {
namespace {

constexpr uint64_t kFlyoutReopenMs = 300;

struct Binding {
  TrayApp* app;
  TrayApp::Window* window;
};

Binding& Bound(gpointer data) {
  return *static_cast<Binding*>(data);
}

gboolean OnDraw(GtkWidget*, cairo_t* cr, gpointer data) {
  Bound(data).app->Paint(*Bound(data).window, cr);
  return TRUE;
}

gboolean OnMotion(GtkWidget*, GdkEventMotion* event, gpointer data) {
  Bound(data).app->PointerMoved(*Bound(data).window, event->x, event->y);
  return TRUE;
}

gboolean OnLeave(GtkWidget*, GdkEventCrossing*, gpointer data) {
  Bound(data).app->PointerLeft(*Bound(data).window);
  return TRUE;
}

gboolean OnRelease(GtkWidget*, GdkEventButton* event, gpointer data) {
  if (event->button == 1) Bound(data).app->Clicked(*Bound(data).window, event->x, event->y);
  return TRUE;
}

gboolean OnKey(GtkWidget*, GdkEventKey* event, gpointer data) {
  return Bound(data).app->KeyPressed(*Bound(data).window, *event);
}

gboolean OnFocusOut(GtkWidget*, GdkEventFocus*, gpointer data) {
  Bound(data).app->FocusLost(*Bound(data).window);
  return FALSE;
}

void OnUnrealize(GtkWidget*, gpointer data) {
  Bound(data).window->direct.Reset();
}

gboolean OnDelete(GtkWidget*, GdkEvent*, gpointer data) {
  // Closing only hides; the tray icon stays.
  Bound(data).app->HideWindow(*Bound(data).window);
  return TRUE;
}

gboolean RunJob(gpointer data) {
  (*static_cast<std::function<void()>*>(data))();
  return G_SOURCE_REMOVE;
}

void DropJob(gpointer data) {
  std::unique_ptr<std::function<void()>>(static_cast<std::function<void()>*>(data));
}

GdkPixbuf* MarkPixbuf(int size) {
  cairo_surface_t* image = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, size, size);
  cairo_t* cr = cairo_create(image);
  DrawAppMark(cr, 0, 0, size);
  cairo_destroy(cr);
  GdkPixbuf* pixbuf = gdk_pixbuf_get_from_surface(image, 0, 0, size, size);
  cairo_surface_destroy(image);
  return pixbuf;
}

}  // namespace

std::pair<int, int> PlaceFlyout(PixelRect anchor, PixelRect work, int w, int h, int m) {
  const int work_right = work.x + work.width;
  const int work_bottom = work.y + work.height;
  const int anchor_right = anchor.x + anchor.width;
  const int anchor_bottom = anchor.y + anchor.height;
  auto clamp = [](int value, int low, int high) { return std::max(low, std::min(value, high)); };
  int x = clamp(anchor.x + anchor.width / 2 - w / 2, work.x + m, work_right - m - w);
  int y = work_bottom - m - h;
  if (anchor_bottom <= work.y) {
    y = work.y + m;
  } else if (anchor_right <= work.x || anchor.x >= work_right) {
    x = anchor_right > work.x ? work_right - m - w : work.x + m;
    y = clamp(anchor.y + anchor.height / 2 - h / 2, work.y + m, work_bottom - m - h);
  }
  return {x, y};
}

void TrayApp::CreateWindows() {
  // Dark decorations where the desktop's theme has them.
  g_object_set(gtk_settings_get_default(), "gtk-application-prefer-dark-theme", TRUE, nullptr);
  GList* icons = nullptr;
  for (int size : {16, 32, 48, 64, 128}) icons = g_list_append(icons, MarkPixbuf(size));
  gtk_window_set_default_icon_list(icons);
  g_list_free_full(icons, g_object_unref);

  for (Window* w : {&main_, &flyout_}) {
    w->flyout = w == &flyout_;
    w->window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(w->window), "Orlith Cam");
    gtk_widget_set_name(w->window, w->flyout ? "Vistrel.Flyout" : "Vistrel.Window");
    gtk_window_set_resizable(GTK_WINDOW(w->window), FALSE);
    const double width = w->flyout ? layout::kFlyoutWidth : layout::kMainWidth;
    const double height = w->flyout ? layout::kFlyoutHeight : layout::kMainHeight;
    CanvasHooks hooks;
    hooks.record = [this, w] { RecordAccessible(*w); };
    hooks.activate = [this, w](int region, Rect rect) {
      if (region < 0 || region >= static_cast<int>(w->surface.regions.size())) return false;
      const HitRegion& hit = w->surface.regions[static_cast<size_t>(region)];
      if (hit.rect.x != rect.x || hit.rect.y != rect.y || hit.rect.width != rect.width ||
          hit.rect.height != rect.height) {
        return false;
      }
      std::function<void()> action = hit.action;
      if (!action) return false;
      // From the loop, as a click comes: the caller waits for no question dialog.
      auto job = std::make_unique<std::function<void()>>(
          [this, w, action = std::move(action)] { RunAction(*w, action); });
      g_idle_add_full(G_PRIORITY_DEFAULT, RunJob, job.release(), DropJob);
      return true;
    };
    hooks.focus = [this, w](int region) {
      w->surface.focus = region;
      Repaint(*w);
    };
    w->area = NewAccessibleCanvas(std::move(hooks));
    gtk_widget_set_size_request(w->area, static_cast<int>(width * scale_),
                                static_cast<int>(height * scale_));
    gtk_widget_set_can_focus(w->area, TRUE);
    gtk_widget_add_events(w->area, GDK_POINTER_MOTION_MASK | GDK_BUTTON_PRESS_MASK |
                                       GDK_BUTTON_RELEASE_MASK | GDK_LEAVE_NOTIFY_MASK);
    gtk_container_add(GTK_CONTAINER(w->window), w->area);
    // Our painter covers every pixel: the theme's background under it would be
    // drawn for nothing, 25 times a second while the preview runs.
    gtk_widget_set_app_paintable(w->window, TRUE);
    gtk_widget_set_app_paintable(w->area, TRUE);
    if (w->flyout) {
      gtk_window_set_decorated(GTK_WINDOW(w->window), FALSE);
      gtk_window_set_keep_above(GTK_WINDOW(w->window), TRUE);
      gtk_window_set_skip_taskbar_hint(GTK_WINDOW(w->window), TRUE);
      gtk_window_set_skip_pager_hint(GTK_WINDOW(w->window), TRUE);
      gtk_window_set_type_hint(GTK_WINDOW(w->window), GDK_WINDOW_TYPE_HINT_UTILITY);
    }
    auto owned = std::make_unique<Binding>(Binding{this, w});
    Binding* binding = owned.get();
    g_object_set_data_full(
        G_OBJECT(w->window), "vistrel-binding", owned.release(),
        [](gpointer data) { std::unique_ptr<Binding>(static_cast<Binding*>(data)); });
    g_signal_connect(w->area, "draw", G_CALLBACK(OnDraw), binding);
    g_signal_connect(w->area, "motion-notify-event", G_CALLBACK(OnMotion), binding);
    g_signal_connect(w->area, "leave-notify-event", G_CALLBACK(OnLeave), binding);
    g_signal_connect(w->area, "button-release-event", G_CALLBACK(OnRelease), binding);
    g_signal_connect(w->window, "key-press-event", G_CALLBACK(OnKey), binding);
    g_signal_connect(w->window, "focus-out-event", G_CALLBACK(OnFocusOut), binding);
    g_signal_connect(w->window, "delete-event", G_CALLBACK(OnDelete), binding);
    g_signal_connect(w->window, "unrealize", G_CALLBACK(OnUnrealize), binding);
    gtk_widget_show(w->area);
  }
}

void TrayApp::Paint(Window& w, cairo_t* cr) {
  const int width = gtk_widget_get_allocated_width(w.area);
  const int height = gtk_widget_get_allocated_height(w.area);
  if (width <= 0 || height <= 0) return;
  view_.now_ms = TickMs();
  const double dip_width = width / scale_;
  const double dip_height = height / scale_;
  const Rect card = PreviewCardRect({static_cast<float>(layout::kSidebarWidth), 0,
                                     static_cast<float>(dip_width - layout::kSidebarWidth),
                                     static_cast<float>(dip_height)});
  double x1 = 0, y1 = 0, x2 = 0, y2 = 0;
  cairo_clip_extents(cr, &x1, &y1, &x2, &y2);
  if (!w.flyout && view_.page == kWebcamPage && PreviewCardIsLive(view_) &&
      x1 >= card.x * scale_ - 1 && y1 >= card.y * scale_ - 1 &&
      x2 <= (card.x + card.width) * scale_ + 1 && y2 <= (card.y + card.height) * scale_ + 1) {
    PaintCard(cr, card);
    return;
  }
  w.surface.accessible = CanvasListened(w.area);
  {
    Painter painter(cr, scale_, w.surface);
    PaintWindow(painter, view_, *this, w.flyout, dip_width, dip_height);
  }
  if (w.surface.accessible) PublishCanvas(w.area, w.surface);
}

void TrayApp::RecordAccessible(Window& w) {
  const double width = w.flyout ? layout::kFlyoutWidth : layout::kMainWidth;
  const double height = w.flyout ? layout::kFlyoutHeight : layout::kMainHeight;
  cairo_surface_t* image = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 1, 1);
  cairo_t* cr = cairo_create(image);
  view_.now_ms = TickMs();
  w.surface.accessible = true;
  {
    Painter painter(cr, scale_, w.surface);
    PaintWindow(painter, view_, *this, w.flyout, width, height);
  }
  cairo_destroy(cr);
  cairo_surface_destroy(image);
  PublishCanvas(w.area, w.surface);
}

void TrayApp::PaintCard(cairo_t* cr, Rect card) {
  view_.now_ms = TickMs();
  Painter painter(cr, scale_, card_surface_);
  // In whole pixels: an edge pixel that the card covers in part starts from
  // the window's colour, not from whatever the buffer held.
  const float left = std::floor(card.x * scale_) / scale_;
  const float top = std::floor(card.y * scale_) / scale_;
  const float right = std::ceil((card.x + card.width) * scale_) / scale_;
  const float bottom = std::ceil((card.y + card.height) * scale_) / scale_;
  painter.Fill({left, top, right - left, bottom - top}, color::kWindow);
  PaintPreviewCard(painter, view_, *this, card);
}

Picture TrayApp::PreviewSurface(int width, int height) const {
  GtkWidget* area = Visible(main_) ? main_.area : flyout_.area;
  GdkWindow* window = area ? gtk_widget_get_window(area) : nullptr;
  if (!window) return nullptr;
  cairo_surface_t* surface = gdk_window_create_similar_image_surface(
      window, CAIRO_FORMAT_RGB24, width, height, 1);
  if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(surface);
    return nullptr;
  }
  return MakePicture(surface);
}

void TrayApp::Repaint(Window& w) {
  if (w.area) gtk_widget_queue_draw(w.area);
}

bool TrayApp::Visible(const Window& w) const {
  if (!w.window || !gtk_widget_get_visible(w.window)) return false;
  GdkWindow* gdk_window = gtk_widget_get_window(w.window);
  return !gdk_window || !(gdk_window_get_state(gdk_window) & GDK_WINDOW_STATE_ICONIFIED);
}

void TrayApp::PointerMoved(Window& w, double x, double y) {
  const int hover = w.surface.HitTest(static_cast<float>(x), static_cast<float>(y));
  if (hover == w.surface.hover) return;
  w.surface.hover = hover;
  const bool active = hover >= 0 && w.surface.regions[static_cast<size_t>(hover)].action;
  GdkWindow* gdk_window = gtk_widget_get_window(w.area);
  GdkCursor* cursor =
      active ? gdk_cursor_new_from_name(gtk_widget_get_display(w.area), "pointer") : nullptr;
  gdk_window_set_cursor(gdk_window, cursor);
  if (cursor) g_object_unref(cursor);
  Repaint(w);
}

void TrayApp::PointerLeft(Window& w) {
  w.surface.hover = -1;
  Repaint(w);
}

void TrayApp::RunAction(Window& w, const std::function<void()>& action) {
  // A copy: the action may repaint, which rebuilds the regions.
  const std::function<void()> run = action;
  run();
  Tick();
  Repaint(w);
}

void TrayApp::Clicked(Window& w, double x, double y) {
  const auto regions = w.surface.regions;
  for (const HitRegion& region : regions) {
    if (region.action && region.rect.Contains(static_cast<float>(x), static_cast<float>(y))) {
      RunAction(w, region.action);
      return;
    }
  }
}

bool TrayApp::KeyPressed(Window& w, const GdkEventKey& key) {
  switch (key.keyval) {
    case GDK_KEY_Escape:
      HideWindow(w);
      return true;
    case GDK_KEY_Tab:
    case GDK_KEY_ISO_Left_Tab:
    case GDK_KEY_KP_Tab:
      w.surface.focus =
          w.surface.NextFocus(key.keyval == GDK_KEY_ISO_Left_Tab || (key.state & GDK_SHIFT_MASK));
      Repaint(w);
      return true;
    case GDK_KEY_Return:
    case GDK_KEY_KP_Enter:
    case GDK_KEY_space:
      if (w.surface.focus >= 0 && w.surface.focus < static_cast<int>(w.surface.regions.size())) {
        const auto action = w.surface.regions[static_cast<size_t>(w.surface.focus)].action;
        if (action) RunAction(w, action);
      }
      return true;
    default:
      return false;
  }
}

void TrayApp::FocusLost(Window& w) {
  w.surface.focus = -1;
  if (w.flyout && gtk_widget_get_visible(w.window)) {
    HideWindow(w);
  } else {
    Repaint(w);
  }
}

void TrayApp::HideWindow(Window& w) {
  if (w.flyout) flyout_hidden_at_ = TickMs();
  if (&w == &main_ && gtk_widget_get_visible(w.window)) SayStillRunningOnce();
  gtk_widget_hide(w.window);
}

void TrayApp::ShowMainWindow() {
  if (gtk_widget_get_visible(flyout_.window)) HideWindow(flyout_);
  gtk_window_deiconify(GTK_WINDOW(main_.window));
  gtk_widget_show(main_.window);
  gtk_window_present(GTK_WINDOW(main_.window));
  Repaint(main_);
}

void TrayApp::ToggleFlyout(int anchor_x, int anchor_y) {
  if (gtk_widget_get_visible(flyout_.window)) {
    HideWindow(flyout_);
    return;
  }
  if (TickMs() - flyout_hidden_at_ < kFlyoutReopenMs) return;
  GdkDisplay* display = gdk_display_get_default();
  if (anchor_x == 0 && anchor_y == 0) {
    // No position from the host: the pointer's.
    GdkSeat* seat = gdk_display_get_default_seat(display);
    if (seat) gdk_device_get_position(gdk_seat_get_pointer(seat), nullptr, &anchor_x, &anchor_y);
  }
  GdkMonitor* monitor = gdk_display_get_monitor_at_point(display, anchor_x, anchor_y);
  GdkRectangle area{0, 0, 1920, 1080};
  if (monitor) gdk_monitor_get_workarea(monitor, &area);
  const int w = static_cast<int>(layout::kFlyoutWidth * scale_);
  const int h = static_cast<int>(layout::kFlyoutHeight * scale_);
  const auto [x, y] =
      PlaceFlyout({anchor_x, anchor_y, 0, 0}, {area.x, area.y, area.width, area.height}, w, h,
                  static_cast<int>(layout::kFlyoutMargin * scale_));
  gtk_window_move(GTK_WINDOW(flyout_.window), x, y);
  gtk_widget_show(flyout_.window);
  gtk_window_present(GTK_WINDOW(flyout_.window));
  Repaint(flyout_);
}

void TrayApp::ShowPopupMenu() {
  GtkWidget* menu = gtk_menu_new();
  for (const TrayMenuItem& item : MenuItems()) {
    GtkWidget* entry = nullptr;
    if (item.separator) {
      entry = gtk_separator_menu_item_new();
    } else if (item.checked >= 0) {
      entry = gtk_check_menu_item_new_with_label(item.label.c_str());
      gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(entry), item.checked == 1);
    } else {
      entry = gtk_menu_item_new_with_label(item.label.c_str());
    }
    gtk_widget_set_sensitive(entry, item.enabled);
    if (!item.separator && item.enabled) {
      g_object_set_data(G_OBJECT(entry), "vistrel-id", GINT_TO_POINTER(item.id));
      g_signal_connect(entry, "activate", G_CALLBACK(+[](GtkMenuItem* chosen, gpointer data) {
                         static_cast<TrayApp*>(data)->MenuChosen(
                             GPOINTER_TO_INT(g_object_get_data(G_OBJECT(chosen), "vistrel-id")));
                       }),
                       this);
    }
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), entry);
  }
  gtk_widget_show_all(menu);
  g_signal_connect(menu, "deactivate", G_CALLBACK(+[](GtkMenuShell* shell, gpointer) {
                     g_idle_add(
                         [](gpointer widget) {
                           gtk_widget_destroy(GTK_WIDGET(widget));
                           return G_SOURCE_REMOVE;
                         },
                         shell);
                   }),
                   nullptr);
  gtk_menu_popup_at_pointer(GTK_MENU(menu), nullptr);
}

}  // namespace vistrel::tray
