// The receiver's lasting identity: an id that phones remember, a persisted
// P-256 key, and a self-signed certificate for it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/result.h"
#include "security/bytes.h"

namespace vistrel {

// The certificate's validity for a certificate made at `now_seconds` (Unix
// time), as X.509 "YYYYMMDDHHMMSSZ" texts: from 24 hours earlier to the same
// calendar date and time 20 years after that (29 February becomes 28 February
// when that year has none).
struct CertificateValidity {
  std::string not_before;
  std::string not_after;
};
std::optional<CertificateValidity> CertificateValidityAt(int64_t now_seconds);

class ReceiverIdentity {
 public:
  // Keys live outside the data folder, as a per-user key store would keep them:
  // AppDataFolder()/keys, folder 0700, files 0600.
  static std::filesystem::path DefaultKeyFolder();

  // Loads what exists and makes what is missing (id, key, certificate); the
  // error says which file stopped it and why.
  [[nodiscard]] Status LoadOrCreate(const std::filesystem::path& data_folder,
                                    const std::string& key_name,
                                    const std::filesystem::path& key_folder = DefaultKeyFolder());

  // The exact bytes of receiver_id.txt (nothing trimmed).
  const std::string& receiver_id() const { return receiver_id_; }
  // DER of the self-signed X.509 certificate.
  const Bytes& certificate_der() const { return certificate_der_; }
  // DER (PKCS#8) of the private key, for the TLS credentials.
  const Bytes& private_key_der() const { return private_key_der_; }
  // SHA-256 of certificate_der().
  const Digest& fingerprint() const { return fingerprint_; }
  std::string FingerprintHex() const { return HexEncode(fingerprint_); }

 private:
  std::string receiver_id_;
  Bytes certificate_der_;
  Bytes private_key_der_;
  Digest fingerprint_{};
};

}  // namespace vistrel
