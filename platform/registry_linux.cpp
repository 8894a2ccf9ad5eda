#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <optional>

#include "platform/files.h"
#include "platform/folders.h"
#include "platform/registry.h"
#include "platform/unique_handle.h"

namespace vistrel {
namespace {

namespace fs = std::filesystem;

constexpr size_t kMaxNameBytes = 255;
constexpr std::string_view kTempSuffix = ".tmp";

bool ValidName(std::string_view name) {
  return !name.empty() && name.size() <= kMaxNameBytes && name != "." && name != ".." &&
         name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

// Splits "A\B\C" into its components; nothing when any of them is refused.
std::optional<std::vector<std::string>> SplitKey(std::string_view path) {
  std::vector<std::string> parts;
  while (true) {
    size_t cut = path.find('\\');
    std::string_view part = path.substr(0, cut);
    if (!ValidName(part)) return std::nullopt;
    parts.emplace_back(part);
    if (cut == std::string_view::npos) break;
    path.remove_prefix(cut + 1);
  }
  return parts;
}

// The file name of a value; nothing for a refused name.
std::optional<std::string> ValueFile(std::string_view name) {
  if (name.empty()) return std::string(kDefaultValueFile);
  if (!ValidName(name) || name == kDefaultValueFile) return std::nullopt;
  if (name.size() >= kTempSuffix.size() &&
      name.substr(name.size() - kTempSuffix.size()) == kTempSuffix) {
    return std::nullopt;
  }
  return std::string(name);
}

mode_t FolderMode(RegistryHive hive) { return hive == RegistryHive::kMachine ? 0755 : 0700; }
mode_t ValueMode(RegistryHive hive) { return hive == RegistryHive::kMachine ? 0644 : 0600; }

// Walks the key's folders without following a link anywhere below the root.
// Returns 0 and the folder when every component is a real folder.
int ResolveKey(std::string_view path, RegistryHive hive, fs::path& folder) {
  auto parts = SplitKey(path);
  if (!parts) return EINVAL;
  folder = RegistryRoot(hive);
  struct stat st{};
  if (::stat(folder.c_str(), &st) != 0) return errno;
  if (!S_ISDIR(st.st_mode)) return ENOTDIR;
  for (const std::string& part : *parts) {
    folder /= part;
    if (::lstat(folder.c_str(), &st) != 0) return errno;
    if (S_ISLNK(st.st_mode)) return ELOOP;
    if (!S_ISDIR(st.st_mode)) return ENOENT;  // a value file is not a key
  }
  return 0;
}

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// Entries of a folder that are folders (keys) or regular files (values).
int ListEntries(const fs::path& folder, bool want_folders, std::vector<std::string>& out) {
  out.clear();
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return errno;
  while (const dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat st{};
    if (::lstat((folder / name).c_str(), &st) != 0) continue;
    if (want_folders && S_ISDIR(st.st_mode)) out.push_back(name);
    if (!want_folders && S_ISREG(st.st_mode)) {
      if (name == kDefaultValueFile) {
        out.emplace_back();
      } else if (ValueFile(name)) {
        out.push_back(name);
      }
    }
  }
  ::closedir(dir);
  std::sort(out.begin(), out.end());
  return 0;
}

// DPKG_ROOT: the system dpkg installs into when it is not this one; empty for
// this system. Only an absolute folder other than "/" counts.
std::string TargetRoot() {
  std::string root = Env("DPKG_ROOT");
  if (root.empty() || root[0] != '/') return {};
  // The library names itself by its resolved path, so the root is resolved too.
  std::error_code ec;
  const fs::path resolved = fs::weakly_canonical(root, ec);
  root = ec ? root : resolved.string();
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  return root.size() > 1 ? root : std::string();
}

// A path into the target system is stored as that system will see it, since
// its programs read the value after it boots, not from here.
std::string_view AsTargetSees(std::string_view text) {
  const std::string target = TargetRoot();
  if (target.empty() || text.size() <= target.size() + 1 || text.substr(0, target.size()) != target ||
      text[target.size()] != '/') {
    return text;
  }
  return text.substr(target.size());
}

}  // namespace

fs::path RegistryRoot(RegistryHive hive) {
  if (hive == RegistryHive::kMachine) {
    // The running system's override never points into another root.
    if (const std::string target = TargetRoot(); !target.empty()) {
      return fs::path(target) / fs::path(kMachineRegistryRoot).relative_path();
    }
    std::string root = Env("VSTL_REGISTRY_ROOT");
    return !root.empty() && root[0] == '/' ? fs::path(root) : fs::path(kMachineRegistryRoot);
  }
  std::string root = Env("VSTL_USER_REGISTRY_ROOT");
  if (!root.empty() && root[0] == '/') return root;
  fs::path config = ConfigHome();
  // Without a home there is no user hive; a relative path would land in the
  // working folder, so point at a place that cannot exist instead.
  return config.empty() ? fs::path("/nonexistent/vistrel-registry") : config / "vistrel/registry";
}

// The operations with errno results; the public ones below wrap them.
namespace {

int CreateKeyCode(std::string_view path, RegistryHive hive) {
  auto parts = SplitKey(path);
  if (!parts) return EINVAL;
  fs::path folder = RegistryRoot(hive);
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) return ec.value();
  for (const std::string& part : *parts) {
    folder /= part;
    if (::mkdir(folder.c_str(), FolderMode(hive)) != 0 && errno != EEXIST) return errno;
    struct stat st{};
    if (::lstat(folder.c_str(), &st) != 0) return errno;
    if (S_ISLNK(st.st_mode)) return ELOOP;
    if (!S_ISDIR(st.st_mode)) return ENOTDIR;
  }
  return 0;
}

int OpenKeyCode(std::string_view path, KeyAccess access, RegistryHive hive) {
  fs::path folder;
  if (int error = ResolveKey(path, hive, folder); error != 0) return error;
  const int mode = access == KeyAccess::kRead ? (R_OK | X_OK) : (W_OK | X_OK);
  return ::access(folder.c_str(), mode) == 0 ? 0 : errno;
}

int SetStringValueCode(std::string_view path, std::string_view name, std::string_view text,
                   RegistryHive hive) {
  auto file = ValueFile(name);
  if (!file || text.find('\0') != std::string_view::npos) return EINVAL;
  if (text.size() > kMaxRegistryValueBytes) return EFBIG;
  if (hive == RegistryHive::kMachine) text = AsTargetSees(text);
  fs::path folder;
  if (int error = ResolveKey(path, hive, folder); error != 0) return error;
  const fs::path target = folder / *file;
  if (Status written = ReplaceFileContents(target, text); !written) return written.code();
  // The replace step makes a private file; machine values are for everyone.
  if (::chmod(target.c_str(), ValueMode(hive)) != 0) return errno;
  return 0;
}

int GetStringValueCode(std::string_view path, std::string_view name, std::string& out,
                   RegistryHive hive) {
  out.clear();
  auto file = ValueFile(name);
  if (!file) return EINVAL;
  fs::path folder;
  if (int error = ResolveKey(path, hive, folder); error != 0) return error;
  UniqueFd fd(::open((folder / *file).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!fd) return errno == ELOOP ? ENOENT : errno;
  struct stat st{};
  if (::fstat(fd.Get(), &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return ENOENT;
  std::string text;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) break;
    if (text.size() + static_cast<size_t>(n) > kMaxRegistryValueBytes) return EFBIG;
    text.append(buffer, static_cast<size_t>(n));
  }
  if (text.find('\0') != std::string::npos) return EILSEQ;
  out = std::move(text);
  return 0;
}

int DeleteValueCode(std::string_view path, std::string_view name, RegistryHive hive) {
  auto file = ValueFile(name);
  if (!file) return EINVAL;
  fs::path folder;
  if (int error = ResolveKey(path, hive, folder); error != 0) return error;
  const fs::path target = folder / *file;
  struct stat st{};
  if (::lstat(target.c_str(), &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return ENOENT;
  return ::unlink(target.c_str()) == 0 ? 0 : errno;
}

int DeleteTreeCode(std::string_view path, RegistryHive hive) {
  fs::path folder;
  if (int error = ResolveKey(path, hive, folder); error != 0) return error;
  // remove_all removes links themselves and never descends through them.
  std::error_code ec;
  fs::remove_all(folder, ec);
  return ec ? ec.value() : 0;
}

int ListSubkeysCode(std::string_view path, std::vector<std::string>& out, RegistryHive hive) {
  out.clear();
  fs::path folder;
  if (int error = ResolveKey(path, hive, folder); error != 0) return error;
  return ListEntries(folder, true, out);
}

int ListValuesCode(std::string_view path, std::vector<std::string>& out, RegistryHive hive) {
  out.clear();
  fs::path folder;
  if (int error = ResolveKey(path, hive, folder); error != 0) return error;
  return ListEntries(folder, false, out);
}

}  // namespace

Status CreateKey(std::string_view path, RegistryHive hive) {
  return StatusFromErrno(CreateKeyCode(path, hive));
}

Status OpenKey(std::string_view path, KeyAccess access, RegistryHive hive) {
  return StatusFromErrno(OpenKeyCode(path, access, hive));
}

Status SetStringValue(std::string_view path, std::string_view name, std::string_view text,
                      RegistryHive hive) {
  return StatusFromErrno(SetStringValueCode(path, name, text, hive));
}

Result<std::string> GetStringValue(std::string_view path, std::string_view name,
                                   RegistryHive hive) {
  std::string text;
  if (const int code = GetStringValueCode(path, name, text, hive); code != 0) {
    return ErrorFromErrno(code);
  }
  return text;
}

Status DeleteValue(std::string_view path, std::string_view name, RegistryHive hive) {
  return StatusFromErrno(DeleteValueCode(path, name, hive));
}

Status DeleteTree(std::string_view path, RegistryHive hive) {
  return StatusFromErrno(DeleteTreeCode(path, hive));
}

Result<std::vector<std::string>> ListSubkeys(std::string_view path, RegistryHive hive) {
  std::vector<std::string> names;
  if (const int code = ListSubkeysCode(path, names, hive); code != 0) return ErrorFromErrno(code);
  return names;
}

Result<std::vector<std::string>> ListValues(std::string_view path, RegistryHive hive) {
  std::vector<std::string> names;
  if (const int code = ListValuesCode(path, names, hive); code != 0) return ErrorFromErrno(code);
  return names;
}

}  // namespace vistrel
