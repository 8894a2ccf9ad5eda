#include "tests/support/test_certs.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include "platform/unique_handle.h"

namespace vistrel::test {
namespace {

using PkeyPtr = UniqueHandle<EVP_PKEY*, EVP_PKEY_free>;
using X509Ptr = UniqueHandle<X509*, X509_free>;
using Pkcs8Ptr = UniqueHandle<PKCS8_PRIV_KEY_INFO*, PKCS8_PRIV_KEY_INFO_free>;

template <typename T, typename Encoder>
Bytes Encode(T* object, Encoder encode) {
  const int size = encode(object, nullptr);
  if (size <= 0) return {};
  Bytes out(static_cast<size_t>(size));
  unsigned char* cursor = out.data();
  if (encode(object, &cursor) != size) return {};
  return out;
}

}  // namespace

TestIdentity MakeTestIdentity(const std::string& common_name) {
  PkeyPtr key(EVP_EC_gen("P-256"));
  X509Ptr certificate(X509_new());
  if (!key || !certificate) return {};
  X509* cert = certificate.Get();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>(common_name.c_str()), -1,
                             -1, 0);
  X509_set_issuer_name(cert, name);
  if (X509_set_pubkey(cert, key.Get()) != 1 || X509_sign(cert, key.Get(), EVP_sha256()) <= 0) {
    return {};
  }
  Pkcs8Ptr key_info(EVP_PKEY2PKCS8(key.Get()));
  if (!key_info) return {};
  TestIdentity identity;
  identity.certificate_der = Encode(cert, i2d_X509);
  identity.private_key_der = Encode(key_info.Get(), i2d_PKCS8_PRIV_KEY_INFO);
  return identity;
}

}  // namespace vistrel::test
