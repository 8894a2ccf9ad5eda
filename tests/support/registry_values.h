// The registry's reads in the shape tests compare: the errno value (0 on
// success) and the text or names through an out-parameter.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"

namespace vistrel::test {

inline int ReadValue(std::string_view path, std::string_view name, std::string& text,
                     RegistryHive hive = RegistryHive::kMachine) {
  Result<std::string> value = GetStringValue(path, name, hive);
  text = value.value_or("");
  return value.code();
}

inline int ReadNames(bool subkeys, std::string_view path, std::vector<std::string>& names,
                     RegistryHive hive = RegistryHive::kMachine) {
  auto listed = subkeys ? ListSubkeys(path, hive) : ListValues(path, hive);
  names = listed.value_or({});
  return listed.code();
}

}  // namespace vistrel::test
