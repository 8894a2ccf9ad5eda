#include "link/framing.h"

namespace vistrel {
namespace {

// Once a frame has begun, its header and its payload must each arrive within
// this window of the first byte's arrival.
constexpr uint64_t kFrameBodyWindowMs = 2000;

}  // namespace

uint32_t FrameLimit(FrameContext context, uint8_t type) {
  if (context == FrameContext::kFirst) return kFirstFrameLimit;
  switch (type) {
    case kVideo:
      return kVideoFrameLimit;
    case kFileChunk:
      return kFileChunkFrameLimit;
    default:
      return kOtherFrameLimit;
  }
}

Frame ReadFrame(ByteReader& reader, uint64_t first_byte_deadline_ms, FrameContext context,
                const Clock& clock) {
  Frame frame;
  ReadFrameInto(reader, first_byte_deadline_ms, context, frame, clock);
  return frame;
}

void ReadFrameInto(ByteReader& reader, uint64_t first_byte_deadline_ms, FrameContext context,
                   Frame& frame, const Clock& clock) {
  frame.result = ReadResult::kFailed;
  frame.type = 0;
  frame.payload.clear();
  uint8_t header[5];
  const ReadResult first = reader.ReadExact(header, 1, first_byte_deadline_ms);
  if (first != ReadResult::kOk) {
    frame.result = first == ReadResult::kTimedOut ? ReadResult::kTimedOut : ReadResult::kFailed;
    return;
  }
  const uint64_t body_deadline = clock.NowMs() + kFrameBodyWindowMs;
  if (reader.ReadExact(header + 1, 4, body_deadline) != ReadResult::kOk) return;

  const uint32_t length = (uint32_t{header[0]} << 24) | (uint32_t{header[1]} << 16) |
                          (uint32_t{header[2]} << 8) | uint32_t{header[3]};
  const uint8_t type = header[4];
  // Checked before a single payload byte is read or any memory is reserved.
  if (length == 0 || length > FrameLimit(context, type)) return;

  frame.payload.resize(length - 1);
  if (!frame.payload.empty() &&
      reader.ReadExact(frame.payload.data(), frame.payload.size(), body_deadline) !=
          ReadResult::kOk) {
    frame.payload.clear();
    return;
  }
  frame.result = ReadResult::kOk;
  frame.type = type;
}

bool SendFrame(Channel& channel, uint8_t type, std::span<const uint8_t> payload) {
  // The length field counts the type byte; a payload it cannot describe is refused.
  if (payload.size() >= 0xFFFF'FFFFu) return false;
  const uint32_t length = static_cast<uint32_t>(payload.size() + 1);
  Bytes frame;
  frame.reserve(payload.size() + 5);
  frame.push_back(static_cast<uint8_t>(length >> 24));
  frame.push_back(static_cast<uint8_t>(length >> 16));
  frame.push_back(static_cast<uint8_t>(length >> 8));
  frame.push_back(static_cast<uint8_t>(length));
  frame.push_back(type);
  frame.insert(frame.end(), payload.begin(), payload.end());
  return channel.Write(frame);
}

}  // namespace vistrel
