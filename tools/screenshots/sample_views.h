// The made-up states the screenshots show, shared with the test that paints
// them in the pseudo-locale: what the README pictures is what is checked.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "tray/view.h"

namespace vistrel::tray {

// A running receiver with no phone, its clock at `now_seconds`.
inline TrayView SampleView(int64_t now_seconds) {
  TrayView view;
  view.running = true;
  view.now_ms = 1'000'000;
  view.now_seconds = now_seconds;
  view.receiver_name = "studio-pc";
  view.log_folder = "/home/ana/.local/share/Vistrel";
  view.snapshots_folder = "/home/ana/Pictures/Orlith Cam";
  view.videos_folder = "/home/ana/Videos/Orlith Cam";
  view.scans_folder = "/home/ana/Documents/Orlith Cam Scans";
  view.settings.retention_days = 30;
  return view;
}

// The same with one paired phone streaming over Wi-Fi, showing `preview`.
inline TrayView SampleLiveView(int64_t now_seconds, Picture preview) {
  TrayView view = SampleView(now_seconds);
  view.phones = {{std::string(64, 'a'), "id1", "Ana's iPhone"}};
  view.status.session_state = 1;
  view.status.phone_name = "Ana's iPhone";
  view.status.phone_model = "iPhone 15 Pro";
  view.status.link_kind = "wifi";
  view.status.battery = 0.82;
  view.status.usb_service_reachable = true;
  view.frames_in_per_second = 30;
  view.frames_to_apps_per_second = 30;
  view.preview = std::move(preview);
  return view;
}

}  // namespace vistrel::tray
