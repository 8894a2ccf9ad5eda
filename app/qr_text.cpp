#include "app/qr_text.h"

#include <qrcodegen.hpp>

#include <new>

namespace vistrel {

std::optional<QrModules> EncodeQr(const std::string& text) {
  try {
    const qrcodegen::QrCode qr =
        qrcodegen::QrCode::encodeText(text.c_str(), qrcodegen::QrCode::Ecc::MEDIUM);
    QrModules modules;
    modules.size = qr.getSize();
    modules.dark.reserve(static_cast<size_t>(modules.size * modules.size));
    for (int y = 0; y < modules.size; ++y) {
      for (int x = 0; x < modules.size; ++x) modules.dark.push_back(qr.getModule(x, y));
    }
    return modules;
  } catch (const qrcodegen::data_too_long&) {
    return std::nullopt;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

std::string QrCodeText(const QrModules& qr) {
  constexpr int kQuiet = 4;
  const int size = qr.size;
  auto light = [&](int x, int y) {
    return x < 0 || y < 0 || x >= size || y >= size || !qr.Dark(x, y);
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
