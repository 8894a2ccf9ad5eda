// The receiver core: owns every long-lived service, starts them in a fixed
// order, stops them in a fixed order, and offers the front end a status
// snapshot and a few operations. It never calls the front end.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/command_line.h"
#include "app/settings/settings.h"
#include "link/advertiser.h"
#include "link/server.h"
#include "link/tls_channel.h"
#include "link/usbmux_client.h"
#include "monitor/monitor_back_end.h"
#include "platform/clock.h"
#include "platform/desktop.h"
#include "platform/mf/guids.h"
#include "platform/virtual_camera.h"
#include "scan/scan_context.h"
#include "security/identity.h"
#include "security/pairing_state.h"
#include "security/trust_store.h"
#include "video/exchange/frame_writer.h"

namespace vistrel {

struct ReceiverStatus {
  uint32_t session_state = 0;
  std::string phone_name;
  std::string phone_model;
  std::string link_kind;
  bool usb_service_reachable = false;
  int32_t usb_phones = 0;
  double battery = -1.0;
  std::string thermal_state;
  bool camera_allowed = true;
  bool pairing_open = false;
  bool pairing_request_pending = false;
  std::string pairing_request_text;
  std::string pairing_code;
  uint64_t invitation_deadline = 0;
  uint64_t approval_deadline = 0;
  std::string refused_phone;
  uint64_t refused_at = 0;
  uint64_t video_received = 0;
  uint64_t frames_decoded = 0;
  uint64_t frames_delivered = 0;
  uint64_t video_dropped = 0;
  uint64_t frames_read_by_camera = 0;
  MonitorStatus monitor;
  int64_t scans_revision = 0;
};

inline constexpr char kCameraFriendlyName[] = "Orlith Cam";
// The port on the phone that the USB watcher asks usbmux to tunnel to.
inline constexpr uint16_t kPhoneUsbPort = 47801;
// The class of the camera's media source, as the camera library registers it.
inline constexpr const char* kCameraSourceId = kCameraSourceIdText;

// "Vistrel-Receiver", with "-" and the low 24 bits of FNV-1a over the UTF-16LE
// bytes of the data folder when one is given.
std::string InstanceName(const std::filesystem::path& data_folder);

class Receiver {
 public:
  // `desktop`: the clipboard and typing to use; null for one with its own GTK thread.
  explicit Receiver(const Clock& clock = SystemClock(), std::unique_ptr<Desktop> desktop = nullptr);
  ~Receiver();
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

  // Empty on success, otherwise one message for the user.
  std::string Start(const ReceiverOptions& options);
  // Stops the services; the virtual camera is stopped and shut down, never removed.
  void Stop();

  AppSettings GetSettings() const;
  void ApplySettings(const AppSettings& settings);
  ReceiverStatus GetStatus() const;
  bool GetPreviewFrame(Bytes& buffer, uint32_t& width, uint32_t& height, uint64_t& sequence) const;
  // The same without the copy: a fresh frame newer than `sequence` is lent to
  // `read` for the length of the call.
  bool ReadPreviewFrame(uint64_t& sequence, const PreviewReader& read) const;
  // The pairing URL; empty when no invitation could be opened.
  std::string StartPairing();
  void CancelPairing();
  bool ForgetPhone(const std::string& fingerprint);

  // For the front end's commands; valid while running.
  PairingState& pairing() { return pairing_; }
  Server* server() { return server_.get(); }
  std::vector<TrustedPhone> TrustedPhones() const;
  // Newest first, as the front end lists them.
  std::vector<ClipEntry> RecentClips(size_t count) { return monitor_.RecentClips(count); }
  std::vector<ScanEntry> RecentScans(size_t count) const { return scan_.LatestEntries(count); }
  const std::filesystem::path& data_folder() const { return options_.data_folder; }
  uint16_t port() const { return server_ ? server_->port() : 0; }
  const std::string& receiver_name() const { return options_.receiver_name; }
  Desktop& desktop() { return *desktop_; }
  bool running() const { return running_; }

 private:
  const Clock& clock_;
  ReceiverOptions options_;
  mutable std::mutex settings_mutex_;
  AppSettings settings_;  // guarded by settings_mutex_
  ReceiverIdentity identity_;
  TlsCredentials server_credentials_;
  TlsCredentials client_credentials_;
  std::unique_ptr<UsbmuxClient> usb_;  // absent when the USB link is off
  std::unique_ptr<TrustStore> trust_;
  PairingState pairing_;
  mutable MonitorBackEnd monitor_;    // locks itself; its status may run retention
  std::unique_ptr<Desktop> desktop_;  // clipboard and typing; before the scans that use it
  ScanContext scan_;                  // locks itself
  std::unique_ptr<VirtualCamera> camera_;
  std::unique_ptr<FrameWriter> frame_writer_;
  std::unique_ptr<Server> server_;
  ServiceAdvertiser advertiser_;
  std::thread listener_;
  std::atomic<uint64_t> invitation_deadline_{0};
  std::atomic<bool> running_{false};
};

}  // namespace vistrel
