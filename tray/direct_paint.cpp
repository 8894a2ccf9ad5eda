#include "tray/direct_paint.h"

#ifdef GDK_WINDOWING_X11
#include <cairo-xlib.h>
#include <gdk/gdkx.h>
#endif

namespace vistrel::tray {

cairo_t* DirectPaint::Begin(GtkWidget* area, int x, int y, int width, int height) {
#ifdef GDK_WINDOWING_X11
  GtkWidget* toplevel = gtk_widget_get_toplevel(area);
  GdkWindow* window = gtk_widget_get_window(toplevel);
  if (!window || !GDK_IS_X11_WINDOW(window) || width < 1 || height < 1) return nullptr;
  int offset_x = 0, offset_y = 0;
  if (!gtk_widget_translate_coordinates(area, toplevel, 0, 0, &offset_x, &offset_y)) {
    return nullptr;
  }
  const int factor = gdk_window_get_scale_factor(window);
  const int window_width = gdk_window_get_width(window) * factor;
  const int window_height = gdk_window_get_height(window) * factor;
  if (window != target_) {
    Reset();
    cairo_surface_t* surface = cairo_xlib_surface_create(
        GDK_WINDOW_XDISPLAY(window), GDK_WINDOW_XID(window),
        GDK_VISUAL_XVISUAL(gdk_window_get_visual(window)), window_width, window_height);
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
      cairo_surface_destroy(surface);
      return nullptr;
    }
    cairo_surface_set_device_scale(surface, factor, factor);
    window_ = MakePicture(surface);
    target_ = window;
  } else {
    // The window may have moved to a monitor of another scale.
    cairo_xlib_surface_set_size(window_.get(), window_width, window_height);
    cairo_surface_set_device_scale(window_.get(), factor, factor);
  }
  if (!buffer_ || buffer_width_ != width || buffer_height_ != height || buffer_factor_ != factor) {
    // Inherits the window's device scale: sizes stay in the area's units.
    cairo_surface_t* buffer =
        cairo_surface_create_similar(window_.get(), CAIRO_CONTENT_COLOR, width, height);
    if (cairo_surface_status(buffer) != CAIRO_STATUS_SUCCESS) {
      cairo_surface_destroy(buffer);
      buffer_.reset();
      return nullptr;
    }
    buffer_ = MakePicture(buffer);
    buffer_width_ = width;
    buffer_height_ = height;
    buffer_factor_ = factor;
  }
  at_x_ = offset_x + x;
  at_y_ = offset_y + y;
  cairo_t* cr = cairo_create(buffer_.get());
  cairo_translate(cr, -x, -y);
  return cr;
#else
  (void)area, (void)x, (void)y, (void)width, (void)height;
  return nullptr;
#endif
}

void DirectPaint::Finish(cairo_t* cr) {
  cairo_destroy(cr);
  if (!window_ || !buffer_) return;
  GdkDisplay* display = gdk_window_get_display(target_);
#ifdef GDK_WINDOWING_X11
  // An X error of this raw copy (a window gone between two requests) is not
  // fatal; untrapped, GDK would end the program for it.
  gdk_x11_display_error_trap_push(display);
#endif
  cairo_t* out = cairo_create(window_.get());
  cairo_set_source_surface(out, buffer_.get(), at_x_, at_y_);
  cairo_rectangle(out, at_x_, at_y_, buffer_width_, buffer_height_);
  cairo_fill(out);
  cairo_destroy(out);
  cairo_surface_flush(window_.get());
#ifdef GDK_WINDOWING_X11
  gdk_x11_display_error_trap_pop_ignored(display);
#endif
  gdk_display_flush(display);
}

void DirectPaint::Reset() {
  buffer_.reset();
  window_.reset();
  target_ = nullptr;
  buffer_width_ = buffer_height_ = buffer_factor_ = 0;
}

}  // namespace vistrel::tray
