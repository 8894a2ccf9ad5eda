// The receiver's end of the phone link: the listening socket, the accept loop,
// admission of each connection (handshake, fingerprint, trust), the hand-off to
// pairing (enroll.h) or streaming (session.h), wired connections from the USB
// watcher, and the stop. Its public face is what the receiver core and the
// tray call; the rest runs on the listener thread and the workers.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/active_session.h"
#include "link/bounded_count.h"
#include "link/connection.h"
#include "link/tls_channel.h"
#include "platform/clock.h"
#include "platform/thread_annotations.h"
#include "platform/unique_handle.h"
#include "scan/scan_context.h"
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
  SessionMonitor* monitor = nullptr;                   // not owned; null: no monitoring
  ScanContext* scan = nullptr;                         // not owned; null: no scan delivery
  const Clock* clock = &SystemClock();
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
  void SetCameraAllowed(bool allowed) { active_.SetCameraAllowed(allowed); }
  bool camera_allowed() const { return active_.camera_allowed(); }

  // 0 without a session, 1 while one is active: the status's number.
  uint32_t session_state() const { return static_cast<uint32_t>(active_.state()); }
  PhoneStatus GetPhoneStatus() const { return active_.GetPhoneStatus(); }
  ServerCounters GetCounters() const { return active_.GetCounters(); }
  // Copies the preview out when it is fresh and newer than `sequence`; see the receiver.
  bool CopyPreview(Bytes& pixels, uint32_t& width, uint32_t& height, uint64_t& sequence) const {
    return active_.CopyPreview(pixels, width, height, sequence);
  }
  bool ReadPreview(uint64_t& sequence, const PreviewReader& read) const {
    return active_.ReadPreview(sequence, read);
  }
  size_t worker_count() const EXCLUDES(mutex_);

 private:
  struct Worker {
    std::thread thread;
    std::shared_ptr<Connection> connection;
    std::shared_ptr<std::atomic<bool>> finished;
  };

  void StartWorker(std::shared_ptr<Connection> connection,
                   std::shared_ptr<std::atomic<bool>> finished) EXCLUDES(mutex_);
  // The worker: handshake, trust, then pairing or streaming.
  void Admit(const std::shared_ptr<Connection>& connection) EXCLUDES(mutex_);
  void ReapFinished() EXCLUDES(mutex_);
  uint64_t Now() const { return context_.clock->NowMs(); }

  const ServerContext context_;
  std::atomic<const TlsCredentials*> client_credentials_{nullptr};
  UniqueFd listen_socket_;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<uint32_t> handshakes_{0};
  BoundedCount enrolments_{2};

  // The only lock of the server itself; taken before the record's locks.
  mutable Mutex mutex_;
  std::vector<Worker> workers_ GUARDED_BY(mutex_);

  ActiveSession active_;
};

}  // namespace vistrel
