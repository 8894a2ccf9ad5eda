// The pages of the main window and the flyout. Each paints from the view and
// adds the hit regions of its controls; coordinates are DIPs.
#pragma once

#include "tray/painter.h"
#include "tray/view.h"

namespace vistrel::tray {

// The whole main window: sidebar, footer, the current page.
void PaintMain(Painter& p, const TrayView& view, TrayActions& actions, double width, double height);
void PaintFlyout(Painter& p, const TrayView& view, TrayActions& actions, double width,
                 double height);
// One window's whole content, the main window or the flyout, with the overlay
// (tooltip, focus ring) on top.
void PaintWindow(Painter& p, const TrayView& view, TrayActions& actions, bool flyout, double width,
                 double height);

// `area` is the page area right of the sidebar.
void PaintCamera(Painter& p, const TrayView& view, TrayActions& actions, Rect area);
void PaintMonitor(Painter& p, const TrayView& view, TrayActions& actions, Rect area);
void PaintScans(Painter& p, const TrayView& view, TrayActions& actions, Rect area);
void PaintDevices(Painter& p, const TrayView& view, TrayActions& actions, Rect area);
void PaintSettings(Painter& p, const TrayView& view, TrayActions& actions, Rect area);
void PaintPreviewCard(Painter& p, const TrayView& view, TrayActions& actions, Rect card);
// Where the Webcam page puts its preview card in the page area.
Rect PreviewCardRect(Rect area);
// Whether the card shows the live picture and nothing else that changes, so
// that a new picture needs only the card repainted.
bool PreviewCardIsLive(const TrayView& view);

// Inside the preview card while pairing.
void PaintApprovalDialog(Painter& p, const TrayView& view, TrayActions& actions, Rect card);
void PaintInvitationDialog(Painter& p, const TrayView& view, TrayActions& actions, Rect card);

// The title and subtitle of a page; returns the y below them.
double PageHeader(Painter& p, Rect area, const std::string& title, const std::string& subtitle);

// The title of a pairing request as the receiver words it ("\"NAME\" wants
// to pair. Code 123456"), translated: "\"NAME\" wants to pair".
std::string PairingRequestTitle(const std::string& request);
// "123 456" for six characters, anything else unchanged.
std::string GroupCode(const std::string& code);
// "m:ss" of the whole seconds from now to the deadline, "0:00" once passed.
std::string Countdown(uint64_t deadline_ms, uint64_t now_ms);
// The first of `values` equal to `value` (within `tolerance`), -1 for none.
int SelectedSegment(double value, const std::vector<double>& values, double tolerance = 0);

}  // namespace vistrel::tray
