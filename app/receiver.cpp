#include "app/receiver.h"

#include <cstdio>
#include <cstdlib>
#include <system_error>

#include "platform/folders.h"
#include "platform/host.h"
#include "platform/log.h"
#include "platform/registry.h"
#include "platform/utf.h"
#include "video/exchange/frame_exchange.h"

namespace vistrel {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t kApprovalMs = 60000;

// Registers the virtual camera and hands it the frame exchange name; empty on
// success, else the message for the user.
std::string CreateCamera(const ReceiverOptions& options, const std::string& exchange_name,
                         std::unique_ptr<VirtualCamera>& camera) {
  const std::string class_key =
      std::string("SOFTWARE\\Classes\\CLSID\\") + kCameraSourceId + "\\InprocServer32";
  if (!OpenKey(class_key, KeyAccess::kRead)) {
    return "The Orlith Cam virtual camera is not installed. Reinstall Orlith Cam.";
  }
  camera.reset();
  const auto lifetime = options.camera_for_all_sessions ? VirtualCameraLifetime::kSystem
                                                        : VirtualCameraLifetime::kSession;
  CameraResult result = VirtualCamera::Create(VirtualCameraType::kSoftwareCameraSource, lifetime,
                                              VirtualCameraAccess::kCurrentUser,
                                              kCameraFriendlyName, kCameraSourceId, camera);
  if (result == kCameraOk) result = camera->SetString(kSharedNameAttribute, exchange_name);
  if (result == kCameraOk) result = camera->Start();
  if (result != kCameraOk) {
    camera.reset();
    char message[80];
    std::snprintf(message, sizeof message, "Could not create the virtual camera (0x%08X).",
                  static_cast<uint32_t>(result));
    return message;
  }
  LogLine("[vcam] \"%s\" is available to camera apps\n", kCameraFriendlyName);
  return {};
}

}  // namespace

std::string InstanceName(const fs::path& data_folder) {
  std::string name = "Vistrel-Receiver";
  if (data_folder.empty()) return name;
  uint64_t hash = 0xcbf29ce484222325ull;
  for (char16_t unit : Utf8ToWide(data_folder.string())) {
    for (uint8_t byte : {static_cast<uint8_t>(unit & 0xFF), static_cast<uint8_t>(unit >> 8)}) {
      hash ^= byte;
      hash *= 0x100000001b3ull;
    }
  }
  return name + "-" + std::to_string(hash & 0xFFFFFF);
}

Receiver::Receiver(const Clock& clock, std::unique_ptr<Desktop> desktop)
    : clock_(clock),
      pairing_(clock),
      monitor_(clock),
      desktop_(desktop ? std::move(desktop) : CreateX11Desktop()),
      scan_(*desktop_) {}

Receiver::~Receiver() {
  Stop();
}

std::string Receiver::Start(const ReceiverOptions& options) {
  options_ = options;
  const std::string instance_name = InstanceName(options_.data_folder);
  if (options_.data_folder.empty()) options_.data_folder = AppDataFolder();
  std::error_code ec;
  fs::create_directories(options_.data_folder, ec);
  if (options_.receiver_name.empty()) options_.receiver_name = ComputerName().value_or("Linux PC");
  // The camera library logs here from the camera host's process.
  fs::create_directories(CameraLogFolder(), ec);

  if (Status identity = identity_.LoadOrCreate(options_.data_folder, instance_name); !identity) {
    LogLine("[app] security identity: %s\n", identity.error().text.c_str());
    return "Could not load or create this computer's security identity.";
  }
  if (!server_credentials_.Acquire(identity_.certificate_der(), identity_.private_key_der(),
                                   false) ||
      !client_credentials_.Acquire(identity_.certificate_der(), identity_.private_key_der(),
                                   true)) {
    return "Could not set up encryption (TLS 1.3 is required).";
  }
  LogLine("Receiver %s, certificate %.16s...\n", identity_.receiver_id().c_str(),
          identity_.FingerprintHex().c_str());
  const std::string exchange_name = MakeFrameExchangeName();
  if (options_.create_camera) {
    if (std::string failure = CreateCamera(options_, exchange_name, camera_); !failure.empty()) {
      return failure;
    }
  }

  {
    std::lock_guard lock(settings_mutex_);
    settings_ = AppSettings();
    LoadSettings(settings_, options_.data_folder / "settings.ini");
    for (const auto& [key, value] : options_.setting_overrides) {
      if (!ApplySetting(settings_, key, value)) {
        return "Unknown setting or bad value: " + key + "=" + value;
      }
    }
    monitor_.Initialize(options_.data_folder, settings_);
    scan_.Load(options_.data_folder, settings_);
    LogLine("[monitor] recordings go to %s\n[scan] scans go to %s\n",
            ResolveVideosFolder(settings_).c_str(), ResolveScansFolder(settings_).c_str());
  }

  trust_ = std::make_unique<TrustStore>(options_.data_folder / "trusted_phones.tsv");
  frame_writer_ = std::make_unique<FrameWriter>(exchange_name, clock_);
  ServerContext context;
  context.receiver_id = identity_.receiver_id();
  context.receiver_name = options_.receiver_name;
  context.certificate = identity_.certificate_der();
  context.server_credentials = &server_credentials_;
  context.trust = trust_.get();
  context.pairing = &pairing_;
  context.frame_writer = frame_writer_.get();
  context.monitor = &monitor_;
  context.scan = &scan_;
  context.clock = &clock_;
  server_ = std::make_unique<Server>(std::move(context));
  if (!server_->Listen(static_cast<uint16_t>(options_.port))) {
    server_.reset();
    return "Port " + std::to_string(options_.port) + " is in use. Is Orlith Cam already running?";
  }
  advertiser_.Start(server_->port(), identity_.receiver_id());
  listener_ = std::thread([server = server_.get()] { server->Run(); });
  if (options_.usb_link) {
    server_->SetClientCredentials(&client_credentials_);
    usb_ = std::make_unique<UsbmuxClient>(
        [server = server_.get()](UniqueFd socket, std::string label) {
          return server->AddWiredConnection(std::move(socket), std::move(label));
        },
        kPhoneUsbPort, UsbmuxServiceFrom(std::getenv("VSTL_USBMUXD")));
    usb_->Start();
  }

  running_ = true;
  LogLine("\nOrlith Cam (%s) is listening on port %u.\n", options_.receiver_name.c_str(),
          server_->port());
  return {};
}

void Receiver::Stop() {
  if (!running_.exchange(false)) return;
  if (usb_) usb_->Stop();
  server_->Stop();
  if (listener_.joinable()) listener_.join();
  advertiser_.Stop();
  if (camera_) {
    (void)camera_->Stop();
    (void)camera_->Shutdown();
    camera_.reset();
  }
}

AppSettings Receiver::GetSettings() const {
  std::lock_guard lock(settings_mutex_);
  return settings_;
}

void Receiver::ApplySettings(const AppSettings& settings) {
  std::lock_guard lock(settings_mutex_);
  settings_ = settings;
  if (!SaveSettings(settings_, options_.data_folder / "settings.ini")) {
    LogLine("[settings] could not save settings.ini\n");
  }
  monitor_.ApplySettings(settings_);
  scan_.UpdateSettings(settings_);
}

ReceiverStatus Receiver::GetStatus() const {
  ReceiverStatus status;
  if (!server_) return status;
  status.session_state = server_->session_state();
  PhoneStatus phone = server_->GetPhoneStatus();
  status.phone_name = phone.phone_name;
  status.phone_model = phone.phone_model;
  status.link_kind = phone.link_kind;
  status.battery = phone.battery;
  status.thermal_state = phone.thermal_state;
  status.camera_allowed = server_->camera_allowed();
  status.usb_service_reachable = usb_ && usb_->listening();
  status.usb_phones = usb_ ? usb_->DeviceCount() : 0;
  status.pairing_open = pairing_.IsOpen();
  status.pairing_request_pending = pairing_.PendingRequest(status.pairing_request_text);
  if (size_t code = status.pairing_request_text.find("Code "); code != std::string::npos) {
    status.pairing_code = status.pairing_request_text.substr(code + 5);
  }
  status.invitation_deadline = invitation_deadline_;
  if (uint64_t since = pairing_.PendingSince(); since != 0) {
    status.approval_deadline = since + kApprovalMs;
  }
  status.refused_phone = phone.refused_phone;
  status.refused_at = phone.refused_at;
  ServerCounters counters = server_->GetCounters();
  status.video_received = counters.video_received;
  status.frames_decoded = counters.frames_decoded;
  status.frames_delivered = counters.frames_delivered;
  status.video_dropped = counters.video_dropped;
  status.frames_read_by_camera = frame_writer_ ? frame_writer_->FramesRead() : 0;
  status.monitor = monitor_.GetStatus();
  status.scans_revision = static_cast<int64_t>(scan_.Revision());
  return status;
}

bool Receiver::GetPreviewFrame(Bytes& buffer, uint32_t& width, uint32_t& height,
                               uint64_t& sequence) const {
  if (!server_) {
    buffer.clear();
    return false;
  }
  return server_->CopyPreview(buffer, width, height, sequence);
}

bool Receiver::ReadPreviewFrame(uint64_t& sequence, const PreviewReader& read) const {
  return server_ && server_->ReadPreview(sequence, read);
}

std::string Receiver::StartPairing() {
  if (!running_) return {};
  invitation_deadline_ = clock_.NowMs() + options_.pairing_window_ms;
  return pairing_
      .Open(identity_.receiver_id(), options_.receiver_name, identity_.fingerprint(),
            advertiser_.PairingAddresses(), options_.pairing_window_ms)
      .value_or("");
}

void Receiver::CancelPairing() {
  pairing_.Close();
}

bool Receiver::ForgetPhone(const std::string& fingerprint) {
  if (!trust_) return false;
  const bool removed = trust_->Remove(fingerprint);
  if (!removed) {
    LogLine("[trust] could not save the phone list; the phone stays paired after a restart\n");
  }
  if (server_) server_->DisconnectPhone(fingerprint);
  return removed;
}

std::vector<TrustedPhone> Receiver::TrustedPhones() const {
  return trust_ ? trust_->List() : std::vector<TrustedPhone>{};
}

}  // namespace vistrel
