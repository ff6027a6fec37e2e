#include "Infra/HttpServer/HttpServer.hpp"

#include <cerrno>
#include <exception>

#include "Common/Logger/VornLogger.hpp"

namespace httpserver {

std::shared_ptr<const rapidjson::Value> ResponseAPI::status() {
  // Built once and never destroyed, so that a connection served while the
  // process exits still finds it.
  static const auto* value = [] {
    auto document = std::make_shared<rapidjson::Document>();
    document->SetObject();
    auto& allocator = document->GetAllocator();
    document->AddMember("product", "KTZ", allocator);
    document->AddMember("status", "running", allocator);
    return new std::shared_ptr<const rapidjson::Value>(document, document.get());
  }();
  return *value;
}

// MARK: - HttpServerHandler

namespace {

// Writes a response body straight to the client socket.
class InnerWriteContext : public HttpResponseBodyWriter {
 public:
  explicit InnerWriteContext(Socket& socket) : socket_(socket) {}
  void write(std::span<const std::uint8_t> bytes) override { socket_.writeUInt8(bytes); }

 private:
  Socket& socket_;
};

// Accept errors after which the next accept may well succeed at once.
bool isPassingAcceptError(int code) {
  switch (code) {
    case ECONNABORTED: case EINTR: case EAGAIN: case EPROTO: case EPERM: case ENETDOWN:
    case ENOPROTOOPT: case EHOSTDOWN: case ENONET: case EHOSTUNREACH: case EOPNOTSUPP:
    case ENETUNREACH: case ETIMEDOUT:
      return true;
    default:
      return false;
  }
}

std::string portText(const std::optional<std::uint16_t>& port) {
  return port ? std::to_string(*port) : std::string("nil");
}

}  // namespace

HttpServerHandler::HttpServerHandler(std::weak_ptr<HttpRouter> router, HttpRequestHandler notFoundHandler,
                                     std::vector<Middleware> middleware, std::shared_ptr<Socket> socket,
                                     HttpServerOptions options)
    : router_(std::move(router)),
      notFoundHandler_(std::move(notFoundHandler)),
      middleware_(std::move(middleware)),
      socket_(std::move(socket)),
      options_(options) {}

void HttpServerHandler::main() {
  std::optional<std::uint16_t> port;
  try {
    port = socket_->port();
  } catch (const SocketError&) {
  }
  logDebug(portText(port) + " port listening.");

  // Only a stop or clear ends the loop: a failed connection or a passing
  // accept error must not leave the port registered but deaf. Running out of
  // descriptors or memory backs off, a stop cutting the wait short.
  std::chrono::milliseconds backoff{0};
  while (!isCancelled()) {
    std::unique_ptr<Socket> client;
    try {
      client = socket_->acceptClientSocket();
      backoff = std::chrono::milliseconds{0};
    } catch (const SocketError& error) {
      if (socket_->state() == SocketState::stopped) break;
      logDebug(portText(port) + " accept failed. " + error.what());
      if (isPassingAcceptError(error.code())) continue;
      backoff = std::min(std::max(backoff * 2, std::chrono::milliseconds{10}), std::chrono::milliseconds{1000});
      socket_->waitUntilClosed(backoff);
      continue;
    }
    try {
      handleConnection(*client);
    } catch (const std::exception& error) {
      logDebug(portText(port) + " connection failed. " + error.what());
    } catch (...) {
      logDebug(portText(port) + " connection failed.");
    }
    client->close();
  }
  logDebug(portText(port) + " listening stopped.");
}

void HttpServerHandler::handleConnection(Socket& client) {
  client.setDeadline(Socket::Clock::now() + options_.requestTimeout);
  HttpRequest request = HttpParser::shared().readHttpRequest(client, options_.limits);
  request.address = client.peername();

  std::optional<HttpResponse> response;
  for (const auto& middleware : middleware_) {
    if ((response = middleware(request))) break;
  }
  if (!response) {
    if (auto router = router_.lock()) {
      if (auto match = router->route(request.method, request.path)) {
        request.params = std::move(match->params);
        response = match->handler(request);
      }
    }
  }
  if (!response && notFoundHandler_) response = notFoundHandler_(request);
  if (!response) response = HttpResponse::notFound();

  client.setDeadline(Socket::Clock::now() + options_.writeTimeout);
  respond(client, *response);
  // Whatever the client sent beyond the request must not turn the close into
  // a reset that destroys the reply on its way.
  client.finishSending(options_.drainTime);
  client.close();
}

void HttpServerHandler::respond(Socket& socket, const HttpResponse& response) {
  std::string header = "HTTP/1.1 " + std::to_string(response.statusCode()) + " " + response.reasonPhrase() + "\r\n";
  auto [length, writer] = response.content();
  if (length >= 0) header += "Content-Length: " + std::to_string(length) + "\r\n";
  for (const auto& [name, value] : response.headers()) header += name + ": " + value + "\r\n";
  header += "\r\n";
  socket.writeUTF8(header);
  if (writer) {
    InnerWriteContext context(socket);
    writer(context);
    logDebug("[response]\r\n" + header);
  }
}

// MARK: - HttpServer

HttpServer& HttpServer::shared() {
  static HttpServer server;
  return server;
}

HttpServer::HttpServer(HttpServerOptions options)
    : options_(options), router_(std::make_shared<HttpRouter>()), actor_("HttpServer") {}

HttpServer::~HttpServer() {
  clear();
  handlerQueue_.waitUntilAllOperationsAreFinished();
}

std::uint16_t HttpServer::port(std::uint32_t gameCode) {
  auto port = static_cast<std::uint16_t>(gameCode & 0xFFFF);
  return port < 1024 ? static_cast<std::uint16_t>(port + 19999) : port;
}

void HttpServer::onActor(const std::function<void()>& work) {
  std::exception_ptr failure;
  actor_.sync([&] {
    try {
      work();
    } catch (...) {
      failure = std::current_exception();
    }
  });
  if (failure) std::rethrow_exception(failure);
}

void HttpServer::start(const std::string& listenAddress, std::uint32_t gameCode) {
  onActor([&] {
    std::uint16_t gamePort = port(gameCode);
    if (sockets_.count(gamePort)) {
      logDebug(std::to_string(gamePort) + " already binding");
      return;
    }
    std::shared_ptr<Socket> socket = Socket::createSocketForListen(listenAddress, gamePort);
    sockets_[gamePort] = socket;
    router_->register_("GET", "/status", [](const HttpRequest&) {
      return HttpResponse::ok(HttpResponseBody::json(ResponseAPI::status()));
    });
    handlerQueue_.addOperation(std::make_shared<HttpServerHandler>(router_, nullptr,
                                                                   std::vector<HttpServerHandler::Middleware>{},
                                                                   socket, options_));
  });
}

void HttpServer::stop(std::uint32_t gameCode) {
  onActor([&] {
    std::uint16_t gamePort = port(gameCode);
    if (auto found = sockets_.find(gamePort); found != sockets_.end()) found->second->close();
    sockets_.erase(gamePort);
  });
}

void HttpServer::clear() {
  onActor([&] {
    for (auto& [gamePort, socket] : sockets_) {
      socket->close();
      logDebug(std::to_string(gamePort) + " port closed");
    }
    sockets_.clear();
    handlerQueue_.cancelAllOperations();
    handlerQueue_.addBarrierBlock([] { logDebug("All operations canceled"); });
  });
}

bool HttpServer::isListening(std::uint16_t port) {
  bool listening = false;
  onActor([&] { listening = sockets_.count(port) != 0; });
  return listening;
}

}  // namespace httpserver
