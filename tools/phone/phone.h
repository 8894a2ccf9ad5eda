// The phone simulator: the phone's end of the link protocol, for tests and
// demos. It keeps its own identity, connects as the TLS client with ALPN
// "vstl/1", and computes the pairing code on its own side.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "link/framing.h"
#include "link/tls_channel.h"
#include "platform/unique_handle.h"
#include "security/identity.h"

namespace vistrel::phone {

// The fields of a "vstl://pair?..." URL, percent-decoded.
struct PairingUrl {
  std::string receiver_id;
  std::string receiver_name;
  std::string fingerprint_hex;
  std::string secret;  // base64url text as in the URL
  int64_t expiry = 0;
  std::vector<std::string> addresses;  // "a.b.c.d:port"
};
std::optional<PairingUrl> ParsePairingUrl(const std::string& url);

// One TLS connection to the receiver.
class PhoneLink {
 public:
  PhoneLink(UniqueFd socket, const TlsCredentials& credentials);
  [[nodiscard]] bool Establish(uint64_t deadline_ms) { return channel_.Establish(deadline_ms); }
  bool Send(uint8_t type, std::string_view payload) { return SendFrame(channel_, type, payload); }
  bool Send(uint8_t type, std::span<const uint8_t> payload) {
    return SendFrame(channel_, type, payload);
  }
  // The next frame within timeout_ms (session limits).
  Frame Read(uint64_t timeout_ms);
  // Ends the TCP connection without a goodbye, as a phone that walks away.
  void Drop();
  int socket() const { return socket_.Get(); }

 private:
  UniqueFd socket_;
  TlsChannel channel_;
};

class Phone {
 public:
  // Loads or makes the phone's key and certificate in `state_folder`.
  static std::unique_ptr<Phone> Create(const std::filesystem::path& state_folder);

  // TCP connect and TLS handshake; nothing on failure.
  std::unique_ptr<PhoneLink> Connect(const std::string& host, uint16_t port);
  // The phone's end of a USB tunnel, where it is the TLS server; nothing on failure.
  std::unique_ptr<PhoneLink> Answer(UniqueFd socket);
  const Digest& fingerprint() const { return identity_.fingerprint(); }
  std::string FingerprintHex() const { return identity_.FingerprintHex(); }

 private:
  Phone() = default;
  ReceiverIdentity identity_;  // the same kind of key and self-signed certificate
  TlsCredentials credentials_;
  TlsCredentials server_credentials_;  // for tunnels
};

// The code the phone shows: computed from the URL's fingerprint, the phone's
// own fingerprint and the secret.
std::optional<std::string> ExpectedCode(const PairingUrl& url, const Digest& phone_fingerprint);

struct PairOutcome {
  bool paired = false;
  std::string expected_code;  // computed by the phone
  std::string received_code;  // sent by the receiver (PAIR_CODE)
  std::string error;          // PAIR_RESULT "error", or what went wrong locally
  std::string result_json;    // the PAIR_RESULT payload
};

struct PairRequest {
  std::string device_name = "Simulated iPhone";
  std::string device_id = "sim-0001";
  std::string secret_override;  // non-empty: send this instead of the URL's secret
  std::string raw_pair_json;    // non-empty: send this PAIR payload verbatim
  uint64_t result_timeout_ms = 70000;
};

// Sends PAIR on an established link and waits for PAIR_CODE and PAIR_RESULT.
PairOutcome Pair(PhoneLink& link, const PairingUrl& url, const Digest& phone_fingerprint,
                 const PairRequest& request);

// The HELLO payload for 1280x720 H.264 at `fps`.
std::string HelloJson(const std::string& device_name, uint32_t fps);

}  // namespace vistrel::phone
