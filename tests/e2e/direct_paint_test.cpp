// The tray's direct paint of one rectangle, in a GTK window of its own on a
// private X server: the rectangle lands where the widget has it, nothing
// around it changes, and a window that is not realised gets no context.
#include "tray/direct_paint.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/e2e/x_display.h"
#include "tests/e2e/x_windows.h"
#include "tests/support/wait_for.h"

namespace vistrel::tray {
namespace {

using namespace std::chrono_literals;

TEST(DirectPaintE2E, RectangleLandsAtTheWidgetsPlaceAndNowhereElse) {
  test::Xvfb xvfb("320x240x24");
  ASSERT_FALSE(xvfb.name().empty());
  setenv("DISPLAY", xvfb.name().c_str(), 1);
  setenv("NO_AT_BRIDGE", "1", 1);
  ASSERT_TRUE(gtk_init_check(nullptr, nullptr));

  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_decorated(GTK_WINDOW(window), FALSE);
  gtk_widget_set_app_paintable(window, TRUE);
  GtkWidget* area = gtk_drawing_area_new();
  gtk_widget_set_size_request(area, 200, 100);
  // The area sits inside the window, so window and area coordinates differ.
  gtk_widget_set_margin_start(area, 20);
  gtk_widget_set_margin_top(area, 16);
  gtk_container_add(GTK_CONTAINER(window), area);
  g_signal_connect(window, "draw", G_CALLBACK(+[](GtkWidget*, cairo_t* cr, gpointer) {
                     cairo_set_source_rgb(cr, 0, 0, 1);
                     cairo_paint(cr);
                     return FALSE;
                   }),
                   nullptr);

  DirectPaint paint;
  EXPECT_EQ(paint.Begin(area, 10, 20, 50, 30), nullptr);  // not realised yet
  gtk_widget_show_all(window);
  int left = 0, top = 0;
  const auto pump = [] {
    while (gtk_events_pending()) gtk_main_iteration_do(FALSE);
  };
  const auto pixel = [&](int x, int y) {
    return test::ScreenPixel(xvfb.name(), left + 20 + x, top + 16 + y);
  };
  ASSERT_TRUE(test::WaitFor(
      [&] {
        pump();
        GdkWindow* shown = gtk_widget_get_window(window);
        if (shown) gdk_window_get_origin(shown, &left, &top);
        return shown && pixel(0, 0) == 0x0000FF;
      },
      5s));

  // Twice, so that the kept buffer is used again.
  for (const double red : {0.5, 1.0}) {
    cairo_t* cr = paint.Begin(area, 10, 20, 50, 30);
    ASSERT_NE(cr, nullptr);
    cairo_set_source_rgb(cr, red, 0, 0);
    cairo_paint(cr);  // fills the rectangle, as far as it goes
    paint.Finish(cr);
  }
  EXPECT_TRUE(test::WaitFor([&] { return pixel(10, 20) == 0xFF0000; }, 2s)) << std::hex << pixel(10, 20);
  EXPECT_EQ(pixel(59, 49), 0xFF0000u);
  for (const auto& [x, y] : {std::pair{9, 20}, {60, 20}, {10, 19}, {10, 50}}) {
    EXPECT_EQ(pixel(x, y), 0x0000FFu) << x << "," << y;
  }

  // Unrealised, the window's X resources go; a later paint gets nothing.
  paint.Reset();
  gtk_widget_unrealize(window);
  EXPECT_EQ(paint.Begin(area, 10, 20, 50, 30), nullptr);
  gtk_widget_destroy(window);
  pump();
}

// Another client's windows come and go while the test lists the shown ones:
// a window gone between two requests is passed over, never the end of a test.
TEST(DirectPaintE2E, WindowsThatVanishWhileListedArePassedOver) {
  test::Xvfb xvfb("320x240x24");
  ASSERT_FALSE(xvfb.name().empty());
  size_t listed = 0;
  {
    const test::WindowChurn churn(xvfb.name());
    for (int i = 0; i < 300; ++i) listed += test::ShownWindows(xvfb.name()).size();
  }
  EXPECT_GT(listed, 0u);
}

}  // namespace
}  // namespace vistrel::tray
