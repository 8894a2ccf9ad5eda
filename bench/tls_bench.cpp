// Throughput of the TLS channel with 64 KiB frames (SendFrame on one thread,
// ReadFrame on another) next to a plain blocking OpenSSL pair on the same
// loopback and the same default TLS 1.3 cipher.
#include <benchmark/benchmark.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <atomic>
#include <csignal>
#include <thread>

#include "link/framing.h"
#include "link/tls_channel.h"
#include "tests/link/tls_test_util.h"

namespace vistrel {
namespace {

constexpr size_t kPayload = 65536;
constexpr size_t kFrameBytes = kPayload + 5;
constexpr int64_t kFramesPerBatch = 128;  // 8 MiB per iteration

// Waits until `counter` reaches `target`.
void WaitFor(const std::atomic<int64_t>& counter, int64_t target) {
  for (int64_t seen = counter.load(); seen < target; seen = counter.load()) counter.wait(seen);
}

void BM_ChannelFrames(benchmark::State& state) {
  std::signal(SIGPIPE, SIG_IGN);
  test::TestCredentials& credentials = test::TestCredentials::Get();
  test::SocketPair pair = test::MakeTcpPair();
  TlsChannel server(pair.a.Get(), credentials.server);
  TlsChannel client(pair.b.Get(), credentials.client);
  if (!credentials.ok || !test::EstablishBoth(server, client)) {
    state.SkipWithError("handshake failed");
    return;
  }
  std::atomic<int64_t> frames_read{0};
  std::thread reader([&] {
    for (;;) {
      const Frame frame = ReadFrame(server, TickMs() + 60'000, FrameContext::kSession);
      if (frame.result != ReadResult::kOk || frame.payload.size() != kPayload) break;
      frames_read.fetch_add(1);
      frames_read.notify_one();
    }
    frames_read.store(INT64_MAX);
    frames_read.notify_one();
  });
  const Bytes payload(kPayload, 0x5a);
  int64_t sent = 0;
  for (auto _ : state) {
    for (int64_t i = 0; i < kFramesPerBatch; ++i) {
      if (!SendFrame(client, kVideo, payload)) {
        state.SkipWithError("write failed");
        break;
      }
      ++sent;
    }
    WaitFor(frames_read, sent);
  }
  state.SetBytesProcessed(sent * static_cast<int64_t>(kFrameBytes));
  ::shutdown(pair.a.Get(), SHUT_RDWR);
  reader.join();
}
BENCHMARK(BM_ChannelFrames)->UseRealTime()->Unit(benchmark::kMillisecond);

using SslCtxPtr = UniqueHandle<SSL_CTX*, SSL_CTX_free>;
using SslPtr = UniqueHandle<SSL*, SSL_free>;

SslCtxPtr RawContext(bool client, const test::TestIdentity& identity) {
  SslCtxPtr ctx(SSL_CTX_new(client ? TLS_client_method() : TLS_server_method()));
  SSL_CTX_set_min_proto_version(ctx.Get(), TLS1_3_VERSION);
  SSL_CTX_set_max_proto_version(ctx.Get(), TLS1_3_VERSION);
  SSL_CTX_set_num_tickets(ctx.Get(), 0);
  const unsigned char* cursor = identity.certificate_der.data();
  X509* cert = d2i_X509(nullptr, &cursor, static_cast<long>(identity.certificate_der.size()));
  SSL_CTX_use_certificate(ctx.Get(), cert);
  X509_free(cert);
  SSL_CTX_use_PrivateKey_ASN1(EVP_PKEY_EC, ctx.Get(), identity.private_key_der.data(),
                              static_cast<long>(identity.private_key_der.size()));
  return ctx;
}

void BM_RawOpenSsl(benchmark::State& state) {
  std::signal(SIGPIPE, SIG_IGN);
  test::TestCredentials& credentials = test::TestCredentials::Get();
  SslCtxPtr server_ctx = RawContext(false, credentials.server_identity);
  SslCtxPtr client_ctx = RawContext(true, credentials.client_identity);
  test::SocketPair pair = test::MakeTcpPair();
  SslPtr server(SSL_new(server_ctx.Get()));
  SslPtr client(SSL_new(client_ctx.Get()));
  SSL_set_fd(server.Get(), pair.a.Get());
  SSL_set_fd(client.Get(), pair.b.Get());
  int client_result = 0;
  std::thread connector([&] { client_result = SSL_connect(client.Get()); });
  const int server_result = SSL_accept(server.Get());
  connector.join();
  if (server_result != 1 || client_result != 1) {
    state.SkipWithError("handshake failed");
    return;
  }
  state.SetLabel(SSL_get_cipher_name(client.Get()));
  std::atomic<int64_t> bytes_read{0};
  std::thread reader([&] {
    Bytes buffer(kPayload);
    for (;;) {
      const int got = SSL_read(server.Get(), buffer.data(), static_cast<int>(buffer.size()));
      if (got <= 0) break;
      bytes_read.fetch_add(got);
      bytes_read.notify_one();
    }
    bytes_read.store(INT64_MAX);
    bytes_read.notify_one();
  });
  const Bytes frame(kFrameBytes, 0x5a);
  int64_t sent = 0;
  for (auto _ : state) {
    for (int64_t i = 0; i < kFramesPerBatch; ++i) {
      if (SSL_write(client.Get(), frame.data(), static_cast<int>(frame.size())) <= 0) {
        state.SkipWithError("write failed");
        break;
      }
      sent += static_cast<int64_t>(frame.size());
    }
    WaitFor(bytes_read, sent);
  }
  state.SetBytesProcessed(sent);
  ::shutdown(pair.a.Get(), SHUT_RDWR);
  reader.join();
}
BENCHMARK(BM_RawOpenSsl)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vistrel

BENCHMARK_MAIN();
