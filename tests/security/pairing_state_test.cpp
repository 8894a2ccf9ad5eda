#include "security/pairing_state.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <regex>
#include <thread>

namespace vistrel {
namespace {

Digest MakeDigest(uint8_t first) {
  Digest digest{};
  for (size_t i = 0; i < digest.size(); ++i) digest[i] = static_cast<uint8_t>(first + i);
  return digest;
}

const Digest kReceiverFp = MakeDigest(0x00);
const Digest kPhoneFp = MakeDigest(0x20);

// The query fields of a pairing URL.
std::map<std::string, std::string> Fields(const std::string& url) {
  std::map<std::string, std::string> fields;
  std::string query = url.substr(url.find('?') + 1);
  size_t start = 0;
  while (start <= query.size()) {
    size_t end = query.find('&', start);
    if (end == std::string::npos) end = query.size();
    std::string field = query.substr(start, end - start);
    size_t equals = field.find('=');
    fields[field.substr(0, equals)] = field.substr(equals + 1);
    start = end + 1;
  }
  return fields;
}

TEST(PairingUrl, PercentEncoding) {
  EXPECT_EQ(PercentEncode("Home PC #2"), "Home%20PC%20%232");
  EXPECT_EQ(PercentEncode("aZ09-._~"), "aZ09-._~");
  EXPECT_EQ(PercentEncode("\xc3\xa9/:,"), "%C3%A9%2F%3A%2C");
}

TEST(PairingUrl, FieldsInOrder) {
  ManualClock clock;
  PairingState state(clock);
  const int64_t before = UnixSeconds();
  std::optional<std::string> url =
      state.Open("0f1e2d3c-aaaa-4bbb-8ccc-0123456789ab", "Home PC #2", kReceiverFp,
                 {"192.168.1.5:47800", "10.0.0.2:47800"}, 120000);
  const int64_t after = UnixSeconds();
  ASSERT_TRUE(url);
  EXPECT_TRUE(std::regex_match(
      *url, std::regex("vstl://pair\\?v=1&id=[^&]*&n=[^&]*&fp=[0-9a-f]{64}&s=[A-Za-z0-9_-]{22}"
                       "&e=[0-9]+&a=[^&]*")))
      << *url;
  auto fields = Fields(*url);
  EXPECT_EQ(fields["id"], "0f1e2d3c-aaaa-4bbb-8ccc-0123456789ab");
  EXPECT_EQ(fields["n"], "Home%20PC%20%232");
  EXPECT_EQ(fields["fp"], HexEncode(kReceiverFp));
  EXPECT_EQ(fields["a"], "192.168.1.5%3A47800%2C10.0.0.2%3A47800");
  const int64_t expiry = std::stoll(fields["e"]);
  EXPECT_GE(expiry, before + 120);
  EXPECT_LE(expiry, after + 120);
  EXPECT_TRUE(state.IsOpen());

  auto no_addresses = state.Open("id", "n", kReceiverFp, {}, 120000);
  ASSERT_TRUE(no_addresses);
  EXPECT_EQ(Fields(*no_addresses)["a"], "");
  EXPECT_NE(Fields(*no_addresses)["s"], fields["s"]);  // every invitation has a new secret
}

TEST(PairingCodeTest, FixedVectorAndSixDigits) {
  Bytes secret;
  for (uint8_t b = 0xA0; b < 0xB0; ++b) secret.push_back(b);
  // SHA-256 of the 80 bytes, first 4 bytes big-endian, mod 10^6 (computed elsewhere).
  EXPECT_EQ(PairingCode(kReceiverFp, kPhoneFp, secret), "030418");
  Digest zeros{}, ones{};
  ones.fill(0xFF);
  EXPECT_EQ(PairingCode(zeros, ones, Bytes(16, 0)), "772497");
  EXPECT_NE(PairingCode(kPhoneFp, kReceiverFp, secret), "030418");
}

class PairingTest : public ::testing::Test {
 protected:
  // Opens an invitation and returns its secret text.
  std::string OpenInvitation(uint64_t lifetime_ms = 120000) {
    std::optional<std::string> url = state_.Open("rid", "PC", kReceiverFp, {}, lifetime_ms);
    EXPECT_TRUE(url);
    return url ? Fields(*url)["s"] : "";
  }
  SubmitResult Submit(const std::string& secret, const std::string& name = "Phone") {
    SubmitOutcome outcome = state_.Submit(secret, kPhoneFp, name);
    if (outcome.result == SubmitResult::kOk) {
      code_ = outcome.code;
      invitation_ = outcome.invitation;
    }
    return outcome.result;
  }
  Decision Wait(uint64_t deadline_ms, const std::function<bool()>& phone_left) {
    return state_.WaitForDecision(invitation_, deadline_ms, phone_left);
  }

  ManualClock clock_;
  PairingState state_{clock_};
  std::string code_;
  uint64_t invitation_ = 0;
};

TEST_F(PairingTest, CorrectSecretGivesTheCodeAndAPendingRequest) {
  std::string secret = OpenInvitation();
  ASSERT_EQ(Submit(secret, "Ann's\tphone"), SubmitResult::kOk);
  EXPECT_EQ(code_, PairingCode(kReceiverFp, kPhoneFp, *Base64UrlDecode(secret)));
  EXPECT_FALSE(state_.IsOpen());
  std::string text;
  ASSERT_TRUE(state_.PendingRequest(text));
  EXPECT_EQ(text, "\"Ann'sphone\" wants to pair. Code " + code_);
  EXPECT_EQ(state_.PendingSince(), clock_.NowMs());
}

TEST_F(PairingTest, RefusedSubmissions) {
  EXPECT_EQ(Submit("AAAA"), SubmitResult::kClosed);
  std::string secret = OpenInvitation();
  EXPECT_EQ(Submit(secret + "=="), SubmitResult::kBadSecret);
  EXPECT_EQ(Submit(secret.substr(0, 21)), SubmitResult::kBadSecret);
  EXPECT_EQ(Submit(""), SubmitResult::kBadSecret);
  EXPECT_TRUE(state_.IsOpen());  // still open for the right secret
  clock_.Advance(120000);
  EXPECT_FALSE(state_.IsOpen());
  EXPECT_EQ(Submit(secret), SubmitResult::kExpired);
}

TEST_F(PairingTest, SecondCorrectSecretWhilePendingIsUsed) {
  std::string secret = OpenInvitation();
  ASSERT_EQ(Submit(secret), SubmitResult::kOk);
  EXPECT_EQ(Submit(secret), SubmitResult::kAlreadyPending);
}

TEST_F(PairingTest, RateLimitOfTenAMinute) {
  std::string secret = OpenInvitation(600000);
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(Submit("wrong"), SubmitResult::kBadSecret) << i;
    clock_.Advance(1000);
  }
  EXPECT_EQ(Submit(secret), SubmitResult::kRateLimited);
  // The first attempt leaves the window once it is more than 60 s old.
  clock_.Set(1'000'000 + 60000);
  EXPECT_EQ(Submit(secret), SubmitResult::kRateLimited);
  clock_.Set(1'000'000 + 60001);
  EXPECT_EQ(Submit(secret), SubmitResult::kOk);
}

TEST_F(PairingTest, DecisionFromAnotherThread) {
  for (bool approve : {true, false}) {
    ASSERT_EQ(Submit(OpenInvitation()), SubmitResult::kOk);
    std::thread tray([&] {
      std::string text;
      while (!state_.PendingRequest(text)) std::this_thread::yield();
      state_.Decide(approve);
    });
    Decision decision = Wait(clock_.NowMs() + 60000, [] { return false; });
    tray.join();
    EXPECT_EQ(decision, approve ? Decision::kApproved : Decision::kRejected);
    std::string text;
    EXPECT_FALSE(state_.PendingRequest(text));
    EXPECT_EQ(state_.PendingSince(), 0u);
    EXPECT_FALSE(state_.IsOpen());
    EXPECT_EQ(Submit("AAAA"), SubmitResult::kAlreadyPending);  // used up until the next Open
  }
}

TEST_F(PairingTest, PhoneLeavingEndsTheWaitAsRejected) {
  ASSERT_EQ(Submit(OpenInvitation()), SubmitResult::kOk);
  std::atomic<int> calls{0};
  Decision decision = Wait(clock_.NowMs() + 60000, [&] { return ++calls >= 2; });
  EXPECT_EQ(decision, Decision::kRejected);
  EXPECT_EQ(calls.load(), 2);
}

TEST_F(PairingTest, CloseRejectsTheWaitingRequest) {
  ASSERT_EQ(Submit(OpenInvitation()), SubmitResult::kOk);
  std::thread closer([&] {
    std::string text;
    while (!state_.PendingRequest(text)) std::this_thread::yield();
    state_.Close();
  });
  EXPECT_EQ(Wait(clock_.NowMs() + 60000, nullptr), Decision::kRejected);
  closer.join();
  state_.Decide(true);  // too late: nothing changes
  std::string text;
  EXPECT_FALSE(state_.PendingRequest(text));
}

TEST_F(PairingTest, DeadlinePassingEndsTheWaitWithoutDecision) {
  ASSERT_EQ(Submit(OpenInvitation()), SubmitResult::kOk);
  const uint64_t deadline = clock_.NowMs() + 60000;
  std::atomic<bool> checked{false};
  std::thread timer([&] {
    while (!checked) std::this_thread::yield();
    clock_.Set(deadline);
  });
  Decision decision = Wait(deadline, [&] {
    checked = true;
    return false;
  });
  timer.join();
  EXPECT_EQ(decision, Decision::kNone);
  EXPECT_FALSE(state_.IsOpen());
  state_.Decide(true);
  EXPECT_EQ(Submit("AAAA"), SubmitResult::kAlreadyPending);
}

TEST_F(PairingTest, NewInvitationEndsAnOldWaitWithoutBeingClosedByIt) {
  ASSERT_EQ(Submit(OpenInvitation()), SubmitResult::kOk);
  std::atomic<bool> waiting{false};
  std::string new_secret;
  std::thread tray([&] {
    while (!waiting) std::this_thread::yield();
    new_secret = OpenInvitation();
  });
  Decision decision = Wait(clock_.NowMs() + 60000, [&] {
    waiting = true;
    return false;
  });
  tray.join();
  EXPECT_EQ(decision, Decision::kRejected);
  EXPECT_TRUE(state_.IsOpen());
  EXPECT_EQ(Submit(new_secret), SubmitResult::kOk);
}

// The worker sends the code and logs between Submit and its wait; a new
// invitation opened in that gap must not become the old request's.
TEST_F(PairingTest, InvitationOpenedBeforeTheWaitStartsIsNotTheOldRequests) {
  ASSERT_EQ(Submit(OpenInvitation()), SubmitResult::kOk);
  const uint64_t first = invitation_;
  const std::string second_secret = OpenInvitation();
  const uint64_t deadline = clock_.NowMs() + 60000;
  EXPECT_EQ(state_.WaitForDecision(first, deadline, nullptr), Decision::kRejected);
  EXPECT_TRUE(state_.IsOpen());  // the new invitation stays open

  // A second phone's request on the new invitation, approved: the old waiter
  // must still see its own request as rejected, never as approved.
  ASSERT_EQ(Submit(second_secret, "Second"), SubmitResult::kOk);
  state_.Decide(true);
  EXPECT_EQ(state_.WaitForDecision(first, deadline, nullptr), Decision::kRejected);
  EXPECT_EQ(Wait(deadline, nullptr), Decision::kApproved);
}

}  // namespace
}  // namespace vistrel
