#include "tray/view.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gdk/gdk.h>

#include <algorithm>

#include "platform/utf.h"
#include "tray/style.h"

namespace vistrel::tray {

Picture MakePicture(cairo_surface_t* surface) {
  return Picture(surface, SurfaceDeleter());
}

Picture ThumbnailCache::Get(const std::filesystem::path& path) {
  auto found = entries_.find(path);
  if (found != entries_.end()) return found->second;
  Picture picture;
  GError* error = nullptr;
  GdkPixbuf* pixbuf = gdk_pixbuf_new_from_file_at_scale(path.c_str(), 128, 72, FALSE, &error);
  if (error) g_error_free(error);
  if (pixbuf) {
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 128, 72);
    cairo_t* cr = cairo_create(surface);
    gdk_cairo_set_source_pixbuf(cr, pixbuf, 0, 0);
    cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_BEST);
    cairo_paint(cr);
    cairo_destroy(cr);
    g_object_unref(pixbuf);
    picture = MakePicture(surface);
  }
  entries_[path] = picture;
  return picture;
}

void ThumbnailCache::Retain(const std::vector<std::filesystem::path>& keep) {
  std::erase_if(entries_, [&](const auto& entry) {
    return std::find(keep.begin(), keep.end(), entry.first) == keep.end();
  });
}

void TrayView::SetSettings(AppSettings applied) {
  settings = std::move(applied);
  videos_folder = ResolveVideosFolder(settings);
  scans_folder = ResolveScansFolder(settings);
}

std::string HomeStateText(const ReceiverStatus& status, const AppSettings& settings) {
  if (status.session_state == 0 || !status.monitor.active) return {};
  if (status.monitor.recording) return _("Monitoring · Recording");
  switch (settings.record) {
    case RecordMode::kMotion:
      return _("Monitoring · Motion clips");
    case RecordMode::kContinuous:
      return _("Monitoring");
    case RecordMode::kOff:
      return _("Monitoring · Not recording");
  }
  return _("Monitoring");
}

std::string StateText(const TrayView& view) {
  if (!view.running) return _("Not running");
  if (view.status.pairing_request_pending) return _("Pairing request");
  if (view.paused()) return _("Paused · on this PC");
  if (!view.home_state.empty()) return view.home_state;
  if (view.live()) return Substitute(_("Live · %s"), {view.phone_label()});
  if (view.session()) return Substitute(_("Connected · %s"), {view.phone_label()});
  return _("Waiting for phone");
}

StateLabel FooterState(const TrayView& view) {
  if (!view.running) return {color::kSecondary, _("Not running")};
  if (view.status.pairing_request_pending) return {color::kAmber, _("Pairing request")};
  if (view.paused()) return {color::kAmber, _("Paused · on this PC")};
  if (view.status.monitor.recording) return {color::kRed, _("Recording")};
  if (view.status.monitor.active) return {color::kGreen, _("Monitoring")};
  if (view.live()) return {color::kGreen, _("Live")};
  if (view.session()) return {color::kGreen, _("Connected")};
  return {color::kSecondary, _("Waiting for phone")};
}

std::string CutUtf16(const std::string& utf8, size_t units) {
  std::u16string wide = Utf8ToWide(utf8);
  if (wide.size() <= units) return utf8;
  size_t cut = units;
  // A surrogate pair is kept whole or left out.
  if (cut > 0 && wide[cut - 1] >= 0xD800 && wide[cut - 1] <= 0xDBFF) --cut;
  return WideToUtf8(wide.substr(0, cut));
}

}  // namespace vistrel::tray
