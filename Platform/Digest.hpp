#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace platform {

// SHA-1 over OpenSSL's EVP interface.
class Sha1 {
 public:
  static constexpr std::size_t kDigestLength = 20;
  using Digest = std::array<std::uint8_t, kDigestLength>;

  Sha1();
  ~Sha1();
  Sha1(const Sha1&) = delete;
  Sha1& operator=(const Sha1&) = delete;

  void update(const void* data, std::size_t length);
  void update(std::string_view data) { update(data.data(), data.size()); }
  // Finishes the digest; the object starts a new one afterwards.
  Digest finish();

  static Digest digest(const void* data, std::size_t length);
  static std::string hexDigest(const void* data, std::size_t length);  // lower-case hex

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

std::string toHex(const std::uint8_t* bytes, std::size_t length);

}  // namespace platform
