// The painted windows as screen readers see them (ATK, which GTK's bridge
// carries to AT-SPI): a drawing area whose accessible object has one child
// per painted control, built from the nodes the last paint recorded.
#pragma once

#include <gtk/gtk.h>

#include <functional>

#include "tray/painter.h"

namespace vistrel::tray {

struct CanvasHooks {
  // Paints once so that the surface holds its nodes, when an assistive
  // technology first asks; the paint publishes them.
  std::function<void()> record;
  // Runs a hit region's action as a click does; false when it has none, or
  // when the region is no longer at `rect` (window pixels): the window
  // changed since the reader was told of it.
  std::function<bool(int region, Rect rect)> activate;
  // Gives a hit region the keyboard focus.
  std::function<void(int region)> focus;
};

// A drawing area whose accessible object shows the painted controls.
GtkWidget* NewAccessibleCanvas(CanvasHooks hooks);
// Whether an assistive technology has asked this canvas for its controls;
// from then on every full paint records them.
bool CanvasListened(GtkWidget* canvas);
// Makes the children follow the nodes of the paint just made, announcing
// what changed: names, states, focus, children added and removed.
void PublishCanvas(GtkWidget* canvas, const Surface& surface);

}  // namespace vistrel::tray
