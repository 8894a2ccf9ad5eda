// TLS 1.3 on OpenSSL with memory BIOs: this file moves the bytes between the
// socket and the engine itself, so it controls every receive (deadlines, the
// hello capture) and every send (one frame contiguous on the wire).
#include "link/tls_channel.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string_view>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "platform/log.h"
#include "platform/unique_handle.h"

namespace vistrel {
namespace {

constexpr unsigned char kAlpnWire[] = {6, 'v', 's', 't', 'l', '/', '1'};
constexpr std::string_view kAlpnName = "vstl/1";
constexpr size_t kReceiveChunk = 16384;
constexpr size_t kHelloCaptureLimit = 8192;
// Plaintext handed to the engine per step of Write: four full records.
constexpr size_t kWriteChunk = 4 * 16384;
// A peer that takes nothing at all for this long is gone; without the limit a
// writer (possibly the UI thread) would wait on a full socket forever.
constexpr uint64_t kWriteStallMs = 10'000;

using SslCtxPtr = UniqueHandle<SSL_CTX*, SSL_CTX_free>;
using SslPtr = UniqueHandle<SSL*, SSL_free>;
using X509Ptr = UniqueHandle<X509*, X509_free>;
using PkeyPtr = UniqueHandle<EVP_PKEY*, EVP_PKEY_free>;
using Pkcs8Ptr = UniqueHandle<PKCS8_PRIV_KEY_INFO*, PKCS8_PRIV_KEY_INFO_free>;

// Trust is decided later by the certificate's fingerprint, never by a chain.
int AcceptAnyCertificate(int /*preverify_ok*/, X509_STORE_CTX* /*store*/) { return 1; }

// Chooses "vstl/1" when offered; otherwise the handshake goes on without ALPN
// so the post-handshake check can name the reason.
int SelectAlpn(SSL* /*ssl*/, const unsigned char** out, unsigned char* out_length,
               const unsigned char* offered, unsigned int offered_length, void* /*arg*/) {
  unsigned char* selected = nullptr;
  if (SSL_select_next_proto(&selected, out_length, kAlpnWire, sizeof(kAlpnWire), offered,
                            offered_length) != OPENSSL_NPN_NEGOTIATED) {
    return SSL_TLSEXT_ERR_NOACK;
  }
  *out = selected;
  return SSL_TLSEXT_ERR_OK;
}

// The code of the error that ended an engine call, or the engine's error kind
// when the queue holds nothing.
unsigned long EngineError(int ssl_error) {
  unsigned long code = ERR_peek_last_error();
  return code != 0 ? code : static_cast<unsigned long>(ssl_error);
}

// Milliseconds for poll, never more than int can hold.
int PollTimeout(uint64_t remaining_ms) {
  return static_cast<int>(std::min<uint64_t>(remaining_ms, INT_MAX));
}

// Follows TLS record boundaries (5-byte header with the length in its last two
// bytes) through a byte stream fed in arbitrary pieces.
class RecordTracker {
 public:
  void Feed(const uint8_t* data, size_t size) {
    while (size > 0) {
      if (body_left_ > 0) {
        const size_t take = std::min(body_left_, size);
        body_left_ -= take;
        data += take;
        size -= take;
        continue;
      }
      header_[header_seen_++] = *data++;
      --size;
      if (header_seen_ == sizeof(header_)) {
        body_left_ = (size_t{header_[3]} << 8) | header_[4];
        header_seen_ = 0;
      }
    }
  }
  bool InsideRecord() const { return header_seen_ > 0 || body_left_ > 0; }

 private:
  uint8_t header_[5] = {};
  size_t header_seen_ = 0;
  size_t body_left_ = 0;
};

}  // namespace

struct TlsCredentials::Impl {
  SslCtxPtr ctx;
};

TlsCredentials::TlsCredentials() = default;
TlsCredentials::~TlsCredentials() = default;

bool TlsCredentials::Acquire(std::span<const uint8_t> certificate_der,
                             std::span<const uint8_t> private_key_der, bool client) {
  client_ = client;
  impl_.reset();
  ERR_clear_error();
  auto fail = [] {
    // The line keeps its original wording word for word: log readers match it.
    LogLine("[tls] AcquireCredentialsHandle failed 0x%08lX\n", ERR_peek_last_error());
    return false;
  };
  if (certificate_der.size() > LONG_MAX || private_key_der.size() > LONG_MAX) return fail();

  const unsigned char* cursor = certificate_der.data();
  X509Ptr certificate(d2i_X509(nullptr, &cursor, static_cast<long>(certificate_der.size())));
  if (!certificate) return fail();
  cursor = private_key_der.data();
  Pkcs8Ptr key_info(
      d2i_PKCS8_PRIV_KEY_INFO(nullptr, &cursor, static_cast<long>(private_key_der.size())));
  if (!key_info) return fail();
  PkeyPtr key(EVP_PKCS82PKEY(key_info.Get()));
  if (!key) return fail();

  SslCtxPtr ctx(SSL_CTX_new(client ? TLS_client_method() : TLS_server_method()));
  if (!ctx) return fail();
  SSL_CTX* c = ctx.Get();
  if (SSL_CTX_set_min_proto_version(c, TLS1_3_VERSION) != 1 ||
      SSL_CTX_set_max_proto_version(c, TLS1_3_VERSION) != 1) {
    return fail();
  }
  SSL_CTX_set_options(c, SSL_OP_NO_TICKET | SSL_OP_NO_RENEGOTIATION);
  SSL_CTX_set_session_cache_mode(c, SSL_SESS_CACHE_OFF);
  if (SSL_CTX_set_num_tickets(c, 0) != 1) return fail();
  if (SSL_CTX_use_certificate(c, certificate.Get()) != 1 ||
      SSL_CTX_use_PrivateKey(c, key.Get()) != 1 || SSL_CTX_check_private_key(c) != 1) {
    return fail();
  }
  // Asks for the peer's certificate but lets a handshake without one finish,
  // so the check after it can log the reason.
  SSL_CTX_set_verify(c, SSL_VERIFY_PEER, AcceptAnyCertificate);
  if (client) {
    if (SSL_CTX_set_alpn_protos(c, kAlpnWire, sizeof(kAlpnWire)) != 0) return fail();
  } else {
    SSL_CTX_set_alpn_select_cb(c, SelectAlpn, nullptr);
  }
  impl_ = std::make_unique<Impl>();
  impl_->ctx = std::move(ctx);
  return true;
}

bool TlsCredentials::acquired() const { return impl_ != nullptr && impl_->ctx.Valid(); }

struct TlsChannel::Impl {
  // The engine and its two memory BIOs (owned by the SSL object). Every use of
  // them happens under ssl_mutex, and the mutex is never held while waiting.
  mutable std::mutex ssl_mutex;
  SslPtr ssl;           // guarded by ssl_mutex
  BIO* rbio = nullptr;  // guarded by ssl_mutex
  BIO* wbio = nullptr;  // guarded by ssl_mutex
  // Where the fed byte stream stands in its records. The engine keeps a
  // started record to itself without saying so; this tells HasBufferedInput.
  RecordTracker records;  // guarded by ssl_mutex

  // Reader side, used only by the thread that runs Establish and ReadExact.
  Bytes receive_buffer = Bytes(kReceiveChunk);
  Bytes plaintext;  // bytes of an unfinished ReadExact, handed out first next time
  std::atomic<bool> has_plaintext{false};
  Bytes hello_capture;
  bool established = false;

  // Serialises Write so one call's records stay together on the wire.
  std::mutex send_mutex;
  Bytes send_buffer;  // guarded by send_mutex

  void FeedEngine(const uint8_t* data, size_t size);
  void SaveHelloCapture() const;
  bool CheckNegotiated(Bytes& peer_certificate);
};

TlsChannel::TlsChannel(int socket, const TlsCredentials& credentials)
    : socket_(socket), credentials_(credentials), impl_(std::make_unique<Impl>()) {}

TlsChannel::~TlsChannel() = default;

namespace {

// 1 data arrived, 0 deadline reached, -1 closed or broken.
int ReceiveStep(int fd, uint64_t deadline_ms, uint8_t* buffer, size_t* received) {
  for (;;) {
    const uint64_t now = TickMs();
    if (now >= deadline_ms) return 0;
    pollfd entry{fd, POLLIN, 0};
    const int ready = ::poll(&entry, 1, PollTimeout(deadline_ms - now));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (ready == 0) continue;  // the clock decides at the top
    const ssize_t got = ::recv(fd, buffer, kReceiveChunk, MSG_DONTWAIT);
    if (got > 0) {
      *received = static_cast<size_t>(got);
      return 1;
    }
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
    return -1;
  }
}

// Sends every byte; waits for room while the peer takes data, giving up at the
// deadline or after kWriteStallMs without progress.
bool SendAll(int fd, const uint8_t* data, size_t size, uint64_t deadline_ms) {
  uint64_t last_progress = TickMs();
  while (size > 0) {
    const ssize_t sent = ::send(fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent > 0) {
      data += sent;
      size -= static_cast<size_t>(sent);
      last_progress = TickMs();
      continue;
    }
    if (sent == 0) return false;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
    const uint64_t now = TickMs();
    const uint64_t limit = std::min(deadline_ms, last_progress + kWriteStallMs);
    if (now >= limit) return false;
    pollfd entry{fd, POLLOUT, 0};
    if (::poll(&entry, 1, PollTimeout(limit - now)) < 0 && errno != EINTR) return false;
  }
  return true;
}

// Moves whatever the engine wrote into `out` (appended). Caller holds ssl_mutex.
void DrainEngineOutput(BIO* wbio, Bytes& out) {
  const size_t pending = BIO_ctrl_pending(wbio);
  if (pending == 0) return;
  const size_t start = out.size();
  out.resize(start + pending);
  const int got = BIO_read(wbio, out.data() + start, static_cast<int>(pending));
  out.resize(start + static_cast<size_t>(std::max(got, 0)));
}

}  // namespace

bool TlsChannel::Establish(uint64_t deadline_ms) {
  Impl& s = *impl_;
  const bool client = credentials_.client();
  if (!credentials_.acquired()) {
    LogLine(client ? "[tls] client handshake failed 0x%08lX\n" : "[tls] handshake failed 0x%08lX\n",
            0ul);
    return false;
  }
  {
    std::lock_guard lock(s.ssl_mutex);
    s.ssl.Reset(SSL_new(credentials_.impl_->ctx.Get()));
    BIO* rbio = BIO_new(BIO_s_mem());
    BIO* wbio = BIO_new(BIO_s_mem());
    if (!s.ssl || rbio == nullptr || wbio == nullptr) {
      BIO_free(rbio);
      BIO_free(wbio);
      LogLine(client ? "[tls] client handshake failed 0x%08lX\n"
                     : "[tls] handshake failed 0x%08lX\n",
              ERR_peek_last_error());
      return false;
    }
    // An empty input BIO means "wait for more", not end of stream.
    BIO_set_mem_eof_return(rbio, -1);
    BIO_set_mem_eof_return(wbio, -1);
    SSL_set_bio(s.ssl.Get(), rbio, wbio);
    s.rbio = rbio;
    s.wbio = wbio;
    if (client) {
      SSL_set_connect_state(s.ssl.Get());
    } else {
      SSL_set_accept_state(s.ssl.Get());
    }
  }

  Bytes output;
  for (;;) {
    int result = 0;
    int ssl_error = SSL_ERROR_NONE;
    unsigned long code = 0;
    output.clear();
    {
      std::lock_guard lock(s.ssl_mutex);
      ERR_clear_error();
      result = SSL_do_handshake(s.ssl.Get());
      if (result != 1) {
        ssl_error = SSL_get_error(s.ssl.Get(), result);
        code = EngineError(ssl_error);
      }
      DrainEngineOutput(s.wbio, output);
    }
    const bool failed = result != 1 && ssl_error != SSL_ERROR_WANT_READ;
    // Handshake messages must go out; an alert after a failure is best effort.
    if (!output.empty() && !SendAll(socket_, output.data(), output.size(), deadline_ms) &&
        !failed) {
      return false;
    }
    if (result == 1) break;
    if (failed) {
      if (client) {
        LogLine("[tls] client handshake failed 0x%08lX\n", code);
        return false;
      }
      LogLine("[tls] handshake failed 0x%08lX\n", code);
      s.SaveHelloCapture();
      return false;
    }
    size_t received = 0;
    if (ReceiveStep(socket_, deadline_ms, s.receive_buffer.data(), &received) != 1) return false;
    s.FeedEngine(s.receive_buffer.data(), received);
  }
  return s.CheckNegotiated(peer_certificate_);
}

void TlsChannel::Impl::FeedEngine(const uint8_t* data, size_t size) {
  if (!established && hello_capture.size() < kHelloCaptureLimit) {
    hello_capture.insert(hello_capture.end(), data, data + size);
  }
  std::lock_guard lock(ssl_mutex);
  records.Feed(data, size);
  // A memory BIO only fails when memory runs out; the handshake or read then
  // stalls and ends at its deadline.
  BIO_write(rbio, data, static_cast<int>(size));
}

void TlsChannel::Impl::SaveHelloCapture() const {
  const Bytes& capture = hello_capture;
  if (capture.empty()) return;
  const std::optional<std::filesystem::path> folder = RuntimeFolder();
  if (!folder) return;
  const std::filesystem::path path = *folder / "vstl_failed_clienthello.bin";
  if (!WritePrivateFile(path, AsText(capture))) return;
  LogLine("[tls] saved the client's hello (%zu bytes) to %s\n", capture.size(),
          path.string().c_str());
}

bool TlsChannel::Impl::CheckNegotiated(Bytes& peer_certificate) {
  std::lock_guard lock(ssl_mutex);
  SSL* ssl_object = ssl.Get();
  if (SSL_version(ssl_object) != TLS1_3_VERSION) {
    LogLine("[tls] rejected: not TLS 1.3\n");
    return false;
  }
  const unsigned char* alpn = nullptr;
  unsigned int alpn_length = 0;
  SSL_get0_alpn_selected(ssl_object, &alpn, &alpn_length);
  if (alpn == nullptr ||
      std::string_view(reinterpret_cast<const char*>(alpn), alpn_length) != kAlpnName) {
    LogLine("[tls] rejected: ALPN vstl/1 not negotiated\n");
    return false;
  }
  X509Ptr peer(SSL_get1_peer_certificate(ssl_object));
  const int size = peer ? i2d_X509(peer.Get(), nullptr) : 0;
  if (size <= 0) {
    LogLine("[tls] rejected: no peer certificate\n");
    return false;
  }
  Bytes der(static_cast<size_t>(size));
  unsigned char* cursor = der.data();
  if (i2d_X509(peer.Get(), &cursor) != size) {
    LogLine("[tls] rejected: no peer certificate\n");
    return false;
  }
  peer_certificate = std::move(der);
  hello_capture.clear();
  hello_capture.shrink_to_fit();
  established = true;
  return true;
}

ReadResult TlsChannel::ReadExact(uint8_t* buffer, size_t n, uint64_t deadline_ms) {
  Impl& s = *impl_;
  if (n == 0) return ReadResult::kOk;
  if (!s.established) return ReadResult::kFailed;
  size_t got = 0;
  if (!s.plaintext.empty()) {
    got = std::min(n, s.plaintext.size());
    std::memcpy(buffer, s.plaintext.data(), got);
    s.plaintext.erase(s.plaintext.begin(), s.plaintext.begin() + static_cast<ptrdiff_t>(got));
    s.has_plaintext = !s.plaintext.empty();
  }
  // Decrypts straight into the caller's buffer; an unfinished read parks what
  // it got in `plaintext` so nothing is lost.
  auto stop = [&](ReadResult result) {
    if (got > 0) {
      s.plaintext.insert(s.plaintext.begin(), buffer, buffer + got);
      s.has_plaintext = true;
    }
    return result;
  };
  while (got < n) {
    size_t read = 0;
    int ssl_error = SSL_ERROR_NONE;
    {
      std::lock_guard lock(s.ssl_mutex);
      ERR_clear_error();
      if (SSL_read_ex(s.ssl.Get(), buffer + got, n - got, &read) != 1) {
        ssl_error = SSL_get_error(s.ssl.Get(), 0);
      }
    }
    if (ssl_error == SSL_ERROR_NONE) {
      got += read;
      continue;
    }
    // A close alert, a bad record or anything unexpected ends the stream.
    if (ssl_error != SSL_ERROR_WANT_READ) return stop(ReadResult::kFailed);
    size_t received = 0;
    const int step = ReceiveStep(socket_, deadline_ms, s.receive_buffer.data(), &received);
    if (step == 0) return stop(ReadResult::kTimedOut);
    if (step < 0) return stop(ReadResult::kFailed);
    s.FeedEngine(s.receive_buffer.data(), received);
  }
  return ReadResult::kOk;
}

bool TlsChannel::Write(std::span<const uint8_t> data) {
  Impl& s = *impl_;
  if (data.empty()) return true;
  std::lock_guard send_lock(s.send_mutex);
  size_t offset = 0;
  while (offset < data.size()) {
    const size_t chunk = std::min(kWriteChunk, data.size() - offset);
    size_t written = 0;
    s.send_buffer.clear();
    {
      std::lock_guard lock(s.ssl_mutex);
      if (!s.established) return false;
      ERR_clear_error();
      // Also picks up anything the reader's engine calls left behind (such as
      // a key update answer), in the order the engine produced it.
      const bool ok = SSL_write_ex(s.ssl.Get(), data.data() + offset, chunk, &written) == 1;
      DrainEngineOutput(s.wbio, s.send_buffer);
      if (!ok || written == 0) return false;
    }
    if (!SendAll(socket_, s.send_buffer.data(), s.send_buffer.size(), UINT64_MAX)) return false;
    offset += written;
  }
  return true;
}

bool TlsChannel::HasBufferedInput() const {
  if (impl_->has_plaintext) return true;
  std::lock_guard lock(impl_->ssl_mutex);
  if (!impl_->ssl) return false;
  return impl_->records.InsideRecord() || SSL_has_pending(impl_->ssl.Get()) == 1 ||
         BIO_ctrl_pending(impl_->rbio) > 0;
}

}  // namespace vistrel
