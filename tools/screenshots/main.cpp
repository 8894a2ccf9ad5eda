// Renders every page of the tray and the flyout in their main states, from
// made-up status, into PNG files: the pictures of the README; and the
// application icon at the icon theme's sizes.
//   vistrel-screenshots FOLDER
//   vistrel-screenshots --icons FOLDER
#include <cairo.h>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>

#include "monitor/thumbnail.h"
#include "tools/screenshots/sample_views.h"
#include "tray/pages.h"
#include "tray/style.h"

namespace vistrel::tray {
namespace {

namespace fs = std::filesystem;

// A desk scene standing in for the phone's picture.
Picture Scene(int width, int height, double shift) {
  cairo_surface_t* image = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
  cairo_t* cr = cairo_create(image);
  cairo_pattern_t* sky = cairo_pattern_create_linear(0, 0, 0, height);
  cairo_pattern_add_color_stop_rgb(sky, 0, 0.55, 0.62, 0.70);
  cairo_pattern_add_color_stop_rgb(sky, 1, 0.25, 0.22, 0.20);
  cairo_set_source(cr, sky);
  cairo_paint(cr);
  cairo_pattern_destroy(sky);
  cairo_set_source_rgb(cr, 0.36, 0.26, 0.18);
  cairo_rectangle(cr, 0, height * 0.72, width, height * 0.28);
  cairo_fill(cr);
  cairo_set_source_rgb(cr, 0.85, 0.82, 0.74);
  cairo_rectangle(cr, width * (0.18 + shift), height * 0.45, width * 0.22, height * 0.3);
  cairo_fill(cr);
  cairo_set_source_rgb(cr, 0.2, 0.45, 0.3);
  cairo_arc(cr, width * 0.7, height * 0.55, height * 0.16, 0, 2 * M_PI);
  cairo_fill(cr);
  cairo_destroy(cr);
  return MakePicture(image);
}

TrayView BaseView() { return SampleView(std::time(nullptr)); }

TrayView Connected() { return SampleLiveView(std::time(nullptr), Scene(640, 360, 0)); }

bool Write(const fs::path& folder, const std::string& name, const TrayView& view, bool flyout) {
  const double width = flyout ? layout::kFlyoutWidth : layout::kMainWidth;
  const double height = flyout ? layout::kFlyoutHeight : layout::kMainHeight;
  cairo_surface_t* image = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, static_cast<int>(width),
                                                      static_cast<int>(height));
  cairo_t* cr = cairo_create(image);
  NoActions actions;
  Surface surface;
  {
    Painter painter(cr, 1, surface);
    PaintWindow(painter, view, actions, flyout, width, height);
  }
  cairo_destroy(cr);
  const fs::path path = folder / (name + ".png");
  const bool ok = cairo_surface_write_to_png(image, path.c_str()) == CAIRO_STATUS_SUCCESS;
  cairo_surface_destroy(image);
  std::printf("%s %s\n", ok ? "wrote" : "could not write", path.c_str());
  return ok;
}

int Run(const fs::path& folder) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  bool ok = true;
  ok &= Write(folder, "webcam-no-phone", BaseView(), false);

  TrayView pairing = BaseView();
  pairing.status.pairing_open = true;
  pairing.status.invitation_deadline = pairing.now_ms + 94'000;
  pairing.pairing_url =
      "vstl://pair?v=1&id=3f2a9c1e-5b7d-4e21-9a0c-6d8e2f1b4c70&n=studio-pc&fp="
      "9c41d0e8a7b35f6c2e19d4a8b07c5e3f&s=Qm9yZWFsaXMtc2VjcmV0&a=192.168.1.20:47800";
  ok &= Write(folder, "pairing-qr", pairing, false);

  TrayView approval = pairing;
  approval.status.pairing_request_pending = true;
  approval.status.pairing_request_text = "Ana's iPhone wants to pair. Code 418 203";
  approval.status.pairing_code = "418203";
  approval.status.approval_deadline = approval.now_ms + 47'000;
  ok &= Write(folder, "pairing-approval", approval, false);

  ok &= Write(folder, "webcam-live", Connected(), false);
  TrayView paused = Connected();
  paused.status.camera_allowed = false;
  paused.preview.reset();
  ok &= Write(folder, "webcam-paused", paused, false);

  TrayView monitor = Connected();
  monitor.page = kMonitorPage;
  monitor.status.monitor.active = true;
  monitor.status.monitor.recording = true;
  ThumbnailCache thumbnails;
  const int64_t now = monitor.now_seconds;
  monitor.clips = {
      {"/home/ana/Videos/Orlith Cam/clip-3.mp4", now - 300, 74'000, 9'400'000, false},
      {"/home/ana/Videos/Orlith Cam/clip-2.mp4", now - 86'400, 12'300, 1'650'000, false},
      {"/home/ana/Videos/Orlith Cam/clip-1.mp4", now - 3 * 86'400, 600'000, 76'000'000, true}};
  for (size_t i = 0; i < monitor.clips.size(); ++i) {
    thumbnails.Put(ThumbnailPathFor(monitor.clips[i].path),
                   Scene(128, 72, 0.1 * static_cast<double>(i)));
  }
  monitor.thumbnails = &thumbnails;
  ok &= Write(folder, "monitor-clips", monitor, false);

  TrayView scans = Connected();
  scans.page = kScanPage;
  scans.scans = {
      {now - 60, "file", "/home/ana/Documents/Orlith Cam Scans/Receipt.pdf", 482'000, ""},
      {now - 600, "barcode", "", 13, "4006381333931"},
      {now - 4000, "ocr", "", 58, "Meeting notes\nCall the printer about the quote"},
      {now - 90'000, "file", "/home/ana/Documents/Orlith Cam Scans/Whiteboard.jpg", 2'300'000, ""}};
  ok &= Write(folder, "scan", scans, false);

  TrayView phones = Connected();
  phones.page = kPhonesPage;
  phones.phones.push_back({std::string(64, 'b'), "id2", "Office iPad"});
  ok &= Write(folder, "phones", phones, false);

  TrayView settings = Connected();
  settings.page = kSettingsPage;
  settings.autostart = true;
  ok &= Write(folder, "settings", settings, false);

  ok &= Write(folder, "flyout-live", Connected(), true);
  ok &= Write(folder, "flyout-waiting", BaseView(), true);
  return ok ? 0 : 1;
}

// The application mark as vistrel-N.png for the icon theme's sizes.
int WriteIcons(const fs::path& folder) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
    cairo_surface_t* image = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, size, size);
    cairo_t* cr = cairo_create(image);
    DrawAppMark(cr, 0, 0, size);
    cairo_destroy(cr);
    const fs::path path = folder / ("vistrel-" + std::to_string(size) + ".png");
    const bool ok = cairo_surface_write_to_png(image, path.c_str()) == CAIRO_STATUS_SUCCESS;
    cairo_surface_destroy(image);
    if (!ok) return 1;
  }
  return 0;
}

}  // namespace
}  // namespace vistrel::tray

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--icons") return vistrel::tray::WriteIcons(argv[2]);
  if (argc != 2) {
    std::fprintf(stderr, "usage: vistrel-screenshots FOLDER | --icons FOLDER\n");
    return 2;
  }
  return vistrel::tray::Run(argv[1]);
}
