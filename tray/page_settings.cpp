#include "tray/pages.h"
#include "tray/style.h"

namespace vistrel::tray {
namespace {

constexpr double kCardHeight = 72;
constexpr double kCardGap = 8;

// A card with a bold title and a note; returns the rectangle for its control.
void Card(Painter& p, double x, double y, double width, const std::string& title,
          const std::string& note, double control_width) {
  p.RoundRect({static_cast<float>(x), static_cast<float>(y), static_cast<float>(width),
               static_cast<float>(kCardHeight)},
              12, color::kCard);
  const double text_width = width - 32 - control_width - 12;
  p.Text(x + 16, y + 12, text_width, title, {type::kItem, true, color::kText});
  p.WrappedText(x + 16, y + 33, text_width, note, {type::kSmall, false, color::kSecondary}, 2);
}

}  // namespace

void PaintSettings(Painter& p, const TrayView& view, TrayActions& actions, Rect area) {
  const double x = area.x + layout::kPagePadding;
  const double width = area.width - 2 * layout::kPagePadding;
  double y = 20;
  const double right = x + width - 16;
  const float control_y = static_cast<float>((kCardHeight - 30) / 2);
  const double middle = kCardHeight / 2;

  Card(p, x, y, width, _("Start on login"),
       _("Keeps Orlith Cam in the tray, ready for your iPhone."), 40);
  const bool autostart = view.autostart;
  p.Toggle(right - 40, y + middle - 11, autostart, _("Start on login"),
           [&actions, autostart] { actions.SetAutostart(!autostart); });
  y += kCardHeight + kCardGap;

  Card(p, x, y, width, _("Video"),
       _("1280 × 720 at 30 FPS, video only. Use your PC's microphone for sound."), 110);
  p.Pill(right, y + middle - 11, _("720p · 30 FPS"), color::kSecondary, true);
  y += kCardHeight + kCardGap;

  Card(p, x, y, width, _("Help"),
       Substitute(_("Logs are in %s. Include them when you ask for support."),
                  {view.log_folder.string()}),
       130);
  const auto logs = view.log_folder;
  p.Button({static_cast<float>(right - 130), static_cast<float>(y) + control_y, 130, 30},
           _("Open log folder"), ButtonStyle::kSecondary,
           [&actions, logs] { actions.OpenFolder(logs); });
  y += kCardHeight + kCardGap;

  Card(p, x, y, width, _("Snapshots"), _("Saved as PNG to Pictures/Orlith Cam."), 110);
  const auto snapshots = view.snapshots_folder;
  p.Button({static_cast<float>(right - 110), static_cast<float>(y) + control_y, 110, 30},
           _("Open folder"), ButtonStyle::kSecondary,
           [&actions, snapshots] { actions.OpenFolder(snapshots); });
  y += kCardHeight + kCardGap;

  Card(p, x, y, width, _("This computer"),
       view.running ? _("Name your iPhone sees when it looks for computers.") : _("Not running."),
       160);
  if (view.running) {
    p.Text(right - 160, y + middle - 9, 160, view.receiver_name,
           {type::kRow, true, color::kText, Align::kRight});
  }

  p.Text(x, area.y + area.height - 30, width, _("Orlith Cam 1.0.0 · protocol v1.1"),
         {type::kSmall, false, color::kSecondary});
}

}  // namespace vistrel::tray
