#include "tray/pages.h"
#include "tray/style.h"

namespace vistrel::tray {
namespace {

constexpr const char* kPageNames[] = {N_("Webcam"), N_("Monitor"), N_("Scan"), N_("Phones"),
                                      N_("Settings")};

void PaintSidebar(Painter& p, const TrayView& view, TrayActions& actions, double height) {
  p.Fill({0, 0, static_cast<float>(layout::kSidebarWidth), static_cast<float>(height)},
         color::kSidebar);
  DrawAppMark(p.context(), 20, 22, 30);
  p.Text(60, 28, 110, "Orlith Cam", {type::kPageTitle, true, color::kText});
  p.BeginGroup(Role::kPageTabList, _("Pages"),
               {static_cast<float>(layout::kItemX), static_cast<float>(layout::kItemTop),
                static_cast<float>(layout::kItemWidth),
                static_cast<float>(layout::kItemStep * 4 + layout::kItemHeight)});
  for (int i = 0; i < 5; ++i) {
    const Rect item{static_cast<float>(layout::kItemX),
                    static_cast<float>(layout::kItemTop + layout::kItemStep * i),
                    static_cast<float>(layout::kItemWidth),
                    static_cast<float>(layout::kItemHeight)};
    const bool current = view.page == i;
    if (current) {
      p.RoundRect(item, layout::kItemRadius, color::kRaised);
      p.RoundRect({item.x, item.y + 8, 3, item.height - 16}, 1.5, color::kAccent);
    } else if (p.NextHovered()) {
      p.RoundRect(item, layout::kItemRadius, color::kCard);
    }
    const std::string name = _(kPageNames[i]);
    p.Quiet(true);
    p.Text(item.x + 16, item.y + (item.height - type::kItem * 1.3) / 2, item.width - 24, name,
           {type::kItem, current, current ? color::kText : color::kSecondary});
    p.Quiet(false);
    const int region = p.AddRegion(item, p.last_cut() ? name : std::string(),
                                   [&actions, i] { actions.SetPage(i); });
    p.Describe(Role::kPageTab, name, item, region, current);
  }
  p.EndGroup();
  const StateLabel footer = FooterState(view);
  p.StateDot(24, height - 28, footer.color);
  p.Text(36, height - 28 - type::kFooter * 0.65, layout::kSidebarWidth - 48, footer.text,
         {type::kFooter, false, color::kSecondary});
}

}  // namespace

void PaintMain(Painter& p, const TrayView& view, TrayActions& actions, double width,
               double height) {
  p.Fill({0, 0, static_cast<float>(width), static_cast<float>(height)}, color::kWindow);
  if (p.accessible()) p.SetName(_(kPageNames[view.page >= 0 && view.page < 5 ? view.page : 0]));
  PaintSidebar(p, view, actions, height);
  const Rect area{static_cast<float>(layout::kSidebarWidth), 0,
                  static_cast<float>(width - layout::kSidebarWidth), static_cast<float>(height)};
  switch (view.page) {
    case kMonitorPage:
      PaintMonitor(p, view, actions, area);
      break;
    case kScanPage:
      PaintScans(p, view, actions, area);
      break;
    case kPhonesPage:
      PaintDevices(p, view, actions, area);
      break;
    case kSettingsPage:
      PaintSettings(p, view, actions, area);
      break;
    default:
      PaintCamera(p, view, actions, area);
      break;
  }
}

double PageHeader(Painter& p, Rect area, const std::string& title, const std::string& subtitle) {
  const double x = area.x + layout::kPagePadding;
  const double width = area.width - 2 * layout::kPagePadding;
  p.Text(x, 20, width - 140, title, {type::kPageTitle, true, color::kText});
  p.Text(x, 42, width - 140, subtitle, {type::kBody, false, color::kSecondary});
  return 72;
}

std::string GroupCode(const std::string& code) {
  return code.size() == 6 ? code.substr(0, 3) + " " + code.substr(3) : code;
}

std::string Countdown(uint64_t deadline_ms, uint64_t now_ms) {
  const uint64_t seconds = deadline_ms > now_ms ? (deadline_ms - now_ms) / 1000 : 0;
  char text[32];
  std::snprintf(text, sizeof text, "%d:%02d", static_cast<int>(seconds / 60),
                static_cast<int>(seconds % 60));
  return text;
}

int SelectedSegment(double value, const std::vector<double>& values, double tolerance) {
  for (size_t i = 0; i < values.size(); ++i) {
    if (value >= values[i] - tolerance && value <= values[i] + tolerance)
      return static_cast<int>(i);
  }
  return -1;
}

void PaintWindow(Painter& p, const TrayView& view, TrayActions& actions, bool flyout, double width,
                 double height) {
  if (flyout) {
    PaintFlyout(p, view, actions, width, height);
  } else {
    PaintMain(p, view, actions, width, height);
  }
  p.Overlay(width, height);
}

}  // namespace vistrel::tray
