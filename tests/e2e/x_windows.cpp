#include "tests/e2e/x_windows.h"

#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <deque>
#include <memory>

namespace vistrel::test {
namespace {

struct DisplayCloser {
  void operator()(Display* display) const { XCloseDisplay(display); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;

int IgnoreXError(Display*, XErrorEvent*) { return 0; }

// Windows of other clients come and go between two requests: a BadWindow
// then only means the window is gone. Xlib's own handler would end the test.
class IgnoredXErrors {
 public:
  explicit IgnoredXErrors(Display* display)
      : display_(display), previous_(XSetErrorHandler(IgnoreXError)) {}
  ~IgnoredXErrors() {
    XSync(display_, False);  // errors of our requests arrive while ignored
    XSetErrorHandler(previous_);
  }
  IgnoredXErrors(const IgnoredXErrors&) = delete;
  IgnoredXErrors& operator=(const IgnoredXErrors&) = delete;

 private:
  Display* display_;
  XErrorHandler previous_;
};

}  // namespace

std::vector<ShownWindow> ShownWindows(const std::string& name) {
  std::vector<ShownWindow> shown;
  DisplayPtr display(XOpenDisplay(name.c_str()));
  if (!display) return shown;
  const IgnoredXErrors ignored(display.get());
  Window root = DefaultRootWindow(display.get()), parent = 0;
  Window* children = nullptr;
  unsigned int count = 0;
  if (!XQueryTree(display.get(), root, &root, &parent, &children, &count)) return shown;
  for (unsigned int i = 0; i < count; ++i) {
    XWindowAttributes attributes{};
    if (!XGetWindowAttributes(display.get(), children[i], &attributes)) continue;
    if (attributes.map_state != IsViewable) continue;
    char* title = nullptr;
    XFetchName(display.get(), children[i], &title);
    shown.push_back({children[i], attributes.x, attributes.y, attributes.width, attributes.height,
                     title ? title : ""});
    if (title) XFree(title);
  }
  if (children) XFree(children);
  return shown;
}

std::vector<ShownWindow> ShownWindowsNamed(const std::string& display, const std::string& name) {
  std::vector<ShownWindow> named;
  for (const ShownWindow& window : ShownWindows(display)) {
    if (window.name == name) named.push_back(window);
  }
  return named;
}

bool ClickAt(const std::string& name, int x, int y) {
  DisplayPtr display(XOpenDisplay(name.c_str()));
  if (!display) return false;
  XTestFakeMotionEvent(display.get(), -1, x, y, 0);
  XSync(display.get(), False);
  XTestFakeButtonEvent(display.get(), 1, True, 30);
  XTestFakeButtonEvent(display.get(), 1, False, 60);
  XSync(display.get(), False);
  return true;
}

bool PressKey(const std::string& name, unsigned long keysym, bool shift) {
  DisplayPtr display(XOpenDisplay(name.c_str()));
  if (!display) return false;
  const KeyCode key = XKeysymToKeycode(display.get(), keysym);
  const KeyCode shift_key = XKeysymToKeycode(display.get(), XK_Shift_L);
  if (key == 0 || (shift && shift_key == 0)) return false;
  if (shift) XTestFakeKeyEvent(display.get(), shift_key, True, 0);
  XTestFakeKeyEvent(display.get(), key, True, 20);
  XTestFakeKeyEvent(display.get(), key, False, 40);
  if (shift) XTestFakeKeyEvent(display.get(), shift_key, False, 60);
  XSync(display.get(), False);
  return true;
}

uint32_t ScreenPixel(const std::string& name, int x, int y) {
  DisplayPtr display(XOpenDisplay(name.c_str()));
  if (!display) return 0xFFFFFFFF;
  XImage* image =
      XGetImage(display.get(), DefaultRootWindow(display.get()), x, y, 1, 1, AllPlanes, ZPixmap);
  if (!image) return 0xFFFFFFFF;
  const auto pixel = static_cast<uint32_t>(XGetPixel(image, 0, 0)) & 0xFFFFFF;
  XDestroyImage(image);
  return pixel;
}

WindowChurn::WindowChurn(const std::string& name)
    : thread_([this, name] {
        DisplayPtr display(XOpenDisplay(name.c_str()));
        if (!display) return;
        Display* d = display.get();
        std::deque<Window> alive;
        while (!stop_) {
          alive.push_back(XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 8, 8, 0, 0, 0));
          XMapWindow(d, alive.back());
          if (alive.size() > 16) {
            XDestroyWindow(d, alive.front());
            alive.pop_front();
          }
          XFlush(d);
        }
      }) {}

WindowChurn::~WindowChurn() {
  stop_ = true;
  thread_.join();
}

}  // namespace vistrel::test
