// TEXT: recognised text and barcodes, to the clipboard or typed into the
// focused application, and into the scan history.
#include "link/json.h"
#include "platform/log.h"
#include "platform/utf.h"
#include "scan/scan_receiver.h"

namespace vistrel {
namespace {

constexpr size_t kMaxTypedUnits = 256;

}  // namespace

std::optional<std::u16string> TypingCandidate(std::string_view kind, std::u16string_view text) {
  if (kind != "barcode") return std::nullopt;
  std::u16string typed;
  for (char16_t unit : text) {
    if (unit < 0x20 || (unit >= 0x7F && unit <= 0x9F)) continue;
    typed += unit;
  }
  if (typed.empty() || typed.size() > kMaxTypedUnits) return std::nullopt;
  return typed;
}

bool ScanReceiver::OnText(std::string_view payload) {
  const JsonParseResult message = JsonParse(payload);
  const auto text = message.ok ? JsonGetString(message.value, "text") : std::nullopt;
  const auto kind = message.ok ? JsonGetString(message.value, "kind") : std::nullopt;
  const auto action = message.ok ? JsonGetString(message.value, "action") : std::nullopt;
  if (!text || !kind || !action) {
    LogLine("[text] malformed TEXT, closing\n");
    return false;
  }
  const std::u16string wide = Utf8ToWide(*text);
  const bool type_asked = *action == "type";
  std::optional<std::u16string> candidate;
  if (type_asked && context_.SettingsCopy().allow_typing) candidate = TypingCandidate(*kind, wide);
  TypingResult typing = TypingResult::kUnavailable;
  if (candidate) {
    typing = context_.desktop().TypeIntoFocusedApp(*candidate);
    if (typing == TypingResult::kTyped) {
      LogLine("[text] typed %zu characters into the focused app\n", candidate->size());
    }
  }
  if (typing != TypingResult::kTyped) {
    const bool copied = context_.desktop().CopyTextToClipboard(wide);
    if (type_asked) {
      // Without an X display a barcode that may be typed is not typed either.
      const char* reason =
          !candidate ? (context_.SettingsCopy().allow_typing
                            ? "only a barcode of up to 256 characters is typed"
                            : "typing into apps is off")
          : typing == TypingResult::kTooFewFreeKeys
              ? "the keyboard has too few free keys for its characters"
          : typing == TypingResult::kFocusedAppNotReachable
              ? "the focused app is a Wayland app, which typing cannot reach"
          : typing == TypingResult::kNotInLayout
              ? "the keyboard layout lacks some of its characters, which a Wayland app needs"
          : typing == TypingResult::kAwaitingPermission
              ? "typing into Wayland apps waits for the desktop's permission"
          : typing == TypingResult::kNotAllowed
              ? "the desktop does not allow typing into Wayland apps"
              : "typing into apps is not available";
      LogLine("[text] %s; %s\n", reason,
              copied ? "copied to the clipboard instead" : "could not use the clipboard either");
    } else {
      LogLine("[text] %s\n", copied ? "copied to the clipboard" : "could not use the clipboard");
    }
  }
  context_.AddEntry({context_.environment().NowSeconds(), *kind == "barcode" ? "barcode" : "ocr",
                     {}, text->size(), *text});
  return true;
}

}  // namespace vistrel
