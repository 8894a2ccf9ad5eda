// An X server of the test's own (Xvfb) and a window on it that holds the
// keyboard focus, to read back what the receiver types and what it put on
// the clipboard.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>

struct _XDisplay;

namespace vistrel::test {

// UTF-8 of code points, as the tests write what they expect to be typed.
std::string Utf8Of(std::u32string_view text);

class Xvfb {
 public:
  // Starts Xvfb on a free display number; `name()` is empty when it could not.
  // `screen` is WIDTHxHEIGHTxDEPTH.
  explicit Xvfb(const std::string& screen = "320x240x24");
  ~Xvfb();
  Xvfb(const Xvfb&) = delete;
  Xvfb& operator=(const Xvfb&) = delete;
  const std::string& name() const { return name_; }  // ":N"
  // Ends the server, as a logout or a crash of X does; its clients lose it.
  void Stop();
  // A new server on the same display after Stop; false when it did not start.
  bool Restart();

 private:
  std::string screen_;
  int number_ = -1;
  pid_t pid_ = -1;
  std::string name_;
};

// What a desktop's window manager announces on the root window: its check
// window. Without one, GTK asks the server for it on every frame, which no
// desktop shows. The announcement names no features, so nothing waits for
// a window manager that does not act.
class WindowManagerCheck {
 public:
  // Nothing when the display cannot be opened.
  static std::unique_ptr<WindowManagerCheck> Open(const std::string& display);
  ~WindowManagerCheck();
  WindowManagerCheck(const WindowManagerCheck&) = delete;
  WindowManagerCheck& operator=(const WindowManagerCheck&) = delete;

 private:
  WindowManagerCheck() = default;
  _XDisplay* display_ = nullptr;
};

class FocusedWindow {
 public:
  // A mapped window with the input focus; nothing when the display cannot be opened.
  static std::unique_ptr<FocusedWindow> Open(const std::string& display);
  ~FocusedWindow();
  FocusedWindow(const FocusedWindow&) = delete;
  FocusedWindow& operator=(const FocusedWindow&) = delete;

  // The characters (UTF-8) of the key presses received until `quiet` passes
  // without another one.
  std::string ReadTyped(std::chrono::milliseconds quiet);
  // The CLIPBOARD as UTF-8 text, asked of its owner; empty when there is none.
  std::string ReadClipboard();
  // Whether a clipboard manager owns the CLIPBOARD_MANAGER selection.
  bool HasClipboardManager();

 private:
  struct Impl;
  explicit FocusedWindow(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace vistrel::test
