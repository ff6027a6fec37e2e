#include "Infra/HttpClient/HTTPClient.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <memory>
#include <mutex>

#include "Common/Logger/VornLogger.hpp"

void httpGlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// ---- errors ----

namespace {
std::string errorText(HTTPClientError::Kind kind, const std::string& underlying, int statusCode) {
  using Kind = HTTPClientError::Kind;
  switch (kind) {
    case Kind::networkError: return "networkError(" + underlying + ")";
    case Kind::statusCodeError: return "statusCodeError(" + std::to_string(statusCode) + ")";
    case Kind::invalidURL: return "invalidURL";
    case Kind::invalidStatusCode: return "invalidStatusCode";
  }
  return "unknown";
}
}  // namespace

HTTPClientError::HTTPClientError(Kind kind, std::string underlying, int statusCode)
    : std::runtime_error(errorText(kind, underlying, statusCode)),
      kind_(kind),
      underlying_(std::move(underlying)),
      statusCode_(statusCode) {}

HTTPClientError HTTPClientError::networkError(std::string underlying) {
  return HTTPClientError(Kind::networkError, std::move(underlying), 0);
}
HTTPClientError HTTPClientError::statusCodeError(int code) { return HTTPClientError(Kind::statusCodeError, "", code); }
HTTPClientError HTTPClientError::invalidURL() { return HTTPClientError(Kind::invalidURL, "", 0); }
HTTPClientError HTTPClientError::invalidStatusCode() { return HTTPClientError(Kind::invalidStatusCode, "", 0); }

std::string HTTPClientError::text() const { return errorText(kind_, underlying_, statusCode_); }

std::string HTTPClientError::localizedDescription() const {
  switch (kind_) {
    case Kind::networkError: return "The request failed: " + underlying_;
    case Kind::statusCodeError: return "The server answered with status " + std::to_string(statusCode_) + ".";
    case Kind::invalidURL: return "The address is not a valid URL.";
    case Kind::invalidStatusCode: return "The answer is not an HTTP response.";
  }
  return "Unknown error.";
}

// ---- cookies and header texts ----

bool HTTPClient::isSafeHeaderText(const std::string& text) {
  return text.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

bool HTTPClient::isToken(const std::string& text) {
  if (text.empty()) return false;
  static constexpr std::string_view separators = "()<>@,;:\\\"/[]?={} \t";
  return std::all_of(text.begin(), text.end(), [](char c) {
    auto u = static_cast<unsigned char>(c);
    return u > 0x20 && u < 0x7F && separators.find(c) == std::string_view::npos;
  });
}

bool HTTPClient::isCookieValue(const std::string& value) {
  // Blanks are allowed ("macOS 14.2.1"); a semicolon would end the pair and
  // control characters could split the header.
  return std::all_of(value.begin(), value.end(), [](char c) {
    auto u = static_cast<unsigned char>(c);
    return u >= 0x20 && u != 0x7F && c != ';';
  });
}

std::optional<std::string> HTTPClient::cookieHeader(const std::optional<std::string>& host,
                                                    const std::optional<HTTPCookies>& cookies) {
  if (!host || host->empty() || !cookies) return std::nullopt;
  std::string header;
  for (const auto& [name, value] : *cookies) {
    if (!isToken(name) || !isCookieValue(value)) continue;  // cannot be a cookie
    if (!header.empty()) header += "; ";
    header += name + "=" + value;
  }
  if (header.empty()) return std::nullopt;
  return header;
}

std::optional<std::string> HTTPClient::hostOf(const std::string& url) {
  CURLU* u = curl_url();
  if (u == nullptr) return std::nullopt;
  std::optional<std::string> host;
  if (curl_url_set(u, CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK) {
    char* h = nullptr;
    if (curl_url_get(u, CURLUPART_HOST, &h, 0) == CURLUE_OK && h != nullptr) {
      if (*h != '\0') host = std::string(h);
      curl_free(h);
    }
  }
  curl_url_cleanup(u);
  return host;
}

// ---- the request ----

namespace {

struct Transfer {
  std::string body;
  bool tooLarge = false;
  std::vector<std::pair<std::string, std::string>> headers;
};

size_t onBody(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  if (size * count > HTTPClient::maxResponseBody - t->body.size()) {
    t->tooLarge = true;
    return 0;  // libcurl ends the transfer
  }
  t->body.append(data, size * count);
  return size * count;
}

size_t onHeader(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  std::string line(data, size * count);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  if (line.rfind("HTTP/", 0) == 0) {
    t->headers.clear();  // a new response (after a redirect or a 100 Continue)
  } else if (auto colon = line.find(':'); colon != std::string::npos) {
    std::string value = line.substr(colon + 1);
    auto first = value.find_first_not_of(" \t");
    value = first == std::string::npos ? "" : value.substr(first);
    t->headers.emplace_back(line.substr(0, colon), value);
  }
  return size * count;
}

struct CurlDeleter {
  void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct SlistDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

bool isPlainURLText(const std::string& url) {
  return !url.empty() && std::all_of(url.begin(), url.end(), [](char c) {
    auto u = static_cast<unsigned char>(c);
    return u > 0x20 && u < 0x7F;
  });
}

[[noreturn]] void fail(const HTTPClientError& error) {
  if (error.kind() == HTTPClientError::Kind::networkError) throw error;
  throw HTTPClientError::networkError(error.text());
}

// Every option is required: one that libcurl refuses (a protocol it was built
// without, TLS verification it cannot do) ends the request before anything is
// sent, rather than sending it without that option.
template <typename T>
void setOption(CURL* c, CURLoption option, T value, const char* name) {
  const CURLcode rc = curl_easy_setopt(c, option, value);
  if (rc != CURLE_OK) fail(HTTPClientError::networkError(std::string(name) + " refused: " + curl_easy_strerror(rc)));
}

using HeaderList = std::unique_ptr<curl_slist, SlistDeleter>;

void setTransferOptions(CURL* c, const URLSession& session, const std::string& url, char* errbuf,
                        Transfer& transfer) {
  // Idle limit: the session's request time-out, and never more than the
  // request's own 60 seconds.
  const auto idle = std::min<std::chrono::milliseconds>(session.requestTimeout, std::chrono::seconds(60));
  const long idleSeconds = std::max<long>(1, static_cast<long>((idle.count() + 999) / 1000));

  setOption(c, CURLOPT_ERRORBUFFER, errbuf, "CURLOPT_ERRORBUFFER");
  setOption(c, CURLOPT_URL, url.c_str(), "CURLOPT_URL");
  setOption(c, CURLOPT_PROTOCOLS_STR, session.allowedProtocols.c_str(), "CURLOPT_PROTOCOLS_STR");
  setOption(c, CURLOPT_REDIR_PROTOCOLS_STR, session.allowedProtocols.c_str(), "CURLOPT_REDIR_PROTOCOLS_STR");
  setOption(c, CURLOPT_FOLLOWLOCATION, 1L, "CURLOPT_FOLLOWLOCATION");
  setOption(c, CURLOPT_MAXREDIRS, 16L, "CURLOPT_MAXREDIRS");
  setOption(c, CURLOPT_SSL_VERIFYPEER, 1L, "CURLOPT_SSL_VERIFYPEER");
  setOption(c, CURLOPT_SSL_VERIFYHOST, 2L, "CURLOPT_SSL_VERIFYHOST");
  setOption(c, CURLOPT_NOSIGNAL, 1L, "CURLOPT_NOSIGNAL");
  setOption(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(idle.count()), "CURLOPT_CONNECTTIMEOUT_MS");
  setOption(c, CURLOPT_LOW_SPEED_LIMIT, 1L, "CURLOPT_LOW_SPEED_LIMIT");
  setOption(c, CURLOPT_LOW_SPEED_TIME, idleSeconds, "CURLOPT_LOW_SPEED_TIME");
  setOption(c, CURLOPT_TIMEOUT_MS, static_cast<long>(session.resourceTimeout.count()), "CURLOPT_TIMEOUT_MS");
  setOption(c, CURLOPT_WRITEFUNCTION, onBody, "CURLOPT_WRITEFUNCTION");
  setOption(c, CURLOPT_WRITEDATA, static_cast<void*>(&transfer), "CURLOPT_WRITEDATA");
  setOption(c, CURLOPT_HEADERFUNCTION, onHeader, "CURLOPT_HEADERFUNCTION");
  setOption(c, CURLOPT_HEADERDATA, static_cast<void*>(&transfer), "CURLOPT_HEADERDATA");
  if (session.cookieHandling) setOption(c, CURLOPT_COOKIEFILE, "", "CURLOPT_COOKIEFILE");
}

void setMethodOptions(CURL* c, const std::string& method, const std::optional<std::string>& requestBody) {
  if (method == "GET") {
    setOption(c, CURLOPT_HTTPGET, 1L, "CURLOPT_HTTPGET");
  } else if (method == "HEAD") {
    setOption(c, CURLOPT_NOBODY, 1L, "CURLOPT_NOBODY");
  } else if (method == "POST") {
    setOption(c, CURLOPT_POST, 1L, "CURLOPT_POST");
  } else {
    setOption(c, CURLOPT_CUSTOMREQUEST, method.c_str(), "CURLOPT_CUSTOMREQUEST");
  }
  if (requestBody) {
    setOption(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(requestBody->size()),
              "CURLOPT_POSTFIELDSIZE_LARGE");
    setOption(c, CURLOPT_COPYPOSTFIELDS, requestBody->c_str(), "CURLOPT_COPYPOSTFIELDS");
    if (method != "POST") setOption(c, CURLOPT_CUSTOMREQUEST, method.c_str(), "CURLOPT_CUSTOMREQUEST");
  } else if (method == "POST") {
    setOption(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(0), "CURLOPT_POSTFIELDSIZE_LARGE");
    setOption(c, CURLOPT_POSTFIELDS, "", "CURLOPT_POSTFIELDS");
  }
}

// Only the caller's own fields: libcurl's default Accept and Expect are
// taken away.
HeaderList headerList(const HTTPHeaders& headers, const std::optional<std::string>& cookie) {
  HeaderList list;
  auto add = [&list](const std::string& line) {
    curl_slist* longer = curl_slist_append(list.get(), line.c_str());
    if (longer == nullptr) fail(HTTPClientError::networkError("out of memory for the header list"));
    if (!list) list.reset(longer);  // later entries go behind the first
  };
  add("Accept:");
  add("Expect:");
  for (const auto& [name, value] : headers) add(value.empty() ? name + ";" : name + ": " + value);
  if (cookie) add("Cookie: " + *cookie);
  return list;
}

}  // namespace

HTTPResponse HTTPClient::request(const std::string& url, const std::string& method, const HTTPHeaders& headers,
                                 const std::optional<std::string>& requestBody,
                                 const std::optional<HTTPCookies>& cookies) const {
  try {
    return perform(url, method, headers, requestBody, cookies);
  } catch (const HTTPClientError& e) {
    logError("request failed, err=" + e.underlying());
    throw;
  }
}

HTTPResponse HTTPClient::perform(const std::string& url, const std::string& method, const HTTPHeaders& headers,
                                 const std::optional<std::string>& requestBody,
                                 const std::optional<HTTPCookies>& cookies) const {
  // Nothing that could split a request line or a header is sent.
  if (!isPlainURLText(url)) fail(HTTPClientError::networkError("invalid URL: unsafe characters"));
  if (!isToken(method)) fail(HTTPClientError::networkError("invalid method"));
  for (const auto& [name, value] : headers) {
    if (!isToken(name) || !isSafeHeaderText(value)) {
      fail(HTTPClientError::networkError("invalid header field " + (isSafeHeaderText(name) ? name : "")));
    }
  }

  std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
  if (!curl) fail(HTTPClientError::networkError("curl_easy_init failed"));
  CURL* c = curl.get();
  Transfer transfer;
  char errbuf[CURL_ERROR_SIZE] = {0};
  setTransferOptions(c, session_, url, errbuf, transfer);
  setMethodOptions(c, method, requestBody);
  HeaderList list = headerList(headers, cookieHeader(hostOf(url), cookies));
  setOption(c, CURLOPT_HTTPHEADER, list.get(), "CURLOPT_HTTPHEADER");

  CURLcode rc = curl_easy_perform(c);
  if (rc != CURLE_OK) {
    if (transfer.tooLarge) {
      fail(HTTPClientError::networkError("response body larger than " + std::to_string(maxResponseBody) + " bytes"));
    }
    fail(HTTPClientError::networkError(errbuf[0] != '\0' ? std::string(errbuf) : curl_easy_strerror(rc)));
  }
  long code = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &code);
  if (code <= 0) fail(HTTPClientError::invalidStatusCode());

  HTTPResponse out;
  out.statusCode = static_cast<int>(code);
  out.response.statusCode = code;
  char* effective = nullptr;
  if (curl_easy_getinfo(c, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective) out.response.url = effective;
  out.response.headerFields = std::move(transfer.headers);
  out.data = std::move(transfer.body);
  return out;
}
