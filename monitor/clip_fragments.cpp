#include "monitor/clip_fragments.h"

#include <array>
#include <fstream>
#include <string_view>
#include <system_error>

namespace vistrel {
namespace {

constexpr uint64_t kHeaderBytes = 8;
constexpr uint64_t kLargeHeaderBytes = 16;

uint64_t BigEndian(std::span<const uint8_t> bytes) {
  uint64_t value = 0;
  for (uint8_t b : bytes) value = value << 8 | b;
  return value;
}

struct Box {
  std::string_view type;
  uint64_t size = 0;  // header included
};

// The box at `offset`, when its header is there and names a size that fits
// its header; the box itself may run past the end of the file.
std::optional<Box> BoxAt(uint64_t offset, uint64_t file_size, const ReadAt& read,
                         std::array<uint8_t, kLargeHeaderBytes>& header) {
  if (file_size - offset < kHeaderBytes) return std::nullopt;
  const size_t wanted = static_cast<size_t>(std::min<uint64_t>(kLargeHeaderBytes, file_size - offset));
  if (read(offset, std::span(header).first(wanted)) != wanted) return std::nullopt;
  Box box{std::string_view(reinterpret_cast<const char*>(header.data()) + 4, 4),
          BigEndian(std::span(header).first(4))};
  if (box.size == 1) {  // a 64-bit size follows the type
    if (wanted < kLargeHeaderBytes) return std::nullopt;
    box.size = BigEndian(std::span(header).subspan(8, 8));
    if (box.size < kLargeHeaderBytes) return std::nullopt;
  } else if (box.size < kHeaderBytes) {
    return std::nullopt;  // 0 ("to the end of the file") is never written by us
  }
  return box;
}

}  // namespace

std::optional<FragmentLayout> ScanFragments(uint64_t file_size, const ReadAt& read) {
  std::array<uint8_t, kLargeHeaderBytes> header{};
  FragmentLayout layout;
  uint64_t offset = 0;
  int index = 0;
  bool fragment_open = false;  // a complete "moof" waits for its "mdat"
  bool headed = false;          // the first box's header says "ftyp"
  while (offset < file_size) {
    const std::optional<Box> box = BoxAt(offset, file_size, read, header);
    if (!box) break;
    const std::string_view type = box->type;
    headed = headed || (index == 0 && type == "ftyp");
    // The shape is checked on every box that is there, complete or not.
    if ((index == 0 && type != "ftyp") || (index == 1 && type != "moov")) return std::nullopt;
    if (index >= 2 && type != "moof" && type != "mdat" && type != "mfra" && type != "free") {
      return std::nullopt;
    }
    if (type == "mdat" && !fragment_open) return std::nullopt;  // an ordinary MP4's data
    if (box->size > file_size - offset) break;  // cut short
    offset += box->size;
    ++index;
    if (type == "moof") {
      fragment_open = true;
      continue;
    }
    if (type == "mdat") {
      fragment_open = false;
      ++layout.complete_fragments;
    }
    if (!fragment_open) layout.complete_end = offset;
  }
  if (!headed) return std::nullopt;
  return layout;
}

std::optional<FragmentLayout> ScanFragments(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::error_code ec;
  const uintmax_t size = std::filesystem::file_size(path, ec);
  if (!file || ec) return std::nullopt;
  return ScanFragments(size, [&file](uint64_t offset, std::span<uint8_t> into) -> size_t {
    file.clear();
    file.seekg(static_cast<std::streamoff>(offset));
    file.read(reinterpret_cast<char*>(into.data()), static_cast<std::streamsize>(into.size()));
    return static_cast<size_t>(file.gcount());
  });
}

std::optional<ClipFacts> KeepCompleteFragments(const std::filesystem::path& path) {
  const std::optional<FragmentLayout> layout = ScanFragments(path);
  if (!layout || layout->complete_fragments == 0) return std::nullopt;
  std::error_code ec;
  if (std::filesystem::file_size(path, ec) != layout->complete_end && !ec) {
    std::filesystem::resize_file(path, layout->complete_end, ec);
  }
  if (ec) return std::nullopt;
  return ReadClipFacts(path);
}

}  // namespace vistrel
