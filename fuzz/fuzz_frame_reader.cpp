// Frames read from an untrusted byte stream: the first input byte picks the
// context and how the stream ends, the rest is what the peer sent.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "link/framing.h"

namespace {

using vistrel::ReadResult;

// Delivers the input, then behaves like an idle or a broken link.
class InputReader final : public vistrel::ByteReader {
 public:
  InputReader(std::span<const uint8_t> data, ReadResult at_end, vistrel::ManualClock& clock)
      : data_(data), at_end_(at_end), clock_(clock) {}

  ReadResult ReadExact(uint8_t* buffer, size_t n, uint64_t deadline_ms) override {
    if (data_.size() < n) {
      clock_.Set(deadline_ms);
      return at_end_;
    }
    std::memcpy(buffer, data_.data(), n);
    data_ = data_.subspan(n);
    clock_.Advance(1);
    return ReadResult::kOk;
  }

 private:
  std::span<const uint8_t> data_;
  ReadResult at_end_;
  vistrel::ManualClock& clock_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const vistrel::FrameContext context =
      (data[0] & 1) != 0 ? vistrel::FrameContext::kSession : vistrel::FrameContext::kFirst;
  const ReadResult at_end = (data[0] & 2) != 0 ? ReadResult::kFailed : ReadResult::kTimedOut;
  vistrel::ManualClock clock;
  InputReader reader(std::span(data + 1, size - 1), at_end, clock);
  for (int i = 0; i < 64; ++i) {
    const vistrel::Frame frame = ReadFrame(reader, clock.NowMs() + 5000, context, clock);
    if (frame.result != ReadResult::kOk) break;
    // A delivered frame always fits the limit of its context.
    if (frame.payload.size() >= vistrel::FrameLimit(context, frame.type)) __builtin_trap();
  }
  return 0;
}
