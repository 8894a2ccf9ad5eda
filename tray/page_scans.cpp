#include <algorithm>

#include "scan/scan_history.h"
#include "tray/format.h"
#include "tray/pages.h"
#include "tray/style.h"

namespace vistrel::tray {
namespace {

// Line breaks shown as blanks, so a text entry stays on one line.
std::string OneLine(std::string text) {
  std::replace(text.begin(), text.end(), '\r', ' ');
  std::replace(text.begin(), text.end(), '\n', ' ');
  return text;
}

void ScanRow(Painter& p, const TrayView& view, TrayActions& actions, const ScanEntry& entry,
             double x, double y, double width) {
  const Rect row{static_cast<float>(x), static_cast<float>(y), static_cast<float>(width),
                 static_cast<float>(layout::kClipRow)};
  p.RoundRect(row, 10, color::kCard);
  const std::string title = OneLine(EntryDisplayText(entry));
  p.BeginGroup(Role::kListItem, title, row);
  const bool file = entry.kind == "file";
  p.GlyphAt(entry.kind == "barcode" ? Glyph::kBarcode : Glyph::kDocument, x + 24, y + 23, 20,
            color::kSecondary);
  const double text_x = x + 48;
  const double buttons = file ? 196 : 100;
  const double text_width = width - 48 - buttons - 8;
  p.Text(text_x, y + 6, text_width, title, {type::kRow, true, color::kText});
  const std::string when = FormatWhen(entry.time, false, view.now_seconds);
  const std::string second =
      Substitute(_("%s · %s"), {file ? FormatSize(static_cast<int64_t>(entry.size))
                                : entry.kind == "barcode" ? _("Barcode")
                                                          : _("Text"),
                                when});
  p.Text(text_x, y + 25, text_width, second, {type::kSmall, false, color::kSecondary});
  if (file) {
    const auto path = entry.path;
    p.Button({static_cast<float>(x + width - 188), static_cast<float>(y + 9), 60, 28}, _("Open"),
             ButtonStyle::kSecondary, [&actions, path] { actions.Open(path); });
    p.Button({static_cast<float>(x + width - 124), static_cast<float>(y + 9), 116, 28},
             _("Show in folder"), ButtonStyle::kSecondary,
             [&actions, path] { actions.ShowInFolder(path); });
  } else {
    const std::string text = entry.text;
    p.Button({static_cast<float>(x + width - 96), static_cast<float>(y + 9), 88, 28},
             _("Copy text"), ButtonStyle::kSecondary, [&actions, text] { actions.CopyText(text); });
  }
  p.EndGroup();
}

}  // namespace

void PaintScans(Painter& p, const TrayView& view, TrayActions& actions, Rect area) {
  const double x = area.x + layout::kPagePadding;
  const double width = area.width - 2 * layout::kPagePadding;
  double y = PageHeader(p, area, _("Scan"), _("Documents and text from Scan mode on your iPhone."));
  const double row = 56;
  p.RoundRect({static_cast<float>(x), static_cast<float>(y), static_cast<float>(width),
               static_cast<float>(2 * row)},
              12, color::kCard);
  const double control_x = x + width - 16 - layout::kControlColumn;
  p.Text(x + 16, y + (row - type::kRow * 1.3) / 2, control_x - x - 24, _("Save scans to"),
         {type::kRow, false, color::kText});
  const auto folder = view.scans_folder;
  p.Text(control_x, y + (row - type::kBody * 1.3) / 2, layout::kControlColumn - 150,
         folder.string(), {type::kBody, false, color::kSecondary});
  p.Button({static_cast<float>(control_x + layout::kControlColumn - 142),
            static_cast<float>(y + 13), 80, 30},
           _("Change…"), ButtonStyle::kSecondary, [&actions] { actions.PickScansFolder(); });
  p.Button({static_cast<float>(control_x + layout::kControlColumn - 56), static_cast<float>(y + 13),
            56, 30},
           _("Open"), ButtonStyle::kSecondary, [&actions, folder] { actions.OpenFolder(folder); });
  y += row;
  p.Fill({static_cast<float>(x + 16), static_cast<float>(y), static_cast<float>(width - 32), 1},
         color::kHairline);
  p.Text(x + 16, y + 9, control_x - x - 24, _("Allow typing into apps"),
         {type::kRow, false, color::kText});
  p.Text(x + 16, y + 29, width - 32 - 60,
         _("Type barcodes where your cursor is. Text always goes to the clipboard."),
         {type::kSmall, false, color::kSecondary});
  p.Toggle(x + width - 16 - 40, y + 17, view.settings.allow_typing, _("Allow typing into apps"),
           [&actions] {
             actions.ChangeSettings([](AppSettings& a) { a.allow_typing = !a.allow_typing; });
           });
  y += row + 14;

  p.Text(x, y, width, _("Recent scans"), {type::kItem, true, color::kText});
  y += 28;
  if (view.scans.empty()) {
    p.Text(x, y + 4, width, _("No scans yet"), {type::kRow, true, color::kText});
    p.Text(x, y + 24, width,
           _("Scan a document, text or a barcode with Orlith Cam on your iPhone."),
           {type::kBody, false, color::kSecondary});
    return;
  }
  p.BeginGroup(Role::kList, _("Recent scans"),
               {static_cast<float>(x), static_cast<float>(y), static_cast<float>(width),
                static_cast<float>(area.y + area.height - 8 - y)});
  for (const ScanEntry& entry : view.scans) {
    if (y + layout::kClipRow > area.y + area.height - 8) break;
    ScanRow(p, view, actions, entry, x, y, width);
    y += layout::kClipRow + 6;
  }
  p.EndGroup();
}

}  // namespace vistrel::tray
