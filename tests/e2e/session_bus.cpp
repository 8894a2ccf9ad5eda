#include "tests/e2e/session_bus.h"

#include <gio/gio.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>

#include "tests/e2e/bus_service.h"

namespace vistrel::test {
namespace {

constexpr char kWatcherXml[] = R"xml(<node>
 <interface name="org.kde.StatusNotifierWatcher">
  <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
  <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
  <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
  <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
  <property name="ProtocolVersion" type="i" access="read"/>
 </interface>
</node>)xml";

}  // namespace

SessionBus::SessionBus() {
  FILE* pipe =
      ::popen("dbus-daemon --session --fork --print-address=1 --print-pid=1 2>/dev/null", "r");
  if (!pipe) return;
  char line[512];
  if (std::fgets(line, sizeof line, pipe)) {
    address_ = line;
    while (!address_.empty() && (address_.back() == '\n' || address_.back() == '\r'))
      address_.pop_back();
  }
  if (std::fgets(line, sizeof line, pipe)) pid_ = static_cast<pid_t>(std::atoi(line));
  ::pclose(pipe);
}

SessionBus::~SessionBus() {
  if (pid_ > 0) ::kill(pid_, SIGTERM);
}

uint32_t ItemPixmap::Pixel(int x, int y) const {
  const size_t at =
      (static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)) * 4;
  if (at + 3 >= argb.size()) return 0;
  return uint32_t{argb[at]} << 24 | uint32_t{argb[at + 1]} << 16 | uint32_t{argb[at + 2]} << 8 |
         argb[at + 3];
}

struct StatusWatcher::Impl {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> items;  // guarded by mutex
  // The newest revision each sender announced with LayoutUpdated; guarded by mutex.
  std::map<std::string, uint32_t> announced;
  // The layouts the host keeps, by item name; the test's thread only.
  struct CachedMenu {
    std::string owner;  // the item's unique name, which signals come from
    uint32_t revision = 0;
    std::vector<MenuEntry> entries;
  };
  std::map<std::string, CachedMenu> menus;
  BusService service;  // last: its thread ends first

  GVariant* Call(const std::string& item, const char* path, const char* interface,
                 const char* method, GVariant* args, const char* reply_type) {
    GError* error = nullptr;
    GVariant* reply =
        g_dbus_connection_call_sync(service.bus(), item.c_str(), path, interface, method, args,
                                    reply_type ? G_VARIANT_TYPE(reply_type) : nullptr,
                                    G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
    if (error) g_error_free(error);
    return reply;
  }
  GVariant* Property(const std::string& item, const char* name) {
    GVariant* reply = Call(item, "/StatusNotifierItem", "org.freedesktop.DBus.Properties", "Get",
                           g_variant_new("(ss)", "org.kde.StatusNotifierItem", name), "(v)");
    if (!reply) return nullptr;
    GVariant* value = nullptr;
    g_variant_get(reply, "(v)", &value);
    g_variant_unref(reply);
    return value;
  }
};

namespace {

void WatcherCall(GDBusConnection*, const gchar* sender, const gchar*, const gchar*,
                 const gchar* method, GVariant* params, GDBusMethodInvocation* invocation,
                 gpointer data) {
  auto* impl = static_cast<StatusWatcher::Impl*>(data);
  if (!std::string(method).compare("RegisterStatusNotifierItem")) {
    const gchar* service = nullptr;
    g_variant_get(params, "(&s)", &service);
    // A path instead of a name means the item lives at that path under the sender.
    std::string name = service[0] == '/' ? sender : service;
    {
      std::lock_guard lock(impl->mutex);
      impl->items.push_back(name);
    }
    impl->changed.notify_all();
  }
  g_dbus_method_invocation_return_value(invocation, nullptr);
}

GVariant* WatcherGet(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                     const gchar* property, GError**, gpointer) {
  const std::string name = property;
  if (name == "IsStatusNotifierHostRegistered") return g_variant_new_boolean(TRUE);
  if (name == "ProtocolVersion") return g_variant_new_int32(0);
  return g_variant_new_strv(nullptr, 0);
}

const GDBusInterfaceVTable kWatcherTable = {WatcherCall, WatcherGet, nullptr, {}};

void LayoutUpdated(GDBusConnection*, const gchar* sender, const gchar*, const gchar*, const gchar*,
                   GVariant* params, gpointer data) {
  auto* impl = static_cast<StatusWatcher::Impl*>(data);
  guint32 revision = 0;
  g_variant_get(params, "(ui)", &revision, nullptr);
  {
    std::lock_guard lock(impl->mutex);
    uint32_t& newest = impl->announced[sender];
    newest = std::max(newest, revision);
  }
  impl->changed.notify_all();
}

// The entries of a GetLayout reply's top level; its revision in `revision`.
std::vector<MenuEntry> ParseLayout(GVariant* reply, uint32_t& revision) {
  std::vector<MenuEntry> entries;
  GVariant* children = nullptr;
  g_variant_get(reply, "(u(ia{sv}@av))", &revision, nullptr, nullptr, &children);
  GVariantIter iter;
  g_variant_iter_init(&iter, children);
  GVariant* child = nullptr;
  while (g_variant_iter_next(&iter, "v", &child)) {
    MenuEntry entry;
    GVariant* props = nullptr;
    g_variant_get(child, "(i@a{sv}@av)", &entry.id, &props, nullptr);
    const gchar* text = nullptr;
    gboolean enabled = TRUE;
    gint32 state = -1;
    if (g_variant_lookup(props, "type", "&s", &text) && std::string(text) == "separator") {
      entry.label = "-";
    } else if (g_variant_lookup(props, "label", "&s", &text)) {
      entry.label = text;
    }
    if (g_variant_lookup(props, "enabled", "b", &enabled)) entry.enabled = enabled;
    if (g_variant_lookup(props, "toggle-state", "i", &state)) entry.checked = state;
    entries.push_back(entry);
    g_variant_unref(props);
    g_variant_unref(child);
  }
  g_variant_unref(children);
  return entries;
}

}  // namespace

std::unique_ptr<StatusWatcher> StatusWatcher::Start(const std::string& bus_address) {
  auto impl = std::make_unique<Impl>();
  Impl* raw = impl.get();
  const bool owned = impl->service.Start(
      bus_address, "org.kde.StatusNotifierWatcher", kWatcherXml,
      [raw](GDBusConnection* bus, GDBusInterfaceInfo* interface) {
        g_dbus_connection_register_object(bus, "/StatusNotifierWatcher", interface, &kWatcherTable,
                                          raw, nullptr, nullptr);
        g_dbus_connection_signal_subscribe(bus, nullptr, "com.canonical.dbusmenu", "LayoutUpdated",
                                           "/MenuBar", nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
                                           LayoutUpdated, raw, nullptr);
      });
  if (!owned) return nullptr;
  return std::unique_ptr<StatusWatcher>(new StatusWatcher(std::move(impl)));
}

StatusWatcher::StatusWatcher(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

StatusWatcher::~StatusWatcher() = default;

std::optional<std::string> StatusWatcher::WaitForItem(int seconds) {
  std::unique_lock lock(impl_->mutex);
  if (!impl_->changed.wait_for(lock, std::chrono::seconds(seconds),
                               [&] { return !impl_->items.empty(); })) {
    return std::nullopt;
  }
  return impl_->items.front();
}

std::vector<ItemPixmap> StatusWatcher::IconPixmaps(const std::string& item) {
  std::vector<ItemPixmap> pixmaps;
  GVariant* value = impl_->Property(item, "IconPixmap");
  if (!value) return pixmaps;
  GVariantIter iter;
  g_variant_iter_init(&iter, value);
  gint32 width = 0, height = 0;
  GVariant* bytes = nullptr;
  while (g_variant_iter_next(&iter, "(ii@ay)", &width, &height, &bytes)) {
    gsize size = 0;
    const auto* data = static_cast<const uint8_t*>(g_variant_get_fixed_array(bytes, &size, 1));
    pixmaps.push_back({width, height, std::vector<uint8_t>(data, data + size)});
    g_variant_unref(bytes);
  }
  g_variant_unref(value);
  return pixmaps;
}

std::string StatusWatcher::ToolTipText(const std::string& item) {
  GVariant* value = impl_->Property(item, "ToolTip");
  if (!value) return {};
  const gchar* title = nullptr;
  const gchar* text = nullptr;
  g_variant_get(value, "(&s@a(iiay)&s&s)", nullptr, nullptr, &title, &text);
  std::string result = std::string(title) + (*text ? std::string("\n") + text : "");
  g_variant_unref(value);
  return result;
}

bool StatusWatcher::Activate(const std::string& item, int x, int y) {
  GVariant* reply = impl_->Call(item, "/StatusNotifierItem", "org.kde.StatusNotifierItem",
                                "Activate", g_variant_new("(ii)", x, y), nullptr);
  if (reply) g_variant_unref(reply);
  return reply != nullptr;
}

std::vector<MenuEntry> StatusWatcher::Menu(const std::string& item) {
  Impl::CachedMenu& menu = impl_->menus[item];
  const auto fetch = [&] {
    GVariant* reply = impl_->Call(item, "/MenuBar", "com.canonical.dbusmenu", "GetLayout",
                                  g_variant_new("(ii@as)", 0, -1, g_variant_new_strv(nullptr, 0)),
                                  "(u(ia{sv}av))");
    if (!reply) return;
    menu.entries = ParseLayout(reply, menu.revision);
    g_variant_unref(reply);
  };
  if (menu.owner.empty()) {
    // The first sight of the item: its owner, and the layout kept from now on.
    GVariant* reply = g_dbus_connection_call_sync(
        impl_->service.bus(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
        "org.freedesktop.DBus", "GetNameOwner", g_variant_new("(s)", item.c_str()),
        G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    if (!reply) return {};
    const gchar* owner = nullptr;
    g_variant_get(reply, "(&s)", &owner);
    menu.owner = owner;
    g_variant_unref(reply);
    fetch();
  }
  gboolean update = FALSE;
  if (GVariant* reply = impl_->Call(item, "/MenuBar", "com.canonical.dbusmenu", "AboutToShow",
                                    g_variant_new("(i)", 0), "(b)")) {
    g_variant_get(reply, "(b)", &update);
    g_variant_unref(reply);
  }
  // An update the item asks for comes as LayoutUpdated; without one the kept layout is shown.
  std::unique_lock lock(impl_->mutex);
  const auto announced_newer = [&] { return impl_->announced[menu.owner] > menu.revision; };
  if (update) impl_->changed.wait_for(lock, std::chrono::seconds(2), announced_newer);
  const bool newer = announced_newer();
  lock.unlock();
  if (newer) fetch();
  return menu.entries;
}

std::vector<std::string> StatusWatcher::MenuLabels(const std::string& item) {
  std::vector<std::string> labels;
  for (const MenuEntry& entry : Menu(item)) labels.push_back(entry.label);
  return labels;
}

bool StatusWatcher::ClickMenu(const std::string& item, int id) {
  GVariant* reply =
      impl_->Call(item, "/MenuBar", "com.canonical.dbusmenu", "Event",
                  g_variant_new("(isvu)", id, "clicked", g_variant_new_int32(0), 0u), nullptr);
  if (reply) g_variant_unref(reply);
  return reply != nullptr;
}

bool StatusWatcher::HasName(const std::string& name) {
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(
      impl_->service.bus(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
      "NameHasOwner", g_variant_new("(s)", name.c_str()), G_VARIANT_TYPE("(b)"),
      G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
  if (error) g_error_free(error);
  if (!reply) return false;
  gboolean has = FALSE;
  g_variant_get(reply, "(b)", &has);
  g_variant_unref(reply);
  return has;
}

}  // namespace vistrel::test
