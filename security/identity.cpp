#include "security/identity.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "platform/log.h"
#include "platform/unique_handle.h"

namespace vistrel {
namespace {

namespace fs = std::filesystem;

using UniqueKey = UniqueHandle<EVP_PKEY*, EVP_PKEY_free>;
using UniqueX509 = UniqueHandle<X509*, X509_free>;
using UniqueBio = UniqueHandle<BIO*, BIO_free_all>;
using UniqueName = UniqueHandle<X509_NAME*, X509_NAME_free>;
using UniqueBignum = UniqueHandle<BIGNUM*, BN_free>;
using UniquePkcs8 = UniqueHandle<PKCS8_PRIV_KEY_INFO*, PKCS8_PRIV_KEY_INFO_free>;

constexpr int64_t kSecondsPerDay = 24 * 60 * 60;
constexpr int kValidityYears = 20;

// A version 4 UUID printed lower-case 8-4-4-4-12.
std::optional<std::string> MakeUuidText() {
  uint8_t bytes[16];
  if (!RandomBytes(bytes, sizeof bytes)) return std::nullopt;
  bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);
  std::string hex = HexEncode(bytes);
  return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" +
         hex.substr(16, 4) + "-" + hex.substr(20, 12);
}

// A stored identity file: its bytes, nothing when it is absent (or empty, when
// an empty file holds nothing worth keeping), or the failure, logged. A file
// that exists but cannot be read must never be replaced: it may be what every
// paired phone knows this receiver by, and the failure may pass.
Result<std::optional<Bytes>> ReadStored(const fs::path& path, bool empty_is_absent) {
  Result<Bytes> bytes = ReadWholeFile(path);
  if (bytes) return std::optional<Bytes>(std::move(*bytes));
  const Error& error = bytes.error();
  if (error.code == ENOENT || (empty_is_absent && error.code == ENODATA)) {
    return std::optional<Bytes>();
  }
  LogLine("[identity] %s could not be read (%s); start-up stops so that it is not replaced\n",
          path.c_str(), error.text.c_str());
  return error;
}

// The key name becomes a file name; it must not reach outside the key folder.
bool UsableKeyName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\0", 2)) == std::string::npos;
}

bool IsP256Key(EVP_PKEY* key) {
  if (EVP_PKEY_get_base_id(key) != EVP_PKEY_EC) return false;
  char group[64] = {};
  size_t length = 0;
  if (EVP_PKEY_get_utf8_string_param(key, "group", group, sizeof group, &length) != 1) {
    return false;
  }
  return std::string_view(group, length) == "prime256v1" ||
         std::string_view(group, length) == "P-256";
}

UniqueKey ParseKeyPem(const Bytes& pem) {
  if (pem.size() > static_cast<size_t>(INT32_MAX)) return UniqueKey();
  UniqueBio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) return UniqueKey();
  UniqueKey key(PEM_read_bio_PrivateKey(bio.Get(), nullptr, nullptr, nullptr));
  if (key && !IsP256Key(key.Get())) key.Reset();
  return key;
}

// Writes the key where only this user can read it: the folder 0700, the file
// 0600 whatever the umask or an old temporary file would have given it.
bool StoreKeyPem(const fs::path& key_folder, const fs::path& key_path, EVP_PKEY* key) {
  std::error_code ec;
  fs::create_directories(key_folder, ec);
  if (ec) return false;
  fs::permissions(key_folder, fs::perms::owner_all, fs::perm_options::replace, ec);
  if (ec) return false;

  UniqueBio bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_PrivateKey(bio.Get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    return false;
  }
  char* data = nullptr;
  long size = BIO_get_mem_data(bio.Get(), &data);
  if (size <= 0 || data == nullptr) return false;

  fs::path temp = key_path;
  temp += ".tmp";
  fs::remove(temp, ec);  // a fresh temporary file is created with 0600 at most
  if (!ReplaceFileContents(key_path, std::string_view(data, static_cast<size_t>(size)))) {
    return false;
  }
  fs::permissions(key_path, fs::perms::owner_read | fs::perms::owner_write,
                  fs::perm_options::replace, ec);
  return !ec;
}

std::optional<Bytes> PrivateKeyPkcs8Der(EVP_PKEY* key) {
  UniquePkcs8 info(EVP_PKEY2PKCS8(key));
  if (!info) return std::nullopt;
  unsigned char* der = nullptr;
  int length = i2d_PKCS8_PRIV_KEY_INFO(info.Get(), &der);
  if (length <= 0 || der == nullptr) return std::nullopt;
  Bytes bytes(der, der + length);
  OPENSSL_clear_free(der, static_cast<size_t>(length));
  return bytes;
}

// A certificate DER that holds exactly one certificate for `key`.
bool CertificateMatchesKey(const Bytes& der, EVP_PKEY* key) {
  if (der.size() > static_cast<size_t>(INT32_MAX)) return false;
  const unsigned char* cursor = der.data();
  UniqueX509 cert(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
  if (!cert || cursor != der.data() + der.size()) return false;
  EVP_PKEY* public_key = X509_get0_pubkey(cert.Get());
  return public_key != nullptr && EVP_PKEY_eq(public_key, key) == 1;
}

std::optional<std::string> FormatX509Time(const tm& when) {
  char text[32];
  int n = std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02dZ", when.tm_year + 1900,
                        when.tm_mon + 1, when.tm_mday, when.tm_hour, when.tm_min, when.tm_sec);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof text) return std::nullopt;
  return std::string(text, static_cast<size_t>(n));
}

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

// ASN1_TIME_set_string_X509 picks UTCTime or GeneralizedTime by the year, as
// X.509 requires.
bool SetValidity(X509* cert) {
  std::optional<CertificateValidity> validity = CertificateValidityAt(UnixSeconds());
  return validity &&
         ASN1_TIME_set_string_X509(X509_getm_notBefore(cert), validity->not_before.c_str()) == 1 &&
         ASN1_TIME_set_string_X509(X509_getm_notAfter(cert), validity->not_after.c_str()) == 1;
}

bool SetRandomSerial(X509* cert) {
  uint8_t bytes[16];
  if (!RandomBytes(bytes, sizeof bytes)) return false;
  bytes[0] = static_cast<uint8_t>((bytes[0] & 0x7F) | 0x40);  // positive and never zero
  UniqueBignum number(BN_bin2bn(bytes, sizeof bytes, nullptr));
  if (!number) return false;
  return BN_to_ASN1_INTEGER(number.Get(), X509_get_serialNumber(cert)) != nullptr;
}

// CN = "Vistrel receiver <id>". The id may have been edited by hand, so its
// bytes go in as they are: PrintableString when they fit, else UTF8String.
UniqueName MakeSubject(const std::string& receiver_id) {
  std::string common_name = "Vistrel receiver " + receiver_id;
  if (common_name.size() > static_cast<size_t>(INT32_MAX)) return UniqueName();
  const auto* bytes = reinterpret_cast<const unsigned char*>(common_name.data());
  int length = static_cast<int>(common_name.size());
  int type = ASN1_PRINTABLE_type(bytes, length) == V_ASN1_PRINTABLESTRING ? V_ASN1_PRINTABLESTRING
                                                                          : V_ASN1_UTF8STRING;
  UniqueName name(X509_NAME_new());
  if (!name || X509_NAME_add_entry_by_NID(name.Get(), NID_commonName, type, bytes, length, -1,
                                          0) != 1) {
    return UniqueName();
  }
  return name;
}

std::optional<Bytes> MakeSelfSignedCertificate(EVP_PKEY* key, const std::string& receiver_id) {
  UniqueX509 cert(X509_new());
  UniqueName subject = MakeSubject(receiver_id);
  if (!cert || !subject) return std::nullopt;
  // Version 3 with no extensions, as a self-signing operation makes it.
  if (X509_set_version(cert.Get(), X509_VERSION_3) != 1 || !SetRandomSerial(cert.Get()) ||
      X509_set_subject_name(cert.Get(), subject.Get()) != 1 ||
      X509_set_issuer_name(cert.Get(), subject.Get()) != 1 || !SetValidity(cert.Get()) ||
      X509_set_pubkey(cert.Get(), key) != 1 || X509_sign(cert.Get(), key, EVP_sha256()) <= 0) {
    return std::nullopt;
  }
  unsigned char* der = nullptr;
  int length = i2d_X509(cert.Get(), &der);
  if (length <= 0 || der == nullptr) return std::nullopt;
  Bytes bytes(der, der + length);
  OPENSSL_free(der);
  return bytes;
}

}  // namespace

std::optional<CertificateValidity> CertificateValidityAt(int64_t now_seconds) {
  time_t start = static_cast<time_t>(now_seconds - kSecondsPerDay);
  tm not_before{};
  if (gmtime_r(&start, &not_before) == nullptr) return std::nullopt;
  tm not_after = not_before;
  not_after.tm_year += kValidityYears;
  // 29 February has no counterpart in a year that is not a leap year.
  if (not_after.tm_mon == 1 && not_after.tm_mday == 29 && !IsLeapYear(not_after.tm_year + 1900)) {
    not_after.tm_mday = 28;
  }
  std::optional<std::string> from = FormatX509Time(not_before);
  std::optional<std::string> to = FormatX509Time(not_after);
  if (!from || !to) return std::nullopt;
  return CertificateValidity{std::move(*from), std::move(*to)};
}

fs::path ReceiverIdentity::DefaultKeyFolder() { return AppDataFolder() / "keys"; }

Status ReceiverIdentity::LoadOrCreate(const fs::path& data_folder, const std::string& key_name,
                                      const fs::path& key_folder) {
  auto fail = [](int code, const std::string& what) { return Status(Error{code, what}); };
  if (!UsableKeyName(key_name)) return fail(EINVAL, "the key name " + key_name + " cannot name a file");
  const fs::path id_path = data_folder / "receiver_id.txt";
  const fs::path cert_path = data_folder / "receiver.cer";
  const fs::path key_path = key_folder / (key_name + ".pem");

  Result<std::optional<Bytes>> stored_id = ReadStored(id_path, /*empty_is_absent=*/true);
  if (!stored_id) return stored_id.error();
  std::string receiver_id;
  if (*stored_id) {
    receiver_id.assign((*stored_id)->begin(), (*stored_id)->end());
  } else {
    std::optional<std::string> made = MakeUuidText();
    if (!made || !WriteFileReplacing(id_path, AsBytes(*made))) {
      return fail(errno ? errno : EIO, "cannot write " + id_path.string());
    }
    receiver_id = std::move(*made);
  }

  // A new key only where there is none: a key file that cannot be read or
  // parsed may still be the user's key, and replacing it would unpair every phone.
  Result<std::optional<Bytes>> pem = ReadStored(key_path, /*empty_is_absent=*/false);
  if (!pem) return pem.error();
  UniqueKey key;
  if (*pem) {
    key = ParseKeyPem(**pem);
    if (!key) {
      LogLine(
          "[identity] %s holds no P-256 private key; start-up stops so that it is not "
          "replaced\n",
          key_path.c_str());
      return fail(EINVAL, key_path.string() + " holds no P-256 private key");
    }
  }
  const bool key_is_new = !key;
  if (key_is_new) {
    key = UniqueKey(EVP_EC_gen("P-256"));
    if (!key || !StoreKeyPem(key_folder, key_path, key.Get())) {
      return fail(errno ? errno : EIO, "cannot make or store the key " + key_path.string());
    }
  }

  // The certificate can be made again from the key, so an empty, damaged or
  // another key's certificate is replaced; one that cannot be read is not.
  std::optional<Bytes> certificate;
  if (!key_is_new) {
    Result<std::optional<Bytes>> stored = ReadStored(cert_path, /*empty_is_absent=*/true);
    if (!stored) return stored.error();
    if (*stored && CertificateMatchesKey(**stored, key.Get())) certificate = std::move(**stored);
  }
  if (!certificate) {
    certificate = MakeSelfSignedCertificate(key.Get(), receiver_id);
    if (!certificate || !WriteFileReplacing(cert_path, *certificate)) {
      return fail(errno ? errno : EIO, "cannot make or write " + cert_path.string());
    }
  }

  std::optional<Bytes> private_key = PrivateKeyPkcs8Der(key.Get());
  if (!private_key) return fail(EINVAL, "the key cannot be exported");

  receiver_id_ = std::move(receiver_id);
  certificate_der_ = std::move(*certificate);
  private_key_der_ = std::move(*private_key);
  fingerprint_ = Sha256(certificate_der_);
  return Ok();
}

}  // namespace vistrel
