#include <gtest/gtest.h>

#include <thread>

#include "link/framing.h"
#include "platform/files.h"
#include "platform/log.h"
#include "security/bytes.h"
#include "tests/link/fake_channel.h"
#include "tests/scan/fake_scan_services.h"
#include "tests/link/session_harness.h"
#include "tests/support/temp_folder.h"

namespace vistrel {
namespace {

using test::FakeConnection;

constexpr char kGoodHello[] =
    R"({"proto":1,"device_name":"Ana's \"phone\"","video":{"codec":"h264","width":1280,"height":720,"fps":30}})";
const std::string kPhoneA(64, 'a');
const std::string kPhoneB(64, 'b');

std::string Hello(const std::string& proto, const std::string& fps = "30",
                  const std::string& width = "1280") {
  return R"({"proto":)" + proto + R"(,"device_name":"P","video":{"codec":"h264","width":)" +
         width + R"(,"height":720,"fps":)" + fps + "}}";
}

std::string VideoPayload(uint32_t epoch, uint64_t timestamp, size_t data_size) {
  std::string payload(13 + data_size, '\0');
  for (int i = 0; i < 4; ++i) payload[i] = static_cast<char>(epoch >> (24 - 8 * i));
  for (int i = 0; i < 8; ++i) payload[4 + i] = static_cast<char>(timestamp >> (56 - 8 * i));
  return payload;
}

class SessionTest : public ::testing::Test {
 protected:
  SessionTest() : trust_(folder_ / "trusted_phones.tsv"), pairing_(clock_) {
    server_ = std::make_unique<test::SessionHarness>("Desk \"PC\"", nullptr, clock_);
  }

  // Runs a whole session on the test thread: the script, then the phone leaves.
  std::vector<test::SentFrame> RunScript(FakeConnection& phone) {
    server_->Stream(phone.connection);
    return phone.channel->Sent();
  }

  // Starts a live session on its own thread and waits until it is active.
  std::thread StartLive(FakeConnection& phone) {
    phone.channel->SetBlocking(true);
    phone.channel->Queue(kHello, kGoodHello);
    std::thread thread([this, &phone] { server_->Stream(phone.connection); });
    while (phone.channel->SentOfType(kHelloReply).empty()) std::this_thread::yield();
    // The reply goes out before the session counts as active.
    while (server_->session_state() != 1u) std::this_thread::yield();
    return thread;
  }

  test::TempFolder folder_;
  ManualClock clock_;
  TrustStore trust_;
  PairingState pairing_;
  std::unique_ptr<test::SessionHarness> server_;
  ScopedLogCapture log_;
};

TEST_F(SessionTest, HelloChecksAndReplies) {
  struct Case {
    std::string hello;
    std::string reply;
  } cases[] = {
      {Hello("1.0"), ""},  // accepted
      {Hello("1.5"), R"({"ok":false,"error":"proto"})"},
      {Hello("\"1\""), R"({"ok":false,"error":"proto"})"},
      {Hello("2"), R"({"ok":false,"error":"proto"})"},
      {R"({"proto":1,"video":{}})", R"({"ok":false,"error":"proto"})"},
      {"not json", R"({"ok":false,"error":"proto"})"},
      {Hello("1", "60"), R"({"ok":false,"error":"format"})"},
      {Hello("1", "30", "1920"), R"({"ok":false,"error":"format"})"},
      {R"({"proto":1,"device_name":"P"})", R"({"ok":false,"error":"format"})"},
      {R"({"proto":1,"device_name":"P","video":[]})", R"({"ok":false,"error":"format"})"},
  };
  for (const Case& c : cases) {
    FakeConnection phone(clock_, kPhoneA);
    phone.channel->Queue(kHello, c.hello);
    auto replies = phone.channel->SentOfType(kHelloReply);
    RunScript(phone);
    replies = phone.channel->SentOfType(kHelloReply);
    ASSERT_EQ(replies.size(), 1u) << c.hello;
    if (c.reply.empty()) {
      EXPECT_NE(replies[0].find(R"("ok":true)"), std::string::npos) << c.hello;
    } else {
      EXPECT_EQ(replies[0], c.reply) << c.hello;
    }
  }
  EXPECT_EQ(server_->session_state(), 0u);
}

TEST_F(SessionTest, FirstFrameMustBeHelloWithinLimits) {
  FakeConnection wrong_type(clock_, kPhoneA);
  wrong_type.channel->Queue(kStatus, "{}");
  EXPECT_TRUE(RunScript(wrong_type).empty());

  FakeConnection too_long(clock_, kPhoneA);
  too_long.channel->Queue(kHello, std::string(4096, ' '));  // length 4097
  EXPECT_TRUE(RunScript(too_long).empty());
  EXPECT_FALSE(log_.Contains("session with"));
}

TEST_F(SessionTest, AcceptedReplyAndSessionLifecycle) {
  FakeConnection phone(clock_, kPhoneA);
  phone.channel->Queue(kHello, kGoodHello);
  auto sent = RunScript(phone);
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent[0].type, kHelloReply);
  EXPECT_EQ(sent[0].payload,
            R"({"ok":true,"receiver_name":"Desk \"PC\"","allowed":true,"video":{"codec":"h264","width":1280,"height":720,"fps":30},"proto":1,"features":["wired","monitor","files"]})");
  EXPECT_TRUE(log_.Contains("[net] streaming session with \"Ana's \"phone\"\" (192.0.2.7)\n"));
  EXPECT_TRUE(log_.Contains("[net] \"Ana's \"phone\"\" disconnected\n"));
  EXPECT_EQ(server_->session_state(), 0u);
}

TEST_F(SessionTest, PingsAreEchoedUpToSixtyFourBytes) {
  FakeConnection phone(clock_, kPhoneA);
  phone.channel->Queue(kHello, kGoodHello);
  phone.channel->Queue(kPing, "");
  phone.channel->Queue(kPing, std::string(64, 'p'));
  phone.channel->Queue(kPing, std::string(65, 'q'));
  phone.channel->Queue(kPong, "x");  // traffic without effect
  RunScript(phone);
  auto pongs = phone.channel->SentOfType(kPong);
  ASSERT_EQ(pongs.size(), 2u);
  EXPECT_EQ(pongs[0], "");
  EXPECT_EQ(pongs[1], std::string(64, 'p'));
}

TEST_F(SessionTest, KeepAlivePingsEveryFiveSecondsAndClosesAfterFifteen) {
  FakeConnection phone(clock_, kPhoneA);
  phone.channel->Queue(kHello, kGoodHello);
  phone.channel->SetIdleTimeouts(10);
  RunScript(phone);
  auto pings = phone.channel->SentOfType(kPing);
  EXPECT_EQ(pings, (std::vector<std::string>{"vstl", "vstl"}));
  EXPECT_TRUE(log_.Contains("[net] no data for 15 s, closing\n"));
}

TEST_F(SessionTest, StatusKeepsOnlyValuesWithinLimits) {
  FakeConnection phone(clock_, kPhoneA);
  phone.channel->SetBlocking(true);
  phone.channel->Queue(kHello, kGoodHello);
  phone.channel->Queue(kStatus, R"({"battery":0.5,"thermal":"fair","model":"iPhone15,2"})");
  phone.channel->Queue(kStatus, R"({"battery":1.5,"thermal":")" + std::string(33, 't') +
                                    R"(","model":")" + std::string(65, 'm') + "\"}");
  phone.channel->Queue(kStatus, "not json");
  phone.channel->Queue(kPing, "sync");
  std::thread session([&] { server_->Stream(phone.connection); });
  while (phone.channel->SentOfType(kPong).empty()) std::this_thread::yield();
  PhoneStatus status = server_->GetPhoneStatus();
  EXPECT_EQ(status.battery, 0.5);
  EXPECT_EQ(status.thermal_state, "fair");
  EXPECT_EQ(status.phone_model, "iPhone15,2");
  EXPECT_EQ(status.link_kind, "wifi");
  EXPECT_EQ(server_->session_state(), 1u);
  phone.connection->Shutdown();
  session.join();
}

TEST_F(SessionTest, StateMessages) {
  struct Case {
    std::string state;
    std::string log;
  } cases[] = {
      {R"({"capture":"ready","epoch":7,"reason":null})", "[state] phone ready (epoch 7)\n"},
      {R"({"capture":"paused","epoch":7,"reason":"background"})",
       "[state] phone paused: background (epoch 7)\n"},
      {R"({"capture":"ready","epoch":7})", "[net] malformed STATE, closing\n"},
      {R"({"capture":"recording","epoch":7,"reason":null})", "[net] malformed STATE, closing\n"},
      {R"({"capture":"ready","epoch":7.5,"reason":null})", "[net] malformed STATE, closing\n"},
      {R"({"capture":"ready","epoch":1,"reason":3})", "[net] malformed STATE, closing\n"},
      {"{", "[net] malformed JSON (type 0x32), closing\n"},
  };
  for (const Case& c : cases) {
    ScopedLogCapture log;
    FakeConnection phone(clock_, kPhoneA);
    phone.channel->Queue(kHello, kGoodHello);
    phone.channel->Queue(kState, c.state);
    phone.channel->Queue(kPing, "after");
    RunScript(phone);
    EXPECT_TRUE(log.Contains(c.log)) << c.state << "\n" << log.Text();
    const bool closed = c.log.find("closing") != std::string::npos;
    EXPECT_EQ(phone.channel->SentOfType(kPong).empty(), closed) << c.state;
  }
}

TEST_F(SessionTest, ModeMessages) {
  FakeConnection phone(clock_, kPhoneA);
  phone.channel->Queue(kHello, kGoodHello);
  phone.channel->Queue(kMode, R"({"mode":"monitor"})");
  phone.channel->Queue(kMode, R"({"mode":"scan"})");
  phone.channel->Queue(kMode, R"({"mode":5})");
  phone.channel->Queue(kPing, "not reached");
  RunScript(phone);
  EXPECT_TRUE(log_.Contains("[net] unknown mode \"scan\" ignored\n"));
  EXPECT_TRUE(log_.Contains("[net] malformed MODE, closing\n"));
  EXPECT_TRUE(phone.channel->SentOfType(kPong).empty());
}

TEST_F(SessionTest, VideoLimits) {
  {
    FakeConnection phone(clock_, kPhoneA);
    phone.channel->Queue(kHello, kGoodHello);
    phone.channel->Queue(kVideo, std::string(13, '\0'));  // too short: silent close
    phone.channel->Queue(kPing, "not reached");
    RunScript(phone);
    EXPECT_TRUE(phone.channel->SentOfType(kPong).empty());
    EXPECT_EQ(server_->GetCounters().video_received, 0u);
  }
  {
    FakeConnection phone(clock_, kPhoneA);
    phone.channel->Queue(kHello, kGoodHello);
    phone.channel->Queue(kVideo, VideoPayload(0, (1ull << 52) - 1, 1));
    phone.channel->Queue(kVideo, VideoPayload(0, 1ull << 52, 1));
    RunScript(phone);
    EXPECT_TRUE(log_.Contains("[net] VIDEO with an impossible timestamp, closing\n"));
    EXPECT_EQ(server_->GetCounters().video_received, 2u);
    EXPECT_EQ(server_->GetCounters().video_dropped, 1u);
  }
}

TEST_F(SessionTest, VideoRateLimit) {
  for (bool by_bytes : {false, true}) {
    ScopedLogCapture log;
    FakeConnection phone(clock_, kPhoneA);
    phone.channel->Queue(kHello, kGoodHello);
    if (by_bytes) {
      // Two messages of 1,250,000 payload bytes are exactly the limit; one more byte is not.
      phone.channel->Queue(kVideo, VideoPayload(0, 0, 1'250'000 - 13));
      phone.channel->Queue(kVideo, VideoPayload(0, 0, 1'250'000 - 13));
      phone.channel->Queue(kPing, "ok");
      phone.channel->Queue(kVideo, VideoPayload(0, 0, 1));
    } else {
      for (int i = 0; i < 60; ++i) phone.channel->Queue(kVideo, VideoPayload(0, 0, 1));
      phone.channel->Queue(kPing, "ok");
      phone.channel->Queue(kVideo, VideoPayload(0, 0, 1));
    }
    phone.channel->Queue(kPing, "not reached");
    RunScript(phone);
    EXPECT_TRUE(log.Contains("[net] video rate limit exceeded, closing\n")) << by_bytes;
    EXPECT_EQ(phone.channel->SentOfType(kPong), (std::vector<std::string>{"ok"})) << by_bytes;
  }
}

TEST_F(SessionTest, ScanMessagesOutsideScanDeliveryAreRefused) {
  FakeConnection phone(clock_, kPhoneA);
  phone.channel->Queue(kHello, kGoodHello);
  phone.channel->Queue(kFileBegin, R"({"id":"t\"1","name":"a.pdf"})");
  phone.channel->Queue(kFileBegin, R"({"name":"no id"})");
  phone.channel->Queue(kText, R"({"text":"hi"})");
  RunScript(phone);
  EXPECT_EQ(phone.channel->SentOfType(kFileResult),
            (std::vector<std::string>{R"({"id":"t\"1","ok":false,"error":"not_active"})"}));
}

// The active session hands scans to its own receiver; a replaced one answers
// new transfers as not active, and its open transfer goes with it.
TEST_F(SessionTest, ScansGoToTheActiveSessionsReceiver) {
  test::FakeDesktop desktop;
  ScanContext scan(desktop);
  AppSettings settings;
  settings.scans_folder = folder_ / "scans";
  scan.Load(folder_.path(), settings);
  server_ = std::make_unique<test::SessionHarness>("Desk", nullptr, clock_, &scan);
  const std::string id1 = "11111111-1111-4111-8111-111111111111";
  const std::string id2 = "22222222-2222-4222-8222-222222222222";
  auto begin = [](const std::string& id, std::string_view bytes) {
    return "{\"id\":\"" + id + R"(","name":"a.txt","mime":"text/plain","size":)" +
           std::to_string(bytes.size()) + ",\"sha256\":\"" + HexEncode(Sha256(AsBytes(bytes))) + "\"}";
  };
  auto chunk = [](const std::string& id, std::string_view data) {
    std::string digits = id;
    std::erase(digits, '-');
    Bytes payload = *HexDecode(digits);
    payload.insert(payload.end(), data.begin(), data.end());
    return std::string(AsText(payload));
  };
  auto sync = [](FakeConnection& phone, const std::string& mark) {
    phone.channel->Queue(kPing, mark);
    while (phone.channel->SentOfType(kPong).empty() || phone.channel->SentOfType(kPong).back() != mark) {
      std::this_thread::yield();
    }
  };
  const std::filesystem::path part1 = folder_ / "scans" / (".orlith-" + id1 + ".part");

  FakeConnection old_link(clock_, kPhoneA);
  old_link.channel->IgnoreShutdown();
  std::thread old_session = StartLive(old_link);
  old_link.channel->Queue(kFileBegin, begin(id1, "abc"));
  old_link.channel->Queue(kFileChunk, chunk(id1, "ab"));
  sync(old_link, "1");
  EXPECT_TRUE(std::filesystem::exists(part1));

  FakeConnection new_link(clock_, kPhoneA);
  std::thread new_session = StartLive(new_link);
  old_link.channel->Queue(kFileBegin, begin(id2, "x"));
  old_link.channel->Queue(kFileChunk, chunk(id1, "c"));
  sync(old_link, "2");
  EXPECT_EQ(old_link.channel->SentOfType(kFileResult),
            (std::vector<std::string>{"{\"id\":\"" + id2 + R"(","ok":false,"error":"not_active"})"}));
  old_link.channel->Hangup();
  old_session.join();
  EXPECT_FALSE(std::filesystem::exists(part1));

  new_link.channel->Queue(kFileChunk, chunk(id1, "c"));
  new_link.channel->Queue(kFileEnd, "{\"id\":\"" + id1 + "\"}");
  new_link.channel->Queue(kFileBegin, begin(id2, "xyz"));
  new_link.channel->Queue(kFileChunk, chunk(id2, "xyz"));
  new_link.channel->Queue(kFileEnd, "{\"id\":\"" + id2 + "\"}");
  new_link.channel->Queue(kText, R"({"text":"42","kind":"barcode","action":"copy"})");
  new_link.channel->Queue(kFileChunk, "too short");
  new_link.channel->Queue(kPing, "not answered");
  new_session.join();
  EXPECT_EQ(new_link.channel->SentOfType(kFileResult),
            (std::vector<std::string>{"{\"id\":\"" + id1 + R"(","ok":false,"error":"unknown_id"})",
                                      "{\"id\":\"" + id2 + R"(","ok":true,"saved_as":"a.txt"})"}));
  EXPECT_TRUE(new_link.channel->SentOfType(kPong).empty());
  EXPECT_EQ(ReadFileText(folder_ / "scans" / "a.txt"), "xyz");
  EXPECT_EQ(desktop.copied, (std::vector<std::u16string>{u"42"}));
  EXPECT_EQ(scan.Revision(), 2u);
  EXPECT_TRUE(log_.Contains("[scan] malformed FILE_CHUNK, closing\n"));
}

TEST_F(SessionTest, SecondPhoneIsBusyAndRecorded) {
  FakeConnection first(clock_, kPhoneA);
  std::thread live = StartLive(first);
  FakeConnection second(clock_, kPhoneB);
  second.channel->Queue(kHello, Hello("1"));
  RunScript(second);
  EXPECT_EQ(second.channel->SentOfType(kHelloReply),
            (std::vector<std::string>{R"({"ok":false,"error":"busy"})"}));
  EXPECT_EQ(server_->GetPhoneStatus().refused_phone, "P");
  EXPECT_TRUE(log_.Contains("[net] \"P\" refused: another phone is streaming\n"));
  EXPECT_EQ(server_->session_state(), 1u);
  first.connection->Shutdown();
  live.join();
}

TEST_F(SessionTest, HandOverRules) {
  struct Case {
    bool old_wired, new_wired;
    const char* log;  // empty: the new one is busy
    const char* ending;
  } cases[] = {
      {false, false, "[net] the phone reconnected; its old session is closed\n",
       "\" replaced by a new session\n"},
      {false, true, "[usb] wired session replaces the Wi-Fi session\n",
       "\" handed over to the cable\n"},
      {true, true, "[net] the phone reconnected; its old session is closed\n",
       "\" replaced by a new session\n"},
      {true, false, "", ""},
  };
  for (const Case& c : cases) {
    ScopedLogCapture log;
    FakeConnection old_link(clock_, kPhoneA, c.old_wired);
    std::thread old_session = StartLive(old_link);
    FakeConnection new_link(clock_, kPhoneA, c.new_wired);
    std::thread new_session = StartLive(new_link);
    if (*c.log) {
      old_session.join();  // cut by the takeover
      EXPECT_TRUE(log.Contains(c.log));
      EXPECT_TRUE(log.Contains(c.ending)) << log.Text();
      EXPECT_EQ(log.Contains("handed over to the cable"), c.new_wired && !c.old_wired);
      // The replaced session leaves the new one's state alone.
      EXPECT_EQ(server_->session_state(), 1u);
      new_link.connection->Shutdown();
      new_session.join();
    } else {
      new_session.join();
      EXPECT_EQ(new_link.channel->SentOfType(kHelloReply),
                (std::vector<std::string>{R"({"ok":false,"error":"busy"})"}));
      old_link.connection->Shutdown();
      old_session.join();
    }
    EXPECT_EQ(server_->session_state(), 0u);
  }
}

TEST_F(SessionTest, CameraGateAllowNeedsMatchingAck) {
  FakeConnection phone(clock_, kPhoneA);
  std::thread live = StartLive(phone);
  server_->SetCameraAllowed(false);
  server_->SetCameraAllowed(true);
  EXPECT_EQ(phone.channel->SentOfType(kBlock), (std::vector<std::string>{R"({"seq":1})"}));
  EXPECT_EQ(phone.channel->SentOfType(kAllow), (std::vector<std::string>{R"({"seq":2})"}));
  EXPECT_EQ(phone.connection->awaited_allow.load(), 2u);

  phone.channel->Queue(kAck, R"({"seq":1,"epoch":4})");  // older: ignored
  phone.channel->Queue(kAck, R"({"seq":2,"epoch":9})");
  phone.channel->Queue(kPing, "sync");
  while (phone.channel->SentOfType(kPong).empty()) std::this_thread::yield();
  EXPECT_EQ(phone.connection->acknowledged_allow.load(), 2u);
  EXPECT_TRUE(log_.Contains("[gate] camera blocked\n"));
  EXPECT_TRUE(log_.Contains("[gate] camera allowed\n"));
  EXPECT_TRUE(log_.Contains("[gate] phone acknowledged ALLOW, epoch 9\n"));
  EXPECT_FALSE(log_.Contains("epoch 4"));

  phone.channel->Queue(kAck, R"({"seq":"2","epoch":9})");
  live.join();
  EXPECT_TRUE(log_.Contains("[net] malformed ACK, closing\n"));
}

TEST_F(SessionTest, GateWithoutSessionOnlyLogs) {
  server_->SetCameraAllowed(false);
  EXPECT_FALSE(server_->camera_allowed());
  EXPECT_TRUE(log_.Contains("[gate] camera blocked\n"));
}

// The gate must never be open while an ALLOW's sequence is not yet awaited:
// a picture of the old epoch would pass in between. Another thread watches
// the gate the way the worker's video check reads it, during every opening.
TEST_F(SessionTest, CameraGateNeverOpensBeforeTheAllowIsAwaited) {
  FakeConnection phone(clock_, kPhoneA);
  std::thread live = StartLive(phone);
  Connection& connection = *phone.connection;
  std::atomic<int> round{0};  // > 0: watch, 0: pause, < 0: end
  std::atomic<bool> watching{false};
  std::atomic<int> open_unawaited{0};
  std::thread watcher([&] {
    for (;;) {
      const int now = round.load();
      if (now < 0) break;
      if (now == 0) continue;
      watching = true;
      while (round.load() == now) {
        if (server_->camera_allowed() &&
            connection.acknowledged_allow.load() == connection.awaited_allow.load()) {
          ++open_unawaited;
        }
      }
      watching = false;
      while (round.load() == 0) std::this_thread::yield();
    }
  });
  for (int i = 1; i <= 2000; ++i) {
    server_->SetCameraAllowed(false);
    connection.acknowledged_allow = connection.awaited_allow.load();  // the last ALLOW answered
    round = i;
    while (!watching) std::this_thread::yield();
    server_->SetCameraAllowed(true);
    round = 0;
    while (watching) std::this_thread::yield();
  }
  round = -1;
  watcher.join();
  EXPECT_EQ(open_unawaited.load(), 0);
  phone.connection->Shutdown();
  live.join();
}

// Texts from the phone reach log lines and the tray cleaned: no line breaks,
// no control characters, bounded.
TEST_F(SessionTest, PhoneTextsCannotForgeLogLines) {
  FakeConnection phone(clock_, kPhoneA);
  phone.channel->Queue(
      kHello,
      R"({"proto":1,"device_name":"Cam\n[pair] paired with \"Boss\"","video":{"codec":"h264","width":1280,"height":720,"fps":30}})");
  phone.channel->Queue(kStatus, R"({"model":"iPhone\r\n[net] x","thermal":"hot\u2028x"})");
  phone.channel->Queue(kState, R"({"capture":"paused","epoch":1,"reason":"bg\n[gate] camera allowed"})");
  phone.channel->Queue(kMode, R"({"mode":"m\n[app] stopped"})");
  phone.channel->SetBlocking(true);
  phone.channel->Queue(kPing, "sync");
  std::thread live([&] { server_->Stream(phone.connection); });
  while (phone.channel->SentOfType(kPong).empty()) std::this_thread::yield();
  const PhoneStatus status = server_->GetPhoneStatus();
  EXPECT_EQ(status.phone_name, "Cam[pair] paired with \"Boss\"");
  EXPECT_EQ(status.phone_model, "iPhone[net] x");
  EXPECT_EQ(status.thermal_state, "hotx");
  phone.connection->Shutdown();
  live.join();
  const std::string text = log_.Text();
  EXPECT_TRUE(log_.Contains("[state] phone paused: bg[gate] camera allowed (epoch 1)\n")) << text;
  EXPECT_TRUE(log_.Contains("[net] unknown mode \"m[app] stopped\" ignored\n"));
  for (const char* forged : {"\n[pair] paired", "\n[gate] camera allowed", "\n[app] stopped"}) {
    EXPECT_EQ(text.find(forged), std::string::npos) << forged;
  }
}

}  // namespace
}  // namespace vistrel
