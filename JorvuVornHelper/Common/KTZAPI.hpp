#pragma once
// The address of a game's catalogue record (live or test catalogue service,
// chosen per game by the configuration file) and the loading of JSON records:
// the catalogue record fetched with or without the visitor's web token, and
// the worker's texts decoded for the service.
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "Common/Json/JsonReading.hpp"
#include "Common/Protocol/SubError.hpp"
#include "Common/Protocol/VantixToken.hpp"
#include "Infra/HttpClient/ServiceHosts.hpp"
#include "JorvuVornHelper/Common/GameInfo.hpp"

class KTZAPIError : public std::runtime_error {
 public:
  enum class Kind { initFailure };
  KTZAPIError() : std::runtime_error("initFailure") {}
  Kind kind() const { return Kind::initFailure; }
};

class KTZAPI {
 public:
  // "<host>/game-info/<code>" followed by "@<tag>" when the tag is not empty.
  // Throws KTZAPIError when the tag cannot be part of the path (CR, LF, NUL,
  // "?", "%", blanks and the like are refused; "/" only between segments that
  // are neither empty, "." nor ".."; nothing is sent then).
  static std::string gameInfoURL(std::uint32_t gameCode, const std::string& obdTag);

  // The catalogue host for a game: the app itself (128000) always live,
  // otherwise as the configuration file says (live when it says nothing).
  static ServiceHost domain(std::uint32_t gameCode);
};

// Fetches and decodes the catalogue record. Throws SubError:
// JsonDataDecodeFailed for a body that is no record (fetched without a
// token), URLSessionStatusCodeNot200 for every other failure.
GameInfo load(const std::string& url, const std::optional<VantixToken>& vantixToken);

// The token path: GET with the one header "x-ias-web-token"; the body is
// decoded whatever the status. Throws what fails (HTTPClientError,
// TavloLoggerError::invalidResponse, jsoncoding::DecodingError).
GameInfo getGameInfoWithVantixToken(const std::string& url, const VantixToken& vantixToken);

// Decodes a JSON text into a record; any failure throws
// SubError::JsonDataDecodeFailed.
template <class T>
T load(std::string_view json) {
  try {
    return T::decode(json);
  } catch (const std::exception&) {
    throw SubError(SubError::JsonDataDecodeFailed{});
  }
}
