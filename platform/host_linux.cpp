#include <unistd.h>

#include "platform/host.h"

namespace vistrel {

std::optional<std::string> ComputerName() {
  char buffer[256] = {};
  if (::gethostname(buffer, sizeof buffer - 1) != 0) return std::nullopt;
  std::string name(buffer);
  name = name.substr(0, name.find('.'));
  if (name.size() > 15) name.resize(15);
  if (name.empty()) return std::nullopt;
  return name;
}

}  // namespace vistrel
