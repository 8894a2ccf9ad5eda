// The TLS 1.3 channel of one phone connection (OpenSSL underneath): mutual
// certificates without chain validation, ALPN "vstl/1", reads with absolute
// deadlines, and whole-buffer writes from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "security/bytes.h"

namespace vistrel {

enum class ReadResult { kOk = 0, kTimedOut = 1, kFailed = 2 };

// Something that delivers exactly n bytes before a deadline on the tick clock.
class ByteReader {
 public:
  virtual ~ByteReader() = default;
  virtual ReadResult ReadExact(uint8_t* buffer, size_t n, uint64_t deadline_ms) = 0;
};

// A message channel as the link logic sees it: reads from the connection's own
// thread, whole writes from any thread.
class Channel : public ByteReader {
 public:
  [[nodiscard]] virtual bool Establish(uint64_t deadline_ms) = 0;
  // DER of the peer's certificate; empty until Establish succeeded.
  virtual const Bytes& peer_certificate() const = 0;
  [[nodiscard]] virtual bool Write(std::span<const uint8_t> data) = 0;
  virtual bool HasBufferedInput() const = 0;
};

// Credentials of one side, made once at start-up from the identity.
class TlsCredentials {
 public:
  TlsCredentials();
  ~TlsCredentials();
  TlsCredentials(const TlsCredentials&) = delete;
  TlsCredentials& operator=(const TlsCredentials&) = delete;

  // `certificate_der` is X.509 DER, `private_key_der` PKCS#8 DER. Logs
  // "[tls] AcquireCredentialsHandle failed 0x%08lX\n" on failure.
  [[nodiscard]] bool Acquire(std::span<const uint8_t> certificate_der,
                             std::span<const uint8_t> private_key_der, bool client);
  bool acquired() const;
  bool client() const { return client_; }

 private:
  friend class TlsChannel;
  struct Impl;
  std::unique_ptr<Impl> impl_;
  bool client_ = false;
};

class TlsChannel final : public Channel {
 public:
  // `socket` is connected and stays owned by the caller.
  TlsChannel(int socket, const TlsCredentials& credentials);
  ~TlsChannel() override;
  TlsChannel(const TlsChannel&) = delete;
  TlsChannel& operator=(const TlsChannel&) = delete;

  // Handshake of the credentials' side plus the post-handshake checks.
  [[nodiscard]] bool Establish(uint64_t deadline_ms) override;
  // Only the connection's own thread reads.
  ReadResult ReadExact(uint8_t* buffer, size_t n, uint64_t deadline_ms) override;
  // Whole buffer as records; callable from any thread; one call is contiguous on the wire.
  [[nodiscard]] bool Write(std::span<const uint8_t> data) override;
  // Raw or decrypted bytes already received and not yet handed out.
  bool HasBufferedInput() const override;
  const Bytes& peer_certificate() const override { return peer_certificate_; }
  int socket() const { return socket_; }

 private:
  struct Impl;
  int socket_;
  const TlsCredentials& credentials_;
  std::unique_ptr<Impl> impl_;
  Bytes peer_certificate_;
};

}  // namespace vistrel
