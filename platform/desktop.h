// The desktop session's clipboard and keyboard: what scan delivery uses to
// hand a text or a barcode to the user's applications.
//
// Both calls come from a connection's session thread and block it for a
// short, bounded time. On X11 the clipboard and the keyboard belong to a
// thread of their own that owns GTK (the tray, once it exists, runs on that
// same thread); a call posts its request there and waits about half a second
// for it to be taken. Without an X display both calls fail at once.
#pragma once

#include <memory>
#include <string_view>

namespace vistrel {

class Desktop {
 public:
  virtual ~Desktop() = default;

  // True when the clipboard took the text (this program owns the selection).
  [[nodiscard]] virtual bool CopyTextToClipboard(std::u16string_view text) = 0;
  // Types the text into whichever window has the keyboard focus, nothing
  // added after it; false when typing is not available.
  [[nodiscard]] virtual bool TypeIntoFocusedApp(std::u16string_view text) = 0;
};

// The X11 desktop named by $DISPLAY (GTK for the clipboard, XTest for
// typing); without a display it fails every call. Starts its thread at once.
std::unique_ptr<Desktop> CreateX11Desktop();
// The same for a program whose main thread already runs GTK (the tray): no
// thread of its own, requests are queued to the default main context. Call
// after gtk_init on that thread.
std::unique_ptr<Desktop> CreateDesktopOnCallerLoop();

}  // namespace vistrel
