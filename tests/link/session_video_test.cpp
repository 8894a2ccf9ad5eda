// The session's video path with a real decoder and frame exchange: the drop
// rules, keyframe synchronisation and requests, epochs, and what reaches the
// camera and the preview.
#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "link/framing.h"
#include "platform/log.h"
#include "tests/link/fake_channel.h"
#include "tests/link/session_harness.h"
#include "tests/support/temp_folder.h"
#include "tools/phone/frame_pattern.h"
#include "tools/phone/h264_source.h"
#include "video/exchange/frame_reader.h"

namespace vistrel {
namespace {

using test::FakeConnection;

constexpr char kHelloJson[] =
    R"({"proto":1,"device_name":"Cam","video":{"codec":"h264","width":1280,"height":720,"fps":30}})";

std::string Ready(uint32_t epoch) {
  return R"({"capture":"ready","epoch":)" + std::to_string(epoch) + R"(,"reason":null})";
}

std::string Video(uint32_t epoch, const phone::AccessUnit& unit, bool flag) {
  std::string payload(13, '\0');
  for (int i = 0; i < 4; ++i) payload[i] = static_cast<char>(epoch >> (24 - 8 * i));
  for (int i = 0; i < 8; ++i)
    payload[4 + i] = static_cast<char>(uint64_t(unit.pts_us) >> (56 - 8 * i));
  payload[12] = flag ? 1 : 0;
  payload.append(reinterpret_cast<const char*>(unit.bytes.data()), unit.bytes.size());
  return payload;
}

class SessionVideoTest : public ::testing::Test {
 protected:
  SessionVideoTest()
      : name_("/Vistrel_" + std::to_string(::geteuid()) + "_sv" + std::to_string(::getpid())),
        trust_(folder_ / "trusted_phones.tsv"),
        pairing_(clock_),
        writer_(name_, clock_),
        reader_(
            name_, [](const std::string&) {}, clock_),
        source_(phone::H264Source::Create()) {
    EXPECT_TRUE(reader_.Open());
    server_ = std::make_unique<test::SessionHarness>("Desk", &writer_, clock_);
  }
  ~SessionVideoTest() override { SharedMemory::Unlink(name_); }

  phone::AccessUnit Next() {
    phone::AccessUnit unit;
    EXPECT_TRUE(source_->NextAccessUnit(unit));
    return unit;
  }
  // The frame number of the picture the camera would show now, if any.
  std::optional<uint32_t> CameraFrame() {
    std::vector<uint8_t> picture(1280 * 720 * 3 / 2);
    if (!reader_.ReadPicture(picture.data(), 1280)) return std::nullopt;
    return phone::ReadFrameNumber(picture.data(), 1280, 1280, 720);
  }

  // What the tray does while its preview is on screen; false while none is there.
  bool WatchPreview() {
    Bytes preview;
    uint32_t width = 0, height = 0;
    uint64_t sequence = 0;
    return server_->CopyPreview(preview, width, height, sequence);
  }

  test::TempFolder folder_;
  std::string name_;
  ManualClock clock_;
  TrustStore trust_;
  PairingState pairing_;
  FrameWriter writer_;
  FrameReader reader_;
  std::unique_ptr<phone::H264Source> source_;
  std::unique_ptr<test::SessionHarness> server_;
  ScopedLogCapture log_;
};

TEST_F(SessionVideoTest, OnlyTheCurrentEpochFromAKeyframeOnReachesTheCamera) {
  FakeConnection phone(clock_, std::string(64, 'a'));
  phone.channel->Queue(kHello, kHelloJson);
  phone::AccessUnit key = Next();
  ASSERT_TRUE(key.keyframe);
  phone.channel->Queue(kVideo, Video(7, key, true));  // before "ready": dropped
  phone.channel->Queue(kState, Ready(7));
  phone.channel->Queue(kVideo, Video(6, key, true));  // old epoch: dropped
  phone::AccessUnit p1 = Next(), p2 = Next();
  phone.channel->Queue(kVideo, Video(7, p1, false));  // not synced: dropped, keyframe asked
  phone.channel->Queue(kVideo, Video(7, p2, false));  // dropped, no second request this second
  source_->RequestKeyframe();
  phone::AccessUnit key3 = Next();
  ASSERT_TRUE(key3.keyframe);
  phone.channel->Queue(kVideo,
                       Video(7, key3, false));  // an IDR the phone did not flag: not a keyframe
  phone.channel->Queue(kVideo, Video(7, key3, true));  // synced: decoded
  phone::AccessUnit p3 = Next();
  phone.channel->Queue(kVideo, Video(7, p3, false));
  phone.channel->SetBlocking(true);
  phone.channel->Queue(kPing, "sync");
  WatchPreview();
  std::thread session([&] { server_->Stream(phone.connection); });
  while (phone.channel->SentOfType(kPong).empty()) std::this_thread::yield();

  ServerCounters counters = server_->GetCounters();
  EXPECT_EQ(counters.video_received, 7u);
  EXPECT_EQ(counters.video_dropped, 5u);
  EXPECT_EQ(counters.frames_decoded, 2u);
  EXPECT_EQ(counters.frames_delivered, 2u);
  EXPECT_EQ(phone.channel->SentOfType(kCommand),
            (std::vector<std::string>{R"({"cmd":"request_keyframe"})"}));
  EXPECT_EQ(CameraFrame(), p3.frame_number);
  EXPECT_TRUE(log_.Contains("[frames] writing to the virtual camera (generation 1)\n"));
  EXPECT_TRUE(log_.Contains("[decoder] output NV12 "));

  Bytes preview;
  uint32_t width = 0, height = 0;
  uint64_t sequence = 0;
  ASSERT_TRUE(server_->CopyPreview(preview, width, height, sequence));
  EXPECT_EQ(width, 1280u);
  EXPECT_EQ(height, 720u);
  EXPECT_EQ(preview.size(), 1280u * 720 * 3 / 2);
  EXPECT_EQ(phone::ReadFrameNumber(preview.data(), 1280, 1280, 720), p3.frame_number);

  // Pausing shows the waiting picture and empties the preview at once.
  phone.channel->Queue(kState, R"({"capture":"paused","epoch":7,"reason":"background"})");
  phone.channel->Queue(kPing, "sync2");
  while (phone.channel->SentOfType(kPong).size() < 2) std::this_thread::yield();
  EXPECT_EQ(CameraFrame(), std::nullopt);
  EXPECT_FALSE(server_->CopyPreview(preview, width, height, sequence));
  EXPECT_TRUE(preview.empty());

  phone.connection->Shutdown();
  session.join();
}

// The camera gets every picture; the preview only those that come while
// someone asked for it within the last second.
TEST_F(SessionVideoTest, PreviewIsCopiedOnlyWhileSomeoneWatches) {
  FakeConnection phone(clock_, std::string(64, 'a'));
  phone.channel->Queue(kHello, kHelloJson);
  phone.channel->Queue(kState, Ready(1));
  phone.channel->Queue(kVideo, Video(1, Next(), true));
  phone.channel->SetBlocking(true);
  phone.channel->Queue(kPing, "a");
  std::thread session([&] { server_->Stream(phone.connection); });
  int pongs = 1;
  auto picture_then_sync = [&](const phone::AccessUnit& unit) {
    phone.channel->Queue(kVideo, Video(1, unit, false));
    phone.channel->Queue(kPing, "s");
    while (int(phone.channel->SentOfType(kPong).size()) < pongs + 1) std::this_thread::yield();
    ++pongs;
  };
  while (phone.channel->SentOfType(kPong).empty()) std::this_thread::yield();
  EXPECT_EQ(server_->preview_copies(), 0u);
  EXPECT_FALSE(WatchPreview());

  const phone::AccessUnit watched = Next();
  picture_then_sync(watched);
  EXPECT_EQ(server_->preview_copies(), 1u);
  Bytes preview;
  uint32_t width = 0, height = 0;
  uint64_t sequence = 0;
  ASSERT_TRUE(server_->CopyPreview(preview, width, height, sequence));
  EXPECT_EQ(phone::ReadFrameNumber(preview.data(), 1280, 1280, 720), watched.frame_number);

  // A lent picture stays as it was while newer ones come and the other
  // buffers are filled and reused; a copy meanwhile gets the newest.
  uint64_t lent = 0;
  phone::AccessUnit newest;
  ASSERT_TRUE(server_->ReadPreview(lent, [&](const PictureView& picture) {
    for (int i = 0; i < 3; ++i) picture_then_sync(newest = Next());
    ASSERT_TRUE(server_->CopyPreview(preview, width, height, sequence));
    EXPECT_EQ(phone::ReadFrameNumber(preview.data(), 1280, 1280, 720), newest.frame_number);
    EXPECT_EQ(phone::ReadFrameNumber(picture.luma, picture.luma_pitch, picture.width,
                                     picture.height),
              watched.frame_number);
  }));
  EXPECT_EQ(server_->preview_copies(), 4u);
  EXPECT_TRUE(server_->ReadPreview(lent, [&](const PictureView& picture) {
    EXPECT_EQ(phone::ReadFrameNumber(picture.luma, picture.luma_pitch, picture.width,
                                     picture.height),
              newest.frame_number);
  }));

  clock_.Advance(1000);  // the last request is a second old: still watched
  picture_then_sync(Next());
  EXPECT_EQ(server_->preview_copies(), 5u);
  clock_.Advance(1);
  const phone::AccessUnit unwatched = Next();
  picture_then_sync(unwatched);
  EXPECT_EQ(server_->preview_copies(), 5u);
  EXPECT_EQ(CameraFrame(), unwatched.frame_number);
  EXPECT_EQ(server_->GetCounters().frames_delivered, 7u);
  phone.connection->Shutdown();
  session.join();
}

TEST_F(SessionVideoTest, KeyframeRequestsAtMostOncePerSecond) {
  FakeConnection phone(clock_, std::string(64, 'a'));
  phone.channel->Queue(kHello, kHelloJson);
  phone.channel->Queue(kState, Ready(1));
  Next();  // skip the keyframe
  for (int i = 0; i < 3; ++i) phone.channel->Queue(kVideo, Video(1, Next(), false));
  phone.channel->SetBlocking(true);
  phone.channel->Queue(kPing, "a");
  std::thread session([&] { server_->Stream(phone.connection); });
  while (phone.channel->SentOfType(kPong).empty()) std::this_thread::yield();
  EXPECT_EQ(phone.channel->SentOfType(kCommand).size(), 1u);
  clock_.Advance(999);
  phone.channel->Queue(kVideo, Video(1, Next(), false));
  phone.channel->Queue(kPing, "b");
  while (phone.channel->SentOfType(kPong).size() < 2) std::this_thread::yield();
  EXPECT_EQ(phone.channel->SentOfType(kCommand).size(), 1u);
  clock_.Advance(1);
  phone.channel->Queue(kVideo, Video(1, Next(), false));
  phone.channel->Queue(kPing, "c");
  while (phone.channel->SentOfType(kPong).size() < 3) std::this_thread::yield();
  EXPECT_EQ(phone.channel->SentOfType(kCommand).size(), 2u);
  phone.connection->Shutdown();
  session.join();
}

TEST_F(SessionVideoTest, AllowedCameraWaitsForTheAcknowledgedEpoch) {
  FakeConnection phone(clock_, std::string(64, 'a'));
  phone.channel->Queue(kHello, kHelloJson);
  phone.channel->Queue(kState, Ready(1));
  phone.channel->SetBlocking(true);
  phone.channel->Queue(kPing, "up");
  std::thread session([&] { server_->Stream(phone.connection); });
  while (phone.channel->SentOfType(kPong).empty()) std::this_thread::yield();

  server_->SetCameraAllowed(false);
  phone::AccessUnit key = Next();
  phone.channel->Queue(kVideo, Video(1, key, true));  // blocked: dropped
  server_->SetCameraAllowed(true);                    // ALLOW seq 2 awaits its ACK
  phone.channel->Queue(kVideo, Video(1, key, true));  // unacknowledged: dropped
  phone.channel->Queue(kAck, R"({"seq":2,"epoch":2})");
  phone.channel->Queue(kVideo, Video(1, key, true));  // old epoch: dropped
  phone.channel->Queue(kVideo, Video(2, key, true));  // decoded
  phone.channel->Queue(kPing, "done");
  while (phone.channel->SentOfType(kPong).size() < 2) std::this_thread::yield();
  ServerCounters counters = server_->GetCounters();
  EXPECT_EQ(counters.video_dropped, 3u);
  EXPECT_EQ(counters.frames_delivered, 1u);
  EXPECT_EQ(CameraFrame(), key.frame_number);

  server_->SetCameraAllowed(false);  // blocking clears the camera at once
  EXPECT_EQ(CameraFrame(), std::nullopt);
  phone.connection->Shutdown();
  session.join();
}

TEST_F(SessionVideoTest, CorruptVideoResynchronisesAtTheNextKeyframe) {
  FakeConnection phone(clock_, std::string(64, 'a'));
  phone.channel->Queue(kHello, kHelloJson);
  phone.channel->Queue(kState, Ready(3));
  phone::AccessUnit key = Next();
  phone.channel->Queue(kVideo, Video(3, key, true));
  phone::AccessUnit garbage;
  garbage.bytes.assign(5000, 0xFF);
  garbage.bytes[0] = 0, garbage.bytes[1] = 0, garbage.bytes[2] = 1, garbage.bytes[3] = 0x65;
  garbage.bytes[4] = 0x00;  // an IDR slice header that cannot parse
  phone.channel->Queue(kVideo, Video(3, garbage, true));
  phone.channel->Queue(kVideo, Video(3, Next(), false));
  source_->RequestKeyframe();
  phone::AccessUnit again = Next();
  ASSERT_TRUE(again.keyframe);
  phone.channel->Queue(kVideo, Video(3, again, true));
  server_->Stream(phone.connection);
  EXPECT_GE(server_->GetCounters().frames_decoded, 2u);
  EXPECT_EQ(server_->session_state(), 0u);
  // The end of the session leaves the waiting picture behind.
  EXPECT_EQ(CameraFrame(), std::nullopt);
}

// A Wi-Fi session replaced by the cable may still read a STATE "paused" that
// was on its way: it must leave the new session's picture and preview alone.
TEST_F(SessionVideoTest, ReplacedSessionLeavesTheNewPictureAlone) {
  FakeConnection wifi(clock_, std::string(64, 'a'), false);
  wifi.channel->IgnoreShutdown();
  wifi.channel->SetBlocking(true);
  wifi.channel->Queue(kHello, kHelloJson);
  std::thread old_session([&] { server_->Stream(wifi.connection); });
  while (wifi.channel->SentOfType(kHelloReply).empty()) std::this_thread::yield();

  FakeConnection cable(clock_, std::string(64, 'a'), true);
  cable.channel->SetBlocking(true);
  cable.channel->Queue(kHello, kHelloJson);
  cable.channel->Queue(kState, Ready(1));
  phone::AccessUnit key = Next();
  cable.channel->Queue(kVideo, Video(1, key, true));
  cable.channel->Queue(kPing, "up");
  WatchPreview();
  std::thread new_session([&] { server_->Stream(cable.connection); });
  while (cable.channel->SentOfType(kPong).empty()) std::this_thread::yield();
  ASSERT_EQ(CameraFrame(), key.frame_number);

  wifi.channel->Queue(kState, R"({"capture":"paused","epoch":1,"reason":null})");
  wifi.channel->Queue(kPing, "late");
  while (wifi.channel->SentOfType(kPong).empty()) std::this_thread::yield();
  EXPECT_EQ(CameraFrame(), key.frame_number);
  Bytes preview;
  uint32_t width = 0, height = 0;
  uint64_t sequence = 0;
  EXPECT_TRUE(server_->CopyPreview(preview, width, height, sequence));
  wifi.channel->Hangup();
  old_session.join();
  EXPECT_TRUE(log_.Contains("[net] \"Cam\" handed over to the cable\n"));
  EXPECT_EQ(server_->session_state(), 1u);

  cable.connection->Shutdown();
  new_session.join();
}

}  // namespace
}  // namespace vistrel
