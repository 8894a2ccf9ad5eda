#include "link/framing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace vistrel {
namespace {

constexpr uint64_t kStart = 1'000'000;

// Hands out a fixed byte string on a manual clock. Asking for more than is
// left behaves like a silent peer: time runs to the deadline, then kTimedOut.
// Each delivery takes `step_ms` of the clock.
class ScriptedReader final : public ByteReader {
 public:
  struct Call {
    size_t n;
    uint64_t deadline_ms;
  };

  ScriptedReader(Bytes data, ManualClock& clock, uint64_t step_ms = 0)
      : data_(std::move(data)), clock_(clock), step_ms_(step_ms) {}

  ReadResult ReadExact(uint8_t* buffer, size_t n, uint64_t deadline_ms) override {
    calls_.push_back({n, deadline_ms});
    if (data_.size() - position_ < n) {
      clock_.Set(std::max(clock_.NowMs(), deadline_ms));
      return end_result_;
    }
    std::memcpy(buffer, data_.data() + position_, n);
    position_ += n;
    clock_.Advance(step_ms_);
    return ReadResult::kOk;
  }

  void set_end_result(ReadResult result) { end_result_ = result; }
  const std::vector<Call>& calls() const { return calls_; }
  size_t position() const { return position_; }

 private:
  Bytes data_;
  ManualClock& clock_;
  uint64_t step_ms_;
  size_t position_ = 0;
  ReadResult end_result_ = ReadResult::kTimedOut;
  std::vector<Call> calls_;
};

Bytes Header(uint32_t length, uint8_t type) {
  return {static_cast<uint8_t>(length >> 24), static_cast<uint8_t>(length >> 16),
          static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length), type};
}

Bytes WholeFrame(uint32_t length, uint8_t type) {
  Bytes frame = Header(length, type);
  for (uint32_t i = 1; i < length; ++i) frame.push_back(static_cast<uint8_t>(i * 31));
  return frame;
}

TEST(FrameLimit, ByContextAndType) {
  EXPECT_EQ(FrameLimit(FrameContext::kFirst, kHello), 4096u);
  EXPECT_EQ(FrameLimit(FrameContext::kFirst, kVideo), 4096u);
  EXPECT_EQ(FrameLimit(FrameContext::kSession, kVideo), 2'097'152u);
  EXPECT_EQ(FrameLimit(FrameContext::kSession, kFileChunk), 262'161u);
  EXPECT_EQ(FrameLimit(FrameContext::kSession, kHello), 65'536u);
  EXPECT_EQ(FrameLimit(FrameContext::kSession, 0xEE), 65'536u);
}

TEST(ReadFrame, LengthOneIsATypeWithAnEmptyPayload) {
  ManualClock clock(kStart);
  ScriptedReader reader(Header(1, kPing), clock, 300);
  const Frame frame = ReadFrame(reader, kStart + 5000, FrameContext::kSession, clock);
  EXPECT_EQ(frame.result, ReadResult::kOk);
  EXPECT_EQ(frame.type, kPing);
  EXPECT_TRUE(frame.payload.empty());
  ASSERT_EQ(reader.calls().size(), 2u);  // no read for an empty payload
  EXPECT_EQ(reader.calls()[0].n, 1u);
  EXPECT_EQ(reader.calls()[0].deadline_ms, kStart + 5000);
  EXPECT_EQ(reader.calls()[1].n, 4u);
  // The window starts when the first byte has arrived.
  EXPECT_EQ(reader.calls()[1].deadline_ms, kStart + 300 + 2000);
}

TEST(ReadFrame, LengthsAtAndAboveEachLimit) {
  struct Case {
    FrameContext context;
    uint8_t type;
    uint32_t length;
    bool accepted;
  };
  const Case cases[] = {
      {FrameContext::kFirst, kHello, 4096, true},
      {FrameContext::kFirst, kHello, 4097, false},
      {FrameContext::kFirst, kPair, 4096, true},
      {FrameContext::kFirst, kVideo, 4097, false},
      {FrameContext::kFirst, kHello, 0, false},
      {FrameContext::kSession, kVideo, 2'097'152, true},
      {FrameContext::kSession, kVideo, 2'097'153, false},
      {FrameContext::kSession, kFileChunk, 262'161, true},
      {FrameContext::kSession, kFileChunk, 262'162, false},
      {FrameContext::kSession, kStatus, 65'536, true},
      {FrameContext::kSession, kStatus, 65'537, false},
      {FrameContext::kSession, 0xEE, 65'536, true},
      {FrameContext::kSession, 0xEE, 65'537, false},
      {FrameContext::kSession, kPing, 0, false},
      {FrameContext::kSession, kVideo, 0xFFFF'FFFF, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << int{c.type} << " length " << c.length);
    ManualClock clock(kStart);
    // A refused frame comes with its whole payload too: none of it may be read.
    ScriptedReader reader(c.length <= 3'000'000 ? WholeFrame(c.length, c.type)
                                                : Header(c.length, c.type),
                          clock, 10);
    const Frame frame = ReadFrame(reader, kStart + 5000, c.context, clock);
    if (c.accepted) {
      EXPECT_EQ(frame.result, ReadResult::kOk);
      EXPECT_EQ(frame.type, c.type);
      ASSERT_EQ(frame.payload.size(), c.length - 1);
      const Bytes expected = WholeFrame(c.length, c.type);
      EXPECT_TRUE(std::equal(frame.payload.begin(), frame.payload.end(), expected.begin() + 5));
      ASSERT_EQ(reader.calls().size(), 3u);
      EXPECT_EQ(reader.calls()[2].deadline_ms, reader.calls()[1].deadline_ms);
    } else {
      EXPECT_EQ(frame.result, ReadResult::kFailed);
      EXPECT_EQ(reader.position(), 5u);
      EXPECT_EQ(reader.calls().size(), 2u);
    }
  }
}

TEST(ReadFrame, IdleLinkTimesOutAndBrokenLinkFails) {
  for (ReadResult end : {ReadResult::kTimedOut, ReadResult::kFailed}) {
    ManualClock clock(kStart);
    ScriptedReader reader({}, clock);
    reader.set_end_result(end);
    const Frame frame = ReadFrame(reader, kStart + 5000, FrameContext::kSession, clock);
    EXPECT_EQ(frame.result, end);
    EXPECT_EQ(reader.calls().size(), 1u);
  }
}

TEST(ReadFrame, StallInsideAFrameFails) {
  struct Case {
    const char* name;
    Bytes data;
  };
  const Bytes partial_payload = [] {
    Bytes frame = WholeFrame(100, kStatus);
    frame.resize(50);
    return frame;
  }();
  const Case cases[] = {
      {"after the first byte", {0x00}},
      {"inside the header", {0x00, 0x00, 0x00}},
      {"inside the payload", partial_payload},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ManualClock clock(kStart);
    ScriptedReader reader(c.data, clock);
    const Frame frame = ReadFrame(reader, kStart + 5000, FrameContext::kSession, clock);
    EXPECT_EQ(frame.result, ReadResult::kFailed);
    ASSERT_GE(reader.calls().size(), 2u);
    EXPECT_EQ(reader.calls().back().deadline_ms, kStart + 2000);
    EXPECT_EQ(clock.NowMs(), kStart + 2000);
  }
}

// Records every Write as one unit.
class RecordingChannel final : public Channel {
 public:
  bool Establish(uint64_t) override { return true; }
  const Bytes& peer_certificate() const override { return certificate_; }
  ReadResult ReadExact(uint8_t*, size_t, uint64_t) override { return ReadResult::kFailed; }
  bool Write(std::span<const uint8_t> data) override {
    writes.emplace_back(data.begin(), data.end());
    return accept;
  }
  bool HasBufferedInput() const override { return false; }

  std::vector<Bytes> writes;
  bool accept = true;

 private:
  Bytes certificate_;
};

TEST(SendFrame, OneWriteThatReadFrameTakesBack) {
  RecordingChannel channel;
  ASSERT_TRUE(SendFrame(channel, kAllow, "{\"seq\":7}"));
  ASSERT_TRUE(SendFrame(channel, kPong, std::span<const uint8_t>{}));
  ASSERT_EQ(channel.writes.size(), 2u);
  EXPECT_EQ(channel.writes[1], Header(1, kPong));
  Bytes expected = Header(10, kAllow);
  for (char c : std::string_view("{\"seq\":7}")) expected.push_back(static_cast<uint8_t>(c));
  EXPECT_EQ(channel.writes[0], expected);

  ManualClock clock(kStart);
  ScriptedReader reader(channel.writes[0], clock);
  const Frame frame = ReadFrame(reader, kStart + 5000, FrameContext::kFirst, clock);
  EXPECT_EQ(frame.result, ReadResult::kOk);
  EXPECT_EQ(frame.type, kAllow);
  EXPECT_EQ(AsText(frame.payload), "{\"seq\":7}");

  channel.accept = false;
  EXPECT_FALSE(SendFrame(channel, kPing, "vstl"));
}

}  // namespace
}  // namespace vistrel
