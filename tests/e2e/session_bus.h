// A private D-Bus session bus for one test, and a minimal
// StatusNotifierWatcher on it that records the items that register and
// calls into them. Its menu host behaves as panels do: it keeps the layout it
// fetched, asks AboutToShow before each showing, and fetches the layout again
// only after the item announced a new revision (LayoutUpdated).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vistrel::test {

class SessionBus {
 public:
  // Starts dbus-daemon; `address()` is empty when it could not.
  SessionBus();
  ~SessionBus();
  SessionBus(const SessionBus&) = delete;
  SessionBus& operator=(const SessionBus&) = delete;
  const std::string& address() const { return address_; }

 private:
  std::string address_;
  pid_t pid_ = -1;
};

// One icon of an item's pixmap list: width, height, ARGB bytes (network order).
struct ItemPixmap {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> argb;
  // 0xAARRGGBB of the pixel.
  uint32_t Pixel(int x, int y) const;
};

// One entry of an item's menu, as the host shows it.
struct MenuEntry {
  int id = 0;
  std::string label;  // "-" for a separator
  bool enabled = true;
  int checked = -1;  // -1: not a check item
};

class StatusWatcher {
 public:
  // Owns org.kde.StatusNotifierWatcher on the bus; null when it cannot.
  static std::unique_ptr<StatusWatcher> Start(const std::string& bus_address);
  ~StatusWatcher();
  StatusWatcher(const StatusWatcher&) = delete;
  StatusWatcher& operator=(const StatusWatcher&) = delete;

  // The first item's bus name once one registered, waiting up to `seconds`.
  std::optional<std::string> WaitForItem(int seconds);
  std::vector<ItemPixmap> IconPixmaps(const std::string& item);
  // The tool tip's title and text.
  std::string ToolTipText(const std::string& item);
  bool Activate(const std::string& item, int x, int y);
  // The item's menu as the host shows it when it opens now.
  std::vector<MenuEntry> Menu(const std::string& item);
  // Its labels, in order (separators as "-").
  std::vector<std::string> MenuLabels(const std::string& item);
  bool ClickMenu(const std::string& item, int id);
  // Names on the bus (for the notification service's presence).
  bool HasName(const std::string& name);
  // Notify calls the notification service received, if we are it: none here.

  struct Impl;

 private:
  explicit StatusWatcher(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace vistrel::test
