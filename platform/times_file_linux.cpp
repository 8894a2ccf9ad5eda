#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "platform/times_file.h"

namespace vistrel {

std::unique_ptr<TimesFile> TimesFile::FromEnvironment(const char* variable) {
  const char* path = std::getenv(variable);
  if (!path || !*path) return nullptr;
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  return std::make_unique<TimesFile>(UniqueFd(fd));
}

void TimesFile::Line(std::initializer_list<uint64_t> numbers) {
  char text[256];
  size_t length = 0;
  for (uint64_t number : numbers) {
    const int wrote = std::snprintf(text + length, sizeof text - length, "%s%llu",
                                    length ? " " : "", static_cast<unsigned long long>(number));
    if (wrote < 0 || static_cast<size_t>(wrote) >= sizeof text - length - 1) return;
    length += static_cast<size_t>(wrote);
  }
  text[length++] = '\n';
  // One write per line with O_APPEND: lines from several threads never mix.
  (void)!::write(fd_.Get(), text, length);
}

}  // namespace vistrel
