// The receiver's end of the phone link: the listening socket, the accept loop,
// admission of each connection (handshake, fingerprint, trust), the hand-off to
// pairing or streaming, wired connections from the USB watcher, and the stop.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/bounded_count.h"
#include "link/connection.h"
#include "link/tls_channel.h"
#include "platform/clock.h"
#include "platform/unique_handle.h"
#include "security/bytes.h"
#include "security/pairing_state.h"
#include "security/trust_store.h"
#include "video/exchange/frame_writer.h"

namespace vistrel {

struct ServerContext {
  std::string receiver_id;
  std::string receiver_name;
  Bytes certificate;
  const TlsCredentials* server_credentials = nullptr;  // not owned, outlives the server
  TrustStore* trust = nullptr;                         // not owned
  PairingState* pairing = nullptr;                     // not owned
  FrameWriter* frame_writer = nullptr;                 // not owned; null: no camera output
  const Clock* clock = &SystemClock();
};

// What the tray shows of the active phone.
struct PhoneStatus {
  std::string phone_name;
  std::string link_kind;  // "wired" or "wifi"
  double battery = -1.0;
  std::string thermal_state;
  std::string phone_model;
  std::string refused_phone;
  uint64_t refused_at = 0;
};

struct ServerCounters {
  uint64_t bytes_received = 0;
  uint64_t video_received = 0;
  uint64_t video_dropped = 0;
  uint64_t frames_decoded = 0;
  uint64_t frames_delivered = 0;
};

// Latest decoded picture for the tray, packed NV12 with stride = width.
struct PreviewFrame {
  Bytes pixels;
  uint32_t width = 0;
  uint32_t height = 0;
  uint64_t sequence = 0;
  uint64_t tick = 0;
};

class Server {
 public:
  explicit Server(ServerContext context);
  ~Server();  // stops first
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds 0.0.0.0:port; logs "[net] cannot listen on port ..." on failure.
  [[nodiscard]] bool Listen(uint16_t port);
  // The port actually bound (useful with port 0).
  uint16_t port() const { return port_; }
  // The accept loop; runs on the listener thread until Stop.
  void Run();
  // Client-role credentials enable wired connections; null refuses them.
  void SetClientCredentials(const TlsCredentials* credentials);
  // Takes a socket that usbmux connected to the phone; the server owns it from here.
  std::shared_ptr<std::atomic<bool>> AddWiredConnection(UniqueFd socket, std::string label);
  // Idempotent; returns when every worker has ended.
  void Stop();
  // Cuts every connection of the phone; clears the camera when it streams.
  void DisconnectPhone(const std::string& fingerprint);
  // The camera gate; from the UI thread.
  void SetCameraAllowed(bool allowed);
  bool camera_allowed() const { return camera_allowed_.load(); }

  // Runs on a connection's worker.
  void Admit(const std::shared_ptr<Connection>& connection);
  void Enroll(Connection& connection);
  void Stream(const std::shared_ptr<Connection>& connection);

  uint32_t session_state() const { return session_state_.load(); }
  PhoneStatus GetPhoneStatus() const;
  ServerCounters GetCounters() const;
  // Copies the preview out when it is fresh and newer than `sequence`; see the receiver.
  bool CopyPreview(Bytes& pixels, uint32_t& width, uint32_t& height, uint64_t& sequence) const;
  size_t worker_count() const;

 private:
  friend class StreamSession;
  struct Worker {
    std::thread thread;
    std::shared_ptr<Connection> connection;
    std::shared_ptr<std::atomic<bool>> finished;
  };

  void StartWorker(std::shared_ptr<Connection> connection,
                   std::shared_ptr<std::atomic<bool>> finished);
  void ReapFinished();
  void ClearPreviewLocked();  // requires preview_mutex_
  // The camera shows the waiting picture and the preview empties; requires mutex_.
  void ClearPictureLocked();
  uint64_t Now() const { return context_.clock->NowMs(); }

  const ServerContext context_;
  std::atomic<const TlsCredentials*> client_credentials_{nullptr};
  UniqueFd listen_socket_;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<uint32_t> handshakes_{0};
  BoundedCount enrolments_{2};
  std::atomic<bool> camera_allowed_{true};
  std::atomic<uint32_t> sequence_{0};

  // Lock order: mutex_, then status_mutex_ or preview_mutex_ (never both).
  mutable std::mutex mutex_;
  std::vector<Worker> workers_;                 // guarded by mutex_
  std::shared_ptr<Connection> active_session_;  // guarded by mutex_

  std::atomic<uint64_t> bytes_received_{0};
  std::atomic<uint64_t> video_received_{0};
  std::atomic<uint64_t> video_dropped_{0};
  std::atomic<uint64_t> frames_decoded_{0};
  std::atomic<uint64_t> frames_delivered_{0};
  std::atomic<uint32_t> session_state_{0};

  mutable std::mutex status_mutex_;
  PhoneStatus phone_;  // guarded by status_mutex_

  mutable std::mutex preview_mutex_;
  PreviewFrame preview_;  // guarded by preview_mutex_
};

}  // namespace vistrel
