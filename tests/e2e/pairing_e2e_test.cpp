// The real receiver and the phone simulator over loopback: pairing with the
// user's decision on the console, refusals, sessions, busy, forget, stop.
#include <gtest/gtest.h>

#include <csignal>
#include <future>

#include "tests/e2e/receiver_process.h"
#include "tools/phone/phone.h"

namespace vistrel {
namespace {

using namespace std::chrono_literals;
using phone::PairOutcome;
using phone::PairRequest;

class PairingE2E : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(receiver_.Start({"--pairing-window", "120"})); }

  std::unique_ptr<phone::Phone> MakePhone(const std::string& name) {
    return phone::Phone::Create(receiver_.root() / ("phone-" + name));
  }

  PairOutcome PairNow(phone::Phone& device, const std::string& url, const PairRequest& request,
                      const std::function<void()>& on_pending) {
    auto parsed = phone::ParsePairingUrl(url);
    EXPECT_TRUE(parsed.has_value()) << url;
    if (!parsed) return {};
    auto link = device.Connect("127.0.0.1", receiver_.port());
    EXPECT_NE(link, nullptr);
    if (!link) return {};
    auto result = std::async(std::launch::async, [&] {
      return phone::Pair(*link, *parsed, device.fingerprint(), request);
    });
    if (on_pending) on_pending();
    return result.get();
  }

  // A trusted phone's session: HELLO and its reply.
  std::unique_ptr<phone::PhoneLink> OpenSession(phone::Phone& device, const std::string& name,
                                                std::string* reply_text = nullptr) {
    auto link = device.Connect("127.0.0.1", receiver_.port());
    if (!link) return nullptr;
    link->Send(kHello, phone::HelloJson(name, 30));
    Frame reply = link->Read(5000);
    if (reply.result != ReadResult::kOk || reply.type != kHelloReply) return nullptr;
    if (reply_text) *reply_text = std::string(AsText(reply.payload));
    return link;
  }

  test::ReceiverProcess receiver_;
};

TEST_F(PairingE2E, ApprovedPhoneOpensASessionAndShowsInStatus) {
  auto device = MakePhone("a");
  std::string url = receiver_.OpenPairing();
  ASSERT_FALSE(url.empty());
  PairOutcome outcome = PairNow(*device, url, {}, [&] {
    ASSERT_TRUE(receiver_.WaitForLog("wants to pair. Confirm the phone shows code "));
    receiver_.Send("a");
  });
  EXPECT_TRUE(outcome.paired) << outcome.error;
  EXPECT_EQ(outcome.received_code, outcome.expected_code);
  EXPECT_TRUE(receiver_.WaitForLog("[pair] paired with \"Simulated iPhone\" (" +
                                   device->FingerprintHex().substr(0, 12) + "...)\n"));

  std::string reply;
  auto session = OpenSession(*device, "Ana", &reply);
  ASSERT_NE(session, nullptr);
  EXPECT_NE(reply.find("\"ok\":true"), std::string::npos);
  ASSERT_TRUE(receiver_.WaitForLog("[net] streaming session with \"Ana\" (127.0.0.1)\n"));
  receiver_.Send("status");
  EXPECT_TRUE(receiver_.WaitForOutput("session=active phone=\"Ana\" link=wifi"));
  receiver_.Send("phones");
  EXPECT_TRUE(receiver_.WaitForOutput(device->FingerprintHex().substr(0, 12) + "  Simulated iPhone"));
  EXPECT_EQ(receiver_.Quit(), 0);
}

TEST_F(PairingE2E, RejectionAndRefusals) {
  auto device = MakePhone("b");
  std::string url = receiver_.OpenPairing();
  PairOutcome rejected = PairNow(*device, url, {}, [&] {
    ASSERT_TRUE(receiver_.WaitForLog("wants to pair."));
    receiver_.Send("r");
  });
  EXPECT_FALSE(rejected.paired);
  EXPECT_EQ(rejected.error, "rejected");
  EXPECT_TRUE(receiver_.WaitForLog("[pair] pairing rejected\n"));

  // A fresh invitation: a wrong secret is refused and the invitation stays open.
  url = receiver_.OpenPairing();
  PairRequest wrong;
  wrong.secret_override = "AAAAAAAAAAAAAAAAAAAAAA";
  EXPECT_EQ(PairNow(*device, url, wrong, nullptr).error, "bad_secret");

  // A second phone admitted while the invitation was open, whose PAIR comes
  // after the first phone's request: "used".
  auto other = MakePhone("c");
  auto other_link = other->Connect("127.0.0.1", receiver_.port());
  ASSERT_NE(other_link, nullptr);
  auto parsed = phone::ParsePairingUrl(url);
  PairRequest first_request;
  first_request.device_name = "First";
  PairOutcome first = PairNow(*device, url, first_request, [&] {
    ASSERT_TRUE(receiver_.WaitForLog("\"First\" wants to pair.", 20s));
    EXPECT_EQ(phone::Pair(*other_link, *parsed, other->fingerprint(), {}).error, "used");
    receiver_.Send("approve");
  });
  EXPECT_TRUE(first.paired);
  // Pairing is over: an unknown phone is now turned away before any PAIR.
  auto stranger = MakePhone("d");
  auto link = stranger->Connect("127.0.0.1", receiver_.port());
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(link->Read(5000).result, ReadResult::kFailed);
  EXPECT_TRUE(receiver_.WaitForLog(stranger->FingerprintHex().substr(0, 12) +
                                   "..., pairing closed: rejected\n"));
}

TEST_F(PairingE2E, ExpiredInvitation) {
  test::ReceiverProcess short_window;
  ASSERT_TRUE(short_window.Start({"--pairing-window", "1"}));
  std::string url = short_window.OpenPairing();
  auto parsed = phone::ParsePairingUrl(url);
  ASSERT_TRUE(parsed.has_value());
  std::this_thread::sleep_for(1100ms);
  auto device = phone::Phone::Create(short_window.root() / "phone");
  // The invitation no longer admits unknown phones, so the connection is cut.
  auto link = device->Connect("127.0.0.1", short_window.port());
  ASSERT_NE(link, nullptr);
  PairOutcome outcome = phone::Pair(*link, *parsed, device->fingerprint(), {});
  EXPECT_FALSE(outcome.paired);
  EXPECT_TRUE(short_window.WaitForLog("pairing closed: rejected\n"));
}

TEST_F(PairingE2E, BusySecondPhoneAndForgottenPhone) {
  auto first = MakePhone("e");
  auto second = MakePhone("f");
  for (auto* device : {first.get(), second.get()}) {
    std::string url = receiver_.OpenPairing();
    PairRequest request;
    request.device_name = device == first.get() ? "Phone E" : "Phone F";
    ASSERT_TRUE(PairNow(*device, url, request, [&] {
                  ASSERT_TRUE(receiver_.WaitForLog("\"" + request.device_name + "\" wants to pair."));
                  receiver_.Send("a");
                }).paired);
  }
  auto session = OpenSession(*first, "First");
  ASSERT_NE(session, nullptr);
  ASSERT_TRUE(receiver_.WaitForLog("session with \"First\""));
  std::string reply;
  auto refused = OpenSession(*second, "Second", &reply);
  EXPECT_EQ(reply, R"({"ok":false,"error":"busy"})");
  EXPECT_TRUE(receiver_.WaitForLog("[net] \"Second\" refused: another phone is streaming\n"));
  receiver_.Send("status");
  EXPECT_TRUE(receiver_.WaitForOutput("refused=\"Second\""));

  receiver_.Send("forget " + first->FingerprintHex().substr(0, 10));
  EXPECT_TRUE(receiver_.WaitForOutput("forgot " + first->FingerprintHex().substr(0, 12)));
  // Cut at once: the next read ends well before the 5 s keep-alive.
  Frame after = session->Read(4000);
  EXPECT_EQ(after.result, ReadResult::kFailed);
  EXPECT_TRUE(receiver_.WaitForLog("[net] \"First\" disconnected\n"));
  auto again = first->Connect("127.0.0.1", receiver_.port());
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->Read(5000).result, ReadResult::kFailed);
}

TEST_F(PairingE2E, QuitWhileAWorkerWaitsForApprovalIsPrompt) {
  auto device = MakePhone("g");
  std::string url = receiver_.OpenPairing();
  auto parsed = phone::ParsePairingUrl(url);
  auto link = device->Connect("127.0.0.1", receiver_.port());
  ASSERT_NE(link, nullptr);
  auto pairing = std::async(std::launch::async, [&] {
    return phone::Pair(*link, *parsed, device->fingerprint(), {});
  });
  ASSERT_TRUE(receiver_.WaitForLog("wants to pair."));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(receiver_.Quit(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
  EXPECT_FALSE(pairing.get().paired);
}

TEST_F(PairingE2E, SecondStartAsksTheFirstToShowItself) {
  EXPECT_EQ(receiver_.RunSecondStart(), 0);
  EXPECT_TRUE(receiver_.WaitForLog("[app] another start asked this receiver to show itself\n"));
}

TEST_F(PairingE2E, PhoneLeavingDuringApprovalWithdrawsTheRequest) {
  auto device = MakePhone("h");
  std::string url = receiver_.OpenPairing();
  auto parsed = phone::ParsePairingUrl(url);
  auto link = device->Connect("127.0.0.1", receiver_.port());
  ASSERT_NE(link, nullptr);
  ASSERT_TRUE(link->Send(kPair, R"({"secret":")" + parsed->secret +
                                    R"(","device_id":"x","device_name":"Gone","proto":1})"));
  ASSERT_TRUE(receiver_.WaitForLog("wants to pair."));
  link->Drop();
  EXPECT_TRUE(receiver_.WaitForLog("[pair] the phone left before approval; request withdrawn\n", 5s));
}

}  // namespace
}  // namespace vistrel

namespace vistrel {
namespace {

using phone::PairOutcome;

// Nobody decides: after the fixed 60 s the phone hears "timeout". Slow by
// nature; it runs beside the other tests.
TEST(PairingTimeoutE2E, UndecidedRequestTimesOut) {
  test::ReceiverProcess receiver;
  ASSERT_TRUE(receiver.Start());
  auto device = phone::Phone::Create(receiver.root() / "phone");
  auto parsed = phone::ParsePairingUrl(receiver.OpenPairing());
  ASSERT_TRUE(parsed.has_value());
  auto link = device->Connect("127.0.0.1", receiver.port());
  ASSERT_NE(link, nullptr);
  PairOutcome outcome = phone::Pair(*link, *parsed, device->fingerprint(), {});
  EXPECT_EQ(outcome.error, "timeout");
  EXPECT_TRUE(receiver.WaitForLog("[pair] pairing timeout\n"));
}

// A service manager's stop and a Ctrl-C from the terminal end the receiver
// through its own shutdown, with its threads (listener, single instance)
// already running when the signal comes.
TEST(ReceiverSignalsE2E, StopSignalsEndTheReceiverCleanly) {
  for (int signal : {SIGTERM, SIGINT}) {
    test::ReceiverProcess receiver;
    ASSERT_TRUE(receiver.Start());
    EXPECT_EQ(receiver.Signal(signal), 0) << signal;
    EXPECT_TRUE(receiver.Log().find("[app] stopped\n") != std::string::npos) << receiver.Log();
  }
}

// A receiver name too long for any QR code: the URL is still printed, with a
// line instead of the code, and the receiver carries on.
TEST(PairingQrE2E, UrlTooLongForAQrCode) {
  test::ReceiverProcess receiver;
  std::string name;
  for (int i = 0; i < 500; ++i) name += "\xC3\xA9";
  ASSERT_TRUE(receiver.Start({"--name", name}));
  EXPECT_FALSE(receiver.OpenPairing().empty());
  EXPECT_TRUE(receiver.WaitForOutput("(this URL is too long for a QR code;"));
  receiver.Send("status");
  EXPECT_TRUE(receiver.WaitForOutput("pairing=open"));
  EXPECT_EQ(receiver.Quit(), 0);
}

}  // namespace
}  // namespace vistrel
