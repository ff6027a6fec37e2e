#include "JorvuVornHelper/Common/KTZAPI.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

#include "Common/Config/VornConfig.hpp"
#include "Common/Logger/TavloLogger.hpp"
#include "Common/Logger/VornLogger.hpp"
#include "Infra/HttpClient/HTTPClient.hpp"

namespace {

constexpr std::uint32_t appGameCode = 128000;

// Characters a tag may hold inside the record's path segment.
bool isTagSegmentText(std::string_view segment) {
  static const char* allowed = "-._~!$&'()*+,;=:@";
  return std::all_of(segment.begin(), segment.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || (c != '\0' && std::strchr(allowed, c) != nullptr);
  });
}

// A tag is one path segment's text, or several joined by "/" (such as
// "678e/dev"); each of those must then be a real name: not empty, not "."
// and not "..", so the address never leaves the catalogue's folder.
bool isTagText(const std::string& tag) {
  if (tag.find('/') == std::string::npos) return isTagSegmentText(tag);
  std::string_view rest = tag;
  for (;;) {
    const auto slash = rest.find('/');
    const std::string_view segment = rest.substr(0, slash);
    if (segment.empty() || segment == "." || segment == ".." || !isTagSegmentText(segment)) return false;
    if (slash == std::string_view::npos) return true;
    rest.remove_prefix(slash + 1);
  }
}

}  // namespace

ServiceHost KTZAPI::domain(std::uint32_t gameCode) {
  if (gameCode == appGameCode) return servicehosts::catalogueLive();
  if (!VornConfig::load()) return servicehosts::catalogueLive();  // no valid file
  auto game = VornConfig::gameLaunchInfo(gameCode);
  if (game && game->ktzAPI == VornConfig::Game::KTZAPI::test) return servicehosts::catalogueTest();
  return servicehosts::catalogueLive();
}

std::string KTZAPI::gameInfoURL(std::uint32_t gameCode, const std::string& obdTag) {
  if (!isTagText(obdTag)) throw KTZAPIError();
  std::string url = domain(gameCode).origin() + "/" + "game-info" + "/" + std::to_string(gameCode);
  if (!obdTag.empty()) url += "@" + obdTag;
  if (!HTTPClient::hostOf(url)) throw KTZAPIError();
  logInfo("gameInfoURL=" + url);
  return url;
}

GameInfo getGameInfoWithVantixToken(const std::string& url, const VantixToken& vantixToken) {
  HTTPClient client(URLSession::standard());
  HTTPResponse response =
      client.request(url, "GET", {{"x-ias-web-token", vantixToken.webtoken}}, std::nullopt, std::nullopt);
  logDebug("statusCode=" + std::to_string(response.statusCode));
  if (!response.data) throw TavloLoggerError(TavloLoggerError::Kind::invalidResponse);
  return GameInfo::decode(*response.data);
}

GameInfo load(const std::string& url, const std::optional<VantixToken>& vantixToken) {
  try {
    if (vantixToken) return getGameInfoWithVantixToken(url, *vantixToken);
    HTTPResponse response = HTTPClient(URLSession::standard()).perform(url, "GET", {}, std::nullopt, std::nullopt);
    if (response.statusCode != 200 || !response.data) throw SubError(SubError::URLSessionStatusCodeNot200{});
    try {
      return GameInfo::decode(*response.data);
    } catch (const std::exception&) {
      throw SubError(SubError::JsonDataDecodeFailed{});
    }
  } catch (const SubError& e) {
    if (e.is<SubError::JsonDataDecodeFailed>()) throw;
    throw SubError(SubError::URLSessionStatusCodeNot200{});
  } catch (const std::exception&) {
    throw SubError(SubError::URLSessionStatusCodeNot200{});
  }
}
