#include "tests/e2e/remote_desktop_portal.h"

#include <gio/gio.h>

#include <cstring>
#include <mutex>

#include "tests/e2e/bus_service.h"

namespace vistrel::test {
namespace {

constexpr char kPath[] = "/org/freedesktop/portal/desktop";

constexpr char kPortalXml[] = R"xml(<node>
 <interface name="org.freedesktop.portal.RemoteDesktop">
  <method name="CreateSession"><arg type="a{sv}" direction="in"/><arg type="o" direction="out"/></method>
  <method name="SelectDevices"><arg type="o" direction="in"/><arg type="a{sv}" direction="in"/><arg type="o" direction="out"/></method>
  <method name="Start"><arg type="o" direction="in"/><arg type="s" direction="in"/><arg type="a{sv}" direction="in"/><arg type="o" direction="out"/></method>
  <method name="NotifyKeyboardKeysym"><arg type="o" direction="in"/><arg type="a{sv}" direction="in"/><arg type="i" direction="in"/><arg type="u" direction="in"/></method>
  <property name="AvailableDeviceTypes" type="u" access="read"/>
  <property name="version" type="u" access="read"/>
 </interface>
</node>)xml";

std::string StringOption(GVariant* options, const char* key) {
  const gchar* value = nullptr;
  return g_variant_lookup(options, key, "&s", &value) ? value : "";
}

}  // namespace

struct RemoteDesktopPortal::Impl {
  KeyFunction key;
  std::mutex mutex;
  Record record;             // guarded by mutex
  std::string issued_token;  // the portal thread's
  std::string session;       // the portal thread's

  // Answers a request method with its Request object, then the Response on it.
  void Answer(GDBusMethodInvocation* invocation, GVariant* options, GVariant* results) {
    std::string sender = g_dbus_method_invocation_get_sender(invocation) + 1;
    for (char& c : sender) c = c == '.' ? '_' : c;
    const std::string request =
        std::string(kPath) + "/request/" + sender + "/" + StringOption(options, "handle_token");
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(o)", request.c_str()));
    g_dbus_connection_emit_signal(service.bus(), g_dbus_method_invocation_get_sender(invocation),
                                  request.c_str(), "org.freedesktop.portal.Request", "Response",
                                  g_variant_new("(u@a{sv})", 0u, results), nullptr);
  }

  GVariant* Results(std::initializer_list<std::pair<const char*, GVariant*>> entries) {
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("a{sv}"));
    for (const auto& [name, value] : entries) g_variant_builder_add(&builder, "{sv}", name, value);
    return g_variant_builder_end(&builder);
  }

  void Call(const gchar* method, GVariant* parameters, GDBusMethodInvocation* invocation) {
    if (!std::strcmp(method, "CreateSession")) {
      GVariant* options = g_variant_get_child_value(parameters, 0);
      std::string sender = g_dbus_method_invocation_get_sender(invocation) + 1;
      for (char& c : sender) c = c == '.' ? '_' : c;
      session = std::string(kPath) + "/session/" + sender + "/" +
                StringOption(options, "session_handle_token");
      Answer(invocation, options,
             Results({{"session_handle", g_variant_new_string(session.c_str())}}));
      g_variant_unref(options);
    } else if (!std::strcmp(method, "SelectDevices")) {
      GVariant* options = g_variant_get_child_value(parameters, 1);
      {
        std::lock_guard lock(mutex);
        record.types = 0;
        record.persist_mode = 0;
        g_variant_lookup(options, "types", "u", &record.types);
        g_variant_lookup(options, "persist_mode", "u", &record.persist_mode);
        record.restore_token_given = StringOption(options, "restore_token");
      }
      Answer(invocation, options, Results({}));
      g_variant_unref(options);
    } else if (!std::strcmp(method, "Start")) {
      GVariant* options = g_variant_get_child_value(parameters, 2);
      {
        std::lock_guard lock(mutex);
        ++record.starts;
        // A real portal asks unless the token it gave last comes back.
        if (issued_token.empty() || record.restore_token_given != issued_token) ++record.consents;
        issued_token = "restore-" + std::to_string(record.starts);
      }
      Answer(invocation, options,
             Results({{"devices", g_variant_new_uint32(1)},
                      {"restore_token", g_variant_new_string(issued_token.c_str())}}));
      g_variant_unref(options);
    } else if (!std::strcmp(method, "NotifyKeyboardKeysym")) {
      const gchar* path = nullptr;
      gint32 keysym = 0;
      guint32 state = 0;
      g_variant_get(parameters, "(&o@a{sv}iu)", &path, nullptr, &keysym, &state);
      if (session.empty() || session != path) {
        g_dbus_method_invocation_return_dbus_error(
            invocation, "org.freedesktop.DBus.Error.AccessDenied", "no such session");
        return;
      }
      if (state == 1) {
        std::lock_guard lock(mutex);
        record.pressed.push_back(static_cast<uint32_t>(keysym));
      }
      if (key) key(static_cast<uint32_t>(keysym), state == 1);
      g_dbus_method_invocation_return_value(invocation, nullptr);
    } else {
      g_dbus_method_invocation_return_dbus_error(
          invocation, "org.freedesktop.DBus.Error.UnknownMethod", method);
    }
  }

  BusService service;  // last: its thread ends first
};

namespace {

void CallThunk(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
               GVariant* parameters, GDBusMethodInvocation* invocation, gpointer data) {
  static_cast<RemoteDesktopPortal::Impl*>(data)->Call(method, parameters, invocation);
}

GVariant* GetThunk(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                   const gchar* property, GError**, gpointer) {
  return g_variant_new_uint32(!std::strcmp(property, "version") ? 2u : 1u);
}

const GDBusInterfaceVTable kTable = {CallThunk, GetThunk, nullptr, {}};

}  // namespace

std::unique_ptr<RemoteDesktopPortal> RemoteDesktopPortal::Start(const std::string& bus_address,
                                                                KeyFunction key) {
  auto impl = std::make_unique<Impl>();
  impl->key = std::move(key);
  Impl* raw = impl.get();
  const bool owned = impl->service.Start(
      bus_address, "org.freedesktop.portal.Desktop", kPortalXml,
      [raw](GDBusConnection* bus, GDBusInterfaceInfo* interface) {
        g_dbus_connection_register_object(bus, kPath, interface, &kTable, raw, nullptr, nullptr);
      });
  if (!owned) return nullptr;
  return std::unique_ptr<RemoteDesktopPortal>(new RemoteDesktopPortal(std::move(impl)));
}

RemoteDesktopPortal::RemoteDesktopPortal(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

RemoteDesktopPortal::~RemoteDesktopPortal() = default;

RemoteDesktopPortal::Record RemoteDesktopPortal::Recorded() {
  std::lock_guard lock(impl_->mutex);
  return impl_->record;
}

}  // namespace vistrel::test
