// The look of the tray's windows: palette, type scale and layout constants,
// all in DIPs (multiplied by the display scale when painted).
#pragma once

#include <cstdint>

namespace vistrel::tray {

namespace color {
constexpr uint32_t kWindow = 0xFF111318;
constexpr uint32_t kSidebar = 0xFF171A20;      // also the flyout and the caption
constexpr uint32_t kCard = 0xFF1E2129;         // also a hovered sidebar item
constexpr uint32_t kRaised = 0xFF2A2E39;       // selected item, secondary button, track
constexpr uint32_t kRaisedHover = 0xFF363B48;  // toggle off, hovered secondary button
constexpr uint32_t kHairline = 0xFF323743;
constexpr uint32_t kText = 0xFFECEEF1;
constexpr uint32_t kSecondary = 0xFF969DA8;  // also the grey state dot
constexpr uint32_t kDisabledGlyph = 0xFF565C68;
constexpr uint32_t kAccent = 0xFF2F6FE8;
constexpr uint32_t kAccentHover = 0xFF4D87F0;  // also the focus ring
constexpr uint32_t kGreen = 0xFF22C55E;
constexpr uint32_t kRed = 0xFFEF4444;
constexpr uint32_t kAmber = 0xFFFFB020;
constexpr uint32_t kWhite = 0xFFFFFFFF;
constexpr uint32_t kTooltip = 0xFA343946;
constexpr uint32_t kTooltipBorder = 0xFF464C5C;
constexpr uint32_t kMarkBack = 0xFF1E2430;
constexpr uint32_t kMarkYellow = 0xFFFACC15;
}  // namespace color

namespace type {
constexpr double kCode = 40;          // bold
constexpr double kDialogTitle = 17;   // bold
constexpr double kMessageTitle = 16;  // bold
constexpr double kPageTitle = 14;     // bold
constexpr double kItem = 13.5;        // sidebar items, card titles
constexpr double kRow = 13;           // row labels, button labels
constexpr double kBody = 12.5;
constexpr double kSmall = 12;
constexpr double kFooter = 11.5;
}  // namespace type

namespace layout {
constexpr double kMainWidth = 760;
constexpr double kMainHeight = 476;
constexpr double kFlyoutWidth = 352;
constexpr double kFlyoutHeight = 166;
constexpr double kSidebarWidth = 176;
constexpr double kItemX = 12;
constexpr double kItemWidth = 152;
constexpr double kItemHeight = 38;
constexpr double kItemRadius = 9;
constexpr double kItemTop = 72;
constexpr double kItemStep = 44;
constexpr double kControlColumn = 330;
constexpr double kPagePadding = 24;
constexpr double kClipRow = 46;
constexpr double kPhoneRow = 64;
constexpr double kFlyoutMargin = 12;
}  // namespace layout

}  // namespace vistrel::tray
