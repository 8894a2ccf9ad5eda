// Phones on a "cable": the real receiver with its USB watcher on, and the
// usbmux stand-in of the phone simulator in this process, whose tunnels end
// at simulated phones. The phone is trusted by writing the receiver's list
// before it starts; pairing itself is the network's business.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "platform/shared_memory.h"
#include "security/trust_store.h"
#include "tests/e2e/e2e_support.h"
#include "tools/phone/usbmuxd.h"
#include "video/exchange/frame_reader.h"

namespace vistrel {
namespace {

using namespace std::chrono_literals;

size_t Count(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++count;
  }
  return count;
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = 30s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

class UsbE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    phone_ = phone::Phone::Create(receiver_.root() / "phone");
    ASSERT_NE(phone_, nullptr);
    TrustStore trust(receiver_.data_folder() / "trusted_phones.tsv");
    ASSERT_TRUE(trust.Add({phone_->FingerprintHex(), "sim-0001", "Cable Cam"}));
    webcam_.device_name = "Cable Cam";
    webcam_.seconds = 60;
  }
  void TearDown() override {
    if (service_) service_->Stop();
    SharedMemory::Unlink(receiver_.ExchangeName());
  }

  // The stand-in, and the receiver pointed at it.
  void StartService(int refuse_connect = 0) {
    phone::UsbmuxdOptions options;
    // On loopback TCP: a socket path in the temporary folder can be longer
    // than "VSTL_USBMUXD" values may be.
    options.listen = "127.0.0.1:0";
    options.refuse_connect = refuse_connect;
    service_ = phone::UsbmuxdStandIn::Start(options);
    ASSERT_NE(service_, nullptr);
    receiver_.EnableUsb(service_->address());
  }

  // The Connect requests for `serial` once `count` have come (and, with
  // `ended`, once the last one's tunnel has closed).
  std::vector<phone::UsbmuxdStandIn::ConnectRecord> ConnectsTo(const std::string& serial,
                                                               size_t count, bool ended) {
    std::vector<phone::UsbmuxdStandIn::ConnectRecord> found;
    WaitUntil([&] {
      found.clear();
      for (const auto& record : service_->Connects()) {
        if (record.serial == serial && found.size() < count) found.push_back(record);
      }
      return found.size() == count && (!ended || found.back().ended_ms != 0);
    });
    return found;
  }

  test::ReceiverProcess receiver_;
  std::shared_ptr<phone::Phone> phone_;
  phone::WebcamOptions webcam_;
  std::unique_ptr<phone::UsbmuxdStandIn> service_;
};

TEST_F(UsbE2E, CablePhoneStreamsUntilDetachedAndNetworkPhonesAreIgnored) {
  StartService();
  FrameReader reader(receiver_.ExchangeName(), [](const std::string&) {});
  ASSERT_TRUE(reader.Open());
  service_->Attach("OVER-WIFI", {phone_, webcam_}, /*usb=*/false);
  service_->Attach("CABLE-1", {phone_, webcam_});
  ASSERT_TRUE(receiver_.Start());

  EXPECT_TRUE(receiver_.WaitForLog("[usb] watching for iPhones on USB\n"));
  EXPECT_TRUE(receiver_.WaitForLog("[usb] attached CABLE-1\n"));
  ASSERT_TRUE(receiver_.WaitForLog("[net] wired session with \"Cable Cam\" (usb:CABLE-1)\n"));
  std::vector<uint8_t> picture(1280 * 720 * 3 / 2);
  EXPECT_TRUE(WaitUntil([&] { return reader.ReadPicture(picture.data(), 1280); }));
  receiver_.Send("status");
  EXPECT_TRUE(receiver_.WaitForOutput("link=wired"));
  EXPECT_TRUE(receiver_.WaitForOutput("usb=listening usb_phones=1 "));
  EXPECT_EQ(receiver_.Log().find("OVER-WIFI"), std::string::npos);

  // A pulled cable ends the tunnel, the worker and the session.
  service_->Detach("CABLE-1");
  EXPECT_TRUE(receiver_.WaitForLog("[usb] detached CABLE-1\n"));
  EXPECT_TRUE(receiver_.WaitForLog("[net] \"Cable Cam\" disconnected\n"));
  receiver_.Send("status");
  EXPECT_TRUE(receiver_.WaitForOutput("usb=listening usb_phones=0 "));
  EXPECT_EQ(receiver_.Quit(), 0);
}

TEST_F(UsbE2E, AppNotOpenIsSaidOnceAndTheTunnelFollowsWhenItOpens) {
  StartService(/*refuse_connect=*/2);
  service_->Attach("CABLE-1", {phone_, webcam_});
  ASSERT_TRUE(receiver_.Start());
  ASSERT_TRUE(receiver_.WaitForLog("[net] wired session with \"Cable Cam\" (usb:CABLE-1)\n"));
  EXPECT_EQ(Count(receiver_.Log(), "[usb] CABLE-1: Orlith Cam is not open on the phone; waiting\n"),
            1u);
  const auto connects = ConnectsTo("CABLE-1", 3, false);
  ASSERT_EQ(connects.size(), 3u);
  EXPECT_FALSE(connects[0].tunnel);
  EXPECT_FALSE(connects[1].tunnel);
  EXPECT_TRUE(connects[2].tunnel);
  EXPECT_GE(connects[1].at_ms - connects[0].at_ms, 2000u);
  EXPECT_GE(connects[2].at_ms - connects[1].at_ms, 2000u);
}

TEST_F(UsbE2E, ShortTunnelsAreRetriedEverMoreSlowly) {
  // A stranger's phone is refused right after the handshake, and one that
  // does not speak TLS fails it; the receiver stays up and tries again.
  StartService();
  auto stranger =
      std::shared_ptr<phone::Phone>(phone::Phone::Create(receiver_.root() / "stranger"));
  ASSERT_NE(stranger, nullptr);
  service_->Attach("STRANGER", {stranger, webcam_});
  service_->Attach("GARBAGE", {nullptr, webcam_});
  ASSERT_TRUE(receiver_.Start());

  const auto tunnels = ConnectsTo("STRANGER", 3, false);
  ASSERT_EQ(tunnels.size(), 3u);
  const uint64_t first_gap = tunnels[1].at_ms - tunnels[0].ended_ms;
  const uint64_t second_gap = tunnels[2].at_ms - tunnels[1].ended_ms;
  EXPECT_GE(first_gap, 1000u);
  EXPECT_GE(second_gap, 2000u);
  EXPECT_GT(second_gap, first_gap + 500);
  EXPECT_TRUE(receiver_.WaitForLog("[usb] usb:STRANGER: phone " +
                                   stranger->FingerprintHex().substr(0, 12) +
                                   "... is not paired with this computer: refused\n"));
  EXPECT_TRUE(receiver_.WaitForLog("[net] usb:GARBAGE: TLS handshake failed\n"));
  EXPECT_EQ(receiver_.Quit(), 0);
}

TEST_F(UsbE2E, CableTakesOverTheWifiSessionOfTheSamePhone) {
  StartService();
  ASSERT_TRUE(receiver_.Start());
  auto wifi = std::shared_ptr<phone::PhoneLink>(phone_->Connect("127.0.0.1", receiver_.port()));
  ASSERT_NE(wifi, nullptr);
  std::atomic<bool> stop{false};
  auto streaming =
      std::async(std::launch::async, [&] { return phone::RunWebcam(*wifi, webcam_, &stop); });
  ASSERT_TRUE(receiver_.WaitForLog("[net] streaming session with \"Cable Cam\" (127.0.0.1)\n"));

  service_->Attach("CABLE-1", {phone_, webcam_});
  EXPECT_TRUE(receiver_.WaitForLog("[usb] wired session replaces the Wi-Fi session\n"));
  EXPECT_TRUE(receiver_.WaitForLog("[net] \"Cable Cam\" handed over to the cable\n"));
  const phone::WebcamReport report = streaming.get();  // the receiver cut the Wi-Fi link
  EXPECT_TRUE(report.closed_by_receiver);
  receiver_.Send("status");
  EXPECT_TRUE(receiver_.WaitForOutput("link=wired"));
}

}  // namespace
}  // namespace vistrel
