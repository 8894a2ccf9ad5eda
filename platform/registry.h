// A small registry: keys are folders, values are files. Key paths use "\" as
// the separator ("SOFTWARE\Classes\CLSID\{...}\InprocServer32"); every path
// component must be a plain name, so no key or value can reach outside its
// hive. Failures carry errno values: ENOENT for a missing key or value
// (ERROR_FILE_NOT_FOUND), EINVAL for a refused name.
//
// Two hives:
// - machine ($VSTL_REGISTRY_ROOT, default /var/lib/vistrel/registry), written
//   by the installer, readable by everyone: folders 0755, values 0644. While
//   dpkg installs into another root (DPKG_ROOT), the hive is that root's
//   default one, and a value naming a file under that root is stored as the
//   path that system sees;
// - user ($VSTL_USER_REGISTRY_ROOT, default $XDG_CONFIG_HOME/vistrel/registry),
//   the user's own records: folders 0700, values 0600.
//
// A key's default value is the file "@"; a value named "@" is therefore
// refused, as are value names ending in ".tmp" (the replace step's temporary
// file). Names are case-sensitive. A value is written whole by replacing its
// file, so a reader never sees half of it; a value read back is untrusted and
// limited to kMaxRegistryValueBytes.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace vistrel {

enum class RegistryHive { kMachine, kUser };
enum class KeyAccess { kRead, kWrite };

inline constexpr size_t kMaxRegistryValueBytes = 16384;
inline constexpr char kDefaultValueFile[] = "@";
// Data an installer writes, so under /var/lib; the package moves the
// /etc/vistrel/registry of earlier builds here.
inline constexpr char kMachineRegistryRoot[] = "/var/lib/vistrel/registry";

// The folder of a hive (not created here).
std::filesystem::path RegistryRoot(RegistryHive hive = RegistryHive::kMachine);

// Creates the key and any missing parents; an existing key is success.
Status CreateKey(std::string_view path, RegistryHive hive = RegistryHive::kMachine);
// Succeeds when the key exists and this process may read (or write) it.
Status OpenKey(std::string_view path, KeyAccess access = KeyAccess::kRead,
              RegistryHive hive = RegistryHive::kMachine);
// `name` empty means the default value. The key must exist.
Status SetStringValue(std::string_view path, std::string_view name, std::string_view text,
                      RegistryHive hive = RegistryHive::kMachine);
// EFBIG for a value above the limit, EILSEQ for one that holds a NUL byte.
Result<std::string> GetStringValue(std::string_view path, std::string_view name,
                                   RegistryHive hive = RegistryHive::kMachine);
// Removes the value; ENOENT when it is not there.
Status DeleteValue(std::string_view path, std::string_view name,
                   RegistryHive hive = RegistryHive::kMachine);
// Removes the key with all its subkeys and values; ENOENT when it is missing.
Status DeleteTree(std::string_view path, RegistryHive hive = RegistryHive::kMachine);
// Names of the subkeys, sorted.
Result<std::vector<std::string>> ListSubkeys(std::string_view path,
                                             RegistryHive hive = RegistryHive::kMachine);
// Names of the values, sorted; the default value is listed as "".
Result<std::vector<std::string>> ListValues(std::string_view path,
                                            RegistryHive hive = RegistryHive::kMachine);

}  // namespace vistrel
