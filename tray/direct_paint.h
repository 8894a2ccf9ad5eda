// Paints one rectangle of a window at once, outside GTK's frame cycle: into
// a kept server-side picture, then copied to the X window in one request.
// The tray uses it for the preview card, which changes 25 times a second
// while the rest of the window stays; a full GTK frame for it (a new double
// buffer, the expose, the window's draw) cost more than the card itself.
#pragma once

#include <gtk/gtk.h>

#include "tray/view.h"

namespace vistrel::tray {

class DirectPaint {
 public:
  // A context for the rectangle (x, y, width, height) in `area`'s own
  // coordinates, translated so that the area's coordinates draw into it; null
  // where the window is not an X11 one (Wayland) or not realised: the caller
  // then asks GTK for a frame instead.
  cairo_t* Begin(GtkWidget* area, int x, int y, int width, int height);
  // Copies what was drawn to the window, releases `cr` and sends the request.
  void Finish(cairo_t* cr);
  // Forgets the window: call when it is unrealised, before its X window goes.
  void Reset();

 private:
  GdkWindow* target_ = nullptr;  // the toplevel's, not owned
  Picture window_;               // the X window as a Cairo surface
  Picture buffer_;               // the rectangle, kept from paint to paint
  int buffer_width_ = 0;
  int buffer_height_ = 0;
  int buffer_factor_ = 0;  // the window's scale the buffer was made for
  int at_x_ = 0;  // the rectangle in the toplevel's coordinates
  int at_y_ = 0;
};

}  // namespace vistrel::tray
