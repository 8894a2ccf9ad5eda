#include "security/sha256_stream.h"

#include <openssl/evp.h>

#include "platform/unique_handle.h"

namespace vistrel {

struct Sha256Stream::Impl {
  UniqueHandle<EVP_MD_CTX*, EVP_MD_CTX_free> context;
  bool finished = false;
};

std::unique_ptr<Sha256Stream> Sha256Stream::Create() {
  auto impl = std::make_unique<Impl>();
  impl->context.Reset(EVP_MD_CTX_new());
  if (!impl->context || EVP_DigestInit_ex(impl->context.Get(), EVP_sha256(), nullptr) != 1) {
    return nullptr;
  }
  return std::unique_ptr<Sha256Stream>(new Sha256Stream(std::move(impl)));
}

Sha256Stream::Sha256Stream(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Sha256Stream::~Sha256Stream() = default;

bool Sha256Stream::Update(std::span<const uint8_t> bytes) {
  if (impl_->finished) return false;
  return bytes.empty() || EVP_DigestUpdate(impl_->context.Get(), bytes.data(), bytes.size()) == 1;
}

std::optional<Digest> Sha256Stream::Finish() {
  if (impl_->finished) return std::nullopt;
  impl_->finished = true;
  Digest digest{};
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(impl_->context.Get(), digest.data(), &length) != 1 ||
      length != digest.size()) {
    return std::nullopt;
  }
  return digest;
}

}  // namespace vistrel
