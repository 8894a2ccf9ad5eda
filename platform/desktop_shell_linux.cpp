#include <gio/gio.h>

#include <cstdlib>
#include <system_error>

#include "platform/desktop_shell.h"
#include "platform/detached_process.h"
#include "platform/files.h"
#include "platform/folders.h"

namespace vistrel {
namespace fs = std::filesystem;
namespace {

constexpr int kShowItemsTimeoutMs = 2000;

void StartXdgOpen(const fs::path& target) {
  gchar* program = g_find_program_in_path("xdg-open");
  if (!program) return;
  const fs::path program_path(program);
  g_free(program);
  // Its complaints go nowhere: a failed open is not reported, as on the desktop.
  (void)StartDetached(program_path, {target.string()}, "/dev/null");
}

// Escapes for a quoted argument of an Exec key, then for the key's string value.
std::string QuoteExecArgument(const std::string& text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
    if (c == '%') quoted += '%';
    quoted += c;
  }
  quoted += '"';
  std::string value;
  for (char c : quoted) {
    if (c == '\\') value += '\\';
    value += c;
  }
  return value;
}

}  // namespace

void OpenWithDefaultApp(const fs::path& path) {
  StartXdgOpen(path);
}

void ShowInFolder(const fs::path& path) {
  GError* error = nullptr;
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  bool shown = false;
  if (bus) {
    gchar* uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
    if (uri) {
      const gchar* uris[] = {uri, nullptr};
      GVariant* reply = g_dbus_connection_call_sync(
          bus, "org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
          "org.freedesktop.FileManager1", "ShowItems", g_variant_new("(^ass)", uris, ""), nullptr,
          G_DBUS_CALL_FLAGS_NONE, kShowItemsTimeoutMs, nullptr, &error);
      if (reply) {
        shown = true;
        g_variant_unref(reply);
      }
      g_free(uri);
    }
    g_object_unref(bus);
  }
  if (error) g_error_free(error);
  if (!shown) StartXdgOpen(path.parent_path());
}

fs::path AutostartFile() {
  return ConfigHome() / "autostart" / "vistrel.desktop";
}

fs::path ProgramFile() {
  std::error_code ec;
  fs::path program = fs::read_symlink("/proc/self/exe", ec);
  return ec ? fs::path() : program;
}

std::string AutostartExec(const fs::path& program) {
  const std::string text = program.string();
  if (text.find_first_of("\r\n") != std::string::npos) return {};
  return QuoteExecArgument(text) + " --background";
}

bool SetAutostart(bool on, const fs::path& program) {
  const fs::path file = AutostartFile();
  std::error_code ec;
  if (!on) {
    fs::remove(file, ec);
    return !ec;
  }
  const std::string exec = AutostartExec(program);
  if (exec.empty()) return false;
  fs::create_directories(file.parent_path(), ec);
  const std::string entry =
      "[Desktop Entry]\nType=Application\nName=Orlith Cam\nComment=Keeps Orlith Cam in the tray, "
      "ready for your iPhone.\nExec=" +
      exec + "\nIcon=vistrel\nTerminal=false\nX-GNOME-Autostart-enabled=true\n";
  return ReplaceFileContents(file, entry).ok();
}

bool IsAutostartEnabled() {
  std::error_code ec;
  return fs::is_regular_file(AutostartFile(), ec);
}

bool TestHooksEnabled() {
  const char* value = std::getenv("VSTL_TEST_HOOKS");
  if (!value) return false;
  const std::string_view text(value);
  return !text.empty() && text.size() <= 3 && text[0] == '1';
}

void WriteTestHookFile(std::string_view name, std::string_view text, bool append) {
  if (!TestHooksEnabled()) return;
  const auto folder = RuntimeFolder();
  if (!folder) return;
  const fs::path path = *folder / fs::path(name);
  (void)(append ? AppendPrivateFile(path, text) : WritePrivateFile(path, text));
}

}  // namespace vistrel
