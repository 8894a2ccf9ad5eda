// The windows on the test's X server as a user sees them: which are shown,
// where, what colour a point of the screen has, and a mouse click.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace vistrel::test {

struct ShownWindow {
  unsigned long id = 0;
  int x = 0, y = 0, width = 0, height = 0;
  std::string name;
};

// The viewable top-level windows (pop-ups too), in stacking order.
std::vector<ShownWindow> ShownWindows(const std::string& display);
// The shown windows named `name` of the given size; empty when none is.
std::vector<ShownWindow> ShownWindowsNamed(const std::string& display, const std::string& name);
// A left click (XTest) at the screen point.
bool ClickAt(const std::string& display, int x, int y);
// Presses and releases the key of an X keysym (XK_Tab, XK_Return, ...), with
// Shift held when `shift`; it goes to the window that has the focus.
bool PressKey(const std::string& display, unsigned long keysym, bool shift = false);
// 0xRRGGBB of the screen point; 0xFFFFFFFF when it cannot be read.
uint32_t ScreenPixel(const std::string& display, int x, int y);

// Another client that keeps making and destroying small windows, as a busy
// desktop does, until the object goes.
class WindowChurn {
 public:
  explicit WindowChurn(const std::string& display);
  ~WindowChurn();
  WindowChurn(const WindowChurn&) = delete;
  WindowChurn& operator=(const WindowChurn&) = delete;

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace vistrel::test
