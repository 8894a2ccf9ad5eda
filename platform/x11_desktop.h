// The X11 desktop's work, for the one thread of a process that runs GTK on
// an open display (the desktop layer's own thread, the tray's main thread,
// or the desktop helper process).
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/desktop.h"

namespace vistrel {

class XTypist;

// True when the CLIPBOARD took the text (this process owns the selection).
bool SetClipboardText(std::string utf8);
// Offers the text we own on the clipboard to a clipboard manager, so that it
// outlives this process; nothing without one.
void StoreClipboard();
// Types with `typist`, made on first use.
TypingResult TypeWithKeyboard(std::unique_ptr<XTypist>& typist, std::u16string_view text);
// Gives the keyboard back its mapping.
void ForgetKeyboard(std::unique_ptr<XTypist>& typist);

}  // namespace vistrel
