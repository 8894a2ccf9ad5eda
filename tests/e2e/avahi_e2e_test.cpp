// The advertisement with a real avahi-daemon, as a phone on the network would
// see it through avahi-browse. The daemon runs on a private system bus, in a
// network namespace of its own whose only interface is one end of a veth pair,
// so no multicast ever leaves the namespace. That interface's index is not the
// one of the machine's first LAN interface: the service must be published on
// every interface, not only where the first LAN address lives. The daemon is
// also restarted under a running receiver, which must publish again.
// Without a responder, the failure line and a pairing are checked for any user.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <thread>

#include "link/advertiser.h"
#include "platform/files.h"
#include "platform/lan_addresses.h"
#include "tests/e2e/e2e_support.h"

extern char** environ;

namespace vistrel {
namespace {

using namespace std::chrono_literals;

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = 20s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

size_t Count(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++count;
  }
  return count;
}

bool Installed(const char* program) {
  return std::system(("command -v " + std::string(program) + " >/dev/null 2>&1").c_str()) == 0;
}

// A daemon of the test: its output goes to `log`; SIGTERM and a wait on the way out.
class Daemon {
 public:
  Daemon(const std::vector<std::string>& args, const std::string& bus,
         const std::filesystem::path& log)
      : log_(log) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> env_text = {"DBUS_SYSTEM_BUS_ADDRESS=" + bus};
    for (char** e = environ; *e; ++e) {
      if (std::string(*e).rfind("DBUS_SYSTEM_BUS_ADDRESS=", 0) != 0) env_text.push_back(*e);
    }
    std::vector<char*> envp;
    for (std::string& e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);
    if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Daemon() { Stop(); }
  void Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  bool Running() const { return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0; }
  std::string Output() const { return ReadFileText(log_, 1 << 20).value_or(""); }

 private:
  std::filesystem::path log_;
  pid_t pid_ = -1;
};

// "=;..." lines of avahi-browse for our service type, resolved.
std::string Browse(const std::string& bus) {
  std::string text;
  const std::string command =
      "DBUS_SYSTEM_BUS_ADDRESS='" + bus + "' avahi-browse -rpt _vistrel._tcp 2>/dev/null";
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[1024];
    while (std::fgets(buffer, sizeof buffer, pipe)) {
      if (buffer[0] == '=') text += buffer;
    }
    ::pclose(pipe);
  }
  return text;
}

std::string ReceiverId(const test::ReceiverProcess& receiver) {
  const std::string log = receiver.Log();
  const size_t at = log.find("Receiver ");
  return at == std::string::npos ? "" : log.substr(at + 9, log.find(',', at) - at - 9);
}

TEST(AvahiE2E, AdvertisesWhileRunningAndPairsWithoutADaemon) {
  const std::vector<LanAddress> lan = LanAddresses();
  {
    // No system bus at all, as on a machine without Avahi.
    test::ReceiverProcess receiver;
    ASSERT_TRUE(receiver.Start());
    EXPECT_TRUE(receiver.WaitForLog(lan.empty() ? "[mdns] no LAN address; waiting for a network\n"
                                                : "[mdns] DnsServiceRegister failed (-26)\n"));
    auto device = phone::Phone::Create(receiver.root() / "phone");
    EXPECT_TRUE(test::PairAndApprove(receiver, *device, "Pixel"));
  }

  if (::geteuid() != 0) GTEST_SKIP() << "avahi-daemon and a network namespace need root";
  for (const char* program : {"dbus-daemon", "avahi-daemon", "avahi-browse", "unshare", "ip"}) {
    if (!Installed(program)) GTEST_SKIP() << program << " is not installed";
  }
  if (lan.empty()) GTEST_SKIP() << "this machine has no LAN address, so nothing is published";
  // avahi-daemon keeps its pid file in /run: one daemon per machine at a time.
  UniqueFd lock(::open("/tmp/vistrel-avahi-e2e.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!WaitUntil([&] { return ::flock(lock.Get(), LOCK_EX | LOCK_NB) == 0; }, 120s)) {
    GTEST_SKIP() << "another avahi test held the lock for two minutes";
  }

  test::TempFolder folder;
  const std::string bus = "unix:path=" + (folder / "bus").string();
  std::ofstream(folder / "bus.conf")
      << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN\"\n"
         " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
         "<busconfig><type>system</type><listen>"
      << bus
      << "</listen><auth>EXTERNAL</auth>"
         "<policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>"
         "<allow send_type=\"method_call\"/><allow send_type=\"signal\"/>"
         "<allow send_type=\"method_return\"/><allow send_type=\"error\"/>"
         "<allow receive_type=\"method_call\"/><allow receive_type=\"signal\"/>"
         "<allow receive_type=\"method_return\"/><allow receive_type=\"error\"/>"
         "</policy></busconfig>\n";
  std::ofstream(folder / "avahi.conf")
      << "[server]\nuse-ipv4=yes\nuse-ipv6=no\nallow-interfaces=vstl0\nenable-dbus=yes\n"
         "[wide-area]\nenable-wide-area=no\n[publish]\npublish-hinfo=no\n"
         "publish-workstation=no\n";
  const std::string namespace_setup =
      "ip link set lo up && ip link add vstl0 index " +
      std::to_string(lan.front().interface + 1000) +
      " type veth peer name vstl1 && ip addr add 198.51.100.1/24 dev vstl0 && "
      "ip link set vstl1 up && ip link set vstl0 up && exec avahi-daemon --no-drop-root "
      "--no-chroot --no-rlimits -f " +
      (folder / "avahi.conf").string();
  const std::vector<std::string> avahi_args = {"unshare", "--net", "sh", "-c", namespace_setup};

  Daemon dbus({"dbus-daemon", "--nofork", "--config-file=" + (folder / "bus.conf").string()}, bus,
              folder / "dbus.log");
  ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(folder / "bus"); })) << dbus.Output();
  auto avahi = std::make_unique<Daemon>(avahi_args, bus, folder / "avahi.log");
  if (!WaitUntil([&] {
        return avahi->Output().find("Server startup complete") != std::string::npos ||
               !avahi->Running();
      }) ||
      !avahi->Running()) {
    GTEST_SKIP() << "avahi-daemon did not start here: " << avahi->Output();
  }

  const std::string instance = DnsSdInstanceName() + "._vistrel._tcp.local";
  std::string id;
  uint16_t port = 0;
  {
    test::ReceiverProcess receiver;
    receiver.SetSystemBus(bus);
    ASSERT_TRUE(receiver.Start());
    EXPECT_TRUE(receiver.WaitForLog("[mdns] advertising " + instance + "\n"));
    id = ReceiverId(receiver);
    port = receiver.port();
    // avahi-browse prints TXT strings last first: on the wire "v=1" comes first.
    const std::string expected = ";" + DnsSdInstanceName() + ";_vistrel._tcp;local;";
    const std::string txt = ";" + std::to_string(port) + ";\"id=" + id + "\" \"v=1\"\n";
    std::string seen;
    EXPECT_TRUE(WaitUntil([&] {
      seen = Browse(bus);
      return seen.find(expected) != std::string::npos && seen.find(txt) != std::string::npos;
    })) << seen;
    EXPECT_EQ(receiver.Quit(), 0);
  }
  // Stopping withdrew it.
  std::string seen;
  EXPECT_TRUE(WaitUntil([&] {
    seen = Browse(bus);
    return seen.find("\"id=" + id + "\"") == std::string::npos;
  })) << seen;

  // A daemon that comes after the receiver is picked up without a restart.
  avahi.reset();
  test::ReceiverProcess receiver;
  receiver.SetSystemBus(bus);
  ASSERT_TRUE(receiver.Start());
  EXPECT_TRUE(receiver.WaitForLog("[mdns] DnsServiceRegister failed (-26)\n"));
  avahi = std::make_unique<Daemon>(avahi_args, bus, folder / "avahi-again.log");
  const std::string advertising = "[mdns] advertising " + instance + "\n";
  EXPECT_TRUE(receiver.WaitForLog(advertising));

  // A daemon restarted under the receiver: one line when it goes, one when it
  // is back, and the service is published again without a network change.
  avahi.reset();
  const std::string gone = "[mdns] avahi-daemon went away; registering again when it is back\n";
  EXPECT_TRUE(receiver.WaitForLog(gone));
  avahi = std::make_unique<Daemon>(avahi_args, bus, folder / "avahi-restarted.log");
  const std::string back = "[mdns] avahi-daemon is back; registering again\n";
  EXPECT_TRUE(receiver.WaitForLog(back));
  EXPECT_TRUE(WaitUntil([&] { return Count(receiver.Log(), advertising) == 2; })) << receiver.Log();
  EXPECT_TRUE(WaitUntil([&] {
    seen = Browse(bus);
    return seen.find("\"id=" + ReceiverId(receiver) + "\"") != std::string::npos;
  })) << seen;
  EXPECT_EQ(Count(receiver.Log(), gone), 1u);
  EXPECT_EQ(Count(receiver.Log(), back), 1u);
  EXPECT_EQ(receiver.Quit(), 0);
}

}  // namespace
}  // namespace vistrel
