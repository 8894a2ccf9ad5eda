// Reading and writing on established channels. The client's bytes pass through
// the test, which hands them to the server whole, merged or in pieces.
#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <thread>
#include <vector>

#include "link/framing.h"
#include "link/tls_channel.h"
#include "tests/link/tls_test_util.h"

namespace vistrel {
namespace {

using test::TestCredentials;

constexpr uint64_t kFar = 60'000;

Bytes Pattern(size_t size, uint32_t seed) {
  Bytes out(size);
  uint32_t state = seed * 2654435761u + 1;
  for (uint8_t& byte : out) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<uint8_t>(state >> 24);
  }
  return out;
}

// TLS record boundaries in raw bytes: the content types in order.
std::vector<uint8_t> RecordTypes(const Bytes& wire) {
  std::vector<uint8_t> types;
  size_t at = 0;
  while (at + 5 <= wire.size()) {
    types.push_back(wire[at]);
    at += 5 + ((size_t{wire[at + 3]} << 8) | wire[at + 4]);
  }
  EXPECT_EQ(at, wire.size()) << "bytes after the last whole record";
  return types;
}

class TlsChannelIo : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { std::signal(SIGPIPE, SIG_IGN); }

  void SetUp() override {
    ASSERT_TRUE(TestCredentials::Get().ok);
    client_pair_ = test::MakeUnixPair();
    server_pair_ = test::MakeUnixPair();
    server_ = std::make_unique<TlsChannel>(server_pair_.a.Get(), TestCredentials::Get().server);
    client_ = std::make_unique<TlsChannel>(client_pair_.a.Get(), TestCredentials::Get().client);
    test::Relay relay(client_pair_.b.Get(), server_pair_.b.Get());
    ASSERT_TRUE(test::EstablishBoth(*server_, *client_));
  }

  // What the client wrote so far, as raw records.
  Bytes TakeClientWire() { return test::DrainSocket(client_pair_.b.Get()); }
  void GiveServer(std::span<const uint8_t> bytes) {
    ASSERT_TRUE(test::SendRaw(server_pair_.b.Get(), bytes));
  }
  Bytes ServerRead(size_t n, uint64_t deadline, ReadResult expected = ReadResult::kOk) {
    Bytes out(n);
    EXPECT_EQ(server_->ReadExact(out.data(), n, deadline), expected);
    return out;
  }

  test::SocketPair client_pair_;
  test::SocketPair server_pair_;
  std::unique_ptr<TlsChannel> server_;
  std::unique_ptr<TlsChannel> client_;
};

TEST_F(TlsChannelIo, SecondRecordOfOneReceiveNeedsNoFurtherReceive) {
  ASSERT_TRUE(client_->Write(AsBytes("first")));
  ASSERT_TRUE(client_->Write(AsBytes("second!")));
  const Bytes wire = TakeClientWire();
  EXPECT_EQ(RecordTypes(wire).size(), 2u);
  GiveServer(wire);
  EXPECT_EQ(AsText(ServerRead(5, TickMs() + kFar)), "first");
  EXPECT_TRUE(server_->HasBufferedInput());
  // A deadline in the past still delivers what is already buffered.
  EXPECT_EQ(AsText(ServerRead(7, 0)), "second!");
  EXPECT_FALSE(server_->HasBufferedInput());
}

TEST_F(TlsChannelIo, PastDeadlineLeavesTheSocketAlone) {
  ASSERT_TRUE(client_->Write(AsBytes("abc")));
  GiveServer(TakeClientWire());
  ServerRead(3, 0, ReadResult::kTimedOut);
  EXPECT_FALSE(server_->HasBufferedInput());  // nothing was received
  EXPECT_EQ(AsText(ServerRead(3, TickMs() + kFar)), "abc");
}

// The short reads below must find the bytes already sent, so their deadlines
// leave room for a busy machine; they time out either way.
TEST_F(TlsChannelIo, RecordSplitAcrossReceivesLosesNothing) {
  const Bytes data = Pattern(1000, 1);
  ASSERT_TRUE(client_->Write(data));
  const Bytes wire = TakeClientWire();
  ASSERT_EQ(RecordTypes(wire).size(), 1u);
  // The header itself is split too.
  const size_t cuts[] = {3, 5, 200, 700, wire.size()};
  size_t at = 0;
  for (size_t cut : cuts) {
    GiveServer(std::span(wire).subspan(at, cut - at));
    at = cut;
    if (at < wire.size()) {
      ServerRead(data.size(), TickMs() + 250, ReadResult::kTimedOut);
      EXPECT_TRUE(server_->HasBufferedInput()) << "after " << at << " bytes";
    }
  }
  EXPECT_EQ(ServerRead(data.size(), TickMs() + kFar), data);
}

TEST_F(TlsChannelIo, DecryptedBytesOfAnUnfinishedReadStayForTheNext) {
  const Bytes data = Pattern(20'000, 2);  // two records
  ASSERT_TRUE(client_->Write(data));
  const Bytes wire = TakeClientWire();
  ASSERT_EQ(RecordTypes(wire).size(), 2u);
  const size_t half = wire.size() - 1000;
  GiveServer(std::span(wire).first(half));
  ServerRead(data.size(), TickMs() + 250, ReadResult::kTimedOut);
  EXPECT_TRUE(server_->HasBufferedInput());
  GiveServer(std::span(wire).subspan(half));
  EXPECT_EQ(ServerRead(10, TickMs() + kFar), Bytes(data.begin(), data.begin() + 10));
  EXPECT_EQ(ServerRead(data.size() - 10, TickMs() + kFar), Bytes(data.begin() + 10, data.end()));
}

TEST_F(TlsChannelIo, LargeWriteBecomesRecordsInOrder) {
  const Bytes data = Pattern(100'000, 3);
  ASSERT_TRUE(client_->Write(data));
  const Bytes wire = TakeClientWire();
  EXPECT_EQ(RecordTypes(wire), std::vector<uint8_t>(7, 0x17));
  GiveServer(wire);
  EXPECT_EQ(ServerRead(data.size(), TickMs() + kFar), data);
}

TEST_F(TlsChannelIo, EmptyWriteSendsNothing) {
  EXPECT_TRUE(client_->Write({}));
  EXPECT_TRUE(TakeClientWire().empty());
  ASSERT_TRUE(client_->Write(AsBytes("x")));
  EXPECT_FALSE(TakeClientWire().empty());
}

TEST_F(TlsChannelIo, TamperedRecordFails) {
  ASSERT_TRUE(client_->Write(AsBytes("payload")));
  Bytes wire = TakeClientWire();
  wire[wire.size() - 3] ^= 0x40;
  GiveServer(wire);
  ServerRead(7, TickMs() + kFar, ReadResult::kFailed);
}

TEST_F(TlsChannelIo, ShutdownFromAnotherThreadWakesTheReader) {
  ReadResult result = ReadResult::kOk;
  std::thread reader([&] {
    uint8_t byte = 0;
    result = server_->ReadExact(&byte, 1, TickMs() + 600'000);
  });
  ::shutdown(server_->socket(), SHUT_RDWR);
  reader.join();
  EXPECT_EQ(result, ReadResult::kFailed);
}

TEST_F(TlsChannelIo, ClosedPeerFailsTheRead) {
  server_pair_.b.Reset();
  ServerRead(1, TickMs() + kFar, ReadResult::kFailed);
  EXPECT_FALSE(server_->Write(Pattern(100'000, 4)));
}

// Frames from two writer threads and one answering thread, each channel being
// read at the same time as it is written: every frame arrives whole and in
// its writer's order.
TEST(TlsChannelConcurrency, WritersAndReadersShareChannels) {
  std::signal(SIGPIPE, SIG_IGN);
  ASSERT_TRUE(TestCredentials::Get().ok);
  test::SocketPair pair = test::MakeTcpPair();
  TlsChannel server(pair.a.Get(), TestCredentials::Get().server);
  TlsChannel client(pair.b.Get(), TestCredentials::Get().client);
  ASSERT_TRUE(test::EstablishBoth(server, client));

  constexpr uint32_t kFramesPerWriter = 150;
  auto payload_of = [](uint32_t writer, uint32_t seq) {
    Bytes payload = Pattern(1 + (seq * 7919 + writer * 104'729) % 70'000, writer << 16 | seq);
    payload[0] = static_cast<uint8_t>(writer);
    return payload;
  };
  auto write_frames = [&](TlsChannel& channel, uint32_t writer) {
    for (uint32_t seq = 0; seq < kFramesPerWriter; ++seq) {
      ASSERT_TRUE(SendFrame(channel, kVideo, payload_of(writer, seq)));
    }
  };
  // Reads `count` frames and checks each against its writer's next one.
  auto read_frames = [&](TlsChannel& channel, uint32_t count, std::vector<uint32_t> writers) {
    std::vector<uint32_t> next(4, 0);
    for (uint32_t i = 0; i < count; ++i) {
      const Frame frame = ReadFrame(channel, TickMs() + kFar, FrameContext::kSession);
      ASSERT_EQ(frame.result, ReadResult::kOk);
      ASSERT_EQ(frame.type, kVideo);
      ASSERT_FALSE(frame.payload.empty());
      const uint32_t writer = frame.payload[0];
      ASSERT_LT(writer, next.size());
      ASSERT_EQ(frame.payload, payload_of(writer, next[writer]));
      ++next[writer];
    }
    for (uint32_t writer : writers) EXPECT_EQ(next[writer], kFramesPerWriter);
  };

  std::thread client_writer_1([&] { write_frames(client, 1); });
  std::thread client_writer_2([&] { write_frames(client, 2); });
  std::thread server_writer([&] { write_frames(server, 3); });
  std::thread server_reader([&] { read_frames(server, 2 * kFramesPerWriter, {1, 2}); });
  read_frames(client, kFramesPerWriter, {3});
  client_writer_1.join();
  client_writer_2.join();
  server_writer.join();
  server_reader.join();
}

}  // namespace
}  // namespace vistrel
