// A D-Bus service of a test: its own connection to a bus, and a GLib main
// loop on a thread of its own that serves the objects it registered and owns
// a well-known name. Ended (loop quit, thread joined, connection closed) with
// the object, so declare it after whatever its handlers use.
#pragma once

#include <gio/gio.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace vistrel::test {

class BusService {
 public:
  BusService() = default;
  ~BusService() {
    if (!bus_) return;
    if (thread_.joinable()) {
      g_main_context_invoke(
          context_,
          [](gpointer loop) {
            g_main_loop_quit(static_cast<GMainLoop*>(loop));
            return G_SOURCE_REMOVE;
          },
          loop_);
      thread_.join();
    }
    if (loop_) g_main_loop_unref(loop_);
    if (context_) g_main_context_unref(context_);
    g_dbus_connection_close_sync(bus_, nullptr, nullptr);
    g_object_unref(bus_);
  }
  BusService(const BusService&) = delete;
  BusService& operator=(const BusService&) = delete;

  // Connects to `bus_address`; on the service's thread, `set_up` registers
  // the interface that `xml` describes (and subscribes to signals), then
  // `name` is asked for without queueing. False when the bus cannot be
  // reached or the name is another's.
  bool Start(const std::string& bus_address, const char* name, const char* xml,
             const std::function<void(GDBusConnection*, GDBusInterfaceInfo*)>& set_up) {
    bus_ = g_dbus_connection_new_for_address_sync(
        bus_address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    if (!bus_) return false;
    context_ = g_main_context_new();
    loop_ = g_main_loop_new(context_, FALSE);
    std::mutex mutex;
    std::condition_variable changed;
    bool ready = false;
    bool owned = false;
    thread_ = std::thread([&, this] {
      g_main_context_push_thread_default(context_);
      GDBusNodeInfo* info = g_dbus_node_info_new_for_xml(xml, nullptr);
      set_up(bus_, info->interfaces[0]);
      GVariant* reply = g_dbus_connection_call_sync(
          bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
          "RequestName", g_variant_new("(su)", name, 4u /* DO_NOT_QUEUE */), G_VARIANT_TYPE("(u)"),
          G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
      guint32 answer = 0;
      if (reply) {
        g_variant_get(reply, "(u)", &answer);
        g_variant_unref(reply);
      }
      {
        // Told under the lock: once Start returns, its locals are gone.
        const std::lock_guard lock(mutex);
        owned = answer == 1;  // the primary owner
        ready = true;
        changed.notify_all();
      }
      g_main_loop_run(loop_);
      g_dbus_node_info_unref(info);
      g_main_context_pop_thread_default(context_);
    });
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return ready; });
    return owned;
  }

  GDBusConnection* bus() const { return bus_; }

 private:
  GDBusConnection* bus_ = nullptr;
  GMainContext* context_ = nullptr;
  GMainLoop* loop_ = nullptr;
  std::thread thread_;
};

}  // namespace vistrel::test
