// Typing through XTest: each character becomes a press and a release of a
// spare keycode (one without any keysym in the keymap) that is mapped to the
// character's keysym first. Used only by desktop_linux.cpp, on the thread
// that owns the X connection.
//
// Another client translates a key event with the keymap it holds when it
// reads the event, so a keycode is never remapped while events that used its
// previous keysym may still be unread: each distinct character of one call
// has a keycode of its own, mappings stay in place between calls (a later
// call reuses them), and a keycode used less than kRemapDelayMs ago is
// remapped only after that delay.
#pragma once

#include <X11/Xlib.h>

#include <cstdint>
#include <string_view>
#include <vector>

namespace vistrel {

class XTypist {
 public:
  static constexpr uint64_t kRemapDelayMs = 100;
  // Key events sent before the server is asked to catch up.
  static constexpr size_t kBatchEvents = 200;

  explicit XTypist(Display* display) : display_(display) {}
  // Gives the spare keycodes back their empty mapping.
  ~XTypist();
  XTypist(const XTypist&) = delete;
  XTypist& operator=(const XTypist&) = delete;

  // False when the server has no XTest or no spare keycode.
  [[nodiscard]] bool Type(std::u16string_view text);

 private:
  struct Slot {
    KeyCode code = 0;
    KeySym sym = NoSymbol;
    uint64_t last_used_ms = 0;
  };

  bool Probe();
  void Map(Slot& slot, KeySym sym);

  Display* const display_;
  bool probed_ = false;
  bool usable_ = false;
  std::vector<Slot> slots_;
};

}  // namespace vistrel
