// Throw-away P-256 keys with self-signed certificates for TLS tests and benchmarks.
#pragma once

#include <string>

#include "security/bytes.h"

namespace vistrel::test {

struct TestIdentity {
  Bytes certificate_der;  // X.509
  Bytes private_key_der;  // PKCS#8
};

// A fresh key and a certificate valid from an hour ago for a day; empty fields
// when OpenSSL fails.
TestIdentity MakeTestIdentity(const std::string& common_name);

}  // namespace vistrel::test
