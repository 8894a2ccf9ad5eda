#include "tests/e2e/gnome_session.h"

#include <fcntl.h>
#include <gio/gio.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "tests/support/wait_for.h"

extern char** environ;

namespace vistrel::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr char kIndicatorExtension[] = "ubuntu-appindicators@ubuntu.com";
constexpr char kRemoteDesktop[] = "org.gnome.Mutter.RemoteDesktop";
// The shell answered within 15 s where it was tried; twice that for a busy machine.
constexpr auto kShellStartLimit = 30s;

constexpr char kSystemBusConfig[] = R"xml(<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=@SOCKET@</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
  </policy>
</busconfig>
)xml";

std::string ReadText(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

pid_t SpawnGroup(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                 const fs::path& output) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // Its own group, so that XWayland and the shell's helpers end with it.
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  std::vector<std::string> args = argv, environment = env;
  std::vector<char*> arg_ptrs, env_ptrs;
  for (auto& a : args) arg_ptrs.push_back(a.data());
  arg_ptrs.push_back(nullptr);
  for (auto& e : environment) env_ptrs.push_back(e.data());
  env_ptrs.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, args[0].c_str(), &actions, &attributes, arg_ptrs.data(),
                   env_ptrs.data()) != 0) {
    pid = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  return pid;
}

// The test's environment without what names its own desktop and buses.
std::vector<std::string> InheritedEnvironment() {
  static const std::vector<std::string> kDropped = {
      "DISPLAY=", "WAYLAND_DISPLAY=",   "XAUTHORITY=", "DBUS_", "XDG_",
      "HOME=",    "GSETTINGS_BACKEND=", "GDK_BACKEND="};
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    if (std::none_of(kDropped.begin(), kDropped.end(),
                     [&](const std::string& prefix) { return entry.rfind(prefix, 0) == 0; })) {
      env.push_back(entry);
    }
  }
  return env;
}

// The session's programs may outlive a test that dies without its
// destructors; they must not hold what the test inherited, such as the
// lock its runner holds around it.
void KeepInheritedDescriptorsFromChildren() {
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd", ignored)) {
    const int fd = std::atoi(entry.path().filename().c_str());
    if (fd > 2) ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC);
  }
}

// Why the shell cannot run on this kernel, if that is why it failed.
std::string MissingKernelFeature() {
  const int fd = ::memfd_create("probe", MFD_CLOEXEC);
  if (fd < 0 && errno == ENOSYS) return "memfd_create (Linux 3.17), for Wayland's shared buffers";
  if (fd >= 0) ::close(fd);
  if (!fs::exists("/dev/shm")) return "/dev/shm (POSIX shared memory), for XWayland";
  return {};
}

}  // namespace

struct GnomeSession::Bus {
  GDBusConnection* connection = nullptr;
  std::mutex mutex;
  std::string notifications;  // guarded by mutex
  std::string shell_name;     // the shell's unique name; set before watching

  // A connection of its own to the bus at `address`; nothing, with the
  // reason in `error`, when it cannot be made.
  static std::unique_ptr<Bus> Open(const std::string& address, std::string& error) {
    GError* failure = nullptr;
    auto bus = std::make_unique<Bus>();
    bus->connection = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &failure);
    if (!bus->connection) {
      error = failure->message;
      g_error_free(failure);
      return nullptr;
    }
    return bus;
  }

  // On GDBus's thread, for every message the monitor sees.
  static GDBusMessage* Watched(GDBusConnection*, GDBusMessage* message, gboolean incoming,
                               gpointer data) {
    // A monitor only listens: a message handed on would be answered, and
    // the bus drops a monitor that sends anything.
    if (!incoming || g_dbus_message_get_message_type(message) != G_DBUS_MESSAGE_TYPE_METHOD_CALL) {
      return message;
    }
    GVariant* body = g_dbus_message_get_body(message);
    auto* bus = static_cast<Bus*>(data);
    const gchar* destination = g_dbus_message_get_destination(message);
    // The app's call, not the shell's notification service handing it on.
    if (g_strcmp0(g_dbus_message_get_member(message), "Notify") != 0 ||
        (destination && bus->shell_name == destination) || !body ||
        !g_variant_is_of_type(body, G_VARIANT_TYPE("(susssasa{sv}i)"))) {
      g_object_unref(message);
      return nullptr;
    }
    const gchar *title = nullptr, *text = nullptr;
    GVariantIter* actions = nullptr;
    g_variant_get(body, "(&su&s&s&sasa{sv}i)", nullptr, nullptr, nullptr, &title, &text, &actions,
                  nullptr, nullptr);
    std::string line = std::string(title) + ": " + text + " [";
    const gchar* action = nullptr;
    for (bool first = true; g_variant_iter_next(actions, "&s", &action); first = false) {
      line += (first ? "" : ",") + std::string(action);
    }
    g_variant_iter_free(actions);
    std::lock_guard lock(bus->mutex);
    bus->notifications += line + "]\n";
    g_object_unref(message);
    return nullptr;
  }
  ~Bus() {
    if (connection) g_object_unref(connection);
  }
  GVariant* Call(const char* name, const std::string& path, const char* interface,
                 const char* method, GVariant* args, const char* reply = nullptr) {
    return g_dbus_connection_call_sync(connection, name, path.c_str(), interface, method, args,
                                       reply ? G_VARIANT_TYPE(reply) : nullptr,
                                       G_DBUS_CALL_FLAGS_NONE, 10'000, nullptr, nullptr);
  }
  bool CallOk(const char* name, const std::string& path, const char* interface, const char* method,
              GVariant* args) {
    GVariant* reply = Call(name, path, interface, method, args);
    if (!reply) return false;
    g_variant_unref(reply);
    return true;
  }
  std::string ShellVersion() {
    GVariant* reply = Call("org.gnome.Shell", "/org/gnome/Shell", "org.freedesktop.DBus.Properties",
                           "Get", g_variant_new("(ss)", "org.gnome.Shell", "ShellVersion"), "(v)");
    if (!reply) return {};
    GVariant* value = nullptr;
    g_variant_get(reply, "(v)", &value);
    std::string version = g_variant_is_of_type(value, G_VARIANT_TYPE_STRING)
                              ? g_variant_get_string(value, nullptr)
                              : "";
    g_variant_unref(value);
    g_variant_unref(reply);
    return version;
  }
  bool OverviewActive() {
    GVariant* reply =
        Call("org.gnome.Shell", "/org/gnome/Shell", "org.freedesktop.DBus.Properties", "Get",
             g_variant_new("(ss)", "org.gnome.Shell", "OverviewActive"), "(v)");
    if (!reply) return true;
    GVariant* value = nullptr;
    g_variant_get(reply, "(v)", &value);
    const bool active = g_variant_get_boolean(value);
    g_variant_unref(value);
    g_variant_unref(reply);
    return active;
  }
};

GnomeSession::GnomeSession(bool status_host) {
  if (Start(status_host)) return;
  missing_kernel_feature_ = MissingKernelFeature();
  const std::string log = ShellLog();
  error_ += "\n--- the end of the shell's log ---\n" +
            log.substr(log.size() - std::min<size_t>(log.size(), 2000));
}

GnomeSession::~GnomeSession() {
  bus_.reset();
  if (shell_pid_ > 0) {
    ::kill(-shell_pid_, SIGTERM);
    const bool ended = WaitFor([&] { return ::waitpid(shell_pid_, nullptr, WNOHANG) != 0; }, 10s);
    ::kill(-shell_pid_, SIGKILL);
    if (!ended) ::waitpid(shell_pid_, nullptr, 0);
  }
  if (system_bus_pid_ > 0) ::kill(system_bus_pid_, SIGTERM);
}

bool GnomeSession::StartSystemBus() {
  const fs::path config = root_ / "system-bus.conf";
  std::string text = kSystemBusConfig;
  text.replace(text.find("@SOCKET@"), 8, (root_ / "system_bus_socket").string());
  std::ofstream(config) << text;
  const std::string command =
      "dbus-daemon --config-file=" + config.string() + " --fork --print-address=1 --print-pid=1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return false;
  char line[512];
  if (std::fgets(line, sizeof line, pipe)) {
    system_bus_address_ = line;
    while (!system_bus_address_.empty() && std::isspace(system_bus_address_.back()))
      system_bus_address_.pop_back();
  }
  if (std::fgets(line, sizeof line, pipe)) system_bus_pid_ = static_cast<pid_t>(std::atoi(line));
  ::pclose(pipe);
  return !system_bus_address_.empty();
}

bool GnomeSession::Start(bool status_host) {
  KeepInheritedDescriptorsFromChildren();
  session_bus_ = std::make_unique<SessionBus>();
  bus_address_ = session_bus_->address();
  if (bus_address_.empty()) {
    error_ = "the session bus (dbus-daemon) could not start";
    return false;
  }
  if (!StartSystemBus()) {
    error_ = "the system bus (dbus-daemon) could not start";
    return false;
  }
  for (const char* sub : {"home", "config/glib-2.0/settings", "run"}) {
    fs::create_directories(root_ / sub);
  }
  fs::permissions(root_ / "run", fs::perms::owner_all);
  // The shell's settings from a key file: only the extensions differ from a
  // fresh login's.
  std::ofstream(root_ / "config/glib-2.0/settings/keyfile")
      << "[org/gnome/shell]\nenabled-extensions=["
      << (status_host ? std::string("'") + kIndicatorExtension + "'" : "") << "]\n";

  std::vector<std::string> env = InheritedEnvironment();
  env.push_back("HOME=" + (root_ / "home").string());
  env.push_back("XDG_CONFIG_HOME=" + (root_ / "config").string());
  env.push_back("XDG_RUNTIME_DIR=" + (root_ / "run").string());
  env.push_back("XDG_SESSION_TYPE=wayland");
  env.push_back("XDG_CURRENT_DESKTOP=GNOME");
  env.push_back("GSETTINGS_BACKEND=keyfile");
  env.push_back("DBUS_SESSION_BUS_ADDRESS=" + bus_address_);
  env.push_back("DBUS_SYSTEM_BUS_ADDRESS=" + system_bus_address_);
  env.push_back("NO_AT_BRIDGE=1");
  wayland_socket_ = (root_ / "run" / "wayland-0").string();
  shell_pid_ = SpawnGroup({"gnome-shell", "--headless", "--wayland", "--virtual-monitor",
                           "1280x800", "--wayland-display", "wayland-0"},
                          env, root_ / "shell.log");
  if (shell_pid_ < 0) {
    error_ = "gnome-shell could not be run (is it installed?)";
    return false;
  }
  return WaitForShell() && WatchNotifications() && FindXWayland() && AddKeyboard();
}

bool GnomeSession::WatchNotifications() {
  // A second connection that only watches: the shell shows what it is sent.
  std::string why;
  monitor_ = Bus::Open(bus_address_, why);
  if (!monitor_) {
    error_ = "cannot watch the session bus: " + why;
    return false;
  }
  GVariant* owner =
      bus_->Call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                 "GetNameOwner", g_variant_new("(s)", "org.gnome.Shell"), "(s)");
  if (owner) {
    const gchar* name = nullptr;
    g_variant_get(owner, "(&s)", &name);
    monitor_->shell_name = name;
    g_variant_unref(owner);
  }
  g_dbus_connection_add_filter(monitor_->connection, &GnomeSession::Bus::Watched, monitor_.get(),
                               nullptr);
  const char* rules[] = {
      "type='method_call',interface='org.freedesktop.Notifications',"
      "member='Notify'",
      nullptr};
  if (!monitor_->CallOk("org.freedesktop.DBus", "/org/freedesktop/DBus",
                        "org.freedesktop.DBus.Monitoring", "BecomeMonitor",
                        g_variant_new("(^asu)", rules, 0u))) {
    error_ = "cannot watch the session bus (BecomeMonitor)";
    return false;
  }
  return true;
}

bool GnomeSession::WaitForShell() {
  std::string why;
  bus_ = Bus::Open(bus_address_, why);
  if (!bus_) {
    error_ = "cannot reach the session bus: " + why;
    return false;
  }
  const bool up = WaitFor(
      [&] {
        if (::waitpid(shell_pid_, nullptr, WNOHANG) == shell_pid_) {
          shell_pid_ = -1;
          return true;
        }
        return !bus_->ShellVersion().empty();
      },
      kShellStartLimit);
  if (shell_pid_ < 0) {
    error_ = "gnome-shell ended at start";
    return false;
  }
  if (!up) error_ = "gnome-shell did not answer ShellVersion on the session bus in time";
  return up;
}

bool GnomeSession::FindXWayland() {
  static const std::string kPublic = "Using public X11 display ";
  const bool found = WaitFor(
      [&] {
        const std::string log = ShellLog();
        const size_t at = log.find(kPublic);
        if (at == std::string::npos) return false;
        const size_t end = log.find(',', at);
        x_display_ = log.substr(at + kPublic.size(), end - at - kPublic.size());
        for (const auto& entry : fs::directory_iterator(root_ / "run")) {
          if (entry.path().filename().string().rfind(".mutter-Xwaylandauth.", 0) == 0) {
            x_authority_ = entry.path().string();
          }
        }
        return !x_authority_.empty();
      },
      10s);
  if (!found) error_ = "the shell started no XWayland";
  return found;
}

bool GnomeSession::AddKeyboard() {
  GVariant* reply = bus_->Call(kRemoteDesktop, "/org/gnome/Mutter/RemoteDesktop", kRemoteDesktop,
                               "CreateSession", nullptr, "(o)");
  if (reply) {
    const gchar* path = nullptr;
    g_variant_get(reply, "(&o)", &path);
    keyboard_session_ = path;
    g_variant_unref(reply);
  }
  if (keyboard_session_.empty() ||
      !bus_->CallOk(kRemoteDesktop, keyboard_session_, "org.gnome.Mutter.RemoteDesktop.Session",
                    "Start", nullptr)) {
    error_ = "Mutter's remote desktop gave no keyboard";
    return false;
  }
  // The shell opens its overview once started, and keeps the keyboard from
  // every window until Escape closes it. The first key also gives the seat
  // its keyboard.
  if (!WaitFor([&] { return ShellLog().find("GNOME Shell started at") != std::string::npos; },
               kShellStartLimit)) {
    error_ = "the shell did not finish starting";
    return false;
  }
  bool pressed = false;
  const bool closed = WaitFor(
      [&] {
        if (pressed && !bus_->OverviewActive()) return true;
        pressed = PressKeys({0xFF1B});
        std::this_thread::sleep_for(200ms);
        return false;
      },
      10s);
  if (!closed) error_ = "the shell's overview did not close";
  return closed;
}

bool GnomeSession::Key(uint32_t keysym, bool pressed) {
  return bus_ && !keyboard_session_.empty() &&
         bus_->CallOk(kRemoteDesktop, keyboard_session_, "org.gnome.Mutter.RemoteDesktop.Session",
                      "NotifyKeyboardKeysym", g_variant_new("(ub)", keysym, pressed));
}

bool GnomeSession::PressKeys(const std::vector<uint32_t>& keysyms) {
  for (const uint32_t keysym : keysyms) {
    if (!Key(keysym, true)) return false;
  }
  for (auto keysym = keysyms.rbegin(); keysym != keysyms.rend(); ++keysym) {
    if (!Key(*keysym, false)) return false;
  }
  return true;
}

bool GnomeSession::HasName(const std::string& name) {
  if (!bus_) return false;
  GVariant* reply =
      bus_->Call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                 "NameHasOwner", g_variant_new("(s)", name.c_str()), "(b)");
  if (!reply) return false;
  gboolean owned = FALSE;
  g_variant_get(reply, "(b)", &owned);
  g_variant_unref(reply);
  return owned;
}

std::vector<std::string> GnomeSession::StatusItems() {
  std::vector<std::string> items;
  if (!bus_) return items;
  GVariant* reply = bus_->Call(
      "org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher", "org.freedesktop.DBus.Properties",
      "Get",
      g_variant_new("(ss)", "org.kde.StatusNotifierWatcher", "RegisteredStatusNotifierItems"),
      "(v)");
  if (!reply) return items;
  GVariant* value = nullptr;
  g_variant_get(reply, "(v)", &value);
  if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING_ARRAY)) {
    GVariantIter iter;
    g_variant_iter_init(&iter, value);
    const gchar* item = nullptr;
    while (g_variant_iter_next(&iter, "&s", &item)) items.push_back(item);
  }
  g_variant_unref(value);
  g_variant_unref(reply);
  return items;
}

bool GnomeSession::ActivateItem(const std::string& item, int x, int y) {
  // Registered as "NAME" or "NAME/PATH"; the extension keeps what it was given.
  const size_t slash = item.find('/');
  const std::string name = item.substr(0, slash);
  const std::string path = slash == std::string::npos ? "/StatusNotifierItem" : item.substr(slash);
  return bus_ && bus_->CallOk(name.c_str(), path, "org.kde.StatusNotifierItem", "Activate",
                              g_variant_new("(ii)", x, y));
}

bool GnomeSession::ClickMenuItem(const std::string& item, int id) {
  const std::string name = item.substr(0, item.find('/'));
  return bus_ && bus_->CallOk(name.c_str(), "/MenuBar", "com.canonical.dbusmenu", "Event",
                              g_variant_new("(isvu)", id, "clicked", g_variant_new_int32(0), 0u));
}

std::string GnomeSession::Notifications() {
  if (!monitor_) return {};
  std::lock_guard lock(monitor_->mutex);
  return monitor_->notifications;
}

std::string GnomeSession::ShellLog() const {
  return ReadText(root_ / "shell.log");
}

std::vector<std::string> GnomeSession::Environment() const {
  return {"WAYLAND_DISPLAY=" + wayland_socket_,
          "DISPLAY=" + x_display_,
          "XAUTHORITY=" + x_authority_,
          "DBUS_SESSION_BUS_ADDRESS=" + bus_address_,
          "XDG_SESSION_TYPE=wayland",
          "XDG_CURRENT_DESKTOP=GNOME",
          "NO_AT_BRIDGE=1"};
}

}  // namespace vistrel::test
