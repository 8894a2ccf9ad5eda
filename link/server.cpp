#include "link/server.h"

#include "link/enroll.h"
#include "link/session.h"
#include "link/timing.h"
#include "platform/log.h"
#include "platform/socket.h"

namespace vistrel {
namespace {

constexpr uint32_t kMaxHandshakes = 4;

}  // namespace

void Connection::Shutdown() const { ShutdownBoth(socket.Get()); }

Server::Server(ServerContext context)
    : context_(std::move(context)),
      active_(context_.frame_writer, *context_.clock, context_.monitor) {}

Server::~Server() { Stop(); }

bool Server::Listen(uint16_t port) {
  Result<UniqueFd> listening = ListenTcp4(port, 8);
  if (!listening) {
    LogLine("[net] cannot listen on port %u (error %d)\n", port, listening.code());
    return false;
  }
  listen_socket_ = std::move(*listening);
  port_ = LocalPort(listen_socket_.Get());
  return true;
}

void Server::Run() {
  while (!stopping_) {
    Result<Accepted> accepted = AcceptTcp(listen_socket_.Get());
    if (!accepted) {
      if (stopping_ || !listen_socket_) return;
      // A failing accept that is not ours to end (for example EMFILE) must not spin.
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    UniqueFd socket = std::move(accepted->socket);
    const std::string peer = std::move(accepted->peer);
    ReapFinished();
    if (stopping_ || handshakes_ >= kMaxHandshakes) continue;  // the socket closes here
    SetNoDelay(socket.Get());
    const int fd = socket.Get();
    auto connection = std::make_shared<Connection>(
        std::move(socket), peer,
        std::make_unique<TlsChannel>(fd, *context_.server_credentials), false);
    StartWorker(std::move(connection), std::make_shared<std::atomic<bool>>(false));
  }
}

void Server::SetClientCredentials(const TlsCredentials* credentials) {
  client_credentials_ = credentials;
}

std::shared_ptr<std::atomic<bool>> Server::AddWiredConnection(UniqueFd socket,
                                                              std::string label) {
  auto finished = std::make_shared<std::atomic<bool>>(false);
  const TlsCredentials* credentials = client_credentials_;
  if (!credentials || stopping_) {
    finished->store(true);
    return finished;  // the socket closes here
  }
  SetNoDelay(socket.Get());
  const int fd = socket.Get();
  auto connection = std::make_shared<Connection>(
      std::move(socket), std::move(label), std::make_unique<TlsChannel>(fd, *credentials), true);
  ReapFinished();
  StartWorker(std::move(connection), finished);
  return finished;
}

void Server::StartWorker(std::shared_ptr<Connection> connection,
                         std::shared_ptr<std::atomic<bool>> finished) {
  ++handshakes_;
  MutexLock lock(mutex_);
  if (stopping_) {
    // Stop has already taken the list; this connection never starts.
    --handshakes_;
    finished->store(true);
    return;
  }
  Worker worker;
  worker.connection = connection;
  worker.finished = finished;
  worker.thread = std::thread([this, connection, finished] {
    Admit(connection);
    connection->Shutdown();
    finished->store(true);
  });
  workers_.push_back(std::move(worker));
}

void Server::Admit(const std::shared_ptr<Connection>& connection) {
  const bool established = connection->channel->Establish(Now() + kHandshakeMs);
  --handshakes_;
  if (!established) {
    LogLine("[net] %s: TLS handshake failed\n", connection->peer.c_str());
    return;
  }
  {
    // DisconnectPhone reads the fingerprint of every connection under this lock.
    MutexLock lock(mutex_);
    connection->certificate_digest = Sha256(connection->channel->peer_certificate());
    connection->fingerprint = HexEncode(connection->certificate_digest);
  }
  if (context_.trust->Contains(connection->fingerprint)) {
    StreamSession({active_, context_.receiver_name, *context_.clock, context_.monitor, context_.scan},
                  connection)
        .Run();
  } else if (connection->wired) {
    LogLine("[usb] %s: phone %.12s... is not paired with this computer: refused\n",
            connection->peer.c_str(), connection->fingerprint.c_str());
  } else if (context_.pairing->IsOpen() && enrolments_.TryAdd()) {
    Enroll({context_.receiver_id, context_.receiver_name, *context_.trust, *context_.pairing,
            *context_.clock},
           *connection);
    enrolments_.Remove();
  } else {
    LogLine("[net] %s: unknown certificate %.12s..., pairing closed: rejected\n",
            connection->peer.c_str(), connection->fingerprint.c_str());
  }
}

void Server::ReapFinished() {
  std::vector<Worker> done;
  {
    MutexLock lock(mutex_);
    for (auto it = workers_.begin(); it != workers_.end();) {
      if (it->finished->load()) {
        done.push_back(std::move(*it));
        it = workers_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (Worker& worker : done) worker.thread.join();
}

void Server::Stop() {
  if (stopping_.exchange(true)) return;
  // Shutting the listening socket down wakes the blocked accept; the descriptor
  // is closed with the server, after the listener thread is gone.
  ShutdownBoth(listen_socket_.Get());
  if (context_.pairing) context_.pairing->Close();
  std::vector<Worker> workers;
  {
    MutexLock lock(mutex_);
    for (Worker& worker : workers_) worker.connection->Shutdown();
    workers.swap(workers_);
  }
  for (Worker& worker : workers) worker.thread.join();
  active_.Reset();
}

void Server::DisconnectPhone(const std::string& fingerprint) {
  MutexLock lock(mutex_);
  for (Worker& worker : workers_) {
    if (worker.connection->fingerprint == fingerprint) {
      worker.connection->closing = true;
      worker.connection->Shutdown();
    }
  }
  active_.ClearPictureOfPhone(fingerprint);
}

size_t Server::worker_count() const {
  MutexLock lock(mutex_);
  return workers_.size();
}

}  // namespace vistrel
