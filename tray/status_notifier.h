// The tray icon as a StatusNotifierItem on the session bus, with its menu
// served as com.canonical.dbusmenu. A left click (Activate) reports the click
// position, which the flyout is anchored at. Without a session bus or a
// watcher the item simply has no host; it registers again whenever a
// watcher appears (a restarted panel). Hosts keep the menu they fetched and
// fetch it again only when told (LayoutUpdated), so every change of an
// item's label, check or enabled state is announced.
#pragma once

#include <cairo.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vistrel::tray {

struct TrayMenuItem {
  int id = 0;
  std::string label;
  bool enabled = true;
  bool separator = false;
  int checked = -1;  // -1 not a check item, else 0 or 1

  bool operator==(const TrayMenuItem&) const = default;
};

class StatusNotifierItem {
 public:
  struct Callbacks {
    std::function<void(int x, int y)> activate;
    // The menu as it is now; asked again by RefreshMenu and before the host shows it.
    std::function<std::vector<TrayMenuItem>()> menu;
    std::function<void(int id)> chosen;
    // Hosts that ask the item to show its own menu.
    std::function<void(int x, int y)> context_menu;
  };

  // `icons`: one image per state (the caller keeps them alive), drawn at
  // several sizes by `draw`. Null when the session bus cannot be reached.
  static std::unique_ptr<StatusNotifierItem> Create(
      Callbacks callbacks, std::function<cairo_surface_t*(int state, int size)> draw,
      int state_count);
  ~StatusNotifierItem();
  StatusNotifierItem(const StatusNotifierItem&) = delete;
  StatusNotifierItem& operator=(const StatusNotifierItem&) = delete;

  // UI thread only; signals the host when the value changed.
  void SetState(int state);
  void SetToolTip(const std::string& text);
  // Builds the menu again; when it differs from the one served, gives it a
  // new revision and tells the host (LayoutUpdated). UI thread only.
  void RefreshMenu();
  // Whether a status-notifier watcher (a panel that shows the icon) is on
  // the bus now. GNOME Shell has none without its AppIndicator extension.
  bool HasHost() const;

  struct Impl;

 private:
  explicit StatusNotifierItem(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace vistrel::tray
