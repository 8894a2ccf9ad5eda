#include "platform/x_typing.h"

#include <X11/extensions/XTest.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <unordered_map>

#include "platform/clock.h"

namespace vistrel {
namespace {

// Latin-1 characters have keysyms of their own value; every other character
// has the Unicode keysym 0x01000000 + its code point.
KeySym UnicodeKeysym(char32_t c) {
  if ((c >= 0x20 && c <= 0x7E) || (c >= 0xA0 && c <= 0xFF)) return c;
  return 0x01000000 | c;
}

std::vector<KeySym> Keysyms(std::u16string_view text) {
  std::vector<KeySym> syms;
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;  // half of a pair says nothing
    }
    syms.push_back(UnicodeKeysym(c));
  }
  return syms;
}

}  // namespace

XTypist::~XTypist() {
  bool changed = false;
  for (Slot& slot : slots_) {
    if (slot.sym == NoSymbol) continue;
    KeySym none = NoSymbol;
    XChangeKeyboardMapping(display_, slot.code, 1, &none, 1);
    changed = true;
  }
  if (changed) XSync(display_, False);
}

bool XTypist::Probe() {
  if (probed_) return usable_;
  probed_ = true;
  int event_base = 0, error_base = 0, major = 0, minor = 0;
  if (!XTestQueryExtension(display_, &event_base, &error_base, &major, &minor)) return false;
  int min_code = 0, max_code = 0, per_code = 0;
  XDisplayKeycodes(display_, &min_code, &max_code);
  KeySym* map = XGetKeyboardMapping(display_, static_cast<KeyCode>(min_code),
                                    max_code - min_code + 1, &per_code);
  if (!map) return false;
  for (int code = min_code; code <= max_code; ++code) {
    const KeySym* syms = map + (code - min_code) * per_code;
    if (std::all_of(syms, syms + per_code, [](KeySym s) { return s == NoSymbol; })) {
      slots_.push_back({static_cast<KeyCode>(code)});
    }
  }
  XFree(map);
  usable_ = !slots_.empty();
  return usable_;
}

void XTypist::Map(Slot& slot, KeySym sym) {
  // The same keysym on both levels: Shift or Caps Lock cannot change it.
  KeySym both[2] = {sym, sym};
  XChangeKeyboardMapping(display_, slot.code, 2, both, 1);
  slot.sym = sym;
}

bool XTypist::Type(std::u16string_view text) {
  if (!Probe()) return false;
  const std::vector<KeySym> syms = Keysyms(text);
  const size_t batch_characters = kBatchEvents / 2;
  for (size_t begin = 0; begin < syms.size();) {
    // The longest run (at most one batch) whose distinct characters each get a
    // slot: one already holding the keysym, else the one used longest ago.
    std::unordered_map<KeySym, size_t> assigned;
    std::vector<bool> taken(slots_.size(), false);
    size_t end = begin;
    for (; end < syms.size() && end - begin < batch_characters; ++end) {
      if (assigned.count(syms[end])) continue;
      size_t pick = slots_.size();
      for (size_t i = 0; i < slots_.size(); ++i) {
        if (taken[i]) continue;
        if (slots_[i].sym == syms[end]) {
          pick = i;
          break;
        }
        if (pick == slots_.size() || slots_[i].last_used_ms < slots_[pick].last_used_ms) pick = i;
      }
      if (pick == slots_.size()) break;
      taken[pick] = true;
      assigned[syms[end]] = pick;
    }
    uint64_t last_use = 0;
    for (const auto& [sym, slot] : assigned) {
      if (slots_[slot].sym != sym) last_use = std::max(last_use, slots_[slot].last_used_ms);
    }
    if (last_use != 0 && TickMs() < last_use + kRemapDelayMs) {
      std::this_thread::sleep_for(std::chrono::milliseconds(last_use + kRemapDelayMs - TickMs()));
    }
    bool remapped = false;
    for (const auto& [sym, slot] : assigned) {
      if (slots_[slot].sym == sym) continue;
      Map(slots_[slot], sym);
      remapped = true;
    }
    // Every client hears of the new mapping before the first key that uses it.
    if (remapped) XSync(display_, False);
    for (size_t i = begin; i < end; ++i) {
      const KeyCode code = slots_[assigned[syms[i]]].code;
      XTestFakeKeyEvent(display_, code, True, CurrentTime);
      XTestFakeKeyEvent(display_, code, False, CurrentTime);
    }
    XSync(display_, False);
    const uint64_t now = TickMs();
    for (const auto& [sym, slot] : assigned) slots_[slot].last_used_ms = now;
    begin = end;
  }
  return true;
}

}  // namespace vistrel
