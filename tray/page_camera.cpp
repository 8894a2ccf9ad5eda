#include <cmath>
#include <cstdio>

#include "tray/pages.h"
#include "tray/style.h"

namespace vistrel::tray {
namespace {

void StatusRow(Painter& p, const TrayView& view, double x, double y, double width) {
  const auto& s = view.status;
  uint32_t dot = color::kGreen;
  if (!view.session()) {
    dot = color::kSecondary;
  } else if (view.paused()) {
    dot = color::kAmber;
  } else if (s.monitor.recording) {
    dot = color::kRed;
  }
  p.StateDot(x + 5, y + 10, dot);
  std::string title;
  if (view.session()) {
    title = Substitute(_("Connected · %s"), {view.phone_label()});
  } else {
    title = view.phones.empty() ? _("No phone paired") : _("Waiting for phone");
  }
  p.Text(x + 18, y, width - 200, title, {type::kRow, true, color::kText});
  if (view.session()) {
    std::string second = view.link_text();
    if (view.paused()) {
      second = _("Paused");
    } else if (s.monitor.recording) {
      second = _("Recording");
    } else if (s.monitor.active) {
      second = _("Monitoring");
    } else if (view.live()) {
      second = Substitute(_("Live · %s"), {view.link_text()});
    }
    p.Text(x + 18, y + 20, width - 200, second, {type::kBody, false, color::kSecondary});
  }

  // The phone's condition, right-aligned.
  const double right = x + width;
  const TextStyle small{type::kBody, false, color::kAmber, Align::kRight};
  if (s.thermal_state == "critical") {
    p.Text(right - 180, y + 2, 180, _("Phone too hot"), small);
  } else if (s.thermal_state == "serious") {
    p.Text(right - 180, y + 2, 180, _("Phone is warm"), small);
  } else if (s.battery >= 0 && s.battery <= 1) {
    const uint32_t level_color = s.battery > 0.4 ? color::kGreen : color::kAmber;
    const std::string text =
        Substitute(_("%s%%"), {std::to_string(static_cast<int>(std::lround(s.battery * 100)))});
    const double text_width = p.TextWidth(text, type::kBody, false);
    p.Text(right - text_width, y + 2, 0, text, {type::kBody, false, level_color});
    const double gx = right - text_width - 34;
    p.StrokeRoundRect({static_cast<float>(gx), static_cast<float>(y + 4), 24, 12}, 3,
                      color::kSecondary, 1.2);
    p.Fill({static_cast<float>(gx + 24.5), static_cast<float>(y + 7.5), 2, 5}, color::kSecondary);
    p.RoundRect({static_cast<float>(gx + 2), static_cast<float>(y + 6),
                 static_cast<float>(20 * s.battery), 8},
                1.5, level_color);
  } else {
    p.Text(right - 180, y + 2, 180, view.session() ? _("Battery unknown") : _("Battery —"),
           {type::kBody, false, color::kSecondary, Align::kRight});
  }
}

}  // namespace

Rect PreviewCardRect(Rect area) {
  const double width = area.width - 2 * layout::kPagePadding;
  return {static_cast<float>(area.x + layout::kPagePadding), 20, static_cast<float>(width),
          static_cast<float>(std::round(width * 9 / 16))};
}

bool PreviewCardIsLive(const TrayView& view) {
  return view.running && !view.status.pairing_request_pending &&
         view.request_ended_until <= view.now_ms && view.pairing_url.empty() && view.preview &&
         view.session() && !view.paused();
}

void PaintCamera(Painter& p, const TrayView& view, TrayActions& actions, Rect area) {
  const double x = area.x + layout::kPagePadding;
  const double width = area.width - 2 * layout::kPagePadding;
  const Rect card = PreviewCardRect(area);
  PaintPreviewCard(p, view, actions, card);
  const double row_y = card.y + card.height + 16;
  StatusRow(p, view, x, row_y, width);

  const double buttons_y = row_y + 66;
  if (view.preview) {
    p.IconButton(x + 18, buttons_y, Glyph::kCamera, _("Save a snapshot to Pictures/Orlith Cam"),
                 [&actions] { actions.SaveSnapshot(); });
  } else {
    p.IconButton(x + 18, buttons_y, Glyph::kCamera, _("Snapshot (needs a live picture)"), {});
  }
  const bool allowed = view.status.camera_allowed;
  p.IconButton(x + 62, buttons_y, allowed ? Glyph::kPause : Glyph::kPlay,
               allowed ? _("Pause video (apps see the waiting picture; Monitor stops recording)")
                       : _("Resume video"),
               view.running ? std::function<void()>(
                                  [&actions, allowed] { actions.SetCameraAllowed(!allowed); })
                            : std::function<void()>(),
               18, allowed ? 0 : 1);
  if (view.session() && allowed) {
    const auto whole = [](double rate) { return std::to_string(std::lround(rate)); };
    std::string rates;
    if (view.frames_to_apps_per_second >= 0.5) {
      rates = Substitute(_("%s fps in · %s fps to apps"),
                         {whole(view.frames_in_per_second), whole(view.frames_to_apps_per_second)});
    } else {
      rates = Substitute(_("%s fps · webcam not in use"), {whole(view.frames_in_per_second)});
    }
    p.Text(x + 92, buttons_y - type::kSmall * 0.65, width - 240, rates,
           {type::kSmall, false, color::kSecondary});
  }
  p.Pill(x + width, buttons_y - 11, _("720p · 30 FPS"), color::kSecondary, true);
}

void PaintPreviewCard(Painter& p, const TrayView& view, TrayActions& actions, Rect card) {
  p.RoundRect(card, 12, color::kCard);
  const auto& s = view.status;
  if (!view.running) {
    const double below =
        p.MessageBlock({card.x, card.y, card.width, card.height - 40}, Glyph::kWarning,
                       color::kAmber, _("Orlith Cam can't start"), view.start_error);
    p.Button({card.x + card.width / 2 - 50, static_cast<float>(below + 12), 100, 32}, _("Quit"),
             ButtonStyle::kSecondary, [&actions] { actions.Quit(); });
    return;
  }
  if (!s.pairing_request_pending && view.request_ended_until > view.now_ms) {
    p.MessageBlock(card, Glyph::kWarning, color::kAmber, _("Pairing request ended"),
                   _("Nobody approved it within a minute, or the iPhone cancelled. Start pairing "
                     "again on the iPhone."));
    return;
  }
  if (s.pairing_request_pending) {
    PaintApprovalDialog(p, view, actions, card);
    return;
  }
  if (!view.pairing_url.empty()) {
    PaintInvitationDialog(p, view, actions, card);
    return;
  }
  if (view.preview && view.session() && !view.paused()) {
    p.Image(view.preview.get(), card, 12);
    p.Describe(Role::kImage, _("Camera picture"), card);
    const bool recording = s.monitor.recording;
    const std::string chip = recording          ? _("Recording")
                             : s.monitor.active ? _("Monitoring")
                                                : _("Live");
    const uint32_t chip_color = recording ? color::kRed : color::kGreen;
    const double chip_width = p.TextWidth(chip, type::kSmall, true) + 30;
    const Rect chip_rect{card.x + 12, card.y + 12, static_cast<float>(chip_width), 24};
    p.RoundRect(chip_rect, 12, 0xCC111318);
    p.StateDot(chip_rect.x + 12, chip_rect.y + 12, chip_color, 4);
    p.Text(chip_rect.x + 22, chip_rect.y + 4, 0, chip, {type::kSmall, true, color::kText});
    if (s.monitor.motion_active) {
      const std::string motion = _("Motion");
      const double badge = p.TextWidth(motion, type::kSmall, true) + 20;
      const Rect r{static_cast<float>(chip_rect.x + chip_width + 8), chip_rect.y,
                   static_cast<float>(badge), 24};
      p.RoundRect(r, 12, color::kAmber);
      p.Text(r.x + 10, r.y + 4, 0, motion, {type::kSmall, true, 0xFF111318});
    }
    return;
  }
  if (view.session() && !view.paused()) {
    p.MessageBlock(card, Glyph::kPhone, color::kSecondary,
                   Substitute(_("Connected · %s"), {view.phone_label()}),
                   _("Waiting for the picture. Keep Orlith Cam open on your iPhone with the "
                     "camera running."));
    return;
  }
  if (view.session()) {
    p.MessageBlock(card, Glyph::kPause, color::kAmber, _("Paused · on this PC"),
                   _("Apps see the Orlith Cam waiting picture. Press Resume to continue."));
    return;
  }
  if (!view.phones.empty()) {
    // The public-network card has no Linux counterpart: no network is known as public here.
    p.MessageBlock(card, Glyph::kPhone, color::kSecondary, _("Waiting for phone"),
                   s.usb_service_reachable
                       ? _("Open Orlith Cam on your iPhone to use it as a webcam, a monitor, "
                           "or a scanner, over Wi-Fi or a cable.")
                       : _("Open Orlith Cam on your iPhone to use it as a webcam, a monitor, "
                           "or a scanner. For a cable connection, install usbmuxd."));
    return;
  }
  const double below = p.MessageBlock({card.x, card.y, card.width, card.height - 40}, Glyph::kPhone,
                                      color::kAccent, _("Pair your iPhone"),
                                      _("Pair once. Then use your iPhone as a webcam, a monitor, "
                                        "or a scanner."));
  p.Button({card.x + card.width / 2 - 65, static_cast<float>(below + 12), 130, 34},
           _("Pair a phone"), ButtonStyle::kPrimary, [&actions] { actions.StartPairing(); });
}

}  // namespace vistrel::tray
