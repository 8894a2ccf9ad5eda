#include "platform/x_typing.h"

#include <X11/XKBlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>
#include <chrono>
#include <optional>
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

}  // namespace

std::vector<KeySym> KeysymsOf(std::u16string_view text) {
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

namespace {

struct XkbFree {
  void operator()(XkbDescPtr xkb) const { XkbFreeKeyboard(xkb, 0, True); }
};

void SleepUntil(uint64_t tick_ms) {
  const uint64_t now = TickMs();
  if (now < tick_ms) std::this_thread::sleep_for(std::chrono::milliseconds(tick_ms - now));
}

}  // namespace

XTypist::~XTypist() {
  uint64_t last_use = 0;
  for (const Spare& spare : spares_) {
    if (spare.sym != NoSymbol) last_use = std::max(last_use, spare.last_used_ms);
  }
  if (last_use == 0) return;
  // The empty mapping is a remap too: not while a client may still read our keys.
  SleepUntil(last_use + kRemapIdleMs);
  XSync(display_, False);
  for (Spare& spare : spares_) {
    if (spare.sym == NoSymbol) continue;
    KeySym none = NoSymbol;
    XChangeKeyboardMapping(display_, spare.code, 1, &none, 1);
  }
  XSync(display_, False);
}

bool XTypist::Probe() {
  if (probed_) return usable_;
  probed_ = true;
  int event_base = 0, error_base = 0, major = XkbMajorVersion, minor = XkbMinorVersion, opcode = 0;
  if (!XTestQueryExtension(display_, &event_base, &error_base, &major, &minor)) return false;
  major = XkbMajorVersion;
  minor = XkbMinorVersion;
  if (!XkbQueryExtension(display_, &opcode, &event_base, &error_base, &major, &minor)) return false;
  int min_code = 0, max_code = 0, per_code = 0;
  XDisplayKeycodes(display_, &min_code, &max_code);
  KeySym* map = XGetKeyboardMapping(display_, static_cast<KeyCode>(min_code),
                                    max_code - min_code + 1, &per_code);
  if (!map) return false;
  for (int code = min_code; code <= max_code; ++code) {
    const KeySym* syms = map + (code - min_code) * per_code;
    if (std::all_of(syms, syms + per_code, [](KeySym s) { return s == NoSymbol; })) {
      spares_.push_back({static_cast<KeyCode>(code)});
    }
  }
  XFree(map);
  shift_code_ = XKeysymToKeycode(display_, XK_Shift_L);
  level3_code_ = XKeysymToKeycode(display_, XK_ISO_Level3_Shift);
  if (XModifierKeymap* modifiers = XGetModifierMapping(display_)) {
    for (int row = 0; row < 8 && level3_code_ != 0; ++row) {
      for (int i = 0; i < modifiers->max_keypermod; ++i) {
        if (modifiers->modifiermap[row * modifiers->max_keypermod + i] == level3_code_) {
          level3_mask_ = 1u << row;
        }
      }
    }
    XFreeModifiermap(modifiers);
  }
  if (level3_mask_ == 0) level3_code_ = 0;
  usable_ = true;
  return true;
}

bool XTypist::FocusIsInAppWindow() {
  Window focus = 0;
  int revert = 0;
  XGetInputFocus(display_, &focus, &revert);
  const Atom wm_state = XInternAtom(display_, "WM_STATE", False);
  const Window root = DefaultRootWindow(display_);
  // Up from the focus: an app may focus a child of its top-level window.
  for (Window window = focus; window != 0 && window != PointerRoot && window != root;) {
    Atom type = 0;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display_, window, wm_state, 0, 0, False, AnyPropertyType, &type,
                           &format, &items, &after, &data) == Success) {
      if (data) XFree(data);
      if (type != 0) return true;
    }
    Window unused = 0, parent = 0, *children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display_, window, &unused, &parent, &children, &count)) return false;
    if (children) XFree(children);
    window = parent;
  }
  return false;
}

void XTypist::Press(const Stroke& stroke) {
  if (stroke.modifiers & ShiftMask) XTestFakeKeyEvent(display_, shift_code_, True, CurrentTime);
  if (stroke.modifiers & level3_mask_) XTestFakeKeyEvent(display_, level3_code_, True, CurrentTime);
  XTestFakeKeyEvent(display_, stroke.code, True, CurrentTime);
  XTestFakeKeyEvent(display_, stroke.code, False, CurrentTime);
  if (stroke.modifiers & level3_mask_) XTestFakeKeyEvent(display_, level3_code_, False, CurrentTime);
  if (stroke.modifiers & ShiftMask) XTestFakeKeyEvent(display_, shift_code_, False, CurrentTime);
}

std::optional<std::unordered_map<KeySym, XTypist::Stroke>> XTypist::LayoutStrokes(
    const std::vector<KeySym>& syms) {
  // The keys of the current layout, as a client reading them now translates
  // them: the group and the locked modifiers (Caps Lock) count.
  std::unique_ptr<XkbDescRec, XkbFree> xkb(
      XkbGetMap(display_, XkbAllClientInfoMask, XkbUseCoreKbd));
  XkbStateRec state{};
  if (!xkb || XkbGetState(display_, XkbUseCoreKbd, &state) != Success) {
    return std::nullopt;
  }
  std::vector<unsigned int> combinations = {0};
  if (shift_code_ != 0) combinations.push_back(ShiftMask);
  if (level3_code_ != 0) {
    combinations.push_back(level3_mask_);
    if (shift_code_ != 0) combinations.push_back(ShiftMask | level3_mask_);
  }
  std::unordered_map<KeySym, Stroke> own;
  for (const KeySym sym : syms) own.emplace(sym, Stroke{});
  std::vector<bool> ours(256, false);  // keycodes that are not the layout's to offer
  for (const Spare& spare : spares_) ours[spare.code] = true;
  ours[shift_code_] = ours[level3_code_] = true;
  for (const unsigned int held : combinations) {
    for (int code = xkb->min_key_code; code <= xkb->max_key_code; ++code) {
      if (ours[static_cast<size_t>(code)]) continue;
      const unsigned int mods = held | state.locked_mods;
      unsigned int consumed = 0;
      KeySym sym = NoSymbol;
      if (!XkbTranslateKeyCode(xkb.get(), static_cast<KeyCode>(code),
                               XkbBuildCoreState(mods, state.group), &consumed, &sym)) {
        continue;
      }
      if (mods & ~consumed & LockMask) {  // Caps Lock that the key's type leaves to the client
        KeySym lower = sym, upper = sym;
        XConvertCase(sym, &lower, &upper);
        sym = upper;
      }
      const auto found = own.find(sym);
      if (found != own.end() && found->second.code == 0) {
        found->second = {static_cast<KeyCode>(code), held};
      }
    }
  }
  return own;
}

bool XTypist::LayoutHasAll(std::u16string_view text) {
  if (!Probe()) return false;
  const auto strokes = LayoutStrokes(KeysymsOf(text));
  if (!strokes) return false;
  for (const auto& [sym, stroke] : *strokes) {
    if (stroke.code == 0) return false;
  }
  return true;
}

TypingResult XTypist::Type(std::u16string_view text) {
  if (!Probe()) return TypingResult::kUnavailable;
  const std::vector<KeySym> syms = KeysymsOf(text);

  std::optional<std::unordered_map<KeySym, Stroke>> strokes = LayoutStrokes(syms);
  if (!strokes) return TypingResult::kUnavailable;
  std::unordered_map<KeySym, Stroke>& own = *strokes;

  // A spare keycode for each character the layout lacks: one that holds it
  // already, else one idle long enough to be remapped.
  const uint64_t now = TickMs();
  std::unordered_map<KeySym, size_t> spare_for;
  std::vector<KeySym> missing;
  for (const KeySym sym : syms) {
    if (own[sym].code != 0 || spare_for.count(sym)) continue;
    spare_for[sym] = spares_.size();
    for (size_t i = 0; i < spares_.size(); ++i) {
      if (spares_[i].sym == sym) spare_for[sym] = i;
    }
    if (spare_for[sym] == spares_.size()) missing.push_back(sym);
  }
  std::vector<size_t> free;
  for (size_t i = 0; i < spares_.size(); ++i) {
    const bool idle = spares_[i].last_used_ms == 0 || now >= spares_[i].last_used_ms + kRemapIdleMs;
    const bool wanted = spares_[i].sym != NoSymbol && spare_for.count(spares_[i].sym);
    if (idle && !wanted) free.push_back(i);
  }
  if (missing.size() > free.size()) return TypingResult::kTooFewFreeKeys;
  if (!missing.empty()) {
    XSync(display_, False);
    for (size_t i = 0; i < missing.size(); ++i) {
      Spare& spare = spares_[free[i]];
      // The same keysym on both levels: Shift cannot change it.
      KeySym both[2] = {missing[i], missing[i]};
      XChangeKeyboardMapping(display_, spare.code, 2, both, 1);
      spare.sym = missing[i];
      spare_for[missing[i]] = free[i];
    }
    // Every client hears of the new mapping before the first key that uses it.
    XSync(display_, False);
  }

  size_t events = 0;
  for (const KeySym sym : syms) {
    const Stroke& stroke = own[sym];
    Press(stroke.code != 0 ? stroke : Stroke{spares_[spare_for[sym]].code, 0});
    events += 2 + 2 * static_cast<size_t>(__builtin_popcount(stroke.modifiers));
    if (events >= kBatchEvents) {
      XSync(display_, False);
      events = 0;
    }
  }
  XSync(display_, False);
  const uint64_t done = TickMs();
  for (const auto& [sym, index] : spare_for) spares_[index].last_used_ms = done;
  return TypingResult::kTyped;
}

}  // namespace vistrel
