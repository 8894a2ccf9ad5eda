#include "tray/status_notifier.h"

#include <gio/gio.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace vistrel::tray {
namespace {

constexpr char kItemPath[] = "/StatusNotifierItem";
constexpr char kMenuPath[] = "/MenuBar";
constexpr char kWatcherName[] = "org.kde.StatusNotifierWatcher";
constexpr int kPixmapSizes[] = {16, 22, 24, 32, 48, 64};

constexpr char kItemXml[] = R"xml(<node>
 <interface name="org.kde.StatusNotifierItem">
  <property name="Category" type="s" access="read"/>
  <property name="Id" type="s" access="read"/>
  <property name="Title" type="s" access="read"/>
  <property name="Status" type="s" access="read"/>
  <property name="WindowId" type="i" access="read"/>
  <property name="IconName" type="s" access="read"/>
  <property name="IconPixmap" type="a(iiay)" access="read"/>
  <property name="ToolTip" type="(sa(iiay)ss)" access="read"/>
  <property name="ItemIsMenu" type="b" access="read"/>
  <property name="Menu" type="o" access="read"/>
  <method name="Activate"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
  <method name="SecondaryActivate"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
  <method name="ContextMenu"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
  <method name="Scroll"><arg name="delta" type="i" direction="in"/><arg name="orientation" type="s" direction="in"/></method>
  <signal name="NewIcon"/>
  <signal name="NewToolTip"/>
  <signal name="NewStatus"><arg name="status" type="s"/></signal>
 </interface>
</node>)xml";

constexpr char kMenuXml[] = R"xml(<node>
 <interface name="com.canonical.dbusmenu">
  <property name="Version" type="u" access="read"/>
  <property name="TextDirection" type="s" access="read"/>
  <property name="Status" type="s" access="read"/>
  <property name="IconThemePath" type="as" access="read"/>
  <method name="GetLayout">
   <arg type="i" name="parentId" direction="in"/><arg type="i" name="recursionDepth" direction="in"/>
   <arg type="as" name="propertyNames" direction="in"/>
   <arg type="u" name="revision" direction="out"/><arg type="(ia{sv}av)" name="layout" direction="out"/>
  </method>
  <method name="GetGroupProperties">
   <arg type="ai" name="ids" direction="in"/><arg type="as" name="propertyNames" direction="in"/>
   <arg type="a(ia{sv})" name="properties" direction="out"/>
  </method>
  <method name="GetProperty">
   <arg type="i" name="id" direction="in"/><arg type="s" name="name" direction="in"/>
   <arg type="v" name="value" direction="out"/>
  </method>
  <method name="Event">
   <arg type="i" name="id" direction="in"/><arg type="s" name="eventId" direction="in"/>
   <arg type="v" name="data" direction="in"/><arg type="u" name="timestamp" direction="in"/>
  </method>
  <method name="EventGroup">
   <arg type="a(isvu)" name="events" direction="in"/><arg type="ai" name="idErrors" direction="out"/>
  </method>
  <method name="AboutToShow">
   <arg type="i" name="id" direction="in"/><arg type="b" name="needUpdate" direction="out"/>
  </method>
  <method name="AboutToShowGroup">
   <arg type="ai" name="ids" direction="in"/><arg type="ai" name="updatesNeeded" direction="out"/>
   <arg type="ai" name="idErrors" direction="out"/>
  </method>
  <signal name="ItemsPropertiesUpdated"><arg type="a(ia{sv})" name="updatedProps"/><arg type="a(ias)" name="removedProps"/></signal>
  <signal name="LayoutUpdated"><arg type="u" name="revision"/><arg type="i" name="parent"/></signal>
 </interface>
</node>)xml";

// One icon in the item's pixmap format: ARGB32, network byte order, straight alpha.
GVariant* PixmapVariant(cairo_surface_t* image) {
  cairo_surface_flush(image);
  const int width = cairo_image_surface_get_width(image);
  const int height = cairo_image_surface_get_height(image);
  const int stride = cairo_image_surface_get_stride(image);
  const unsigned char* data = cairo_image_surface_get_data(image);
  std::vector<guint8> bytes;
  bytes.reserve(static_cast<size_t>(width) * static_cast<size_t>(height) * 4);
  for (int y = 0; y < height; ++y) {
    const auto* row = reinterpret_cast<const uint32_t*>(data + static_cast<ptrdiff_t>(y) * stride);
    for (int x = 0; x < width; ++x) {
      const uint32_t pixel = row[x];
      const uint32_t alpha = pixel >> 24;
      auto straight = [&](int shift) -> guint8 {
        const uint32_t channel = (pixel >> shift) & 0xFF;
        return alpha == 0 ? 0 : static_cast<guint8>(std::min<uint32_t>(255, channel * 255 / alpha));
      };
      bytes.push_back(static_cast<guint8>(alpha));
      bytes.push_back(straight(16));
      bytes.push_back(straight(8));
      bytes.push_back(straight(0));
    }
  }
  GVariant* array = g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, bytes.data(), bytes.size(), 1);
  return g_variant_new("(ii@ay)", width, height, array);
}

}  // namespace

struct StatusNotifierItem::Impl {
  Callbacks callbacks;
  std::vector<GVariant*> pixmaps;  // one a(iiay) per state, floating refs sunk
  GDBusConnection* bus = nullptr;
  GDBusNodeInfo* item_info = nullptr;
  GDBusNodeInfo* menu_info = nullptr;
  guint item_id = 0;
  guint menu_id = 0;
  guint name_id = 0;
  guint watch_id = 0;
  bool watcher_present = false;
  std::string name;
  int state = 0;
  std::string tooltip = "Orlith Cam";
  guint32 revision = 1;
  std::vector<TrayMenuItem> menu;

  ~Impl() {
    if (watch_id) g_bus_unwatch_name(watch_id);
    if (name_id) g_bus_unown_name(name_id);
    if (item_id) g_dbus_connection_unregister_object(bus, item_id);
    if (menu_id) g_dbus_connection_unregister_object(bus, menu_id);
    if (item_info) g_dbus_node_info_unref(item_info);
    if (menu_info) g_dbus_node_info_unref(menu_info);
    for (GVariant* pixmap : pixmaps) g_variant_unref(pixmap);
    if (bus) g_object_unref(bus);
  }

  void Emit(const char* path, const char* interface, const char* signal, GVariant* args) {
    g_dbus_connection_emit_signal(bus, nullptr, path, interface, signal, args, nullptr);
  }

  void Register() {
    g_dbus_connection_call(bus, kWatcherName, "/StatusNotifierWatcher", kWatcherName,
                           "RegisterStatusNotifierItem", g_variant_new("(s)", name.c_str()),
                           nullptr, G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr, nullptr);
  }

  GVariant* ItemProperty(const char* property) {
    if (!std::strcmp(property, "Category")) return g_variant_new_string("ApplicationStatus");
    if (!std::strcmp(property, "Id")) return g_variant_new_string("vistrel");
    if (!std::strcmp(property, "Title")) return g_variant_new_string("Orlith Cam");
    if (!std::strcmp(property, "Status")) return g_variant_new_string("Active");
    if (!std::strcmp(property, "WindowId")) return g_variant_new_int32(0);
    if (!std::strcmp(property, "IconName")) return g_variant_new_string("");
    if (!std::strcmp(property, "IconPixmap")) return pixmaps[static_cast<size_t>(state)];
    if (!std::strcmp(property, "ToolTip")) {
      return g_variant_new("(s@a(iiay)ss)", "",
                           g_variant_new_array(G_VARIANT_TYPE("(iiay)"), nullptr, 0),
                           tooltip.c_str(), "");
    }
    if (!std::strcmp(property, "ItemIsMenu")) return g_variant_new_boolean(FALSE);
    if (!std::strcmp(property, "Menu")) return g_variant_new_object_path(kMenuPath);
    return nullptr;
  }

  GVariant* MenuItemProperties(const TrayMenuItem& item) {
    GVariantBuilder props;
    g_variant_builder_init(&props, G_VARIANT_TYPE("a{sv}"));
    if (item.separator) {
      g_variant_builder_add(&props, "{sv}", "type", g_variant_new_string("separator"));
    } else {
      g_variant_builder_add(&props, "{sv}", "label", g_variant_new_string(item.label.c_str()));
      if (!item.enabled)
        g_variant_builder_add(&props, "{sv}", "enabled", g_variant_new_boolean(FALSE));
      if (item.checked >= 0) {
        g_variant_builder_add(&props, "{sv}", "toggle-type", g_variant_new_string("checkmark"));
        g_variant_builder_add(&props, "{sv}", "toggle-state", g_variant_new_int32(item.checked));
      }
    }
    return g_variant_builder_end(&props);
  }

  // True when the menu changed, which the host has then been told.
  bool RefreshMenu() {
    std::vector<TrayMenuItem> now = callbacks.menu ? callbacks.menu() : std::vector<TrayMenuItem>{};
    if (now == menu) return false;
    menu = std::move(now);
    ++revision;
    Emit(kMenuPath, "com.canonical.dbusmenu", "LayoutUpdated", g_variant_new("(ui)", revision, 0));
    return true;
  }

  GVariant* Layout() {
    RefreshMenu();
    GVariantBuilder children;
    g_variant_builder_init(&children, G_VARIANT_TYPE("av"));
    for (const TrayMenuItem& item : menu) {
      GVariant* child = g_variant_new("(i@a{sv}@av)", item.id, MenuItemProperties(item),
                                      g_variant_new_array(G_VARIANT_TYPE_VARIANT, nullptr, 0));
      g_variant_builder_add(&children, "v", child);
    }
    GVariantBuilder root;
    g_variant_builder_init(&root, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&root, "{sv}", "children-display", g_variant_new_string("submenu"));
    return g_variant_new("(u(i@a{sv}@av))", revision, 0, g_variant_builder_end(&root),
                         g_variant_builder_end(&children));
  }

  void MenuCall(const char* method, GVariant* params, GDBusMethodInvocation* invocation) {
    if (!std::strcmp(method, "GetLayout")) {
      g_dbus_method_invocation_return_value(invocation, Layout());
    } else if (!std::strcmp(method, "GetGroupProperties")) {
      RefreshMenu();
      GVariantBuilder out;
      g_variant_builder_init(&out, G_VARIANT_TYPE("a(ia{sv})"));
      GVariantIter* ids = nullptr;
      g_variant_get(params, "(aias)", &ids, nullptr);
      gint32 id = 0;
      while (g_variant_iter_next(ids, "i", &id)) {
        for (const TrayMenuItem& item : menu) {
          if (item.id == id) g_variant_builder_add(&out, "(i@a{sv})", id, MenuItemProperties(item));
        }
      }
      g_variant_iter_free(ids);
      g_dbus_method_invocation_return_value(invocation, g_variant_new("(a(ia{sv}))", &out));
    } else if (!std::strcmp(method, "GetProperty")) {
      g_dbus_method_invocation_return_value(invocation,
                                            g_variant_new("(v)", g_variant_new_string("")));
    } else if (!std::strcmp(method, "Event")) {
      gint32 id = 0;
      const gchar* event = nullptr;
      g_variant_get(params, "(i&svu)", &id, &event, nullptr, nullptr);
      g_dbus_method_invocation_return_value(invocation, nullptr);
      if (!std::strcmp(event, "clicked") && callbacks.chosen) callbacks.chosen(id);
    } else if (!std::strcmp(method, "EventGroup")) {
      GVariantIter* events = nullptr;
      g_variant_get(params, "(a(isvu))", &events);
      gint32 id = 0;
      const gchar* event = nullptr;
      std::vector<int> clicked;
      while (g_variant_iter_next(events, "(i&svu)", &id, &event, nullptr, nullptr)) {
        if (!std::strcmp(event, "clicked")) clicked.push_back(id);
      }
      g_variant_iter_free(events);
      g_dbus_method_invocation_return_value(
          invocation,
          g_variant_new("(@ai)", g_variant_new_array(G_VARIANT_TYPE_INT32, nullptr, 0)));
      for (int chosen : clicked) {
        if (callbacks.chosen) callbacks.chosen(chosen);
      }
    } else if (!std::strcmp(method, "AboutToShow")) {
      // An update is needed only when the menu changed since it was served.
      const gboolean changed = RefreshMenu();
      g_dbus_method_invocation_return_value(invocation, g_variant_new("(b)", changed));
    } else if (!std::strcmp(method, "AboutToShowGroup")) {
      GVariantBuilder updates;
      g_variant_builder_init(&updates, G_VARIANT_TYPE("ai"));
      if (RefreshMenu()) {
        GVariantIter* ids = nullptr;
        g_variant_get(params, "(ai)", &ids);
        gint32 id = 0;
        while (g_variant_iter_next(ids, "i", &id)) g_variant_builder_add(&updates, "i", id);
        g_variant_iter_free(ids);
      }
      g_dbus_method_invocation_return_value(
          invocation, g_variant_new("(@ai@ai)", g_variant_builder_end(&updates),
                                    g_variant_new_array(G_VARIANT_TYPE_INT32, nullptr, 0)));
    } else {
      g_dbus_method_invocation_return_dbus_error(
          invocation, "org.freedesktop.DBus.Error.UnknownMethod", method);
    }
  }

  GVariant* MenuProperty(const char* property) {
    if (!std::strcmp(property, "Version")) return g_variant_new_uint32(3);
    if (!std::strcmp(property, "TextDirection")) return g_variant_new_string("ltr");
    if (!std::strcmp(property, "Status")) return g_variant_new_string("normal");
    if (!std::strcmp(property, "IconThemePath")) return g_variant_new_strv(nullptr, 0);
    return nullptr;
  }
};

namespace {

void ItemCall(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
              GVariant* params, GDBusMethodInvocation* invocation, gpointer data) {
  auto* impl = static_cast<StatusNotifierItem::Impl*>(data);
  gint32 x = 0, y = 0;
  if (!std::strcmp(method, "Activate") || !std::strcmp(method, "SecondaryActivate")) {
    g_variant_get(params, "(ii)", &x, &y);
    g_dbus_method_invocation_return_value(invocation, nullptr);
    if (impl->callbacks.activate) impl->callbacks.activate(x, y);
    return;
  }
  if (!std::strcmp(method, "ContextMenu")) {
    g_variant_get(params, "(ii)", &x, &y);
    g_dbus_method_invocation_return_value(invocation, nullptr);
    if (impl->callbacks.context_menu) impl->callbacks.context_menu(x, y);
    return;
  }
  g_dbus_method_invocation_return_value(invocation, nullptr);
}

GVariant* ItemGet(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* property,
                  GError**, gpointer data) {
  GVariant* value = static_cast<StatusNotifierItem::Impl*>(data)->ItemProperty(property);
  return value && g_variant_is_floating(value) ? value : (value ? g_variant_ref(value) : nullptr);
}

void MenuCallThunk(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
                   GVariant* params, GDBusMethodInvocation* invocation, gpointer data) {
  static_cast<StatusNotifierItem::Impl*>(data)->MenuCall(method, params, invocation);
}

GVariant* MenuGet(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* property,
                  GError**, gpointer data) {
  return static_cast<StatusNotifierItem::Impl*>(data)->MenuProperty(property);
}

const GDBusInterfaceVTable kItemTable = {ItemCall, ItemGet, nullptr, {}};
const GDBusInterfaceVTable kMenuTable = {MenuCallThunk, MenuGet, nullptr, {}};

void WatcherAppeared(GDBusConnection*, const gchar*, const gchar*, gpointer data) {
  static_cast<StatusNotifierItem::Impl*>(data)->watcher_present = true;
  static_cast<StatusNotifierItem::Impl*>(data)->Register();
}

void WatcherVanished(GDBusConnection*, const gchar*, gpointer data) {
  static_cast<StatusNotifierItem::Impl*>(data)->watcher_present = false;
}

}  // namespace

std::unique_ptr<StatusNotifierItem> StatusNotifierItem::Create(
    Callbacks callbacks, std::function<cairo_surface_t*(int state, int size)> draw,
    int state_count) {
  auto impl = std::make_unique<Impl>();
  impl->callbacks = std::move(callbacks);
  GError* error = nullptr;
  impl->bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  if (!impl->bus) {
    if (error) g_error_free(error);
    return nullptr;
  }
  for (int state = 0; state < state_count; ++state) {
    GVariantBuilder sizes;
    g_variant_builder_init(&sizes, G_VARIANT_TYPE("a(iiay)"));
    for (int size : kPixmapSizes) {
      cairo_surface_t* image = draw(state, size);
      g_variant_builder_add_value(&sizes, PixmapVariant(image));
      cairo_surface_destroy(image);
    }
    impl->pixmaps.push_back(g_variant_ref_sink(g_variant_builder_end(&sizes)));
  }
  impl->item_info = g_dbus_node_info_new_for_xml(kItemXml, nullptr);
  impl->menu_info = g_dbus_node_info_new_for_xml(kMenuXml, nullptr);
  impl->item_id =
      g_dbus_connection_register_object(impl->bus, kItemPath, impl->item_info->interfaces[0],
                                        &kItemTable, impl.get(), nullptr, nullptr);
  impl->menu_id =
      g_dbus_connection_register_object(impl->bus, kMenuPath, impl->menu_info->interfaces[0],
                                        &kMenuTable, impl.get(), nullptr, nullptr);
  static int counter = 0;
  impl->name =
      "org.kde.StatusNotifierItem-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
  impl->name_id =
      g_bus_own_name_on_connection(impl->bus, impl->name.c_str(), G_BUS_NAME_OWNER_FLAGS_NONE,
                                   nullptr, nullptr, nullptr, nullptr);
  impl->watch_id =
      g_bus_watch_name_on_connection(impl->bus, kWatcherName, G_BUS_NAME_WATCHER_FLAGS_NONE,
                                     WatcherAppeared, WatcherVanished, impl.get(), nullptr);
  return std::unique_ptr<StatusNotifierItem>(new StatusNotifierItem(std::move(impl)));
}

StatusNotifierItem::StatusNotifierItem(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
StatusNotifierItem::~StatusNotifierItem() = default;

void StatusNotifierItem::SetState(int state) {
  if (state == impl_->state || state < 0 || state >= static_cast<int>(impl_->pixmaps.size()))
    return;
  impl_->state = state;
  impl_->Emit(kItemPath, "org.kde.StatusNotifierItem", "NewIcon", nullptr);
}

bool StatusNotifierItem::HasHost() const { return impl_->watcher_present; }

void StatusNotifierItem::RefreshMenu() {
  impl_->RefreshMenu();
}

void StatusNotifierItem::SetToolTip(const std::string& text) {
  if (text == impl_->tooltip) return;
  impl_->tooltip = text;
  impl_->Emit(kItemPath, "org.kde.StatusNotifierItem", "NewToolTip", nullptr);
}

}  // namespace vistrel::tray
