// Handshakes and the checks after them, against our own channel and against a
// plain OpenSSL peer that leaves out what the link requires.
#include "link/tls_channel.h"

#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <stdlib.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/files.h"
#include "platform/log.h"
#include "tests/link/tls_test_util.h"
#include "tests/support/temp_folder.h"

namespace vistrel {
namespace {

using test::TestCredentials;

// What a foreign client offers.
struct RawClientOptions {
  int max_version = TLS1_3_VERSION;
  std::string alpn = std::string("\x06vstl/1", 7);  // wire list; empty offers none
  bool certificate = true;
  bool close_after = false;  // sends a close alert once connected
};

// A blocking OpenSSL client handshake on `fd`; true when it completed.
bool RunRawClient(int fd, const RawClientOptions& options) {
  const test::TestIdentity& identity = TestCredentials::Get().client_identity;
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  SSL_CTX_set_max_proto_version(ctx, options.max_version);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  if (!options.alpn.empty()) {
    SSL_CTX_set_alpn_protos(ctx, AsBytes(options.alpn).data(),
                            static_cast<unsigned int>(options.alpn.size()));
  }
  if (options.certificate) {
    const unsigned char* cursor = identity.certificate_der.data();
    X509* cert = d2i_X509(nullptr, &cursor, static_cast<long>(identity.certificate_der.size()));
    SSL_CTX_use_certificate(ctx, cert);
    X509_free(cert);
    SSL_CTX_use_PrivateKey_ASN1(EVP_PKEY_EC, ctx, identity.private_key_der.data(),
                                static_cast<long>(identity.private_key_der.size()));
  }
  SSL* ssl = SSL_new(ctx);
  SSL_set_fd(ssl, fd);
  const bool ok = SSL_connect(ssl) == 1;
  if (ok && options.close_after) SSL_shutdown(ssl);
  SSL_free(ssl);
  SSL_CTX_free(ctx);
  return ok;
}

class TlsChannelHandshake : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { std::signal(SIGPIPE, SIG_IGN); }
  void SetUp() override { ASSERT_TRUE(TestCredentials::Get().ok); }

  // The server's verdict on a foreign client.
  bool ServeRawClient(const RawClientOptions& options) {
    test::SocketPair pair = test::MakeTcpPair();
    TlsChannel server(pair.a.Get(), TestCredentials::Get().server);
    std::thread client([&] { RunRawClient(pair.b.Get(), options); });
    const bool ok = server.Establish(TickMs() + 20'000);
    ::shutdown(pair.a.Get(), SHUT_RDWR);
    client.join();
    return ok;
  }
};

// Points the runtime folder at a fresh temporary folder for one test.
class ScopedRuntimeFolder {
 public:
  ScopedRuntimeFolder() {
    const char* old = ::getenv("XDG_RUNTIME_DIR");
    if (old != nullptr) old_ = old;
    had_old_ = old != nullptr;
    ::setenv("XDG_RUNTIME_DIR", folder_.path().c_str(), 1);
  }
  ~ScopedRuntimeFolder() {
    if (had_old_) {
      ::setenv("XDG_RUNTIME_DIR", old_.c_str(), 1);
    } else {
      ::unsetenv("XDG_RUNTIME_DIR");
    }
  }
  std::filesystem::path DumpPath() const {
    return folder_.path() / "vistrel" / "vstl_failed_clienthello.bin";
  }

 private:
  test::TempFolder folder_;
  std::string old_;
  bool had_old_ = false;
};

TEST_F(TlsChannelHandshake, BothRolesAgreeAndKeepThePeerCertificate) {
  TestCredentials& credentials = TestCredentials::Get();
  test::SocketPair pair = test::MakeTcpPair();
  TlsChannel server(pair.a.Get(), credentials.server);
  TlsChannel client(pair.b.Get(), credentials.client);
  EXPECT_TRUE(server.peer_certificate().empty());
  ASSERT_TRUE(test::EstablishBoth(server, client));
  EXPECT_EQ(server.peer_certificate(), credentials.client_identity.certificate_der);
  EXPECT_EQ(client.peer_certificate(), credentials.server_identity.certificate_der);

  const std::string hello = "hello from the phone";
  ASSERT_TRUE(client.Write(AsBytes(hello)));
  std::string got(hello.size(), '\0');
  ASSERT_EQ(server.ReadExact(reinterpret_cast<uint8_t*>(got.data()), got.size(), TickMs() + 20'000),
            ReadResult::kOk);
  EXPECT_EQ(got, hello);
  ASSERT_TRUE(server.Write(AsBytes("ok")));
  uint8_t answer[2] = {};
  ASSERT_EQ(client.ReadExact(answer, 2, TickMs() + 20'000), ReadResult::kOk);
  EXPECT_EQ(AsText(answer), "ok");
}

TEST_F(TlsChannelHandshake, Tls12ClientFailsAndItsHelloIsSaved) {
  ScopedRuntimeFolder runtime;
  ScopedLogCapture log;
  EXPECT_FALSE(ServeRawClient({.max_version = TLS1_2_VERSION}));
  EXPECT_TRUE(log.Contains("[tls] handshake failed 0x")) << log.Text();
  const std::optional<std::string> dump = ReadFileText(runtime.DumpPath());
  ASSERT_TRUE(dump.has_value());
  ASSERT_GE(dump->size(), 6u);
  EXPECT_EQ(static_cast<uint8_t>((*dump)[0]), 0x16);  // a handshake record
  EXPECT_EQ(static_cast<uint8_t>((*dump)[5]), 0x01);  // holding a ClientHello
  EXPECT_TRUE(log.Contains("[tls] saved the client's hello (" + std::to_string(dump->size()) +
                           " bytes) to " + runtime.DumpPath().string() + "\n"))
      << log.Text();
  EXPECT_EQ(std::filesystem::status(runtime.DumpPath()).permissions() &
                std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

TEST_F(TlsChannelHandshake, GarbageInsteadOfAHelloIsSavedAsReceived) {
  ScopedRuntimeFolder runtime;
  ScopedLogCapture log;
  test::SocketPair pair = test::MakeTcpPair();
  const std::string garbage = "GET / HTTP/1.1\r\nHost: receiver\r\n\r\n";
  ASSERT_TRUE(test::SendRaw(pair.b.Get(), AsBytes(garbage)));
  TlsChannel server(pair.a.Get(), TestCredentials::Get().server);
  EXPECT_FALSE(server.Establish(TickMs() + 20'000));
  EXPECT_TRUE(log.Contains("[tls] handshake failed 0x")) << log.Text();
  EXPECT_EQ(ReadFileText(runtime.DumpPath()), garbage);
  EXPECT_TRUE(server.peer_certificate().empty());
}

TEST_F(TlsChannelHandshake, PostHandshakeChecksNameTheMissingPiece) {
  struct Case {
    const char* name;
    RawClientOptions options;
    const char* line;
  };
  const Case cases[] = {
      {"no ALPN", {.alpn = ""}, "[tls] rejected: ALPN vstl/1 not negotiated\n"},
      {"other ALPN", {.alpn = std::string("\x08http/1.1", 9)},
       "[tls] rejected: ALPN vstl/1 not negotiated\n"},
      {"no certificate", {.certificate = false}, "[tls] rejected: no peer certificate\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedRuntimeFolder runtime;
    ScopedLogCapture log;
    EXPECT_FALSE(ServeRawClient(c.options));
    EXPECT_EQ(log.Text(), c.line);
    EXPECT_FALSE(std::filesystem::exists(runtime.DumpPath()));
  }
}

TEST_F(TlsChannelHandshake, AForeignClientWithEverythingPasses) {
  ScopedLogCapture log;
  EXPECT_TRUE(ServeRawClient({}));
  EXPECT_EQ(log.Text(), "");
}

TEST_F(TlsChannelHandshake, CloseAlertEndsTheRead) {
  test::SocketPair pair = test::MakeTcpPair();
  TlsChannel server(pair.a.Get(), TestCredentials::Get().server);
  std::thread client([&] { RunRawClient(pair.b.Get(), {.close_after = true}); });
  const bool established = server.Establish(TickMs() + 20'000);
  client.join();  // the client's socket stays open
  ASSERT_TRUE(established);
  uint8_t byte = 0;
  EXPECT_EQ(server.ReadExact(&byte, 1, TickMs() + 600'000), ReadResult::kFailed);
}

TEST_F(TlsChannelHandshake, SilentPeerFailsAtTheDeadlineOnBothSides) {
  for (bool client_side : {false, true}) {
    SCOPED_TRACE(client_side ? "client" : "server");
    ScopedRuntimeFolder runtime;
    ScopedLogCapture log;
    test::SocketPair pair = test::MakeUnixPair();
    TlsChannel channel(pair.a.Get(), client_side ? TestCredentials::Get().client
                                                 : TestCredentials::Get().server);
    const uint64_t deadline = TickMs() + 100;
    EXPECT_FALSE(channel.Establish(deadline));
    EXPECT_GE(TickMs(), deadline);
    EXPECT_EQ(log.Text(), "");
    EXPECT_FALSE(std::filesystem::exists(runtime.DumpPath()));
  }
}

TEST_F(TlsChannelHandshake, ClientFailureIsLoggedWithoutADump) {
  ScopedRuntimeFolder runtime;
  ScopedLogCapture log;
  test::SocketPair pair = test::MakeUnixPair();
  // An answer that is no TLS record at all.
  ASSERT_TRUE(test::SendRaw(pair.b.Get(), AsBytes("HTTP/1.1 400 Bad Request\r\n\r\n")));
  TlsChannel client(pair.a.Get(), TestCredentials::Get().client);
  EXPECT_FALSE(client.Establish(TickMs() + 20'000));
  EXPECT_TRUE(log.Contains("[tls] client handshake failed 0x")) << log.Text();
  EXPECT_FALSE(std::filesystem::exists(runtime.DumpPath()));
}

TEST_F(TlsChannelHandshake, ClosedPeerFailsTheHandshake) {
  test::SocketPair pair = test::MakeUnixPair();
  pair.b.Reset();
  TlsChannel server(pair.a.Get(), TestCredentials::Get().server);
  EXPECT_FALSE(server.Establish(TickMs() + 20'000));
}

TEST(TlsCredentials, BadInputIsRefusedWithTheLogLine) {
  const TestCredentials& good = TestCredentials::Get();
  const test::TestIdentity other = test::MakeTestIdentity("other");
  const Bytes junk = {0x30, 0x03, 0x02, 0x01};
  struct Case {
    const char* name;
    const Bytes& certificate;
    const Bytes& key;
  };
  const Case cases[] = {
      {"junk certificate", junk, good.server_identity.private_key_der},
      {"junk key", good.server_identity.certificate_der, junk},
      {"key of another certificate", good.server_identity.certificate_der,
       other.private_key_der},
      {"empty", Bytes{}, Bytes{}},
  };
  for (const Case& c : cases) {
    for (bool client : {false, true}) {
      SCOPED_TRACE(c.name);
      ScopedLogCapture log;
      TlsCredentials credentials;
      EXPECT_FALSE(credentials.Acquire(c.certificate, c.key, client));
      EXPECT_FALSE(credentials.acquired());
      EXPECT_TRUE(log.Contains("[tls] AcquireCredentialsHandle failed 0x")) << log.Text();
    }
  }
}

}  // namespace
}  // namespace vistrel
