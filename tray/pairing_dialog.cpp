#include <cmath>

#include "app/qr_text.h"
#include "tray/pages.h"
#include "tray/style.h"

namespace vistrel::tray {

std::string PairingRequestTitle(const std::string& request) {
  // The receiver words it as "\"NAME\" wants to pair. Code 123456".
  constexpr std::string_view kWants = "\" wants to pair. Code";
  const size_t wants = request.rfind(kWants);
  if (request.size() < 2 || request[0] != '"' || wants == std::string::npos || wants < 1) {
    const size_t code_at = request.find(". Code");
    return code_at == std::string::npos ? request : request.substr(0, code_at);
  }
  return Substitute(_("\"%s\" wants to pair"), {request.substr(1, wants - 1)});
}

void PaintApprovalDialog(Painter& p, const TrayView& view, TrayActions& actions, Rect card) {
  const auto& s = view.status;
  const std::string title = PairingRequestTitle(s.pairing_request_text);
  // Announced as it opens, with the code to compare.
  p.BeginGroup(Role::kAlert, Substitute(_("%s. Code %s"), {title, GroupCode(s.pairing_code)}),
               card);
  const double inner = card.width - 48;
  const double x = card.x + 24;
  double y = card.y + 20;
  const TextStyle centred_body{type::kBody, false, color::kSecondary, Align::kCenter};
  p.Text(x, y, inner, title, {type::kDialogTitle, true, color::kText, Align::kCenter});
  y += 30;
  p.Text(x, y, inner, _("Make sure your iPhone shows this code:"), centred_body);
  y += 22;
  p.Text(x, y, inner, GroupCode(s.pairing_code), {type::kCode, true, color::kText, Align::kCenter});
  y += 58;
  p.Text(x, y, inner, _("Only approve if the codes match and you are pairing your own phone."),
         centred_body);
  y += 22;
  p.Text(x, y, inner,
         Substitute(_("Approve within %s"), {Countdown(s.approval_deadline, view.now_ms)}),
         {type::kSmall, false, color::kAmber, Align::kCenter});
  y += 30;
  const float cx = card.x + card.width / 2;
  p.Button({cx - 128, static_cast<float>(y), 120, 36}, _("Approve"), ButtonStyle::kPrimary,
           [&actions] { actions.Decide(true); });
  p.Button({cx + 8, static_cast<float>(y), 120, 36}, _("Reject"), ButtonStyle::kWarning,
           [&actions] { actions.Decide(false); });
  p.EndGroup();
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
    p.Describe(Role::kImage, _("Pairing code to scan with Orlith Cam"),
               {static_cast<float>(qx), static_cast<float>(qy), static_cast<float>(side),
                static_cast<float>(side)});
  }
  const double x = card.x + 24 + side + 24;
  const double width = card.x + card.width - 24 - x;
  double y = card.y + 36;
  p.Text(x, y, width, _("Pair your iPhone"), {type::kDialogTitle, true, color::kText});
  y += 32;
  y += p.WrappedText(x, y, width,
                     _("Open Orlith Cam on your iPhone and scan this code. Both screens then "
                       "show the same 6-digit code for you to confirm here."),
                     {type::kBody, false, color::kSecondary});
  y += 14;
  p.Text(x, y, width,
         Substitute(_("Code expires in %s"),
                    {Countdown(view.status.invitation_deadline, view.now_ms)}),
         {type::kSmall, false, color::kAmber});
  y += 32;
  p.Button({static_cast<float>(x), static_cast<float>(y), 100, 34}, _("Cancel"),
           ButtonStyle::kSecondary, [&actions] { actions.CancelPairing(); });
}

}  // namespace vistrel::tray
