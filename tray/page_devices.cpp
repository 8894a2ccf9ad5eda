#include "tray/pages.h"
#include "tray/style.h"

namespace vistrel::tray {
namespace {

constexpr double kRowGap = 8;
constexpr double kMoreLine = 24;

void PhoneRow(Painter& p, const TrayView& view, TrayActions& actions, const TrustedPhone& phone,
              double x, double y, double width) {
  const Rect row{static_cast<float>(x), static_cast<float>(y), static_cast<float>(width),
                 static_cast<float>(layout::kPhoneRow)};
  p.RoundRect(row, 12, color::kCard);
  p.BeginGroup(Role::kListItem, phone.device_name, row);
  p.Circle(x + 32, y + 32, 18, color::kRaised);
  p.GlyphAt(Glyph::kPhone, x + 32, y + 32, 20, color::kText);
  const bool live = view.session() && view.status.phone_name == phone.device_name;
  const double text_x = x + 62;
  const double text_width = width - 62 - 110;
  const double name_width = p.Text(text_x, y + 13, text_width - (live ? 60 : 0), phone.device_name,
                                   {type::kRow, true, color::kText});
  if (live) {
    const Rect badge{static_cast<float>(text_x + name_width + 8), static_cast<float>(y + 12), 44,
                     20};
    p.RoundRect(badge, 10, 0x3322C55E);
    p.Text(badge.x, badge.y + 2, badge.width, _("Live"),
           {type::kSmall, true, color::kGreen, Align::kCenter});
  }
  std::string second = Substitute(_("Key %s…"), {phone.fingerprint.substr(0, 12)});
  if (live && !view.status.phone_model.empty()) {
    second = Substitute(_("%s · %s"), {second, view.status.phone_model});
  }
  p.Text(text_x, y + 35, text_width, second, {type::kSmall, false, color::kSecondary});
  const TrustedPhone copy = phone;
  p.Button({static_cast<float>(x + width - 96), static_cast<float>(y + 16), 80, 32}, _("Remove"),
           ButtonStyle::kSecondary, [&actions, copy] { actions.RemovePhone(copy); });
  p.EndGroup();
}

}  // namespace

void PaintDevices(Painter& p, const TrayView& view, TrayActions& actions, Rect area) {
  const double x = area.x + layout::kPagePadding;
  const double width = area.width - 2 * layout::kPagePadding;
  double y = PageHeader(p, area, _("Phones"), _("iPhones allowed to connect to this PC"));
  p.Button({static_cast<float>(x + width - 130), 24, 130, 34}, _("Pair a phone"),
           view.phones.empty() ? ButtonStyle::kPrimary : ButtonStyle::kSecondary,
           [&actions] { actions.StartPairing(); });
  if (view.phones.empty()) {
    p.MessageBlock({static_cast<float>(x), static_cast<float>(y), static_cast<float>(width),
                    static_cast<float>(area.height - y - 40)},
                   Glyph::kPhone, color::kSecondary, _("No phone paired"),
                   _("Choose Pair a phone and scan the code with Orlith Cam on your iPhone."));
    return;
  }
  const double bottom = area.y + area.height - 16;
  const size_t count = view.phones.size();
  auto fitting = [&](double limit) {
    size_t n = 0;
    while (n < count && y + (n + 1) * (layout::kPhoneRow + kRowGap) - kRowGap <= limit) ++n;
    return n;
  };
  size_t shown = fitting(bottom);
  if (shown < count) shown = fitting(bottom - kMoreLine);
  p.BeginGroup(Role::kList, _("Phones"),
               {static_cast<float>(x), static_cast<float>(y), static_cast<float>(width),
                static_cast<float>(bottom - y)});
  for (size_t i = 0; i < shown; ++i) {
    PhoneRow(p, view, actions, view.phones[i], x, y, width);
    y += layout::kPhoneRow + kRowGap;
  }
  p.EndGroup();
  if (shown < count) {
    const size_t more = count - shown;
    p.Text(x, y + 2, width, Substitute(P_("+%s more", "+%s more", more), {std::to_string(more)}),
           {type::kBody, false, color::kSecondary});
  }
}

}  // namespace vistrel::tray
