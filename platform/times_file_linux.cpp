#include "platform/times_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace vistrel {

TimesFile* TimesFile::FromEnvironment(const char* variable) {
  static std::mutex mutex;
  static std::map<std::string, std::unique_ptr<TimesFile>> files;
  const std::lock_guard lock(mutex);
  auto [entry, made] = files.try_emplace(variable);
  if (made) {
    const char* path = std::getenv(variable);
    if (path && *path) {
      const int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
      if (fd >= 0) entry->second = std::make_unique<TimesFile>(UniqueFd(fd));
    }
  }
  return entry->second.get();
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
