// The status server's request parser and router on arbitrary client bytes,
// read from a real socket as the server reads them.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "Infra/HttpServer/HttpParser.hpp"
#include "Infra/HttpServer/HttpRouter.hpp"
#include "Infra/HttpServer/HttpServer.hpp"

using namespace httpserver;

namespace {

HttpRouter& router() {
  static HttpRouter* shared = [] {
    auto* r = new HttpRouter();
    auto handler = [](const HttpRequest&) { return HttpResponse::ok(HttpResponseBody::json(ResponseAPI::status())); };
    r->register_("GET", "/status", handler);
    r->register_("GET", "/games/:code", handler);
    r->register_("GET", "/files/*/x", handler);
    r->register_("GET", "/deep/**/leaf", handler);
    r->register_(std::nullopt, "/any", handler);
    return r;
  }();
  return *shared;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || size > 60000) return 0;  // stays within one socket buffer
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 0;
  // The first byte picks tight bounds or the server's own.
  HttpParser::Limits limits;
  if (data[0] & 1) {
    limits.maxLineLength = 32;
    limits.maxHeaderCount = 4;
    limits.maxBodyLength = 16;
  }
  std::size_t offset = 0;
  while (offset < size - 1) {
    ssize_t sent = ::send(fds[1], data + 1 + offset, size - 1 - offset, MSG_NOSIGNAL);
    if (sent <= 0) break;
    offset += static_cast<std::size_t>(sent);
  }
  ::close(fds[1]);
  Socket socket(fds[0]);
  try {
    HttpRequest request = HttpParser::shared().readHttpRequest(socket, limits);
    if (request.body.size() > static_cast<std::size_t>(limits.maxBodyLength)) std::abort();
    if (request.headers.size() > limits.maxHeaderCount) std::abort();
    if (auto match = router().route(request.method, request.path)) {
      request.params = match->params;
      (void)match->handler(request).content();
    }
    (void)router().route(std::nullopt, request.path);
  } catch (const HttpParserError&) {
  } catch (const SocketError&) {
  }
  return 0;
}
