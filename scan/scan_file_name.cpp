#include "scan/scan_file_name.h"

#include <algorithm>

#include "platform/utf.h"
#include "security/bytes.h"

namespace vistrel {
namespace {

constexpr std::string_view kPdf[] = {"pdf"};
constexpr std::string_view kJpeg[] = {"jpg", "jpeg"};
constexpr std::string_view kPng[] = {"png"};
constexpr std::string_view kText[] = {"txt"};
constexpr ScanMime kMimes[] = {
    {"application/pdf", kPdf}, {"image/jpeg", kJpeg}, {"image/png", kPng}, {"text/plain", kText}};

constexpr size_t kMaxStemUnits = 100;
constexpr size_t kMaxExtensionUnits = 16;
// A file name on Linux has at most 255 bytes; the rename loop may add " (9998)".
constexpr size_t kMaxNameBytes = 255 - 7;

bool Removed(char16_t c) {
  if (c < 0x20 || c == 0x7F) return true;
  if (std::u16string_view(u"<>:\"/\\|?*").find(c) != std::u16string_view::npos) return true;
  // Also what would break a log line or reorder the name on screen: C1
  // controls, line and paragraph separators, bidi marks, embeddings,
  // overrides and isolates (a right-to-left override can make "x.pdf" look
  // like a harmless other type).
  return (c >= 0x80 && c <= 0x9F) || c == 0x2028 || c == 0x2029 || c == 0x061C || c == 0x200E ||
         c == 0x200F || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

void TrimTrailing(std::u16string& text) {
  while (!text.empty() && (text.back() == u' ' || text.back() == u'.')) text.pop_back();
}

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }

// Cuts at `units` without leaving half of a surrogate pair at the end.
void CutUnits(std::u16string& text, size_t units) {
  if (text.size() <= units) return;
  text.resize(units);
  if (!text.empty() && IsHighSurrogate(text.back())) text.pop_back();
}

std::u16string AsciiUpper(std::u16string text) {
  for (char16_t& c : text) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  }
  return text;
}

std::u16string AsciiLower(std::u16string text) {
  for (char16_t& c : text) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  }
  return text;
}

bool IsReservedDeviceName(const std::u16string& stem) {
  const std::u16string head = AsciiUpper(stem.substr(0, stem.find(u'.')));
  for (std::u16string_view name : {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"}) {
    if (head == name) return true;
  }
  if (head.size() != 4 || (head.compare(0, 3, u"COM") != 0 && head.compare(0, 3, u"LPT") != 0)) {
    return false;
  }
  const char16_t digit = head[3];
  return (digit >= u'0' && digit <= u'9') || digit == 0x00B9 || digit == 0x00B2 || digit == 0x00B3;
}

}  // namespace

std::optional<ScanMime> FindScanMime(std::string_view type) {
  for (const ScanMime& mime : kMimes) {
    if (mime.type == type) return mime;
  }
  return std::nullopt;
}

std::optional<TransferId> ParseTransferId(std::string_view text) {
  if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' ||
      text[23] != '-') {
    return std::nullopt;
  }
  std::string digits(text);
  std::erase(digits, '-');
  std::optional<Bytes> bytes = HexDecode(digits);
  if (!bytes || bytes->size() != 16) return std::nullopt;
  TransferId id;
  std::copy(bytes->begin(), bytes->end(), id.begin());
  return id;
}

std::string TemporaryScanName(std::string_view id_text) {
  return ".orlith-" + std::string(id_text) + ".part";
}

bool IsTemporaryScanName(std::string_view name) {
  constexpr std::string_view kPrefix = ".orlith-", kSuffix = ".part";
  if (name.size() != kPrefix.size() + 36 + kSuffix.size() || !name.starts_with(kPrefix) ||
      !name.ends_with(kSuffix)) {
    return false;
  }
  return ParseTransferId(name.substr(kPrefix.size(), 36)).has_value();
}

std::string SanitizeScanFileName(std::string_view name, std::string_view mime_type) {
  std::u16string text = Utf8ToWide(name);
  if (size_t slash = text.find_last_of(u"/\\"); slash != std::u16string::npos) {
    text.erase(0, slash + 1);
  }
  std::erase_if(text, Removed);
  text.erase(0, std::min(text.size(), text.find_first_not_of(u" .")));
  TrimTrailing(text);

  const size_t dot = text.rfind(u'.');
  std::u16string stem = dot == std::u16string::npos ? text : text.substr(0, dot);
  const std::u16string extension = dot == std::u16string::npos ? u"" : text.substr(dot + 1);
  CutUnits(stem, kMaxStemUnits);
  TrimTrailing(stem);
  if (stem.empty()) stem = u"scan";
  if (IsReservedDeviceName(stem)) stem.insert(0, u"_");

  const std::optional<ScanMime> mime = FindScanMime(mime_type);
  const std::string lower_extension = WideToUtf8(AsciiLower(extension));
  std::u16string final_extension;
  if (mime && std::find(mime->extensions.begin(), mime->extensions.end(), lower_extension) !=
                  mime->extensions.end()) {
    final_extension = extension;
  } else {
    if (!extension.empty() && extension.size() <= kMaxExtensionUnits) stem += u"." + extension;
    final_extension = Utf8ToWide(mime ? mime->extensions.front() : "");
  }
  // Long names of many-byte characters are cut further, by whole characters.
  const size_t extension_bytes = WideToUtf8(final_extension).size() + 1;
  while (stem.size() > 1 && WideToUtf8(stem).size() + extension_bytes > kMaxNameBytes) {
    CutUnits(stem, stem.size() - 1);
    TrimTrailing(stem);
  }
  if (stem.empty()) stem = u"scan";
  return WideToUtf8(stem + u"." + final_extension);
}

}  // namespace vistrel
