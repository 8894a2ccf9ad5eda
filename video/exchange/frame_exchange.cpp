#include "video/exchange/frame_exchange.h"

#include <unistd.h>

#include <cstdlib>

namespace vistrel {

std::string MakeFrameExchangeName() {
  std::string session = "0";
  if (const char* value = std::getenv("XDG_SESSION_ID"); value && *value) {
    std::string text(value);
    bool plain = true;
    for (char c : text) {
      plain = plain && ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'));
    }
    if (plain) session = text;
  }
  return "/Vistrel_" + std::to_string(::geteuid()) + "_" + session;
}

}  // namespace vistrel
