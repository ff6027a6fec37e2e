#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Infra/HttpServer/ConnectionLoop.hpp"
#include "Infra/HttpServer/HttpParser.hpp"
#include "Infra/HttpServer/HttpResponse.hpp"
#include "Infra/HttpServer/HttpRouter.hpp"
#include "Infra/HttpServer/OperationQueue.hpp"
#include "Infra/HttpServer/Socket.hpp"
#include "Platform/SerialQueue.hpp"

namespace httpserver {

// How long one client may take and how many may be connected to one port.
// Any page the user visits can reach the ports, so a silent or slow client
// must not hold a port for long, nor keep a fresh request waiting at all.
struct HttpServerOptions {
  std::chrono::milliseconds requestTimeout{5000};  // accept to the whole request read
  std::chrono::milliseconds writeTimeout{5000};    // the whole reply written
  std::chrono::milliseconds drainTime{200};        // waiting for the client's close
  std::size_t maxConnections = 1024;               // open at once per port
  HttpParser::Limits limits;
};

// The fixed reply of the status route.
struct ResponseAPI {
  static std::shared_ptr<const rapidjson::Value> status();
};

// The accept loop of one listening port: its clients are served together by
// one event loop on the operation's thread (ConnectionLoop), one request per
// connection.
class HttpServerHandler : public Operation {
 public:
  using Middleware = std::function<std::optional<HttpResponse>(const HttpRequest&)>;

  HttpServerHandler() = delete;
  HttpServerHandler(std::weak_ptr<HttpRouter> router, HttpRequestHandler notFoundHandler,
                    std::vector<Middleware> middleware, std::shared_ptr<Socket> socket,
                    HttpServerOptions options = {});

  void main() override;
  // Serves one client on the calling thread, blocking.
  void handleConnection(Socket& client);
  // The response to a request: middleware, then the router, then the
  // not-found handler, else 404.
  HttpResponse responseFor(HttpRequest& request);
  // The reply's bytes: status line, headers, empty line and body.
  static std::string render(const HttpResponse& response);
  static void respond(Socket& socket, const HttpResponse& response);

 private:
  std::weak_ptr<HttpRouter> router_;
  HttpRequestHandler notFoundHandler_;
  std::vector<Middleware> middleware_;
  std::shared_ptr<Socket> socket_;
  HttpServerOptions options_;
  std::unique_ptr<ConnectionLoop> loop_;
};

// One listening port per game on the loopback address, all answering
// GET /status. start, stop and clear run one at a time.
class HttpServer {
 public:
  static HttpServer& shared();

  explicit HttpServer(HttpServerOptions options = {});
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // The game code's low 16 bits, moved up by 19999 below 1024.
  static std::uint16_t port(std::uint32_t gameCode);

  // Throws the SocketError of a failed listen.
  void start(const std::string& listenAddress, std::uint32_t gameCode);
  void stop(std::uint32_t gameCode);
  void clear();

  bool isListening(std::uint16_t port);
  // Accept loops still running (stopped ones end on their own).
  std::size_t runningHandlers() { return handlerQueue_.operationCount(); }

 private:
  void onActor(const std::function<void()>& work);

  HttpServerOptions options_;
  OperationQueue handlerQueue_;
  std::map<std::uint16_t, std::shared_ptr<Socket>> sockets_;
  std::shared_ptr<HttpRouter> router_;
  platform::SerialQueue actor_;
};

}  // namespace httpserver
