#include "tools/phone/usbmuxd.h"

#include "link/socket_reader.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "link/usbmux_protocol.h"
#include "platform/clock.h"
#include "platform/socket.h"

namespace vistrel::phone {
namespace {

constexpr uint16_t kPhoneTunnelPort = 47801;
// usbmuxd's answers: 0 ok, 2 no such device, 3 the phone refused the port.
constexpr int kResultOk = 0;
constexpr int kResultBadDevice = 2;
constexpr int kResultRefused = 3;

std::string ServicePacket(uint32_t tag, const std::string& body) {
  const std::string payload = std::string(kUsbmuxPlistHeader) + body + "</dict></plist>\n";
  std::string packet;
  for (uint32_t field :
       {static_cast<uint32_t>(kUsbmuxHeaderSize + payload.size()), 1u, kUsbmuxPlistMessage, tag}) {
    for (int i = 0; i < 4; ++i) packet += static_cast<char>((field >> (8 * i)) & 0xFF);
  }
  return packet + payload;
}

std::string ResultBody(int number) {
  return "<key>MessageType</key><string>Result</string><key>Number</key><integer>" +
         std::to_string(number) + "</integer>";
}

std::string AttachedBody(int id, const std::string& serial, bool usb) {
  const std::string device_id = "<key>DeviceID</key><integer>" + std::to_string(id) + "</integer>";
  return device_id + "<key>MessageType</key><string>Attached</string><key>Properties</key><dict>" +
         "<key>ConnectionSpeed</key><integer>480000000</integer><key>ConnectionType</key><string>" +
         (usb ? "USB" : "Network") + "</string>" + device_id +
         "<key>ProductID</key><integer>4776</integer><key>SerialNumber</key><string>" + serial +
         "</string></dict>";
}

std::string DetachedBody(int id) {
  return "<key>DeviceID</key><integer>" + std::to_string(id) +
         "</integer><key>MessageType</key><string>Detached</string>";
}

}  // namespace

std::unique_ptr<UsbmuxdStandIn> UsbmuxdStandIn::Start(UsbmuxdOptions options) {
  UniqueFd socket;
  std::string address = options.listen;
  const size_t colon = options.listen.rfind(':');
  if (!options.listen.empty() && options.listen.front() == '/') {
    socket = ListenUnix(options.listen, 16);
  } else if (colon != std::string::npos) {
    const std::string host = options.listen.substr(0, colon);
    socket = ListenIpv4At(host,
                          static_cast<uint16_t>(std::atoi(options.listen.c_str() + colon + 1)), 16);
    if (socket) address = host + ":" + std::to_string(LocalPort(socket.Get()));
  }
  if (!socket) return nullptr;
  return std::unique_ptr<UsbmuxdStandIn>(
      new UsbmuxdStandIn(std::move(options), std::move(socket), std::move(address)));
}

UsbmuxdStandIn::UsbmuxdStandIn(UsbmuxdOptions options, UniqueFd listen_socket, std::string address)
    : options_(std::move(options)),
      listen_socket_(std::move(listen_socket)),
      address_(std::move(address)),
      refusals_left_(options_.refuse_connect) {
  accept_thread_ = std::thread([this] { AcceptLoop(); });
}

UsbmuxdStandIn::~UsbmuxdStandIn() {
  Stop();
}

void UsbmuxdStandIn::Report(const std::string& line) const {
  if (options_.report) options_.report(line);
}

void UsbmuxdStandIn::AcceptLoop() {
  while (!stopping_) {
    if (!PollReadable(listen_socket_.Get(), 100).value_or(false)) continue;
    UniqueFd socket = AcceptConnection(listen_socket_.Get());
    if (!socket) continue;
    std::vector<Client> finished;
    std::lock_guard lock(mutex_);
    for (auto it = clients_.begin(); it != clients_.end();) {
      if (it->done->load()) {
        finished.push_back(std::move(*it));
        it = clients_.erase(it);
      } else {
        ++it;
      }
    }
    for (Client& client : finished) client.thread.join();  // they have returned already
    open_sockets_.insert(socket.Get());
    auto done = std::make_shared<std::atomic<bool>>(false);
    clients_.push_back(
        {std::thread([this, done, s = std::make_shared<UniqueFd>(std::move(socket))] {
           Serve(std::move(*s));
           done->store(true);
         }),
         done});
  }
}

bool UsbmuxdStandIn::Send(int socket, uint32_t tag, const std::string& body) {
  const std::string packet = ServicePacket(tag, body);
  return SendAll(socket, packet.data(), packet.size());
}

void UsbmuxdStandIn::Serve(UniqueFd socket) {
  SocketReader reader(socket.Get(), [this] { return !stopping_.load(); });
  std::string request;
  uint32_t tag = 0;
  if (ReadUsbmuxPacket(reader, kNoReadDeadline, request, &tag)) {
    const std::string type = PlistValue(request, "MessageType");
    if (type == "Listen") {
      Subscribe(socket.Get(), tag);
    } else if (type == "Connect" &&
               UsbmuxWirePort(static_cast<uint16_t>(AtoiLike(PlistValue(request, "PortNumber")))) ==
                   kPhoneTunnelPort) {
      Tunnel(std::move(socket), tag, AtoiLike(PlistValue(request, "DeviceID")));
      return;
    } else {
      std::lock_guard lock(mutex_);
      Send(socket.Get(), tag, ResultBody(kResultRefused));
    }
  }
  std::lock_guard lock(mutex_);
  open_sockets_.erase(socket.Get());
}

void UsbmuxdStandIn::Subscribe(int socket, uint32_t tag) {
  {
    std::lock_guard lock(mutex_);
    Send(socket, tag, ResultBody(kResultOk));
    for (const auto& [serial, device] : attached_) {
      Send(socket, 0, AttachedBody(device.id, serial, device.usb));
    }
    subscribers_.insert(socket);
  }
  Report("subscriber listening");
  SocketReader reader(socket, [this] { return !stopping_.load(); });
  std::string ignored;
  while (ReadUsbmuxPacket(reader, kNoReadDeadline, ignored)) {
  }
  std::lock_guard lock(mutex_);
  subscribers_.erase(socket);
}

void UsbmuxdStandIn::Tunnel(UniqueFd socket, uint32_t tag, int device_id) {
  UsbPhone phone;
  std::string serial;
  size_t record = 0;
  {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(attached_.begin(), attached_.end(),
                           [&](const auto& entry) { return entry.second.id == device_id; });
    const bool known = it != attached_.end();
    if (known) {
      serial = it->first;
      phone = it->second.phone;
      connects_.push_back({serial, TickMs(), false, 0});
    }
    const bool refuse = known && refusals_left_ > 0;
    if (refuse) --refusals_left_;
    if (!known || refuse) {
      Send(socket.Get(), tag, ResultBody(known ? kResultRefused : kResultBadDevice));
      open_sockets_.erase(socket.Get());
      Report("Connect to " + (known ? serial + ": refused" : "an unknown device"));
      return;
    }
    Send(socket.Get(), tag, ResultBody(kResultOk));
    connects_.back().tunnel = true;
    record = connects_.size() - 1;
    tunnels_.emplace(device_id, socket.Get());
  }
  Report("Connect to " + serial + ": tunnel");
  if (!phone.phone) {
    const std::string garbage(512, 'x');
    (void)SendAll(socket.Get(), garbage.data(), garbage.size());
    SocketReader reader(socket.Get(), [this] { return !stopping_.load(); });
    uint8_t byte;
    while (reader.ReadExact(&byte, 1, kNoReadDeadline) == ReadResult::kOk) {
    }
  } else if (auto link = phone.phone->Answer(UniqueFd(::dup(socket.Get())))) {
    // The link reads a duplicate, so the socket number stays ours until it
    // has left the lists that Detach and Stop shut down.
    RunWebcam(*link, phone.webcam, &stopping_);
    link->Drop();
  }
  {
    std::lock_guard lock(mutex_);
    for (auto it = tunnels_.begin(); it != tunnels_.end(); ++it) {
      if (it->second == socket.Get()) {
        tunnels_.erase(it);
        break;
      }
    }
    open_sockets_.erase(socket.Get());
    connects_[record].ended_ms = TickMs();
  }
  Report("tunnel to " + serial + " ended");
}

void UsbmuxdStandIn::Attach(const std::string& serial, UsbPhone phone, bool usb) {
  Detach(serial);  // a phone plugged in again is a new device
  std::lock_guard lock(mutex_);
  const int id = next_id_++;
  attached_[serial] = {id, usb, std::move(phone)};
  for (int subscriber : subscribers_) Send(subscriber, 0, AttachedBody(id, serial, usb));
  Report("attached " + serial + (usb ? "" : " over the network"));
}

void UsbmuxdStandIn::Detach(const std::string& serial) {
  std::lock_guard lock(mutex_);
  auto it = attached_.find(serial);
  if (it == attached_.end()) return;
  const int id = it->second.id;
  attached_.erase(it);
  for (int subscriber : subscribers_) Send(subscriber, 0, DetachedBody(id));
  // As a pulled cable does: every tunnel of the phone ends.
  auto [begin, end] = tunnels_.equal_range(id);
  for (auto t = begin; t != end; ++t) ShutdownBoth(t->second);
  Report("detached " + serial);
}

std::vector<UsbmuxdStandIn::ConnectRecord> UsbmuxdStandIn::Connects() const {
  std::lock_guard lock(mutex_);
  return connects_;
}

void UsbmuxdStandIn::Stop() {
  if (stopping_.exchange(true)) return;
  if (accept_thread_.joinable()) accept_thread_.join();
  std::vector<Client> clients;
  {
    std::lock_guard lock(mutex_);
    for (int socket : open_sockets_) ShutdownBoth(socket);
    clients.swap(clients_);
  }
  for (Client& client : clients) client.thread.join();
}

}  // namespace vistrel::phone
