// The tray's UI thread per tick with the main window open on a live
// preview: the new picture scaled to the preview, then the whole window
// painted (the work of one tick that got a new frame). Goal: under 4 ms.
#include <benchmark/benchmark.h>
#include <cairo.h>

#include "tray/pages.h"
#include "tray/snapshot.h"
#include "tray/style.h"

namespace vistrel::tray {
namespace {

TrayView LiveView() {
  TrayView view;
  view.running = true;
  view.phones = {{std::string(64, 'a'), "id", "Bench"}};
  view.status.session_state = 1;
  view.status.phone_name = "Bench";
  view.status.link_kind = "wifi";
  view.status.battery = 0.7;
  view.frames_in_per_second = 30;
  view.frames_to_apps_per_second = 30;
  return view;
}

void TickOnLivePreview(benchmark::State& state) {
  const int page = static_cast<int>(state.range(0));
  Bytes frame(1280 * 720 * 3 / 2);
  for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i * 7);
  TrayView view = LiveView();
  view.page = page;
  NoActions actions;
  Surface surface;
  cairo_surface_t* window = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 760, 476);
  for (auto _ : state) {
    view.preview = Nv12ToRgb(frame, 1280, 720, 640, 360);
    cairo_t* cr = cairo_create(window);
    {
      Painter painter(cr, 1, surface);
      PaintWindow(painter, view, actions, false, layout::kMainWidth, layout::kMainHeight);
    }
    cairo_destroy(cr);
    cairo_surface_flush(window);
    benchmark::DoNotOptimize(cairo_image_surface_get_data(window));
  }
  cairo_surface_destroy(window);
}
BENCHMARK(TickOnLivePreview)->Arg(kWebcamPage)->Arg(kMonitorPage)->Unit(benchmark::kMillisecond);

// The preview's share of a tick: 1280×720 NV12 to the 640×360 picture,
// which the tray reuses from tick to tick.
void PreviewConversion(benchmark::State& state) {
  Bytes frame(1280 * 720 * 3 / 2);
  for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i * 7);
  const PictureView view =
      PictureView::Of(Nv12View{frame.data(), frame.data() + 1280 * 720, 1280, 1280, 720});
  Picture picture;
  for (auto _ : state) {
    picture = PictureToRgb(view, 640, 360, std::move(picture));
    benchmark::DoNotOptimize(picture.get());
  }
}
BENCHMARK(PreviewConversion)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace vistrel::tray

BENCHMARK_MAIN();
