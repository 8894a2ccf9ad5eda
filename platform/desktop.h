// The desktop session's clipboard and keyboard: what scan delivery uses to
// hand a text or a barcode to the user's applications.
//
// Both calls come from a connection's session thread and block it for a
// short, bounded time. On X11 the clipboard and the keyboard belong to a
// thread of their own that owns GTK (the tray, once it exists, runs on that
// same thread); a call posts its request there and waits about half a second
// for it to be taken. Without an X display both calls fail at once.
#pragma once

#include <filesystem>
#include <memory>
#include <string_view>

namespace vistrel {

enum class TypingResult {
  kTyped,
  kUnavailable,
  // More characters missing from the keyboard layout than free keys for them.
  kTooFewFreeKeys,
  // A Wayland session whose focused window is not an X11 one: XTest keys
  // reach only XWayland's windows, and the desktop offers no other keyboard.
  kFocusedAppNotReachable,
  // The same, with characters that the keyboard layout lacks: another
  // keyboard than XTest cannot add keys for them.
  kNotInLayout,
  // The desktop is asking the user whether this program may type.
  kAwaitingPermission,
  // The user or the desktop refused it.
  kNotAllowed,
};

class Desktop {
 public:
  virtual ~Desktop() = default;

  // True when the clipboard took the text (this program owns the selection).
  [[nodiscard]] virtual bool CopyTextToClipboard(std::u16string_view text) = 0;
  // Types the text into whichever window has the keyboard focus, nothing
  // added after it; all of it or nothing.
  [[nodiscard]] virtual TypingResult TypeIntoFocusedApp(std::u16string_view text) = 0;
};

// The X11 desktop named by $DISPLAY (GTK for the clipboard, XTest for
// typing); without a display it fails every call. Starts its thread at once.
std::unique_ptr<Desktop> CreateX11Desktop();
// The same for a program whose main thread already runs GTK (the tray): no
// thread of its own, requests are queued to the default main context. Call
// after gtk_init on that thread.
std::unique_ptr<Desktop> CreateDesktopOnCallerLoop();

// The same for the console: the work is done by `program` started with
// kDesktopHelperArgument, which runs RunDesktopHelper. When the X display
// goes, only that helper ends; both calls then fail, and a new helper is
// started once a display can be opened again. Each loss and return is logged.
std::unique_ptr<Desktop> CreateDesktopInHelper(const std::filesystem::path& program);
extern const char* const kDesktopHelperArgument;
// The helper's main: serves the receiver on file descriptor 3 until it
// closes it, then offers its clipboard text to a clipboard manager.
int RunDesktopHelper();

}  // namespace vistrel
