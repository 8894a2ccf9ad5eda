#pragma once

#include <optional>
#include <string>

namespace vistrel {

// The host name cut at its first "." and at 15 characters, as a short computer
// name; nothing when it cannot be read or is empty.
std::optional<std::string> ComputerName();

}  // namespace vistrel
