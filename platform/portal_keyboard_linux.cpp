#include "platform/portal_keyboard.h"

#include <gio/gio.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include "platform/files.h"
#include "platform/folders.h"
#include "platform/thread_annotations.h"
// Last: Xlib's macros would break the headers above.
#include "platform/x_typing.h"

namespace vistrel {
namespace {

using namespace std::chrono_literals;

constexpr char kPortal[] = "org.freedesktop.portal.Desktop";
constexpr char kPortalPath[] = "/org/freedesktop/portal/desktop";
constexpr char kRemoteDesktop[] = "org.freedesktop.portal.RemoteDesktop";
constexpr uint32_t kKeyboard = 1;
// Kept until the user revokes it: a later run starts without asking.
constexpr uint32_t kPersistUntilRevoked = 2;
// With a restore token the portal answers at once; without, it asks the
// user, and the barcode does not wait for that.
constexpr auto kSetUpWait = 2s;
constexpr int kCallTimeoutMs = 5000;
constexpr size_t kMaxTokenBytes = 4096;

enum class State { kIdle, kStarting, kReady, kFailed };

bool NoSuchService(const GError* error) {
  if (!error || error->domain != G_DBUS_ERROR) return false;
  switch (error->code) {
    case G_DBUS_ERROR_SERVICE_UNKNOWN:
    case G_DBUS_ERROR_NAME_HAS_NO_OWNER:
    case G_DBUS_ERROR_UNKNOWN_METHOD:
    case G_DBUS_ERROR_UNKNOWN_INTERFACE:
    case G_DBUS_ERROR_UNKNOWN_OBJECT:
    case G_DBUS_ERROR_SPAWN_SERVICE_NOT_FOUND:
    case G_DBUS_ERROR_SPAWN_EXEC_FAILED:
      return true;
    default:
      return false;
  }
}

}  // namespace

struct PortalKeyboard::Impl {
  std::filesystem::path token_file;
  Mutex mutex;
  std::condition_variable_any changed;
  State state GUARDED_BY(mutex) = State::kIdle;
  Result failure GUARDED_BY(mutex) = Result::kNoPortal;
  std::thread thread;  // the set-up; joined by the owner
  std::atomic<bool> stopping{false};
  // Set by the set-up before kReady; read-only after.
  GDBusConnection* bus = nullptr;
  std::string session;
  Mutex typing;  // one text at a time

  ~Impl() {
    if (bus) g_object_unref(bus);
  }

  void Finish(State state_now, Result why) {
    {
      MutexLock lock(mutex);
      state = state_now;
      failure = why;
    }
    changed.notify_all();
  }

  // On the set-up thread, whose context receives the portal's answers.
  struct Answer {
    bool done = false;
    uint32_t response = 2;
    GVariant* results = nullptr;
  };

  static void Answered(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                       GVariant* parameters, gpointer data) {
    auto* answer = static_cast<Answer*>(data);
    if (answer->done || !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(ua{sv})"))) return;
    g_variant_get(parameters, "(u@a{sv})", &answer->response, &answer->results);
    answer->done = true;
  }

  // Calls a portal method that answers through a Request object; the
  // results of a success, or why not in `why`.
  GVariant* Ask(const char* method, GVariant* arguments, const std::string& token, Result& why) {
    g_variant_ref_sink(arguments);
    std::string sender = g_dbus_connection_get_unique_name(bus) + 1;
    for (char& c : sender) c = c == '.' ? '_' : c;
    const std::string request = std::string(kPortalPath) + "/request/" + sender + "/" + token;
    Answer answer;
    // Subscribed before the call: the answer may come before the reply.
    const guint subscription = g_dbus_connection_signal_subscribe(
        bus, nullptr, "org.freedesktop.portal.Request", "Response", request.c_str(), nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE, Answered, &answer, nullptr);
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(
        bus, kPortal, kPortalPath, kRemoteDesktop, method, arguments, G_VARIANT_TYPE("(o)"),
        G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr, &error);
    g_variant_unref(arguments);
    if (!reply) {
      why = NoSuchService(error) ? Result::kNoPortal : Result::kNotAllowed;
      g_error_free(error);
      g_dbus_connection_signal_unsubscribe(bus, subscription);
      return nullptr;
    }
    g_variant_unref(reply);
    // The user may take a while to answer the desktop's question.
    while (!answer.done && !stopping) {
      if (!g_main_context_iteration(g_main_context_get_thread_default(), FALSE)) {
        std::this_thread::sleep_for(20ms);
      }
    }
    g_dbus_connection_signal_unsubscribe(bus, subscription);
    if (!answer.done || answer.response != 0) {
      why = Result::kNotAllowed;
      if (answer.results) g_variant_unref(answer.results);
      return nullptr;
    }
    return answer.results;
  }

  void SetUp() {
    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    Result why = Result::kNoPortal;
    const bool ready = Connect() && Open(why);
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
    Finish(ready ? State::kReady : State::kFailed, why);
  }

  bool Connect() {
    gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (!address) return false;
    // A connection of its own: the portal ends the session with it.
    bus = g_dbus_connection_new_for_address_sync(
        address,
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    g_free(address);
    if (bus) g_dbus_connection_set_exit_on_close(bus, FALSE);
    return bus != nullptr;
  }

  bool Open(Result& why) {
    GVariantBuilder options;
    g_variant_builder_init(&options, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&options, "{sv}", "handle_token", g_variant_new_string("vistrel1"));
    g_variant_builder_add(&options, "{sv}", "session_handle_token",
                          g_variant_new_string("vistrel"));
    GVariant* created = Ask("CreateSession", g_variant_new("(a{sv})", &options), "vistrel1", why);
    if (!created) return false;
    const gchar* handle = nullptr;
    if (g_variant_lookup(created, "session_handle", "&s", &handle) ||
        g_variant_lookup(created, "session_handle", "&o", &handle)) {
      session = handle;
    }
    g_variant_unref(created);
    if (!g_variant_is_object_path(session.c_str())) return false;

    g_variant_builder_init(&options, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&options, "{sv}", "handle_token", g_variant_new_string("vistrel2"));
    g_variant_builder_add(&options, "{sv}", "types", g_variant_new_uint32(kKeyboard));
    g_variant_builder_add(&options, "{sv}", "persist_mode",
                          g_variant_new_uint32(kPersistUntilRevoked));
    const std::string token = ReadFileText(token_file, kMaxTokenBytes).value_or("");
    if (!token.empty() &&
        g_utf8_validate(token.data(), static_cast<gssize>(token.size()), nullptr)) {
      g_variant_builder_add(&options, "{sv}", "restore_token", g_variant_new_string(token.c_str()));
    }
    GVariant* selected =
        Ask("SelectDevices", g_variant_new("(oa{sv})", session.c_str(), &options), "vistrel2", why);
    if (!selected) return false;
    g_variant_unref(selected);

    g_variant_builder_init(&options, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&options, "{sv}", "handle_token", g_variant_new_string("vistrel3"));
    GVariant* started =
        Ask("Start", g_variant_new("(osa{sv})", session.c_str(), "", &options), "vistrel3", why);
    if (!started) return false;
    guint32 devices = 0;
    const gchar* restore = nullptr;
    g_variant_lookup(started, "devices", "u", &devices);
    if (g_variant_lookup(started, "restore_token", "&s", &restore) && *restore) {
      std::error_code ignored;
      std::filesystem::create_directories(token_file.parent_path(), ignored);
      (void)WritePrivateFile(token_file, restore);
    }
    g_variant_unref(started);
    if (!(devices & kKeyboard)) {
      why = Result::kNotAllowed;
      return false;
    }
    return true;
  }

  bool Press(uint32_t keysym, bool down) {
    GVariant* reply = g_dbus_connection_call_sync(
        bus, kPortal, kPortalPath, kRemoteDesktop, "NotifyKeyboardKeysym",
        g_variant_new("(o@a{sv}iu)", session.c_str(),
                      g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0),
                      static_cast<gint32>(keysym), down ? 1u : 0u),
        nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, kCallTimeoutMs, nullptr, nullptr);
    if (!reply) return false;
    g_variant_unref(reply);
    return true;
  }
};

PortalKeyboard::PortalKeyboard(std::filesystem::path token_file) : impl_(std::make_shared<Impl>()) {
  impl_->token_file = std::move(token_file);
}

PortalKeyboard::~PortalKeyboard() {
  impl_->stopping = true;
  if (impl_->thread.joinable()) impl_->thread.join();
}

PortalKeyboard::Result PortalKeyboard::Type(const std::vector<uint32_t>& keysyms) {
  MutexLock typing(impl_->typing);
  {
    MutexLock lock(impl_->mutex);
    if (impl_->state == State::kIdle) {
      impl_->state = State::kStarting;
      if (impl_->thread.joinable()) impl_->thread.join();
      impl_->thread = std::thread([impl = impl_] { impl->SetUp(); });
    }
    const auto deadline = std::chrono::steady_clock::now() + kSetUpWait;
    while (impl_->state == State::kStarting) {
      if (impl_->changed.wait_until(lock, deadline) == std::cv_status::timeout) break;
    }
    if (impl_->state == State::kStarting) return Result::kWaiting;
    if (impl_->state == State::kFailed) return impl_->failure;
  }
  for (const uint32_t keysym : keysyms) {
    if (!impl_->Press(keysym, true) || !impl_->Press(keysym, false)) {
      // The portal or the session went: set up again for the next text.
      MutexLock lock(impl_->mutex);
      impl_->state = State::kIdle;
      if (impl_->bus) g_object_unref(impl_->bus);
      impl_->bus = nullptr;
      return Result::kNoPortal;
    }
  }
  return Result::kTyped;
}

namespace {

class PortalDesktop final : public Desktop {
 public:
  PortalDesktop(std::unique_ptr<Desktop> desktop, std::filesystem::path token_file)
      : desktop_(std::move(desktop)), keyboard_(std::move(token_file)) {}

  bool CopyTextToClipboard(std::u16string_view text) override {
    return desktop_->CopyTextToClipboard(text);
  }

  TypingResult TypeIntoFocusedApp(std::u16string_view text) override {
    const TypingResult result = desktop_->TypeIntoFocusedApp(text);
    if (result != TypingResult::kFocusedAppNotReachable) return result;
    const std::vector<KeySym> syms = KeysymsOf(text);
    switch (keyboard_.Type(std::vector<uint32_t>(syms.begin(), syms.end()))) {
      case PortalKeyboard::Result::kTyped:
        return TypingResult::kTyped;
      case PortalKeyboard::Result::kWaiting:
        return TypingResult::kAwaitingPermission;
      case PortalKeyboard::Result::kNotAllowed:
        return TypingResult::kNotAllowed;
      case PortalKeyboard::Result::kNoPortal:
        break;
    }
    return TypingResult::kFocusedAppNotReachable;
  }

 private:
  std::unique_ptr<Desktop> desktop_;
  PortalKeyboard keyboard_;
};

}  // namespace

std::unique_ptr<Desktop> WithPortalKeyboard(std::unique_ptr<Desktop> desktop,
                                            std::filesystem::path token_file) {
  return std::make_unique<PortalDesktop>(std::move(desktop), std::move(token_file));
}

std::unique_ptr<Desktop> WithPortalKeyboardOnWayland(std::unique_ptr<Desktop> desktop) {
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if (!wayland || !*wayland) return desktop;
  return WithPortalKeyboard(std::move(desktop), CameraLogFolder() / "portal_restore_token");
}

}  // namespace vistrel
