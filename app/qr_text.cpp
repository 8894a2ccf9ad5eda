#include "app/qr_text.h"

#include <qrcodegen.hpp>

namespace vistrel {

std::string QrCodeText(const std::string& text) {
  const qrcodegen::QrCode qr = qrcodegen::QrCode::encodeText(text.c_str(), qrcodegen::QrCode::Ecc::MEDIUM);
  constexpr int kQuiet = 4;
  const int size = qr.getSize();
  auto light = [&](int x, int y) {
    return x < 0 || y < 0 || x >= size || y >= size || !qr.getModule(x, y);
  };
  std::string out;
  for (int y = -kQuiet; y < size + kQuiet; y += 2) {
    for (int x = -kQuiet; x < size + kQuiet; ++x) {
      const bool top = light(x, y);
      const bool bottom = y + 1 < size + kQuiet ? light(x, y + 1) : false;
      out += top && bottom ? "\u2588" : top ? "\u2580" : bottom ? "\u2584" : " ";
    }
    out += '\n';
  }
  return out;
}

}  // namespace vistrel
