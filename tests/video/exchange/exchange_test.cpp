#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/log.h"
#include "video/exchange/frame_exchange.h"
#include "video/exchange/frame_reader.h"
#include "video/exchange/frame_writer.h"
#include "video/exchange/letterbox.h"

namespace vistrel {
namespace {

constexpr int kW = 1280;
constexpr int kH = 720;

std::string UniqueName() {
  static int counter = 0;
  return "/Vistrel_" + std::to_string(::geteuid()) + "_t" + std::to_string(::getpid()) + "x" +
         std::to_string(counter++);
}

// A picture of one luma value and one chroma pair, with a stride wider than the picture.
struct Picture {
  Picture(int w, int h, uint8_t y, uint8_t u = 128, uint8_t v = 128)
      : width(w), height(h), stride(w + 32),
        luma(size_t(stride) * h, y), chroma(size_t(stride) * ((h + 1) / 2)) {
    for (size_t i = 0; i < chroma.size(); i += 2) {
      chroma[i] = u;
      chroma[i + 1] = v;
    }
  }
  bool Write(FrameWriter& writer) {
    return writer.WriteFrame({luma.data(), chroma.data(), stride, width, height});
  }
  int width, height, stride;
  std::vector<uint8_t> luma, chroma;
};

class ExchangeTest : public ::testing::Test {
 protected:
  ExchangeTest() : name_(UniqueName()) {}
  ~ExchangeTest() override { SharedMemory::Unlink(name_); }

  FrameReader MakeReader() {
    return FrameReader(name_, [this](const std::string& m) { reader_log_ += m + "\n"; }, clock_);
  }
  FrameExchangeHeader& Poke() {
    poke_ = std::move(*SharedMemory::Open(name_, kExchangeSize));
    return *reinterpret_cast<FrameExchangeHeader*>(poke_->data());
  }

  std::string name_;
  ManualClock clock_;
  std::string reader_log_;
  std::unique_ptr<SharedMemory> poke_;
  std::vector<uint8_t> out_ = std::vector<uint8_t>(size_t(kW + 64) * kH * 3 / 2);
};

TEST(Letterbox, FitFollowsTheIntegerRule) {
  struct Case {
    int w, h;
    LetterboxFit fit;
  } cases[] = {
      {1280, 720, {1280, 720, 0, 0}},   {1920, 1080, {1280, 720, 0, 0}},
      {720, 1280, {404, 720, 438, 0}},  {640, 480, {960, 720, 160, 0}},
      {1280, 540, {1280, 540, 0, 90}},  {1, 1, {720, 720, 280, 0}},
      {4000, 3, {1280, 0, 0, 360}},
  };
  for (const Case& c : cases) {
    LetterboxFit fit = FitLetterbox(c.w, c.h);
    EXPECT_EQ(fit.width, c.fit.width) << c.w << "x" << c.h;
    EXPECT_EQ(fit.height, c.fit.height) << c.w << "x" << c.h;
    EXPECT_EQ(fit.left, c.fit.left) << c.w << "x" << c.h;
    EXPECT_EQ(fit.top, c.fit.top) << c.w << "x" << c.h;
  }
}

TEST(Letterbox, PortraitPictureGetsBlackBars) {
  Picture portrait(720, 1280, 200, 60, 70);
  std::vector<uint8_t> y(size_t(kW) * kH), uv(size_t(kW) * kH / 2);
  ScaleLetterbox({portrait.luma.data(), portrait.chroma.data(), portrait.stride, 720, 1280},
                 y.data(), uv.data());
  for (int row : {0, 359, 719}) {
    EXPECT_EQ(y[size_t(row) * kW + 437], 16);
    EXPECT_EQ(y[size_t(row) * kW + 438], 200);
    EXPECT_EQ(y[size_t(row) * kW + 438 + 403], 200);
    EXPECT_EQ(y[size_t(row) * kW + 438 + 404], 16);
  }
  EXPECT_EQ(uv[436], 128);
  EXPECT_EQ(uv[438], 60);
  EXPECT_EQ(uv[439], 70);
  EXPECT_EQ(uv[438 + 404], 128);
}

TEST(Letterbox, NearestNeighbourPicksTheRightSourcePixels) {
  // Each source column holds its own index, so the picked columns show.
  Picture wide(1920, 1080, 0);
  for (int r = 0; r < 1080; ++r) {
    for (int c = 0; c < 1920; ++c) wide.luma[size_t(r) * wide.stride + c] = uint8_t(c * 7 + r);
  }
  std::vector<uint8_t> y(size_t(kW) * kH), uv(size_t(kW) * kH / 2);
  ScaleLetterbox({wide.luma.data(), wide.chroma.data(), wide.stride, 1920, 1080}, y.data(),
                 uv.data());
  for (int r : {0, 1, 500, 719}) {
    for (int c : {0, 1, 2, 641, 1279}) {
      const int sr = r * 1080 / 720, sc = c * 1920 / 1280;
      EXPECT_EQ(y[size_t(r) * kW + c], uint8_t(sc * 7 + sr)) << r << "," << c;
    }
  }
}

TEST(WaitingPicture, BarPhases) {
  std::vector<uint8_t> buffer(size_t(kW + 16) * kH * 3 / 2);
  auto bright = [&](int pitch) {
    std::vector<int> columns;
    for (int c = 0; c < kW; ++c) {
      if (buffer[size_t(100) * pitch + c] == 110) columns.push_back(c);
    }
    return columns;
  };
  const int pitch = kW + 16;
  DrawWaitingPicture(buffer.data(), pitch, 0);
  EXPECT_TRUE(bright(pitch).empty());
  EXPECT_EQ(buffer[0], 40);
  DrawWaitingPicture(buffer.data(), pitch, 1439 * 8);
  EXPECT_EQ(bright(pitch), (std::vector<int>{1279}));
  DrawWaitingPicture(buffer.data(), pitch, 1440 * 8 + 100 * 8);  // wraps to phase 100
  EXPECT_EQ(bright(pitch).size(), 100u);
  DrawWaitingPicture(buffer.data(), pitch, 500 * 8);
  auto columns = bright(pitch);
  ASSERT_EQ(columns.size(), 160u);
  EXPECT_EQ(columns.front(), 340);
  const uint8_t* uv = buffer.data() + size_t(kH) * pitch;
  EXPECT_EQ(uv[0], 150);
  EXPECT_EQ(uv[1], 120);
  EXPECT_EQ(uv[size_t(359) * pitch + 1278], 150);
}

TEST(FrameExchangeName, UsesUidAndPlainSessionIds) {
  const std::string prefix = "/Vistrel_" + std::to_string(::geteuid()) + "_";
  ::setenv("XDG_SESSION_ID", "c2", 1);
  EXPECT_EQ(MakeFrameExchangeName(), prefix + "c2");
  ::setenv("XDG_SESSION_ID", "../x", 1);
  EXPECT_EQ(MakeFrameExchangeName(), prefix + "0");
  ::unsetenv("XDG_SESSION_ID");
  EXPECT_EQ(MakeFrameExchangeName(), prefix + "0");
}

TEST_F(ExchangeTest, WriterWaitsForTheCameraAndLogsOnce) {
  ScopedLogCapture log;
  FrameWriter writer(name_, clock_);
  Picture picture(kW, kH, 90);
  EXPECT_FALSE(picture.Write(writer));
  clock_.Advance(1000);
  EXPECT_FALSE(picture.Write(writer));
  EXPECT_EQ(log.Text(), "[frames] no app is using the camera yet (" + std::to_string(ENOENT) + ")\n");

  FrameReader reader = MakeReader();
  ASSERT_TRUE(reader.Open());
  EXPECT_EQ(reader_log_, "FrameReader: shared memory ready (created)\n");
  clock_.Advance(999);
  EXPECT_FALSE(picture.Write(writer));  // the next attempt is a second after the last
  clock_.Advance(1);
  EXPECT_TRUE(picture.Write(writer));
  EXPECT_TRUE(log.Contains("[frames] writing to the virtual camera (generation 1)\n"));
}

TEST_F(ExchangeTest, PicturesPassWholeAndAreCounted) {
  FrameReader reader = MakeReader();
  ASSERT_TRUE(reader.Open());
  FrameWriter writer(name_, clock_);
  EXPECT_FALSE(reader.ReadPicture(out_.data(), kW + 64));  // nothing written yet
  Picture picture(kW, kH, 77, 11, 22);
  ASSERT_TRUE(picture.Write(writer));
  ASSERT_TRUE(reader.ReadPicture(out_.data(), kW + 64));
  EXPECT_EQ(out_[0], 77);
  EXPECT_EQ(out_[size_t(719) * (kW + 64) + 1279], 77);
  EXPECT_EQ(out_[size_t(720) * (kW + 64)], 11);
  EXPECT_EQ(out_[size_t(1079) * (kW + 64) + 1279], 22);
  EXPECT_EQ(writer.FramesRead(), 1u);

  writer.ClearFrame();
  EXPECT_FALSE(reader.ReadPicture(out_.data(), kW + 64));
  ASSERT_TRUE(picture.Write(writer));
  EXPECT_TRUE(reader.ReadPicture(out_.data(), kW + 64));
  EXPECT_EQ(writer.FramesRead(), 2u);
}

TEST_F(ExchangeTest, StaleTornAndForeignGenerationsAreRefused) {
  FrameReader reader = MakeReader();
  ASSERT_TRUE(reader.Open());
  FrameExchangeHeader& header = Poke();
  Picture picture(kW, kH, 50);
  {
    FrameWriter writer(name_, clock_);
    ASSERT_TRUE(picture.Write(writer));
    ASSERT_TRUE(reader.ReadPicture(out_.data(), kW));

    header.frame_time -= 1'000'000'001;  // older than a second
    EXPECT_FALSE(reader.ReadPicture(out_.data(), kW));
    ASSERT_TRUE(picture.Write(writer));

    header.sequence += 1;  // a write under way, twice in a row
    EXPECT_FALSE(reader.ReadPicture(out_.data(), kW));
    header.sequence += 1;
    EXPECT_TRUE(reader.ReadPicture(out_.data(), kW));
    header.sequence += 1;  // the writer dies in the middle of a picture
  }
  EXPECT_EQ(header.frame_ready, 0u);
  // A restarted receiver: a new generation with no picture of its own yet.
  FrameWriter again(name_, clock_);
  Picture other(kW, kH, 60);
  header.frame_ready = 1;
  ASSERT_TRUE(other.Write(again));
  EXPECT_EQ(header.writer_generation, 2u);
  EXPECT_EQ(header.sequence % 2, 0u);
  EXPECT_TRUE(reader.ReadPicture(out_.data(), kW));
  EXPECT_EQ(out_[0], 60);
}

// Time moves only when the reader pauses; the test's writer acts at a chosen
// pause, so how long the reader waits is exact.
class ScriptedWait final : public WriterWait {
 public:
  uint64_t NowNs() const override { return now_; }
  void Pause() const override {
    now_ += 100'000;
    if (++pauses_ == act_at_ && act_) act_();
  }
  void ActAt(int pause, std::function<void()> act) {
    pauses_ = 0;
    act_at_ = pause;
    act_ = std::move(act);
  }
  int pauses() const { return pauses_; }

 private:
  mutable uint64_t now_ = 1'000'000'000;
  mutable int pauses_ = 0;
  int act_at_ = 0;
  std::function<void()> act_;
};

// A picture is being overwritten when the camera asks for one: the reader
// waits for it (a writer's copy is far shorter than its 2 ms) instead of
// showing the waiting picture, gives up only on a writer stuck mid-picture,
// and counts both.
TEST_F(ExchangeTest, AWriterBusyWithThePictureIsWaitedForAndAStuckOneIsNot) {
  ScriptedWait wait;
  FrameReader reader(name_, [](const std::string&) {}, clock_, wait);
  ASSERT_TRUE(reader.Open());
  FrameExchangeHeader& header = Poke();
  FrameWriter writer(name_, clock_);
  Picture picture(kW, kH, 50);
  ASSERT_TRUE(picture.Write(writer));

  header.sequence += 1;  // the next picture is being copied
  wait.ActAt(15, [&] {   // and is done 1.5 ms later
    std::fill_n(reinterpret_cast<uint8_t*>(&header) + kExchangeHeaderSize, kW, uint8_t{51});
    header.frame_time = MonotonicNs();
    header.sequence += 1;
  });
  ASSERT_TRUE(reader.ReadPicture(out_.data(), kW));
  EXPECT_EQ(out_[0], 51);
  EXPECT_EQ(wait.pauses(), 15);
  EXPECT_EQ(writer.FramesRead(), 1u);

  header.sequence += 1;  // a writer that never finishes its picture
  wait.ActAt(0, nullptr);
  EXPECT_FALSE(reader.ReadPicture(out_.data(), kW));
  EXPECT_EQ(wait.pauses(), 20);  // 2 ms of pauses

  header.sequence += 1;
  header.frame_time -= 1'000'000'001;  // whole but older than a second: no wait
  wait.ActAt(0, nullptr);
  EXPECT_FALSE(reader.ReadPicture(out_.data(), kW));
  EXPECT_EQ(wait.pauses(), 0);

  const ReadCounts& counts = reader.counts();
  EXPECT_EQ(counts.reads, 3u);
  EXPECT_EQ(counts.live, 1u);
  EXPECT_EQ(counts.busy, 2u);
  EXPECT_EQ(counts.fallbacks, 1u);
}

TEST_F(ExchangeTest, ForeignLayoutsAndBadNames) {
  {
    auto foreign = SharedMemory::CreateOrOpen(name_, kExchangeSize);
    ASSERT_TRUE(foreign);
    reinterpret_cast<FrameExchangeHeader*>((*foreign)->data())->magic = 0x12345678;
  }
  ScopedLogCapture log;
  FrameWriter writer(name_, clock_);
  Picture picture(kW, kH, 1);
  EXPECT_FALSE(picture.Write(writer));
  EXPECT_TRUE(log.Contains("[frames] shared memory has an unexpected layout; ignoring it\n"));
  FrameReader reader = MakeReader();
  EXPECT_FALSE(reader.Open());
  EXPECT_EQ(reader_log_, "FrameReader: existing mapping has an unexpected layout\n");

  struct Case {
    std::string name, line;
  } cases[] = {
      {"/Other_1000_0", "FrameReader: unexpected shared name /Other_1000_0"},
      {"/Vistrel_1000", "FrameReader: unexpected shared name /Vistrel_1000"},
      {"/Vistrel__0", "FrameReader: unexpected shared name /Vistrel__0"},
      {"/Vistrel_S-1-5_0", "FrameReader: invalid SID in shared name /Vistrel_S-1-5_0"},
  };
  for (const Case& c : cases) {
    std::string logged;
    FrameReader bad(c.name, [&](const std::string& m) { logged += m; }, clock_);
    EXPECT_FALSE(bad.Open());
    EXPECT_EQ(logged, c.line);
  }
}

// A writer in another process rewrites uniform pictures as a camera would, one
// every millisecond or so; every picture the reader accepts must be whole. The
// reader spins, so its reads overlap the writes again and again. (A writer that
// never pauses would leave the reader, which gives up after two attempts, no
// picture at all on a busy machine.)
TEST_F(ExchangeTest, TwoProcessesNeverSeeATornPicture) {
  FrameReader reader = MakeReader();
  ASSERT_TRUE(reader.Open());
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    FrameWriter writer(name_);
    Picture picture(kW, kH, 0);
    for (int i = 0; i < 1000; ++i) {
      std::fill(picture.luma.begin(), picture.luma.end(), uint8_t(i));
      std::fill(picture.chroma.begin(), picture.chroma.end(), uint8_t(i));
      writer.WriteFrame({picture.luma.data(), picture.chroma.data(), picture.stride, kW, kH});
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ::_exit(0);
  }
  int accepted = 0;
  int status = 0;
  while (::waitpid(child, &status, WNOHANG) == 0) {
    if (!reader.ReadPicture(out_.data(), kW)) continue;
    ++accepted;
    const uint8_t value = out_[0];
    for (size_t i = 0; i < size_t(kW) * kH * 3 / 2; i += 4099) ASSERT_EQ(out_[i], value) << i;
    ASSERT_EQ(out_[size_t(kW) * kH * 3 / 2 - 1], value);
  }
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_GT(accepted, 0);
}

}  // namespace
}  // namespace vistrel
