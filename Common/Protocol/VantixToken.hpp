#pragma once
// The visitor's sign-in token; both texts are opaque to the system.
#include <optional>
#include <string>
#include <string_view>

#include "Common/Protocol/PayloadCoding.hpp"

struct VantixToken {
  using record_tag = void;
  std::string gid;
  std::string webtoken;

  template <class S, class F>
  static void fields(S& s, F&& f) {
    f("gid", s.gid);
    f("webtoken", s.webtoken);
  }
  bool operator==(const VantixToken&) const = default;

  std::string encode() const { return payload::encode(*this); }
  // Throws jsoncoding::DecodingError.
  static VantixToken decode(std::string_view text) { return payload::decode<VantixToken>(text, "VantixToken"); }
  static std::optional<VantixToken> tryDecode(std::string_view text, std::string* error = nullptr) {
    return payload::tryDecode<VantixToken>(text, "VantixToken", error);
  }
};

JORVU_PAYLOAD_HASH(VantixToken);
