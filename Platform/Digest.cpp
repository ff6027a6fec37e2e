#include "Platform/Digest.hpp"

#include <openssl/evp.h>

#include <stdexcept>

namespace platform {

struct Sha1::Impl {
  EVP_MD_CTX* ctx = nullptr;
};

Sha1::Sha1() : impl_(std::make_unique<Impl>()) {
  impl_->ctx = EVP_MD_CTX_new();
  if (impl_->ctx == nullptr || EVP_DigestInit_ex(impl_->ctx, EVP_sha1(), nullptr) != 1) {
    throw std::runtime_error("SHA-1 is not available");
  }
}

Sha1::~Sha1() { EVP_MD_CTX_free(impl_->ctx); }

void Sha1::update(const void* data, std::size_t length) {
  if (length > 0) EVP_DigestUpdate(impl_->ctx, data, length);
}

Sha1::Digest Sha1::finish() {
  Digest out{};
  unsigned int len = 0;
  EVP_DigestFinal_ex(impl_->ctx, out.data(), &len);
  EVP_DigestInit_ex(impl_->ctx, EVP_sha1(), nullptr);
  return out;
}

Sha1::Digest Sha1::digest(const void* data, std::size_t length) {
  Sha1 sha;
  sha.update(data, length);
  return sha.finish();
}

std::string Sha1::hexDigest(const void* data, std::size_t length) {
  Digest d = digest(data, length);
  return toHex(d.data(), d.size());
}

std::string toHex(const std::uint8_t* bytes, std::size_t length) {
  static const char* kDigits = "0123456789abcdef";
  std::string out;
  out.reserve(length * 2);
  for (std::size_t i = 0; i < length; ++i) {
    out.push_back(kDigits[bytes[i] >> 4]);
    out.push_back(kDigits[bytes[i] & 0xF]);
  }
  return out;
}

}  // namespace platform
