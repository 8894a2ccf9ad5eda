#include <gtest/gtest.h>

#include <thread>

#include "link/framing.h"
#include "link/json.h"
#include "link/bounded_count.h"
#include "platform/log.h"
#include "tests/link/fake_channel.h"
#include "tests/link/session_harness.h"
#include "tests/support/temp_folder.h"

namespace vistrel {
namespace {

using test::FakeConnection;

class EnrollTest : public ::testing::Test {
 protected:
  EnrollTest() : pairing_(clock_) { MakeServer(folder_ / "trusted_phones.tsv"); }

  void MakeServer(const std::filesystem::path& trust_path) {
    server_.reset();
    trust_ = std::make_unique<TrustStore>(trust_path);
    server_ = std::make_unique<test::EnrollHarness>("rid-42", "Desk PC", *trust_, pairing_, clock_);
  }

  std::string OpenInvitation() {
    receiver_fp_.fill(7);
    std::string url = *pairing_.Open("rid-42", "Desk PC", receiver_fp_, {}, 120000);
    size_t s = url.find("&s=") + 3;
    return url.substr(s, url.find('&', s) - s);
  }

  static std::string PairJson(const std::string& secret, const std::string& name = "Ana",
                              const std::string& proto = "1") {
    return R"({"secret":)" + JsonQuote(secret) + R"(,"device_id":"dev-1","device_name":)" +
           JsonQuote(name) + R"(,"proto":)" + proto + "}";
  }

  // Runs Enroll on a thread; `act` runs once the phone got its code.
  void EnrollWith(FakeConnection& phone, const std::function<void()>& act) {
    std::thread worker([&] { server_->Enroll(*phone.connection); });
    while (phone.channel->SentOfType(kPairCode).empty() && !phone.channel->Sent().size()) {
      std::this_thread::yield();
    }
    if (!phone.channel->SentOfType(kPairCode).empty()) act();
    worker.join();
  }

  std::vector<std::string> Results(FakeConnection& phone) {
    return phone.channel->SentOfType(kPairResult);
  }

  test::TempFolder folder_;
  ManualClock clock_;
  PairingState pairing_;
  std::unique_ptr<TrustStore> trust_;
  std::unique_ptr<test::EnrollHarness> server_;
  Digest receiver_fp_{};
  ScopedLogCapture log_;
};

FakeConnection MakePhone(ManualClock& clock, char fill) {
  FakeConnection phone(clock, std::string(64, fill));
  phone.connection->certificate_digest.fill(static_cast<uint8_t>(fill));
  return phone;
}

TEST_F(EnrollTest, ApprovedPhoneIsTrustedAndGetsTheReceiver) {
  std::string secret = OpenInvitation();
  FakeConnection phone = MakePhone(clock_, 'c');
  phone.channel->Queue(kPair, PairJson(secret, "Ana\t2"));
  EnrollWith(phone, [&] { pairing_.Decide(true); });

  Digest phone_fp{};
  phone_fp.fill('c');
  auto secret_bytes = Base64UrlDecode(secret);
  const std::string code = PairingCode(receiver_fp_, phone_fp, *secret_bytes);
  EXPECT_EQ(phone.channel->SentOfType(kPairCode),
            (std::vector<std::string>{"{\"code\":\"" + code + "\"}"}));
  EXPECT_EQ(Results(phone),
            (std::vector<std::string>{R"({"ok":true,"receiver_id":"rid-42","receiver_name":"Desk PC"})"}));
  EXPECT_TRUE(trust_->Contains(std::string(64, 'c')));
  EXPECT_EQ(trust_->List()[0].device_name, "Ana2");
  EXPECT_TRUE(log_.Contains("\n[pair] \"Ana2\" wants to pair. Confirm the phone shows code " +
                            code + ", then type 'a' to approve or 'r' to reject.\n"));
  EXPECT_TRUE(log_.Contains("[pair] paired with \"Ana2\" (cccccccccccc...)\n"));
  EXPECT_FALSE(pairing_.IsOpen());
}

TEST_F(EnrollTest, RejectionAndTimeout) {
  std::string secret = OpenInvitation();
  FakeConnection rejected = MakePhone(clock_, 'd');
  rejected.channel->Queue(kPair, PairJson(secret));
  EnrollWith(rejected, [&] { pairing_.Decide(false); });
  EXPECT_EQ(Results(rejected), (std::vector<std::string>{R"({"ok":false,"error":"rejected"})"}));
  EXPECT_TRUE(log_.Contains("[pair] pairing rejected\n"));

  secret = OpenInvitation();
  FakeConnection slow = MakePhone(clock_, 'e');
  slow.channel->Queue(kPair, PairJson(secret));
  // The worker takes its deadline after sending the code, so time moves in
  // steps until it gives up.
  EnrollWith(slow, [&] {
    while (Results(slow).empty()) {
      clock_.Advance(1000);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  EXPECT_EQ(Results(slow), (std::vector<std::string>{R"({"ok":false,"error":"timeout"})"}));
  EXPECT_TRUE(log_.Contains("[pair] pairing timeout\n"));
  EXPECT_FALSE(trust_->Contains(std::string(64, 'e')));
}

TEST_F(EnrollTest, PhoneThatLeavesWithdrawsTheRequest) {
  std::string secret = OpenInvitation();
  FakeConnection phone = MakePhone(clock_, 'f');
  phone.channel->Queue(kPair, PairJson(secret));
  EnrollWith(phone, [&] { phone.other_end.Reset(); });
  EXPECT_TRUE(Results(phone).empty());
  EXPECT_TRUE(log_.Contains("[pair] the phone left before approval; request withdrawn\n"));
  EXPECT_FALSE(trust_->Contains(std::string(64, 'f')));
}

TEST_F(EnrollTest, RefusalsAndMalformedRequests) {
  struct Case {
    std::function<std::string(const std::string& secret)> pair;
    std::string log;
    std::string result;  // empty: no reply
  } cases[] = {
      {[](const std::string& s) { return PairJson(s + "=="); },
       "[pair] 192.0.2.7: pairing refused (bad_secret)\n", R"({"ok":false,"error":"bad_secret"})"},
      {[](const std::string&) { return PairJson("AAAAAAAAAAAAAAAAAAAAAA"); },
       "[pair] 192.0.2.7: pairing refused (bad_secret)\n", R"({"ok":false,"error":"bad_secret"})"},
      {[](const std::string& s) { return PairJson(s, "Ana", "1.5"); },
       "[pair] 192.0.2.7: malformed PAIR, closing\n", ""},
      {[](const std::string& s) { return PairJson(s, "Ana", "\"1\""); },
       "[pair] 192.0.2.7: malformed PAIR, closing\n", ""},
      {[](const std::string& s) { return R"({"secret":")" + s + R"(","device_name":"x","proto":1})"; },
       "[pair] 192.0.2.7: malformed PAIR, closing\n", ""},
      {[](const std::string&) { return std::string("[]"); },
       "[pair] 192.0.2.7: malformed PAIR, closing\n", ""},
  };
  for (const Case& c : cases) {
    ScopedLogCapture log;
    std::string secret = OpenInvitation();
    FakeConnection phone = MakePhone(clock_, 'g');
    phone.channel->Queue(kPair, c.pair(secret));
    server_->Enroll(*phone.connection);
    EXPECT_TRUE(log.Contains(c.log)) << log.Text();
    auto results = Results(phone);
    if (c.result.empty()) {
      EXPECT_TRUE(results.empty());
    } else {
      EXPECT_EQ(results, (std::vector<std::string>{c.result}));
    }
    EXPECT_TRUE(phone.channel->SentOfType(kPairCode).empty());
  }
}

TEST_F(EnrollTest, FirstFrameMustBePair) {
  OpenInvitation();
  FakeConnection hello = MakePhone(clock_, 'h');
  hello.channel->Queue(kHello, "{}");
  server_->Enroll(*hello.connection);
  FakeConnection huge = MakePhone(clock_, 'h');
  huge.channel->Queue(kPair, std::string(4096, ' '));
  server_->Enroll(*huge.connection);
  FakeConnection silent = MakePhone(clock_, 'h');
  silent.channel->SetIdleTimeouts(1);
  server_->Enroll(*silent.connection);
  const std::string text = log_.Text();
  size_t count = 0;
  for (size_t at = 0; (at = text.find("[pair] 192.0.2.7: no PAIR message, closing\n", at)) !=
                      std::string::npos;
       ++at) {
    ++count;
  }
  EXPECT_EQ(count, 3u);
  EXPECT_TRUE(pairing_.IsOpen());
}

TEST_F(EnrollTest, ExpiredAndUsedInvitations) {
  std::string secret = OpenInvitation();
  clock_.Advance(120000);
  FakeConnection late = MakePhone(clock_, 'i');
  late.channel->Queue(kPair, PairJson(secret));
  server_->Enroll(*late.connection);
  EXPECT_EQ(Results(late), (std::vector<std::string>{R"({"ok":false,"error":"expired"})"}));

  secret = OpenInvitation();
  FakeConnection first = MakePhone(clock_, '1');
  first.channel->Queue(kPair, PairJson(secret));
  EnrollWith(first, [&] {
    FakeConnection second = MakePhone(clock_, '2');
    second.channel->Queue(kPair, PairJson(secret));
    server_->Enroll(*second.connection);
    EXPECT_EQ(Results(second), (std::vector<std::string>{R"({"ok":false,"error":"used"})"}));
    pairing_.Decide(true);
  });
  EXPECT_TRUE(trust_->Contains(std::string(64, '1'))) << log_.Text();
  EXPECT_FALSE(trust_->Contains(std::string(64, '2')));
}

TEST_F(EnrollTest, ApprovalThatCannotBeSavedFails) {
  MakeServer(folder_ / "missing-folder" / "trusted_phones.tsv");
  std::string secret = OpenInvitation();
  FakeConnection phone = MakePhone(clock_, '3');
  phone.channel->Queue(kPair, PairJson(secret));
  EnrollWith(phone, [&] { pairing_.Decide(true); });
  EXPECT_EQ(Results(phone), (std::vector<std::string>{R"({"ok":false,"error":"storage"})"}));
  EXPECT_TRUE(log_.Contains("[pair] approved, but the phone list could not be saved; pairing failed\n"));
  EXPECT_FALSE(trust_->Contains(std::string(64, '3')));
}

// Many threads taking and giving back places: the count never passes its
// limit (a check followed by a separate increment does, within a few rounds).
TEST(BoundedCountTest, NeverPassesItsLimit) {
  BoundedCount count(2);
  std::atomic<uint32_t> highest{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 100000; ++i) {
        if (!count.TryAdd()) continue;
        const uint32_t now = count.value();
        if (now > highest.load()) highest = now;
        count.Remove();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_LE(highest.load(), 2u);
  EXPECT_EQ(count.value(), 0u);
}

// A phone's name must not be able to start a log line of its own.
TEST_F(EnrollTest, PhoneNamesCannotForgeLogLines) {
  std::string secret = OpenInvitation();
  FakeConnection phone = MakePhone(clock_, 'f');
  const std::string forged = "Eve\n[pair] paired with \"Boss\" (0123456789ab...)\r\n\x1b[2J";
  phone.channel->Queue(kPair, PairJson(secret, forged));
  EnrollWith(phone, [&] { pairing_.Decide(true); });
  const std::string text = log_.Text();
  EXPECT_EQ(text.find("\n[pair] paired with \"Boss\""), std::string::npos) << text;
  EXPECT_NE(text.find("\"Eve[pair] paired with \"Boss\" (0123456789ab...)[2J\" wants to pair."),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find('\x1b'), std::string::npos);
}

}  // namespace
}  // namespace vistrel
