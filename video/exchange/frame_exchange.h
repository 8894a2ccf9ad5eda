// The frame exchange between the receiver and the camera library: one
// 1280x720 NV12 picture behind a 64-byte header in named shared memory,
// guarded by a sequence counter. Compiled into both sides.
//
// The sequence lock, the one protocol between the two processes (no lock
// crosses them):
//   writer: sequence + 1 (odd: a copy is under way), a full fence, the picture
//     bytes, a full fence, frame generation and time, frame ready = 1, then
//     sequence + 1 (even again), then a wake of whoever waits on the
//     sequence's low word.
//   reader: frame ready, the generations and the sequence, a full fence; an
//     odd sequence means the writer is copying: wait 1 ms and try once more.
//     Otherwise copy the picture, a full fence, and keep the copy only if
//     frame ready, the writer generation and the sequence are all unchanged.
// A reader therefore never takes a torn picture for whole; one that finds the
// writer busy twice gives up for this sample and shows the waiting picture.
// The fences matter on weakly ordered CPUs, where the increments alone would
// let picture bytes pass them.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/mf/guids.h"
#include "video/picture.h"

namespace vistrel {

constexpr uint32_t kExchangeMagic = 0x5653544C;  // "VSTL"
constexpr uint32_t kExchangeVersion = 2;
constexpr uint32_t kExchangeWidth = kPictureWidth;
constexpr uint32_t kExchangeHeight = kPictureHeight;
// Either side tries to attach at most once in this many milliseconds.
constexpr uint64_t kAttachRetryMs = 1000;
constexpr size_t kExchangeHeaderSize = 64;
constexpr size_t kExchangePictureSize = kExchangeWidth * kExchangeHeight * 3 / 2;
constexpr size_t kExchangeSize = kExchangeHeaderSize + kExchangePictureSize;
// Both processes read CLOCK_MONOTONIC in nanoseconds.
constexpr uint64_t kExchangeClockFrequency = 1'000'000'000;

// Little-endian layout at offset 0 of the mapping; the fields are accessed
// through std::atomic_ref only.
struct FrameExchangeHeader {
  uint32_t magic;
  uint32_t version;
  uint32_t width;
  uint32_t height;
  uint32_t writer_generation;
  uint32_t frame_generation;
  uint32_t frame_ready;
  uint32_t reserved0;
  uint64_t sequence;
  uint64_t frame_time;
  uint64_t frames_read;
  uint64_t reserved1;
};
static_assert(sizeof(FrameExchangeHeader) == kExchangeHeaderSize);
static_assert(offsetof(FrameExchangeHeader, sequence) == 32);
static_assert(offsetof(FrameExchangeHeader, frames_read) == 48);

// Whether a mapping holds the exchange this build reads and writes.
inline bool ExchangeLayoutMatches(const FrameExchangeHeader& header) {
  auto load = [](const uint32_t& field) { return std::atomic_ref<const uint32_t>(field).load(); };
  return load(header.magic) == kExchangeMagic && load(header.version) == kExchangeVersion &&
         load(header.width) == kExchangeWidth && load(header.height) == kExchangeHeight;
}

// The low half of the sequence counter, which changes with every picture: a
// camera host waits on it for the next one, and the writer wakes it.
static_assert(std::endian::native == std::endian::little, "the header is little-endian");
inline const uint32_t* SequenceWord(const FrameExchangeHeader& header) {
  return reinterpret_cast<const uint32_t*>(&header.sequence);
}

// "/Vistrel_<uid>_<session>": the session is $XDG_SESSION_ID when it is a
// non-empty text of letters and digits, else "0".
std::string MakeFrameExchangeName();

// The camera attribute that carries the name to the camera library.
inline constexpr const char* kSharedNameAttribute = kSharedNameAttributeText;

}  // namespace vistrel
