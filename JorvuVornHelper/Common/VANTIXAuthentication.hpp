#pragma once
// Sign-in tickets: exchanges the visitor's web token for a ticket at the
// publisher's sign-in ticket service, for games that take one on their
// command line.
#include <cstdint>
#include <stdexcept>
#include <string>

#include "Common/Protocol/VantixToken.hpp"


class VANTIXAuthenticationError : public std::runtime_error {
 public:
  enum class Kind { statusCodeFailure, jsonParseFailure, invalidUrl, invalidResponse };

  static VANTIXAuthenticationError statusCodeFailure(std::int64_t code);
  static VANTIXAuthenticationError jsonParseFailure();
  static VANTIXAuthenticationError invalidUrl();
  static VANTIXAuthenticationError invalidResponse();

  Kind kind() const { return kind_; }
  // The service's error code (statusCodeFailure only).
  std::int64_t code() const { return code_; }
  bool operator==(const VANTIXAuthenticationError& o) const { return kind_ == o.kind_ && code_ == o.code_; }

 private:
  VANTIXAuthenticationError(Kind kind, std::int64_t code);
  Kind kind_;
  std::int64_t code_ = 0;
};

class VANTIXAuthentication {
 public:
  // The ticket for the token. Throws VANTIXAuthenticationError,
  // HTTPClientError (network failures; also a web token holding CR, LF or
  // NUL, which is never sent) or jsoncoding::DecodingError (a body that is
  // not JSON).
  static std::string receiveTicketByAPICall(const VantixToken& vantixToken);

  // "<ticket host>/ias/live/public/v1/issue/ticket/by-web-token"
  static std::string ticketURL();
  // The request body: {"gid":"<gid>"}.
  static std::string requestBody(const VantixToken& vantixToken);
};
