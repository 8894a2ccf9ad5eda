#pragma once

#include <string>

namespace vistrel {

// The text as a QR code (error correction medium, quiet zone of 4 modules) drawn
// with Unicode half blocks, two module rows per line: light modules are drawn,
// dark ones are blank, for terminals with a dark background.
std::string QrCodeText(const std::string& text);

}  // namespace vistrel
