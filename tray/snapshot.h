// The phone's picture as RGB: the tray's 640×360 preview and the PNG
// snapshot in Pictures/Orlith Cam.
#pragma once

#include <ctime>
#include <filesystem>
#include <optional>
#include <string>

#include "security/bytes.h"
#include "tray/view.h"
#include "video/nv12_view.h"

namespace vistrel::tray {

// Packed NV12 (luma plane, then interleaved U and V) to an RGB24 Cairo image
// of the target size, nearest neighbour with BT.709 limited-range integer
// arithmetic; null when a size is below 1 or the buffer is too short.
Picture Nv12ToRgb(const Bytes& frame, int width, int height, int target_width, int target_height);
// The same from any picture view (the decoder's planes, or NV12), into
// `reuse` when it has the target size and nobody else holds it: a new 900 KB
// surface 25 times a second is zeroed and mapped every time.
Picture PictureToRgb(const PictureView& picture, int target_width, int target_height,
                     Picture reuse);

// "Orlith Cam 2026-12-07 13.05.09" from the local time.
std::string SnapshotBaseName(const tm& local);
// base + ".png", else base + " (n).png" with n from 2: the first name not taken.
std::string FreeSnapshotName(const std::filesystem::path& folder, const std::string& base);

// Pictures/Orlith Cam (the xdg pictures folder).
std::filesystem::path SnapshotsFolder();

struct SnapshotOutcome {
  bool saved = false;
  std::filesystem::path path;  // the PNG when saved
  std::string file_name;
};
// Converts the frame at its own size and writes it under a free name in
// `folder` (created with its parents); nothing is attempted without a picture.
std::optional<SnapshotOutcome> SaveSnapshotPng(const Bytes& frame, int width, int height,
                                               const std::filesystem::path& folder, time_t now);

}  // namespace vistrel::tray
