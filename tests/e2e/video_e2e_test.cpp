// Video from the phone simulator through the real receiver into a frame
// reader that stands where the camera library would.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "platform/clock.h"
#include "tests/e2e/e2e_support.h"
#include "tools/phone/frame_pattern.h"
#include "tools/phone/webcam.h"
#include "video/exchange/frame_reader.h"

namespace vistrel {
namespace {

using namespace std::chrono_literals;

constexpr int kW = 1280;
constexpr int kH = 720;

class VideoE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(receiver_.Start());
    reader_ = std::make_unique<FrameReader>(receiver_.ExchangeName(), [](const std::string&) {});
    ASSERT_TRUE(reader_->Open());
    device_ = phone::Phone::Create(receiver_.root() / "phone");
    ASSERT_TRUE(test::PairAndApprove(receiver_, *device_, "Cam"));
  }
  void TearDown() override { SharedMemory::Unlink(receiver_.ExchangeName()); }

  // Streams on a thread until stopped; returns the report.
  std::future<phone::WebcamReport> Stream(phone::WebcamOptions options) {
    options.device_name = "Cam";
    auto link = std::shared_ptr<phone::PhoneLink>(device_->Connect("127.0.0.1", receiver_.port()));
    EXPECT_NE(link, nullptr);
    return std::async(std::launch::async, [this, link, options] {
      if (!link) return phone::WebcamReport{};
      phone::WebcamReport report = phone::RunWebcam(*link, options, &stop_);
      link->Drop();  // the phone goes away
      return report;
    });
  }

  std::optional<uint32_t> CameraFrame(int left = 0, int width = kW) {
    if (!reader_->ReadPicture(picture_.data(), kW)) return std::nullopt;
    return phone::ReadFrameNumber(picture_.data() + left, kW, width, kH);
  }

  // Polls the camera side until `condition` holds for what it reads.
  bool WaitForCamera(const std::function<bool(std::optional<uint32_t>)>& condition,
                     std::chrono::milliseconds limit = 10s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      if (condition(CameraFrame())) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }

  test::ReceiverProcess receiver_;
  std::unique_ptr<FrameReader> reader_;
  std::unique_ptr<phone::Phone> device_;
  std::atomic<bool> stop_{false};
  std::vector<uint8_t> picture_ = std::vector<uint8_t>(size_t(kW) * kH * 3 / 2);
};

TEST_F(VideoE2E, PicturesArriveInOrderAndMatchTheSource) {
  EXPECT_EQ(CameraFrame(), std::nullopt);  // nothing before the phone comes
  phone::WebcamOptions options;
  options.seconds = 30;
  auto streaming = Stream(options);
  // The phone stops on every way out of the test, so the stream ends at once.
  struct StopOnExit {
    std::atomic<bool>& stop;
    ~StopOnExit() { stop = true; }
  } stop_on_exit{stop_};
  ASSERT_TRUE(WaitForCamera([](auto frame) { return frame.has_value(); }));

  // However slow the machine (sanitizer builds are), twenty distinct pictures
  // must arrive, each newer than the one before.
  std::vector<uint32_t> seen;
  const auto end = std::chrono::steady_clock::now() + 20s;
  while (seen.size() < 20 && std::chrono::steady_clock::now() < end) {
    if (auto frame = CameraFrame()) {
      if (seen.empty() || *frame != seen.back()) seen.push_back(*frame);
    }
    std::this_thread::sleep_for(5ms);
  }
  ASSERT_GE(seen.size(), 20u);
  for (size_t i = 1; i < seen.size(); ++i) EXPECT_GT(seen[i], seen[i - 1]);

  // The picture is the simulator's own within codec error.
  std::optional<uint32_t> shown;
  ASSERT_TRUE(WaitForCamera([&](auto frame) {
    shown = frame;
    return frame.has_value();
  }));
  std::vector<uint8_t> y(size_t(kW) * kH), u(size_t(kW) * kH / 4), v(size_t(kW) * kH / 4);
  phone::DrawTestPicture(*shown, y.data(), kW, u.data(), kW / 2, v.data(), kW / 2, kW, kH);
  uint64_t error = 0;
  for (size_t i = 0; i < y.size(); ++i) error += std::abs(int(y[i]) - int(picture_[i]));
  EXPECT_LT(double(error) / y.size(), 6.0);

  receiver_.Send("status");
  EXPECT_TRUE(receiver_.WaitForOutput("delivered="));
  stop_ = true;
  phone::WebcamReport report = streaming.get();
  EXPECT_TRUE(report.accepted);
  // Gone phone, waiting picture.
  EXPECT_TRUE(WaitForCamera([](auto frame) { return !frame.has_value(); }, 3s));
  EXPECT_TRUE(receiver_.WaitForLog("[net] \"Cam\" disconnected\n"));
}

TEST_F(VideoE2E, PauseGivesTheWaitingPictureWithinASecond) {
  phone::WebcamOptions options;
  options.seconds = 30;
  options.pause_after = 2;
  auto streaming = Stream(options);
  ASSERT_TRUE(WaitForCamera([](auto frame) { return frame.has_value(); }));
  ASSERT_TRUE(receiver_.WaitForLog("[state] phone paused: user (epoch 1)\n"));
  // The exchange is cleared before that line is written, so the camera already
  // shows the waiting picture (well within the second the phone may take).
  EXPECT_EQ(CameraFrame(), std::nullopt);
  stop_ = true;
  streaming.get();
}

TEST_F(VideoE2E, BlockAndAllowFollowTheAllowAckRule) {
  phone::WebcamOptions options;
  options.seconds = 30;
  auto streaming = Stream(options);
  ASSERT_TRUE(WaitForCamera([](auto frame) { return frame.has_value(); }));
  receiver_.Send("pause");
  ASSERT_TRUE(receiver_.WaitForLog("[gate] camera blocked\n"));
  EXPECT_EQ(CameraFrame(), std::nullopt);  // cleared before the line is written
  receiver_.Send("resume");
  ASSERT_TRUE(receiver_.WaitForLog("[gate] phone acknowledged ALLOW, epoch 2\n"));
  EXPECT_TRUE(WaitForCamera([](auto frame) { return frame.has_value(); }));
  stop_ = true;
  phone::WebcamReport report = streaming.get();
  EXPECT_EQ(report.blocks, 1u);
  EXPECT_EQ(report.allows, 1u);
}

TEST_F(VideoE2E, AReconnectingPhoneTakesOver) {
  phone::WebcamOptions options;
  options.seconds = 30;
  auto first = Stream(options);
  ASSERT_TRUE(WaitForCamera([](auto frame) { return frame.has_value(); }));
  std::atomic<bool> stop_second{false};
  auto link = std::shared_ptr<phone::PhoneLink>(device_->Connect("127.0.0.1", receiver_.port()));
  ASSERT_NE(link, nullptr);
  options.device_name = "Cam";
  auto second = std::async(std::launch::async, [&, link] {
    phone::WebcamReport report = phone::RunWebcam(*link, options, &stop_second);
    link->Drop();
    return report;
  });
  ASSERT_TRUE(receiver_.WaitForLog("[net] the phone reconnected; its old session is closed\n"));
  EXPECT_TRUE(first.get().closed_by_receiver);
  EXPECT_TRUE(receiver_.WaitForLog("[net] \"Cam\" replaced by a new session\n"));
  // The new session's pictures start again from its own first frame.
  EXPECT_TRUE(WaitForCamera([](auto frame) { return frame.has_value() && *frame < 30; }));
  stop_second = true;
  EXPECT_TRUE(second.get().accepted);
}

TEST_F(VideoE2E, OtherSizesAreScaledAndLetterboxed) {
  for (auto [width, height] : {std::pair{1920, 1080}, std::pair{720, 1280}}) {
    stop_ = false;
    phone::WebcamOptions options;
    options.seconds = 30;
    options.width = width;
    options.height = height;
    auto streaming = Stream(options);
    const int left = width == 720 ? 438 : 0;
    const int box = width == 720 ? 404 : kW;
    EXPECT_TRUE(WaitForCamera([&](auto) { return CameraFrame(left, box).has_value(); }));
    if (width == 720) {
      EXPECT_TRUE(receiver_.WaitForLog("[decoder] output NV12 720x1280"));
      for (int row : {0, 360, 719}) {
        EXPECT_EQ(picture_[size_t(row) * kW + 437], 16);
        EXPECT_EQ(picture_[size_t(row) * kW + 842], 16);
      }
    }
    stop_ = true;
    streaming.get();
    ASSERT_TRUE(WaitForCamera([](auto frame) { return !frame.has_value(); }, 3s));
  }
}

}  // namespace
}  // namespace vistrel
