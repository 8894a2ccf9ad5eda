#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/folders.h"

namespace vistrel {
namespace {

namespace fs = std::filesystem;

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

fs::path XdgBase(const char* variable, const char* fallback) {
  std::string value = Env(variable);
  // The xdg rules ignore relative values.
  if (!value.empty() && value[0] == '/') return value;
  fs::path home = HomeFolder();
  return home.empty() ? fs::path() : home / fallback;
}

// Reads XDG_xxx_DIR="$HOME/..." from user-dirs.dirs.
fs::path UserDirFromFile(const std::string& key) {
  std::ifstream in(ConfigHome() / "user-dirs.dirs");
  std::string line;
  const std::string prefix = key + "=\"";
  while (std::getline(in, line)) {
    if (line.rfind(prefix, 0) != 0 || line.size() < prefix.size() + 1 || line.back() != '"') {
      continue;
    }
    std::string value = line.substr(prefix.size(), line.size() - prefix.size() - 1);
    if (value.rfind("$HOME", 0) == 0) {
      fs::path home = HomeFolder();
      if (home.empty()) return {};
      value = home.string() + value.substr(5);
    }
    if (!value.empty() && value[0] == '/') return value;
  }
  return {};
}

bool UsableRuntimeFolder(const fs::path& path) {
  struct stat st{};
  if (::lstat(path.c_str(), &st) != 0) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (::lstat(path.c_str(), &st) != 0) return false;
  }
  return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 077) == 0;
}

}  // namespace

fs::path HomeFolder() {
  std::string home = Env("HOME");
  if (!home.empty()) return home;
  if (const passwd* pw = ::getpwuid(::geteuid()); pw && pw->pw_dir) return pw->pw_dir;
  return {};
}

fs::path AppDataFolder() {
  fs::path base = XdgBase("XDG_DATA_HOME", ".local/share");
  return base.empty() ? fs::path("Vistrel") : base / "Vistrel";
}

fs::path CameraLogFolder() {
  fs::path base = XdgBase("XDG_STATE_HOME", ".local/state");
  return base.empty() ? fs::path("Vistrel") : base / "Vistrel";
}

fs::path ConfigHome() { return XdgBase("XDG_CONFIG_HOME", ".config"); }

fs::path ResolveUserFolder(UserFolder folder) {
  const char* key = "XDG_VIDEOS_DIR";
  const char* fallback = "Videos";
  if (folder == UserFolder::kDocuments) key = "XDG_DOCUMENTS_DIR", fallback = "Documents";
  if (folder == UserFolder::kPictures) key = "XDG_PICTURES_DIR", fallback = "Pictures";
  fs::path from_file = UserDirFromFile(key);
  if (!from_file.empty()) return from_file;
  fs::path home = HomeFolder();
  return home.empty() ? fs::path() : home / fallback;
}

std::optional<fs::path> RuntimeFolder() {
  fs::path path;
  std::string xdg = Env("XDG_RUNTIME_DIR");
  if (!xdg.empty() && xdg[0] == '/') {
    path = fs::path(xdg) / "vistrel";
  } else {
    std::string tmp = Env("TMPDIR");
    if (tmp.empty() || tmp[0] != '/') tmp = "/tmp";
    path = fs::path(tmp) / ("vistrel-" + std::to_string(::geteuid()));
  }
  if (!UsableRuntimeFolder(path)) return std::nullopt;
  return path;
}

}  // namespace vistrel
