// The pairing URL as a QR code: one encoder that can fail, used by the console
// and, later, the tray's pairing dialog; and the console's drawing of it.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vistrel {

// A QR code's modules, row by row, `size` × `size`.
struct QrModules {
  int size = 0;
  std::vector<bool> dark;
  bool Dark(int x, int y) const { return dark[static_cast<size_t>(y * size + x)]; }
};

// Error correction medium; nothing when the text fits in no QR code (a very
// long receiver name or a hand-edited receiver id can make the URL too long).
std::optional<QrModules> EncodeQr(const std::string& text);

// Unicode half blocks, two module rows per line, with a quiet zone of 4
// modules: light modules are drawn, dark ones are blank, for terminals with a
// dark background.
std::string QrCodeText(const QrModules& qr);

}  // namespace vistrel
