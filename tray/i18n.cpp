#include "tray/i18n.h"

#include <libintl.h>

namespace vistrel::tray {

const char* Translate(const char* message) {
  return dgettext("vistrel", message);
}

const char* TranslatePlural(const char* singular, const char* plural, unsigned long count) {
  return dngettext("vistrel", singular, plural, count);
}

std::string Substitute(std::string_view pattern, std::initializer_list<std::string_view> values) {
  std::string out;
  out.reserve(pattern.size() + 32);
  auto next = values.begin();
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '%' && i + 1 < pattern.size()) {
      if (pattern[i + 1] == 's') {
        if (next != values.end()) out += *next++;
        ++i;
        continue;
      }
      if (pattern[i + 1] == '%') {
        out += '%';
        ++i;
        continue;
      }
    }
    out += pattern[i];
  }
  return out;
}

}  // namespace vistrel::tray
