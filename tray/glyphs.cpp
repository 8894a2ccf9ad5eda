#include "tray/glyphs.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <initializer_list>

namespace vistrel::tray {
namespace {

constexpr double kPi = 3.14159265358979323846;

void RoundedSquare(cairo_t* cr, double x, double y, double w, double h, double r) {
  cairo_new_sub_path(cr);
  cairo_arc(cr, x + w - r, y + r, r, -kPi / 2, 0);
  cairo_arc(cr, x + w - r, y + h - r, r, 0, kPi / 2);
  cairo_arc(cr, x + r, y + h - r, r, kPi / 2, kPi);
  cairo_arc(cr, x + r, y + r, r, kPi, 3 * kPi / 2);
  cairo_close_path(cr);
}

struct Point {
  double x, y;
};

// A polyline through the points; closed back to the first when asked.
void Path(cairo_t* cr, std::initializer_list<Point> points, bool closed = false) {
  bool first = true;
  for (const Point& p : points) {
    if (first) {
      cairo_move_to(cr, p.x, p.y);
    } else {
      cairo_line_to(cr, p.x, p.y);
    }
    first = false;
  }
  if (closed) cairo_close_path(cr);
}

void Stroke(cairo_t* cr, double width) {
  cairo_set_line_width(cr, width);
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
  cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
  cairo_stroke(cr);
}

}  // namespace

void SetSourceArgb(cairo_t* cr, uint32_t argb) {
  cairo_set_source_rgba(cr, ((argb >> 16) & 0xFF) / 255.0, ((argb >> 8) & 0xFF) / 255.0,
                        (argb & 0xFF) / 255.0, (argb >> 24) / 255.0);
}

void DrawGlyph(cairo_t* cr, Glyph glyph, double cx, double cy, double size, uint32_t argb) {
  cairo_save(cr);
  cairo_translate(cr, cx - size / 2, cy - size / 2);
  cairo_scale(cr, size / 20.0, size / 20.0);
  SetSourceArgb(cr, argb);
  const double pen = 1.6;
  switch (glyph) {
    case Glyph::kCamera:
      RoundedSquare(cr, 2, 6, 16, 11, 2);
      Path(cr, {{7, 6}, {8.5, 3.5}, {11.5, 3.5}, {13, 6}});
      Stroke(cr, pen);
      cairo_arc(cr, 10, 11.5, 3, 0, 2 * kPi);
      Stroke(cr, pen);
      break;
    case Glyph::kPause:
      cairo_rectangle(cr, 5.5, 4, 3, 12);
      cairo_rectangle(cr, 11.5, 4, 3, 12);
      cairo_fill(cr);
      break;
    case Glyph::kPlay:
      Path(cr, {{6, 3.5}, {16, 10}, {6, 16.5}}, true);
      cairo_fill(cr);
      break;
    case Glyph::kPhone:
      RoundedSquare(cr, 5.5, 1.5, 9, 17, 2);
      Stroke(cr, pen);
      cairo_arc(cr, 10, 15.5, 0.9, 0, 2 * kPi);
      cairo_fill(cr);
      break;
    case Glyph::kDocument:
      Path(cr, {{4, 2}, {12, 2}, {16, 6}, {16, 18}, {4, 18}}, true);
      Stroke(cr, pen);
      for (double y : {9.0, 12.0, 15.0}) {
        cairo_move_to(cr, 7, y);
        cairo_line_to(cr, 13, y);
      }
      Stroke(cr, 1.2);
      break;
    case Glyph::kBarcode: {
      const double bars[][2] = {{2, 1.5},    {4.5, 1}, {6.5, 2}, {9.5, 1},
                                {11.5, 1.5}, {14, 1},  {16, 2}};
      for (const auto& bar : bars) cairo_rectangle(cr, bar[0], 3, bar[1], 14);
      cairo_fill(cr);
      break;
    }
    case Glyph::kPlaceholder:
    case Glyph::kPicture:
      RoundedSquare(cr, 2, 4, 16, 12, 2);
      Stroke(cr, pen);
      Path(cr, {{4, 14}, {8, 9.5}, {11, 12.5}, {13, 10.5}, {16, 14}});
      Stroke(cr, pen);
      break;
    case Glyph::kWarning:
      Path(cr, {{10, 2.5}, {18, 17}, {2, 17}}, true);
      Stroke(cr, pen);
      cairo_move_to(cr, 10, 8);
      cairo_line_to(cr, 10, 12);
      Stroke(cr, 1.8);
      cairo_arc(cr, 10, 14.5, 1, 0, 2 * kPi);
      cairo_fill(cr);
      break;
    case Glyph::kLink:
      cairo_arc(cr, 10, 10, 7.5, 0, 2 * kPi);
      Stroke(cr, pen);
      Path(cr, {{10, 5.5}, {10, 10.5}, {13, 12.5}});
      Stroke(cr, pen);
      break;
    case Glyph::kFolder:
      Path(cr, {{2, 5}, {8, 5}, {10, 7}, {18, 7}, {18, 16}, {2, 16}}, true);
      Stroke(cr, pen);
      break;
  }
  cairo_restore(cr);
}

void DrawAppMark(cairo_t* cr, double x, double y, double size) {
  constexpr uint32_t kBack = 0xFF1E2430;
  constexpr uint32_t kYellow = 0xFFFACC15;
  cairo_save(cr);
  cairo_translate(cr, x, y);
  cairo_scale(cr, size / 100.0, size / 100.0);
  RoundedSquare(cr, 0, 0, 100, 100, 23);
  SetSourceArgb(cr, kBack);
  cairo_fill(cr);
  SetSourceArgb(cr, kYellow);
  cairo_new_sub_path(cr);
  cairo_arc(cr, 50, 40, 22, 0, 2 * kPi);
  cairo_move_to(cr, 42, 61);
  cairo_line_to(cr, 30, 82);
  cairo_move_to(cr, 58, 61);
  cairo_line_to(cr, 70, 82);
  Stroke(cr, 5);
  cairo_arc(cr, 50, 40, 13, 0, 2 * kPi);
  cairo_fill(cr);
  SetSourceArgb(cr, kBack);
  cairo_arc(cr, 50, 40, 7, 0, 2 * kPi);
  cairo_fill(cr);
  SetSourceArgb(cr, kYellow);
  cairo_arc(cr, 44.6, 34.6, 2.4, 0, 2 * kPi);
  cairo_fill(cr);
  cairo_restore(cr);
}

cairo_surface_t* DrawTrayGlyph(uint32_t state_argb, int size) {
  const double s = size;
  cairo_surface_t* image = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, size, size);
  cairo_t* cr = cairo_create(image);
  cairo_set_antialias(cr, CAIRO_ANTIALIAS_GOOD);
  RoundedSquare(cr, 0, 0, s, s, 0.24 * s);
  SetSourceArgb(cr, 0xFF1E2430);
  cairo_fill(cr);
  SetSourceArgb(cr, 0xFFFACC15);
  cairo_new_sub_path(cr);
  cairo_arc(cr, 0.44 * s, 0.38 * s, 0.24 * s, 0, 2 * kPi);
  cairo_move_to(cr, 0.35 * s, 0.62 * s);
  cairo_line_to(cr, 0.21 * s, 0.88 * s);
  cairo_move_to(cr, 0.53 * s, 0.62 * s);
  cairo_line_to(cr, 0.67 * s, 0.88 * s);
  Stroke(cr, std::max(2.0, std::round(0.12 * s)));
  cairo_arc(cr, 0.44 * s, 0.38 * s, 0.09 * s, 0, 2 * kPi);
  cairo_fill(cr);
  cairo_surface_flush(image);

  // The soft gap around the state dot: premultiplied pixels scale as a whole.
  unsigned char* data = cairo_image_surface_get_data(image);
  const int stride = cairo_image_surface_get_stride(image);
  const double gap = 0.18 * s + std::max(0.07 * s, 1.0);
  for (int y = 0; y < size; ++y) {
    auto* row = reinterpret_cast<uint32_t*>(data + static_cast<ptrdiff_t>(y) * stride);
    for (int x = 0; x < size; ++x) {
      const double d = std::hypot(x + 0.5 - 0.82 * s, y + 0.5 - 0.82 * s);
      const double factor = std::clamp(d - gap + 0.5, 0.0, 1.0);
      if (factor >= 1.0) continue;
      uint32_t pixel = row[x];
      uint32_t out = 0;
      for (int shift = 0; shift < 32; shift += 8) {
        const auto channel = static_cast<uint32_t>(std::lround(((pixel >> shift) & 0xFF) * factor));
        out |= channel << shift;
      }
      row[x] = out;
    }
  }
  cairo_surface_mark_dirty(image);
  SetSourceArgb(cr, state_argb);
  cairo_arc(cr, 0.82 * s, 0.82 * s, 0.18 * s, 0, 2 * kPi);
  cairo_fill(cr);
  cairo_destroy(cr);
  cairo_surface_flush(image);
  return image;
}

}  // namespace vistrel::tray
