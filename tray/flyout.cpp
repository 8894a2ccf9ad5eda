#include "tray/pages.h"
#include "tray/style.h"

namespace vistrel::tray {

void PaintFlyout(Painter& p, const TrayView& view, TrayActions& actions, double width,
                 double height) {
  p.Fill({0, 0, static_cast<float>(width), static_cast<float>(height)}, color::kSidebar);
  const auto& s = view.status;
  const bool open = view.session() && !view.paused();
  const Rect preview{16, 16, 160, 90};
  p.SetName(_("Status"));
  if (view.preview && open) {
    p.Image(view.preview.get(), preview, 8);
    p.Describe(Role::kImage, _("Camera picture"), preview);
  } else {
    p.RoundRect(preview, 8, color::kCard);
    p.GlyphAt(Glyph::kPlaceholder, preview.x + 80, preview.y + 45, 28, color::kSecondary);
  }

  std::string title;
  if (!view.running) {
    title = _("Not running");
  } else if (s.pairing_request_pending) {
    title = _("Pairing request");
  } else if (open) {
    title = s.monitor.recording ? _("Recording")
            : s.monitor.active  ? _("Monitoring")
            : view.live()       ? _("Live")
                                : Substitute(_("Connected · %s"), {view.phone_label()});
  } else if (view.session()) {
    title = _("Paused · on this PC");
  } else {
    title = view.phones.empty() ? _("No phone paired") : _("Waiting for phone");
  }
  std::string subtitle;
  if (!view.running) {
    subtitle = _("Orlith Cam can't start");
  } else if (s.pairing_request_pending) {
    subtitle = _("Open Orlith Cam to approve");
  } else if (view.session()) {
    subtitle = Substitute(_("%s · %s"), {view.link_text(), view.phone_label()});
    if (s.battery >= 0 && s.battery <= 1) {
      const std::string level =
          Substitute(_("%s%%"), {std::to_string(static_cast<int>(s.battery * 100 + 0.5))});
      subtitle = Substitute(_("%s · %s"), {subtitle, level});
    }
  } else {
    subtitle = _("Open Orlith Cam on your iPhone");
  }
  const double x = 190;
  const double text_width = width - x - 14;
  p.StateDot(x + 4, 26, FooterState(view).color);
  p.Text(x + 14, 17, text_width - 14, title, {type::kItem, true, color::kText});
  p.WrappedText(x, 40, text_width, subtitle, {type::kSmall, false, color::kSecondary});
  p.Pill(x, 84, _("720p · 30 FPS"), color::kSecondary);

  const double buttons_y = height - 34;
  double bx = 34;
  if (view.preview && open) {
    p.IconButton(bx, buttons_y, Glyph::kCamera, _("Save a snapshot"),
                 [&actions] { actions.SaveSnapshot(); });
    bx += 44;
  }
  const bool allowed = s.camera_allowed;
  p.IconButton(bx, buttons_y, allowed ? Glyph::kPause : Glyph::kPlay,
               allowed ? _("Pause video") : _("Resume video"),
               view.running ? std::function<void()>(
                                  [&actions, allowed] { actions.SetCameraAllowed(!allowed); })
                            : std::function<void()>(),
               18, allowed ? 0 : 1);
  p.Button({static_cast<float>(width - 16 - 140), static_cast<float>(buttons_y - 17), 140, 34},
           _("Open Orlith Cam"), ButtonStyle::kSecondary, [&actions] { actions.ShowMainWindow(); });
}

}  // namespace vistrel::tray
