// What the pages paint from: the tray's copies of the receiver's status,
// settings and lists, taken by the tick, and the actions their controls call.
// Pages keep no state of their own, so a test can build a view by hand and
// render it off-screen.
#pragma once

#include <cairo.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/receiver.h"
#include "tray/i18n.h"

namespace vistrel::tray {

enum Page : int {
  kWebcamPage = 0,
  kMonitorPage = 1,
  kScanPage = 2,
  kPhonesPage = 3,
  kSettingsPage = 4
};

struct SurfaceDeleter {
  void operator()(cairo_surface_t* surface) const { cairo_surface_destroy(surface); }
};
using Picture = std::shared_ptr<cairo_surface_t>;
// Takes ownership of a Cairo surface (null stays null).
Picture MakePicture(cairo_surface_t* surface);

// Thumbnails keyed by path; a file that cannot be read is kept as no picture.
class ThumbnailCache {
 public:
  // 128 × 72, or null. Loads on a miss (UI thread).
  Picture Get(const std::filesystem::path& path);
  void Put(const std::filesystem::path& path, Picture picture) {
    entries_[path] = std::move(picture);
  }
  // Drops the entries whose path is not in `keep`.
  void Retain(const std::vector<std::filesystem::path>& keep);
  size_t size() const { return entries_.size(); }

 private:
  std::map<std::filesystem::path, Picture> entries_;
};

struct TrayView {
  bool running = false;
  std::string start_error;
  ReceiverStatus status;
  AppSettings settings;
  std::vector<TrustedPhone> phones;
  std::string pairing_url;
  std::string receiver_name;
  int page = kWebcamPage;
  uint64_t now_ms = 0;      // tick clock
  int64_t now_seconds = 0;  // calendar, for FormatWhen
  uint64_t request_ended_until = 0;
  double frames_in_per_second = 0;
  double frames_to_apps_per_second = 0;
  std::string home_state;
  bool autostart = false;
  std::vector<ClipEntry> clips;  // newest first, at most 3
  ThumbnailCache* thumbnails = nullptr;
  std::vector<ScanEntry> scans;  // newest first, at most 4
  Picture preview;               // 640 × 360, or null
  std::filesystem::path log_folder;
  std::filesystem::path snapshots_folder;
  // Where the settings put clips and scans; SetSettings keeps them in step.
  std::filesystem::path videos_folder;
  std::filesystem::path scans_folder;

  // The settings as the receiver applied them, with the folders they name
  // (the default folders when they name none).
  void SetSettings(AppSettings applied);

  bool session() const { return status.session_state != 0; }
  bool paused() const { return !status.camera_allowed; }
  bool live() const { return session() && status.camera_allowed && frames_in_per_second >= 0.5; }
  // The phone model, or its name when the model is empty.
  std::string phone_label() const {
    return status.phone_model.empty() ? status.phone_name : status.phone_model;
  }
  // "Cable" for a wired link (translated), "Wi-Fi" otherwise.
  std::string link_text() const { return status.link_kind == "wired" ? _("Cable") : _("Wi-Fi"); }
};

// What the controls do. Implemented by the tray application; a test records calls.
class TrayActions {
 public:
  virtual ~TrayActions() = default;
  virtual void SetPage(int page) = 0;
  virtual void StartPairing() = 0;
  virtual void CancelPairing() = 0;
  // Approve or reject the pending request; it counts as acted on.
  virtual void Decide(bool approve) = 0;
  // The camera gate; also drops the preview picture.
  virtual void SetCameraAllowed(bool allowed) = 0;
  virtual void ChangeSettings(const std::function<void(AppSettings&)>& change) = 0;
  virtual void SaveSnapshot() = 0;
  virtual void ShowInFolder(const std::filesystem::path& path) = 0;
  virtual void Open(const std::filesystem::path& path) = 0;
  // Creates the folder, then opens it.
  virtual void OpenFolder(const std::filesystem::path& folder) = 0;
  virtual void PickScansFolder() = 0;
  virtual void CopyText(const std::string& text) = 0;
  // Asks, then forgets the phone.
  virtual void RemovePhone(const TrustedPhone& phone) = 0;
  virtual void SetAutostart(bool on) = 0;
  virtual void ShowMainWindow() = 0;
  virtual void Quit() = 0;
};

// Controls that do nothing: for pictures of the pages (screenshots, benchmarks).
class NoActions final : public TrayActions {
 public:
  void SetPage(int) override {}
  void StartPairing() override {}
  void CancelPairing() override {}
  void Decide(bool) override {}
  void SetCameraAllowed(bool) override {}
  void ChangeSettings(const std::function<void(AppSettings&)>&) override {}
  void SaveSnapshot() override {}
  void ShowInFolder(const std::filesystem::path&) override {}
  void Open(const std::filesystem::path&) override {}
  void OpenFolder(const std::filesystem::path&) override {}
  void PickScansFolder() override {}
  void CopyText(const std::string&) override {}
  void RemovePhone(const TrustedPhone&) override {}
  void SetAutostart(bool) override {}
  void ShowMainWindow() override {}
  void Quit() override {}
};

// "Monitoring · Recording" and the like; empty without an active monitor.
std::string HomeStateText(const ReceiverStatus& status, const AppSettings& settings);
// The tray icon's tooltip state and the menu's first line.
std::string StateText(const TrayView& view);

// The colour and text of the sidebar footer (and the flyout's dot).
struct StateLabel {
  uint32_t color;
  std::string text;
};
StateLabel FooterState(const TrayView& view);

// Cuts to at most `units` UTF-16 units without splitting a character.
std::string CutUtf16(const std::string& utf8, size_t units);

}  // namespace vistrel::tray
