#include "monitor/h264_sps.h"

namespace vistrel {
namespace {

constexpr uint8_t kNalSps = 7;
constexpr uint8_t kNalPps = 8;
constexpr uint32_t kMaxDimension = 16384;

// Reads bits of an RBSP (emulation prevention removed); any read past the end
// marks the reader failed and yields 0.
class BitReader {
 public:
  explicit BitReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  uint32_t Bit() {
    if (position_ >= bytes_.size() * 8) {
      failed_ = true;
      return 0;
    }
    const uint32_t bit = (bytes_[position_ / 8] >> (7 - position_ % 8)) & 1;
    ++position_;
    return bit;
  }
  uint32_t Bits(int count) {
    uint32_t value = 0;
    for (int i = 0; i < count; ++i) value = (value << 1) | Bit();
    return value;
  }
  // Exp-Golomb; values past 32 bits are malformed here.
  uint32_t Ue() {
    int zeros = 0;
    while (Bit() == 0) {
      if (failed_ || ++zeros > 31) {
        failed_ = true;
        return 0;
      }
    }
    return static_cast<uint32_t>((uint64_t{1} << zeros) - 1 + Bits(zeros));
  }
  int32_t Se() {
    const uint32_t code = Ue();
    return (code & 1) ? static_cast<int32_t>((code + 1) / 2) : -static_cast<int32_t>(code / 2);
  }
  bool failed() const { return failed_; }

 private:
  std::span<const uint8_t> bytes_;
  size_t position_ = 0;
  bool failed_ = false;
};

std::vector<uint8_t> Unescape(std::span<const uint8_t> nal) {
  std::vector<uint8_t> rbsp;
  rbsp.reserve(nal.size());
  int zeros = 0;
  for (uint8_t byte : nal) {
    if (zeros >= 2 && byte == 3) {
      zeros = 0;
      continue;
    }
    zeros = byte == 0 ? zeros + 1 : 0;
    rbsp.push_back(byte);
  }
  return rbsp;
}

void SkipScalingList(BitReader& bits, int size) {
  int32_t last = 8, next = 8;
  for (int j = 0; j < size && !bits.failed(); ++j) {
    if (next != 0) next = (last + bits.Se() + 256) % 256;
    last = next == 0 ? last : next;
  }
}

bool HasChromaFormat(uint8_t profile) {
  switch (profile) {
    case 100: case 110: case 122: case 244: case 44: case 83:
    case 86: case 118: case 128: case 138: case 139: case 134: case 135:
      return true;
    default:
      return false;
  }
}

}  // namespace

ParameterSets FindParameterSets(std::span<const uint8_t> unit) {
  ParameterSets sets;
  size_t i = 0;
  auto start_code_at = [&](size_t at) {
    return at + 3 <= unit.size() && unit[at] == 0 && unit[at + 1] == 0 && unit[at + 2] == 1;
  };
  while (i < unit.size() && !start_code_at(i)) ++i;
  while (i < unit.size()) {
    const size_t begin = i + 3;
    size_t end = begin;
    while (end < unit.size() && !start_code_at(end)) ++end;
    size_t last = end;
    while (last > begin && unit[last - 1] == 0) --last;  // trailing zeros, a 4-byte start code's too
    if (last > begin) {
      const std::span<const uint8_t> nal = unit.subspan(begin, last - begin);
      const uint8_t type = nal[0] & 0x1F;
      if (type == kNalSps || type == kNalPps) {
        if (type == kNalSps && sets.sps.empty()) sets.sps.assign(nal.begin(), nal.end());
        sets.sequence_header.insert(sets.sequence_header.end(), {0, 0, 0, 1});
        sets.sequence_header.insert(sets.sequence_header.end(), nal.begin(), nal.end());
      }
    }
    i = end;
  }
  return sets;
}

std::optional<SpsInfo> ParseSps(std::span<const uint8_t> sps) {
  if (sps.size() < 4 || (sps[0] & 0x1F) != kNalSps) return std::nullopt;
  const std::vector<uint8_t> rbsp = Unescape(sps.subspan(1));
  BitReader bits(rbsp);
  SpsInfo info;
  info.profile_idc = static_cast<uint8_t>(bits.Bits(8));
  bits.Bits(8);  // constraint flags
  info.level_idc = static_cast<uint8_t>(bits.Bits(8));
  if (bits.Ue() > 31) return std::nullopt;  // seq_parameter_set_id
  uint32_t chroma_format = 1;
  bool separate_planes = false;
  if (HasChromaFormat(info.profile_idc)) {
    chroma_format = bits.Ue();
    if (chroma_format > 3) return std::nullopt;
    if (chroma_format == 3) separate_planes = bits.Bit();
    if (bits.Ue() > 6 || bits.Ue() > 6) return std::nullopt;  // bit depths
    bits.Bit();                                               // qpprime_y_zero_transform_bypass
    if (bits.Bit()) {                                         // scaling matrix present
      for (int list = 0; list < (chroma_format == 3 ? 12 : 8); ++list) {
        if (bits.Bit()) SkipScalingList(bits, list < 6 ? 16 : 64);
      }
    }
  }
  if (bits.Ue() > 12) return std::nullopt;  // log2_max_frame_num_minus4
  const uint32_t poc_type = bits.Ue();
  if (poc_type == 0) {
    if (bits.Ue() > 12) return std::nullopt;
  } else if (poc_type == 1) {
    bits.Bit();
    bits.Se();
    bits.Se();
    const uint32_t cycle = bits.Ue();
    if (cycle > 255) return std::nullopt;
    for (uint32_t k = 0; k < cycle && !bits.failed(); ++k) bits.Se();
  } else if (poc_type != 2) {
    return std::nullopt;
  }
  bits.Ue();  // max_num_ref_frames
  bits.Bit();
  const uint64_t width_mbs = uint64_t{bits.Ue()} + 1;
  const uint64_t height_units = uint64_t{bits.Ue()} + 1;
  const uint32_t frame_mbs_only = bits.Bit();
  if (!frame_mbs_only) bits.Bit();
  bits.Bit();  // direct_8x8_inference
  uint64_t crop_left = 0, crop_right = 0, crop_top = 0, crop_bottom = 0;
  if (bits.Bit()) {
    crop_left = bits.Ue();
    crop_right = bits.Ue();
    crop_top = bits.Ue();
    crop_bottom = bits.Ue();
  }
  if (bits.failed()) return std::nullopt;
  const bool no_chroma = chroma_format == 0 || separate_planes;
  const uint64_t crop_x = no_chroma ? 1 : (chroma_format == 3 ? 1 : 2);
  const uint64_t crop_y = (no_chroma ? 1 : (chroma_format == 1 ? 2 : 1)) * (2 - frame_mbs_only);
  const uint64_t coded_width = width_mbs * 16;
  const uint64_t coded_height = height_units * 16 * (2 - frame_mbs_only);
  const uint64_t cut_x = crop_x * (crop_left + crop_right);
  const uint64_t cut_y = crop_y * (crop_top + crop_bottom);
  if (coded_width > kMaxDimension || coded_height > kMaxDimension || cut_x >= coded_width ||
      cut_y >= coded_height) {
    return std::nullopt;
  }
  info.width = static_cast<uint32_t>(coded_width - cut_x);
  info.height = static_cast<uint32_t>(coded_height - cut_y);
  return info;
}

}  // namespace vistrel
