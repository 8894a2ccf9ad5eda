// The server over real loopback TLS: admission, the handshake limit, wired
// connections, pairing hand-off, disconnects and the stop.
#include "link/server.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <thread>

#include "link/framing.h"
#include "platform/log.h"
#include "platform/socket.h"
#include "tests/support/temp_folder.h"
#include "tests/support/wait_for.h"
#include "tests/support/test_certs.h"

namespace vistrel {
namespace {

using namespace std::chrono_literals;

using test::WaitFor;

struct Side {
  explicit Side(bool client, const std::string& name) : identity(test::MakeTestIdentity(name)) {
    EXPECT_TRUE(credentials.Acquire(identity.certificate_der, identity.private_key_der, client));
  }
  std::string Fingerprint() const { return HexEncode(Sha256(identity.certificate_der)); }
  test::TestIdentity identity;
  TlsCredentials credentials;
};

// A phone on the network: TCP to the server, then the TLS client handshake.
struct NetPhone {
  NetPhone(const Side& side, uint16_t port) {
    socket = ConnectTcp("127.0.0.1", port, 5000);
    channel = std::make_unique<TlsChannel>(socket.Get(), side.credentials);
    established = channel->Establish(TickMs() + 5000);
  }
  Frame Read(uint64_t ms = 5000) {
    return ReadFrame(*channel, TickMs() + ms, FrameContext::kSession);
  }
  UniqueFd socket;
  std::unique_ptr<TlsChannel> channel;
  bool established = false;
};

std::string Hello(const std::string& name) {
  return R"({"proto":1,"device_name":")" + name +
         R"(","video":{"codec":"h264","width":1280,"height":720,"fps":30}})";
}

class ServerTest : public ::testing::Test {
 protected:
  ServerTest()
      : receiver_server_(false, "receiver"),
        receiver_client_(true, "receiver"),
        trust_(folder_ / "trusted_phones.tsv") {
    ServerContext context;
    context.receiver_id = "rid";
    context.receiver_name = "Desk";
    context.server_credentials = &receiver_server_.credentials;
    context.trust = &trust_;
    context.pairing = &pairing_;
    server_ = std::make_unique<Server>(std::move(context));
    EXPECT_TRUE(server_->Listen(0));
    listener_ = std::thread([this] { server_->Run(); });
  }
  ~ServerTest() override {
    server_->Stop();
    listener_.join();
  }

  void Trust(const Side& phone) { ASSERT_TRUE(trust_.Add({phone.Fingerprint(), "id", "name"})); }

  test::TempFolder folder_;
  Side receiver_server_;
  Side receiver_client_;
  TrustStore trust_;
  PairingState pairing_;
  std::unique_ptr<Server> server_;
  std::thread listener_;
  ScopedLogCapture log_;
};

TEST_F(ServerTest, ListenReportsAPortInUse) {
  Server other(ServerContext{});
  ScopedLogCapture log;
  EXPECT_FALSE(other.Listen(server_->port()));
  EXPECT_TRUE(log.Contains("[net] cannot listen on port " + std::to_string(server_->port()) +
                           " (error " + std::to_string(EADDRINUSE) + ")\n"));
}

TEST_F(ServerTest, UnknownPhoneIsRejectedWhilePairingIsClosed) {
  Side phone(true, "phone");
  NetPhone link(phone, server_->port());
  ASSERT_TRUE(link.established);
  EXPECT_EQ(link.Read().result, ReadResult::kFailed);
  EXPECT_TRUE(WaitFor([&] {
    return log_.Contains("[net] 127.0.0.1: unknown certificate " + phone.Fingerprint().substr(0, 12) +
                         "..., pairing closed: rejected\n");
  }));
}

TEST_F(ServerTest, TrustedPhoneStreamsAndForgettingCutsEveryConnection) {
  Side phone(true, "phone");
  Trust(phone);
  NetPhone first(phone, server_->port());
  ASSERT_TRUE(first.established);
  ASSERT_TRUE(SendFrame(*first.channel, kHello, Hello("Ana")));
  Frame reply = first.Read();
  ASSERT_EQ(reply.result, ReadResult::kOk);
  EXPECT_EQ(reply.type, kHelloReply);
  EXPECT_TRUE(WaitFor([&] { return server_->session_state() == 1; }));

  // A second connection of the same phone that has not said HELLO yet.
  NetPhone second(phone, server_->port());
  ASSERT_TRUE(second.established);
  ASSERT_TRUE(WaitFor([&] { return server_->worker_count() == 2; }));
  // As the receiver forgets a phone: out of the trusted list, then cut.
  ASSERT_TRUE(trust_.Remove(phone.Fingerprint()));
  server_->DisconnectPhone(phone.Fingerprint());
  EXPECT_EQ(first.Read().result, ReadResult::kFailed);
  EXPECT_EQ(second.Read().result, ReadResult::kFailed);
  EXPECT_TRUE(WaitFor([&] { return server_->session_state() == 0; }));
  EXPECT_TRUE(WaitFor([&] { return log_.Contains("[net] \"Ana\" disconnected\n"); }));
}

TEST_F(ServerTest, FifthHandshakeIsDroppedUntilOneEnds) {
  std::vector<UniqueFd> stalled;
  for (int i = 0; i < 4; ++i) stalled.push_back(ConnectTcp("127.0.0.1", server_->port(), 5000));
  ASSERT_TRUE(WaitFor([&] { return server_->worker_count() == 4; }));
  UniqueFd fifth = ConnectTcp("127.0.0.1", server_->port(), 5000);
  char byte;
  // Closed at once: end of stream long before the 5 s handshake limit.
  ASSERT_TRUE(PollReadable(fifth.Get(), 3000).value_or(false));
  EXPECT_EQ(::recv(fifth.Get(), &byte, 1, 0), 0);

  stalled.pop_back();  // that handshake fails at once
  ASSERT_TRUE(WaitFor([&] { return log_.Contains("[net] 127.0.0.1: TLS handshake failed\n"); }));
  Side phone(true, "phone");
  NetPhone sixth(phone, server_->port());
  EXPECT_TRUE(sixth.established);
}

TEST_F(ServerTest, WiredConnections) {
  // Without client credentials wired sockets are refused.
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  UniqueFd phone_end(fds[1]);
  EXPECT_TRUE(server_->AddWiredConnection(UniqueFd(fds[0]), "usb-1")->load());

  server_->SetClientCredentials(&receiver_client_.credentials);
  Side phone(false, "phone");  // on the cable the phone is the TLS server
  for (bool trusted : {false, true}) {
    if (trusted) Trust(phone);
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    phone_end.Reset(fds[1]);
    auto finished = server_->AddWiredConnection(UniqueFd(fds[0]), "usb-1");
    TlsChannel channel(phone_end.Get(), phone.credentials);
    ASSERT_TRUE(channel.Establish(TickMs() + 5000));
    if (!trusted) {
      EXPECT_TRUE(WaitFor([&] { return finished->load(); }));
      EXPECT_TRUE(log_.Contains("[usb] usb-1: phone " + phone.Fingerprint().substr(0, 12) +
                                "... is not paired with this computer: refused\n"));
      continue;
    }
    ASSERT_TRUE(SendFrame(channel, kHello, Hello("Cable")));
    Frame reply = ReadFrame(channel, TickMs() + 5000, FrameContext::kSession);
    EXPECT_EQ(reply.result, ReadResult::kOk);
    EXPECT_TRUE(WaitFor([&] { return log_.Contains("[net] wired session with \"Cable\" (usb-1)\n"); }));
    EXPECT_EQ(server_->GetPhoneStatus().link_kind, "wired");
  }
}

TEST_F(ServerTest, UnknownPhoneEnrolsOnlyWithAnOpenInvitation) {
  Digest fp{};
  auto url = pairing_.Open("rid", "Desk", fp, {}, 120000);
  ASSERT_TRUE(url.has_value());
  Side phone(true, "phone");
  NetPhone link(phone, server_->port());
  ASSERT_TRUE(link.established);
  ASSERT_TRUE(SendFrame(*link.channel, kPair, R"({"secret":"x","device_id":"d","device_name":"n","proto":1})"));
  Frame result = link.Read();
  ASSERT_EQ(result.result, ReadResult::kOk);
  EXPECT_EQ(result.type, kPairResult);
  EXPECT_EQ(std::string(AsText(result.payload)), R"({"ok":false,"error":"bad_secret"})");
}

TEST_F(ServerTest, StopReturnsPromptlyWhileAWorkerWaitsForApproval) {
  Digest fp{};
  std::string url = *pairing_.Open("rid", "Desk", fp, {}, 120000);
  size_t s = url.find("&s=") + 3;
  const std::string secret = url.substr(s, url.find('&', s) - s);
  Side phone(true, "phone");
  NetPhone link(phone, server_->port());
  ASSERT_TRUE(link.established);
  ASSERT_TRUE(SendFrame(*link.channel, kPair,
                        R"({"secret":")" + secret + R"(","device_id":"d","device_name":"n","proto":1})"));
  Frame code = link.Read();
  ASSERT_EQ(code.type, kPairCode);
  const auto start = std::chrono::steady_clock::now();
  server_->Stop();
  // The wait ends with the invitation; far below the 60 s approval time.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
  // The stop cuts the socket right after ending the wait, so the phone sees
  // either the refusal or the end of the connection, never a hang.
  Frame result = link.Read();
  if (result.result == ReadResult::kOk) {
    EXPECT_EQ(std::string(AsText(result.payload)), R"({"ok":false,"error":"rejected"})");
  }
}

// Four unknown phones at once with an invitation open: two enrol (they wait
// for PAIR), the other two are turned away at once.
TEST_F(ServerTest, AtMostTwoUnknownPhonesEnrolAtOnce) {
  Digest fp{};
  ASSERT_TRUE(pairing_.Open("rid", "Desk", fp, {}, 120000).has_value());
  std::vector<std::unique_ptr<Side>> sides;
  std::vector<std::unique_ptr<NetPhone>> links;
  for (int i = 0; i < 4; ++i) sides.push_back(std::make_unique<Side>(true, "p" + std::to_string(i)));
  std::vector<std::thread> connecting;
  links.resize(4);
  for (int i = 0; i < 4; ++i) {
    connecting.emplace_back([&, i] { links[i] = std::make_unique<NetPhone>(*sides[i], server_->port()); });
  }
  for (std::thread& thread : connecting) thread.join();
  auto rejected = [&] {
    const std::string text = log_.Text();
    size_t count = 0;
    for (size_t at = 0; (at = text.find("pairing closed: rejected\n", at)) != std::string::npos; ++at) {
      ++count;
    }
    return count;
  };
  ASSERT_TRUE(WaitFor([&] { return rejected() == 2; }));
  int enrolled = 0;
  for (auto& link : links) {
    ASSERT_TRUE(link->established);
    (void)SendFrame(*link->channel, kPair,
                    R"({"secret":"x","device_id":"d","device_name":"n","proto":1})");
    Frame result = link->Read();
    if (result.result == ReadResult::kOk && result.type == kPairResult) ++enrolled;
  }
  EXPECT_EQ(enrolled, 2);
  EXPECT_EQ(rejected(), 2u);
}

}  // namespace
}  // namespace vistrel
