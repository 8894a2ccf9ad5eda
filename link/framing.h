// Link frames: a 4-byte big-endian length (type byte included), the type, the
// payload. Reading splits an idle link from a stalled one.
#pragma once

#include <cstdint>
#include <string_view>

#include "link/tls_channel.h"
#include "platform/clock.h"

namespace vistrel {

enum MessageType : uint8_t {
  kHello = 0x01,
  kHelloReply = 0x02,
  kVideo = 0x10,
  kPing = 0x20,
  kPong = 0x21,
  kCommand = 0x30,
  kStatus = 0x31,
  kState = 0x32,
  kAllow = 0x33,
  kBlock = 0x34,
  kAck = 0x35,
  kPair = 0x40,
  kPairCode = 0x41,
  kPairResult = 0x42,
  kMode = 0x50,
  kFileBegin = 0x60,
  kFileChunk = 0x61,
  kFileEnd = 0x62,
  kFileResult = 0x63,
  kText = 0x64,
};

// Largest length field accepted, by context.
enum class FrameContext { kFirst, kSession };
constexpr uint32_t kFirstFrameLimit = 4096;
constexpr uint32_t kVideoFrameLimit = 2'097'152;
constexpr uint32_t kFileChunkFrameLimit = 262'161;
constexpr uint32_t kOtherFrameLimit = 65'536;
uint32_t FrameLimit(FrameContext context, uint8_t type);

struct Frame {
  ReadResult result = ReadResult::kFailed;
  uint8_t type = 0;
  Bytes payload;
};

// First byte by `first_byte_deadline_ms`, the rest within 2000 ms of it. A
// time-out before the first byte is kTimedOut; any later problem is kFailed.
Frame ReadFrame(ByteReader& reader, uint64_t first_byte_deadline_ms, FrameContext context,
                const Clock& clock = SystemClock());
// The same into `frame`, keeping its payload's memory: a session reads
// thousands of video frames, and a fresh buffer for each costs page faults.
void ReadFrameInto(ByteReader& reader, uint64_t first_byte_deadline_ms, FrameContext context,
                   Frame& frame, const Clock& clock = SystemClock());
// Builds the whole frame in one buffer and writes it in one call.
bool SendFrame(Channel& channel, uint8_t type, std::span<const uint8_t> payload);
inline bool SendFrame(Channel& channel, uint8_t type, std::string_view payload) {
  return SendFrame(channel, type, AsBytes(payload));
}

}  // namespace vistrel
