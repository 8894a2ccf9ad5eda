#include <cstdio>

#include "monitor/thumbnail.h"
#include "tray/format.h"
#include "tray/pages.h"
#include "tray/style.h"

namespace vistrel::tray {
namespace {

constexpr double kRowHeight = 40;

void SettingsRow(Painter& p, double x, double y, double width, const std::string& label,
                 bool hairline) {
  if (hairline)
    p.Fill({static_cast<float>(x + 16), static_cast<float>(y), static_cast<float>(width - 32), 1},
           color::kHairline);
  p.Text(x + 16, y + (kRowHeight - type::kRow * 1.3) / 2, width - layout::kControlColumn - 40,
         label, {type::kRow, false, color::kText});
}

Rect ControlRect(double x, double y, double width) {
  return {static_cast<float>(x + width - 16 - layout::kControlColumn), static_cast<float>(y + 6),
          static_cast<float>(layout::kControlColumn), static_cast<float>(kRowHeight - 12)};
}

void ClipRow(Painter& p, const TrayView& view, TrayActions& actions, const ClipEntry& clip,
             double x, double y, double width) {
  const Rect row{static_cast<float>(x), static_cast<float>(y), static_cast<float>(width),
                 static_cast<float>(layout::kClipRow)};
  p.RoundRect(row, 10, color::kCard);
  const std::string when = FormatWhen(clip.start_time, true, view.now_seconds);
  p.BeginGroup(Role::kListItem, when, row);
  const Rect thumb{static_cast<float>(x + 6), static_cast<float>(y + 5), 64, 36};
  Picture picture = view.thumbnails ? view.thumbnails->Get(ThumbnailPathFor(clip.path)) : nullptr;
  if (picture) {
    p.Image(picture.get(), thumb, 5);
    p.Describe(Role::kImage, _("Clip picture"), thumb);
  } else {
    p.RoundRect(thumb, 5, color::kRaised);
    p.GlyphAt(Glyph::kPlaceholder, thumb.x + 32, thumb.y + 18, 18, color::kSecondary);
  }
  const double text_x = x + 82;
  const double text_width = width - 82 - 200;
  p.Text(text_x, y + 6, text_width, when, {type::kRow, true, color::kText});
  const long long seconds = (clip.duration_ms + 500) / 1000;
  char length[32];
  std::snprintf(length, sizeof length, "%lld:%02lld", seconds / 60, seconds % 60);
  const std::string line =
      Substitute(_("%s · %s · %s"), {length, clip.continuous ? _("Continuous") : _("Motion"),
                                     FormatSize(static_cast<int64_t>(clip.size))});
  p.Text(text_x, y + 25, text_width, line, {type::kSmall, false, color::kSecondary});
  const auto path = clip.path;
  p.Button({static_cast<float>(x + width - 190), static_cast<float>(y + 9), 116, 28},
           _("Show in folder"), ButtonStyle::kSecondary,
           [&actions, path] { actions.ShowInFolder(path); });
  p.Button({static_cast<float>(x + width - 68), static_cast<float>(y + 9), 60, 28}, _("Open"),
           ButtonStyle::kSecondary, [&actions, path] { actions.Open(path); });
  p.EndGroup();
}

}  // namespace

void PaintMonitor(Painter& p, const TrayView& view, TrayActions& actions, Rect area) {
  const double x = area.x + layout::kPagePadding;
  const double width = area.width - 2 * layout::kPagePadding;
  double y = PageHeader(p, area, _("Monitor"),
                        _("Records on this PC while your iPhone is in Monitor mode."));
  const MonitorStatus& m = view.status.monitor;
  if (!m.active) {
    p.Pill(x + width, 22, _("Not monitoring"), color::kSecondary, true);
  } else if (m.recording) {
    p.Pill(x + width, 22, _("Recording"), color::kRed, true);
  } else if (m.motion_active) {
    p.Pill(x + width, 22, _("Motion"), color::kAmber, true);
  } else {
    p.Pill(x + width, 22, _("Monitoring"), color::kGreen, true);
  }

  p.RoundRect({static_cast<float>(x), static_cast<float>(y), static_cast<float>(width),
               static_cast<float>(5 * kRowHeight)},
              12, color::kCard);
  const AppSettings& s = view.settings;
  SettingsRow(p, x, y, width, _("Recording"), false);
  p.Segmented(
      ControlRect(x, y, width), {_("Motion clips"), _("Continuous"), _("Off")},
      static_cast<int>(s.record), _("Recording"), [&actions](int i) {
        actions.ChangeSettings([i](AppSettings& a) { a.record = static_cast<RecordMode>(i); });
      });
  y += kRowHeight;
  SettingsRow(p, x, y, width, _("Sensitivity"), true);
  p.Segmented(ControlRect(x, y, width), {_("Low"), _("Medium"), _("High")},
              static_cast<int>(s.sensitivity), _("Sensitivity"), [&actions](int i) {
                actions.ChangeSettings(
                    [i](AppSettings& a) { a.sensitivity = static_cast<Sensitivity>(i); });
              });
  y += kRowHeight;
  SettingsRow(p, x, y, width, _("Keep clips"), true);
  static const std::vector<double> kDays = {7, 30, 90, 0};
  p.Segmented(ControlRect(x, y, width), {_("7 days"), _("30 days"), _("90 days"), _("Forever")},
              SelectedSegment(s.retention_days, kDays), _("Keep clips"), [&actions](int i) {
                actions.ChangeSettings([i](AppSettings& a) {
                  a.retention_days = static_cast<int32_t>(kDays[static_cast<size_t>(i)]);
                });
              });
  y += kRowHeight;
  SettingsRow(p, x, y, width, _("Storage limit"), true);
  static const std::vector<double> kMegabytes = {5120, 20480, 51200, 0};
  p.Segmented(ControlRect(x, y, width), {_("5 GB"), _("20 GB"), _("50 GB"), _("No limit")},
              SelectedSegment(s.retention_mb, kMegabytes, 0.5), _("Storage limit"),
              [&actions](int i) {
                actions.ChangeSettings(
                    [i](AppSettings& a) { a.retention_mb = kMegabytes[static_cast<size_t>(i)]; });
              });
  y += kRowHeight;
  SettingsRow(p, x, y, width, _("Motion alerts"), true);
  const Rect control = ControlRect(x, y, width);
  p.Toggle(control.x, control.y + 3, s.motion_alerts, _("Motion alerts"), [&actions] {
    actions.ChangeSettings([](AppSettings& a) { a.motion_alerts = !a.motion_alerts; });
  });
  p.Text(control.x + 52, control.y + 6, layout::kControlColumn - 52,
         _("A notification at most once a minute"), {type::kSmall, false, color::kSecondary});
  y += kRowHeight + 14;

  p.Text(x, y + 6, width - 140, _("Recent clips"), {type::kItem, true, color::kText});
  const auto videos = view.videos_folder;
  p.Button({static_cast<float>(x + width - 110), static_cast<float>(y), 110, 28}, _("Open folder"),
           ButtonStyle::kSecondary, [&actions, videos] { actions.OpenFolder(videos); });
  y += 36;
  if (view.clips.empty()) {
    p.Text(x, y + 4, width, _("No clips yet"), {type::kRow, true, color::kText});
    p.Text(x, y + 24, width,
           s.record == RecordMode::kOff
               ? _("Recording is off. Motion alerts still work.")
               : _("Clips appear here when the iPhone records in Monitor mode."),
           {type::kBody, false, color::kSecondary});
    return;
  }
  p.BeginGroup(Role::kList, _("Recent clips"),
               {static_cast<float>(x), static_cast<float>(y), static_cast<float>(width),
                static_cast<float>(area.y + area.height - 8 - y)});
  for (const ClipEntry& clip : view.clips) {
    if (y + layout::kClipRow > area.y + area.height - 8) break;
    ClipRow(p, view, actions, clip, x, y, width);
    y += layout::kClipRow + 6;
  }
  p.EndGroup();
}

}  // namespace vistrel::tray
