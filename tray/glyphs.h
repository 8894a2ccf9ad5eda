// Drawn symbols: the tray icon's state glyph, the application mark and the
// small glyphs of buttons and rows.
#pragma once

#include <cairo.h>

#include <cstdint>

namespace vistrel::tray {

enum class Glyph {
  kCamera,
  kPause,
  kPlay,
  kPhone,
  kDocument,
  kBarcode,
  kPlaceholder,
  kWarning,
  kLink,
  kPicture,
  kFolder,
};

// `size` × `size` box centred at (cx, cy) on the context's current transform.
void DrawGlyph(cairo_t* cr, Glyph glyph, double cx, double cy, double size, uint32_t argb);

// The application mark filling the square at (x, y) of side `size`.
void DrawAppMark(cairo_t* cr, double x, double y, double size);

// The tray icon of a state: an S × S ARGB32 image, owned by the caller
// (cairo_surface_destroy).
cairo_surface_t* DrawTrayGlyph(uint32_t state_argb, int size);

void SetSourceArgb(cairo_t* cr, uint32_t argb);

}  // namespace vistrel::tray
