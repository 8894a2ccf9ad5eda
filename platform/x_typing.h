// Typing through XTest, on the thread that owns the X connection (used only
// by the desktop layer).
//
// Another client translates a key event with the keymap it holds when it
// reads the event, and the sender cannot see when that is. So the keymap is
// left alone wherever it can be: a character the keymap already has is typed
// with its own key, with Shift or AltGr as the keymap says (an ASCII barcode
// remaps nothing). Only characters the keymap lacks take spare keycodes (ones
// without any keysym); a spare keycode is given at most one character per
// text and is remapped only after it has been idle for kRemapIdleMs, by
// which time every client has read the events that used its earlier keysym.
#pragma once

#include <X11/Xlib.h>

#include <cstdint>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/desktop.h"

namespace vistrel {

// The keysym of each character (UTF-16 pairs joined; a lone half is U+FFFD).
std::vector<KeySym> KeysymsOf(std::u16string_view text);

class XTypist {
 public:
  static constexpr uint64_t kRemapIdleMs = 1000;
  // Key events sent before the server is asked to catch up.
  static constexpr size_t kBatchEvents = 200;

  explicit XTypist(Display* display) : display_(display) {}
  // Gives the spare keycodes back their empty mapping.
  ~XTypist();
  XTypist(const XTypist&) = delete;
  XTypist& operator=(const XTypist&) = delete;

  // kUnavailable when the server has no XTest or XKB; kTooFewFreeKeys when the
  // characters the keymap lacks outnumber the spare keycodes free to take
  // them. Nothing is typed then.
  [[nodiscard]] TypingResult Type(std::u16string_view text);
  // Whether the X input focus is in a window that a window manager manages
  // (one with WM_STATE, or inside one). Under Wayland, XWayland's focus sits
  // on the compositor's own empty window while a Wayland app is focused.
  bool FocusIsInAppWindow();
  // Whether the current layout has a key for every character (spare
  // keycodes aside): what typing through another way than XTest needs.
  bool LayoutHasAll(std::u16string_view text);

 private:
  struct Spare {
    KeyCode code = 0;
    KeySym sym = NoSymbol;
    uint64_t last_used_ms = 0;  // 0: never
  };
  // How one character is typed: a key, and the modifier keys held around it.
  struct Stroke {
    KeyCode code = 0;
    unsigned int modifiers = 0;  // ShiftMask and/or level3_mask_
  };

  bool Probe();
  // The key for each keysym in the current layout, as a client reading it
  // now translates it; code 0 where the layout has none. Nothing without XKB.
  std::optional<std::unordered_map<KeySym, Stroke>> LayoutStrokes(const std::vector<KeySym>& syms);
  void Press(const Stroke& stroke);

  Display* const display_;
  bool probed_ = false;
  bool usable_ = false;
  std::vector<Spare> spares_;
  KeyCode shift_code_ = 0;
  KeyCode level3_code_ = 0;
  unsigned int level3_mask_ = 0;
};

}  // namespace vistrel
