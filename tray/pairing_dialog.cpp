#include <cmath>

#include "app/qr_text.h"
#include "tray/pages.h"
#include "tray/style.h"

namespace vistrel::tray {

void PaintApprovalDialog(Painter& p, const TrayView& view, TrayActions& actions, Rect card) {
  const auto& s = view.status;
  const std::string& request = s.pairing_request_text;
  const size_t code_at = request.find(". Code");
  const std::string title = code_at == std::string::npos ? request : request.substr(0, code_at);
  const double inner = card.width - 48;
  const double x = card.x + 24;
  double y = card.y + 20;
  const TextStyle centred_body{type::kBody, false, color::kSecondary, Align::kCenter};
  p.Text(x, y, inner, title, {type::kDialogTitle, true, color::kText, Align::kCenter});
  y += 30;
  p.Text(x, y, inner, "Make sure your iPhone shows this code:", centred_body);
  y += 22;
  p.Text(x, y, inner, GroupCode(s.pairing_code), {type::kCode, true, color::kText, Align::kCenter});
  y += 58;
  p.Text(x, y, inner, "Only approve if the codes match and you are pairing your own phone.",
         centred_body);
  y += 22;
  p.Text(x, y, inner, "Approve within " + Countdown(s.approval_deadline, view.now_ms),
         {type::kSmall, false, color::kAmber, Align::kCenter});
  y += 30;
  const float cx = card.x + card.width / 2;
  p.Button({cx - 128, static_cast<float>(y), 120, 36}, "Approve", ButtonStyle::kPrimary,
           [&actions] { actions.Decide(true); });
  p.Button({cx + 8, static_cast<float>(y), 120, 36}, "Reject", ButtonStyle::kWarning,
           [&actions] { actions.Decide(false); });
}

void PaintInvitationDialog(Painter& p, const TrayView& view, TrayActions& actions, Rect card) {
  const std::optional<QrModules> qr = EncodeQr(view.pairing_url);
  const double quiet = 4;
  double side = 250;
  if (qr) {
    const double module = std::floor(250.0 / (qr->size + 2 * quiet));
    side = module * (qr->size + 2 * quiet);
    const double qx = card.x + 24;
    const double qy = card.y + (card.height - side) / 2;
    p.RoundRect({static_cast<float>(qx), static_cast<float>(qy), static_cast<float>(side),
                 static_cast<float>(side)},
                10, color::kWhite);
    cairo_t* cr = p.context();
    SetSourceArgb(cr, 0xFF000000);
    for (int my = 0; my < qr->size; ++my) {
      for (int mx = 0; mx < qr->size; ++mx) {
        if (qr->Dark(mx, my)) {
          cairo_rectangle(cr, qx + (mx + quiet) * module, qy + (my + quiet) * module, module,
                          module);
        }
      }
    }
    cairo_fill(cr);
  }
  const double x = card.x + 24 + side + 24;
  const double width = card.x + card.width - 24 - x;
  double y = card.y + 36;
  p.Text(x, y, width, "Pair your iPhone", {type::kDialogTitle, true, color::kText});
  y += 32;
  y += p.WrappedText(x, y, width,
                     "Open Orlith Cam on your iPhone and scan this code. Both screens then show "
                     "the same 6-digit code for you to confirm here.",
                     {type::kBody, false, color::kSecondary});
  y += 14;
  p.Text(x, y, width, "Code expires in " + Countdown(view.status.invitation_deadline, view.now_ms),
         {type::kSmall, false, color::kAmber});
  y += 32;
  p.Button({static_cast<float>(x), static_cast<float>(y), 100, 34}, "Cancel",
           ButtonStyle::kSecondary, [&actions] { actions.CancelPairing(); });
}

}  // namespace vistrel::tray
