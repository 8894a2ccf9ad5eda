// The USB watcher against a scripted usbmux service on a Unix socket (and,
// as root, against the real usbmuxd): what it asks, how it reacts to every
// message and to services that misbehave, and that it stops promptly.
#include "link/usbmux_client.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/log.h"
#include "platform/socket.h"
#include "tests/support/temp_folder.h"
#include "tests/support/wait_for.h"

namespace vistrel {
namespace {

using namespace std::chrono_literals;

using test::WaitFor;

size_t Count(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++count;
  }
  return count;
}

std::string Packet(const std::string& body, uint32_t type = 8) {
  const std::string payload = std::string(kUsbmuxPlistHeader) + body + "</dict></plist>\n";
  std::string packet;
  for (uint32_t field : {static_cast<uint32_t>(16 + payload.size()), 1u, type, 0u}) {
    for (int i = 0; i < 4; ++i) packet += static_cast<char>(field >> (8 * i));
  }
  return packet + payload;
}

std::string Result(int number) {
  return Packet("<key>MessageType</key><string>Result</string><key>Number</key><integer>" +
                std::to_string(number) + "</integer>");
}

std::string Attached(int id, const std::string& serial, const std::string& type = "USB") {
  return Packet("<key>DeviceID</key><integer>" + std::to_string(id) +
                "</integer><key>MessageType</key><string>Attached</string><key>Properties</key>"
                "<dict><key>ConnectionType</key><string>" +
                type + "</string><key>SerialNumber</key><string>" + serial + "</string></dict>");
}

std::string Detached(int id) {
  return Packet("<key>DeviceID</key><integer>" + std::to_string(id) +
                "</integer><key>MessageType</key><string>Detached</string>");
}

// Reads one request; empty when the client went away.
std::string ReadRequest(int socket) {
  std::string bytes(16, '\0');
  auto read_exact = [socket](char* to, size_t n) {
    for (size_t got = 0; got < n;) {
      const size_t r = ReceiveSome(socket, to + got, n - got).value_or(0);
      if (r == 0) return false;
      got += r;
    }
    return true;
  };
  if (!read_exact(bytes.data(), 16)) return {};
  const uint32_t length = static_cast<uint8_t>(bytes[0]) | static_cast<uint8_t>(bytes[1]) << 8 |
                          static_cast<uint8_t>(bytes[2]) << 16;
  std::string payload(length - 16, '\0');
  return read_exact(payload.data(), payload.size()) ? payload : std::string();
}

// Socket paths in a folder reached through a descriptor of it,
// "/proc/self/fd/N/NAME": a Unix socket path holds at most 107 bytes, which a
// deep temporary folder would exceed, so the tests do not depend on where
// the temporary folder is.
class SocketFolder {
 public:
  explicit SocketFolder(const std::filesystem::path& folder)
      : fd_(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)) {}
  std::string operator/(const std::string& name) const {
    return "/proc/self/fd/" + std::to_string(fd_.Get()) + "/" + name;
  }

 private:
  UniqueFd fd_;
};

// A usbmux service whose every connection runs `script` on its own thread.
class ScriptedService {
 public:
  using Script = std::function<void(int socket, const std::string& request)>;
  ScriptedService(const std::string& path, Script script)
      : listener_(ListenUnix(path, 64)), script_(std::move(script)) {
    thread_ = std::thread([this] {
      while (!stopping_) {
        if (!PollReadable(listener_.Get(), 20).value_or(false)) continue;
        UniqueFd socket = AcceptConnection(listener_.Get());
        if (!socket) continue;
        std::lock_guard lock(mutex_);
        const int fd = socket.Get();
        sockets_.push_back(std::move(socket));
        connections_.emplace_back([this, fd] { script_(fd, ReadRequest(fd)); });
      }
    });
  }
  ~ScriptedService() {
    stopping_ = true;
    thread_.join();
    std::lock_guard lock(mutex_);
    for (UniqueFd& socket : sockets_) ShutdownBoth(socket.Get());
    for (std::thread& connection : connections_) connection.join();
  }

 private:
  UniqueFd listener_;
  Script script_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<UniqueFd> sockets_;
  std::vector<std::thread> connections_;
};

void Send(int socket, const std::string& bytes) {
  (void)SendAll(socket, bytes.data(), bytes.size());
}

// Holds the connection open until the client closes it.
void Linger(int socket) {
  char byte;
  while (ReceiveSome(socket, &byte, 1).value_or(0) > 0) {
  }
}

class UsbmuxClientTest : public ::testing::Test {
 protected:
  std::unique_ptr<UsbmuxClient> MakeClient(const std::string& name) {
    UsbmuxService service;
    service.path = sockets_ / name;
    return std::make_unique<UsbmuxClient>(
        [this](UniqueFd socket, std::string label) {
          std::lock_guard lock(mutex_);
          tunnels_.emplace_back(std::move(socket));
          labels_.push_back(label);
          return done_;
        },
        47801, service);
  }

  test::TempFolder folder_;
  SocketFolder sockets_{folder_.path()};
  ScopedLogCapture log_;
  std::mutex mutex_;
  std::vector<UniqueFd> tunnels_;
  std::vector<std::string> labels_;
  std::shared_ptr<std::atomic<bool>> done_ = std::make_shared<std::atomic<bool>>(false);
};

TEST_F(UsbmuxClientTest, FollowsTheServiceFromListenToLoss) {
  std::mutex mutex;
  std::condition_variable changed;
  std::string connect_request;
  bool detach = false;
  bool drop = false;
  ScriptedService service(sockets_ / "usbmuxd", [&](int socket, const std::string& request) {
    if (request.find("<string>Connect</string>") != std::string::npos) {
      {
        std::lock_guard lock(mutex);
        connect_request = request;
      }
      Send(socket, Result(0));  // from here the socket is the phone's
      Linger(socket);
      return;
    }
    if (request.find("<string>Listen</string>") == std::string::npos) return;
    Send(socket, Result(0) + Attached(1, "PHONE-A") + Attached(2, "WIFI-B", "Network") +
                     Attached(1, "PHONE-A") + Detached(99) +
                     Packet("<key>MessageType</key><string>Paired</string>"));
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return detach; });
    Send(socket, Detached(1));
    changed.wait(lock, [&] { return drop; });
    ShutdownBoth(socket);
  });
  auto client = MakeClient("usbmuxd");
  client->Start();

  ASSERT_TRUE(WaitFor([&] { return log_.Contains("[usb] watching for iPhones on USB\n"); }));
  EXPECT_TRUE(client->listening());
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard lock(mutex_);
    return labels_.size() == 1;
  }));
  EXPECT_EQ(labels_[0], "usb:PHONE-A");
  {
    std::lock_guard lock(mutex);
    EXPECT_NE(connect_request.find("<key>MessageType</key><string>Connect</string><key>DeviceID"
                                   "</key><integer>1</integer><key>PortNumber</key><integer>47546"
                                   "</integer><key>ClientVersionString</key>"),
              std::string::npos);
  }
  // The second Attached of id 1 is logged and dropped; the network phone is not ours.
  EXPECT_EQ(Count(log_.Text(), "[usb] attached PHONE-A\n"), 2u);
  EXPECT_FALSE(log_.Contains("WIFI-B"));
  EXPECT_EQ(client->DeviceCount(), 1);

  // A pulled cable ends the tunnel's connection, and the worker with it.
  {
    std::lock_guard lock(mutex);
    detach = true;
    done_->store(true);
  }
  changed.notify_all();
  ASSERT_TRUE(WaitFor([&] { return client->DeviceCount() == 0; }));
  EXPECT_TRUE(log_.Contains("[usb] detached PHONE-A\n"));

  {
    std::lock_guard lock(mutex);
    drop = true;
  }
  changed.notify_all();
  ASSERT_TRUE(WaitFor([&] { return log_.Contains("[usb] usbmux connection lost; retrying\n"); }));
  EXPECT_FALSE(client->listening());
  client->Stop();
  client->Stop();
}

TEST_F(UsbmuxClientTest, SurvivesServicesThatMisbehave) {
  // Four services that never subscribe the watcher, one that floods it with
  // phones, and none at all; all at once, so the 3-s reply wait runs once.
  ScriptedService silent(sockets_ / "silent",
                         [](int socket, const std::string&) { Linger(socket); });
  ScriptedService refusing(sockets_ / "refusing",
                           [](int socket, const std::string&) { Send(socket, Result(1)); });
  ScriptedService short_header(sockets_ / "short", [](int socket, const std::string&) {
    Send(socket, Result(0).replace(0, 4, std::string("\x0f\0\0\0", 4)));
    Linger(socket);
  });
  ScriptedService cut(sockets_ / "cut", [](int socket, const std::string&) {
    Send(socket, Result(0).substr(0, 30));
    ShutdownBoth(socket);
  });
  ScriptedService flooding(sockets_ / "flood", [](int socket, const std::string& request) {
    if (request.find("Listen") == std::string::npos) {
      Linger(socket);  // Connect: never answered
      return;
    }
    std::string events = Result(0);
    for (int i = 0; i < 10000; ++i) events += Attached(i, "P" + std::to_string(i % 100));
    for (int i = 0; i < 10000; ++i) events += Attached(7, "SAME");
    // A slot frees and fills again: a new shortage.
    events += Detached(3) + Attached(20000, "LATE-A") + Attached(20001, "LATE-B") +
              Attached(20002, "LATE-C");
    Send(socket, events);
    Linger(socket);
  });

  std::vector<std::unique_ptr<UsbmuxClient>> clients;
  for (const char* name : {"silent", "refusing", "short", "cut", "flood", "absent"}) {
    clients.push_back(MakeClient(name));
    clients.back()->Start();
  }
  EXPECT_TRUE(WaitFor([&] { return Count(log_.Text(), "[usb] usbmux Listen refused\n") == 4; }));
  EXPECT_TRUE(log_.Contains("[usb] usbmuxd not reachable on " + sockets_ / "absent" +
                            "; install usbmuxd for USB connections\n"));
  EXPECT_FALSE(clients[0]->listening());
  UsbmuxClient& flooded = *clients[4];
  ASSERT_TRUE(WaitFor([&] { return log_.Contains("[usb] attached LATE-C\n"); }));
  EXPECT_EQ(Count(log_.Text(), "[usb] attached SAME\n"), 10000u);
  EXPECT_EQ(flooded.DeviceCount(), 16);
  // Once per shortage of free slots, not once per refused phone.
  EXPECT_EQ(Count(log_.Text(), " ignored: too many phones attached\n"), 2u);
  EXPECT_TRUE(log_.Contains("[usb] P16 ignored: too many phones attached\n"));
  EXPECT_TRUE(log_.Contains("[usb] LATE-B ignored: too many phones attached\n"));
  EXPECT_TRUE(flooded.listening());
  // Workers waiting for a Connect reply and watchers waiting to retry all
  // leave at once.
  for (auto& client : clients) client->Stop();
  EXPECT_EQ(flooded.DeviceCount(), 0);
  EXPECT_EQ(Count(log_.Text(), "not reachable"), 1u);
}

// The real daemon, in a mount namespace of its own so that its socket lands
// in our folder; root only, as the daemon needs.
TEST_F(UsbmuxClientTest, SubscribesToTheRealUsbmuxd) {
  if (::geteuid() != 0) GTEST_SKIP() << "usbmuxd needs root; this run is not root";
  if (::access("/usr/sbin/usbmuxd", X_OK) != 0) GTEST_SKIP() << "usbmuxd is not installed";
  if (std::system("unshare --mount true 2>/dev/null") != 0) {
    GTEST_SKIP() << "no mount namespace can be made here";
  }
  const std::string run = (folder_ / "run").string();
  std::filesystem::create_directories(run);
  const pid_t daemon = ::fork();
  if (daemon == 0) {
    const std::string script = "mount --make-rprivate / && mount --bind '" + run +
                               "' /run && exec usbmuxd --foreground --disable-hotplug "
                               "--no-preflight >/dev/null 2>&1";
    ::execlp("unshare", "unshare", "--mount", "sh", "-c", script.c_str(), nullptr);
    ::_exit(127);
  }
  struct EndDaemon {
    pid_t pid;
    ~EndDaemon() {
      ::kill(pid, SIGTERM);
      ::waitpid(pid, nullptr, 0);
    }
  } end_daemon{daemon};
  ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(run + "/usbmuxd"); }))
      << "usbmuxd did not start";
  const SocketFolder run_sockets(run);
  UsbmuxService service;
  service.path = run_sockets / "usbmuxd";
  UsbmuxClient client(
      [](UniqueFd, std::string) { return std::make_shared<std::atomic<bool>>(true); }, 47801,
      service);
  client.Start();
  EXPECT_TRUE(WaitFor([&] { return log_.Contains("[usb] watching for iPhones on USB\n"); }));
  EXPECT_TRUE(client.listening());
  EXPECT_EQ(client.DeviceCount(), 0);
  client.Stop();
}

}  // namespace
}  // namespace vistrel
