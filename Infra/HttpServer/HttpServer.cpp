#include "Infra/HttpServer/HttpServer.hpp"

#include <algorithm>
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

// Gathers a response body into the reply's bytes.
class GatheringWriter : public HttpResponseBodyWriter {
 public:
  explicit GatheringWriter(std::string& bytes) : bytes_(bytes) {}
  void write(std::span<const std::uint8_t> bytes) override {
    bytes_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }

 private:
  std::string& bytes_;
};

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
      options_(options) {
  ConnectionLoopOptions loopOptions;
  loopOptions.requestTimeout = options_.requestTimeout;
  loopOptions.writeTimeout = options_.writeTimeout;
  loopOptions.drainTime = options_.drainTime;
  loopOptions.maxConnections = std::max<std::size_t>(options_.maxConnections, 1);
  loopOptions.limits = options_.limits;
  loop_ = std::make_unique<ConnectionLoop>(
      *socket_, loopOptions, [this](HttpRequest& request) { return render(responseFor(request)); },
      [this] { return isCancelled(); });
}

void HttpServerHandler::main() {
  std::optional<std::uint16_t> port;
  try {
    port = socket_->port();
  } catch (const SocketError&) {
  }
  logDebug(portText(port) + " port listening.");

  // Only a stop or clear ends the loop; a failed connection ends only itself.
  if (!loop_->run() && socket_->state() != SocketState::stopped) {
    logDebug(portText(port) + " port closed. " + Errno::description());
  }
  logDebug(portText(port) + " listening stopped.");
}

void HttpServerHandler::handleConnection(Socket& client) {
  client.setDeadline(Socket::Clock::now() + options_.requestTimeout);
  HttpRequest request = HttpParser::shared().readHttpRequest(client, options_.limits);
  request.address = client.peername();
  HttpResponse response = responseFor(request);
  client.setDeadline(Socket::Clock::now() + options_.writeTimeout);
  respond(client, response);
  // Whatever the client sent beyond the request must not turn the close into
  // a reset that destroys the reply on its way.
  client.finishSending(options_.drainTime);
  client.close();
}

HttpResponse HttpServerHandler::responseFor(HttpRequest& request) {
  for (const auto& middleware : middleware_) {
    if (auto response = middleware(request)) return std::move(*response);
  }
  if (auto router = router_.lock()) {
    if (auto match = router->route(request.method, request.path)) {
      request.params = std::move(match->params);
      return match->handler(request);
    }
  }
  if (notFoundHandler_) return notFoundHandler_(request);
  return HttpResponse::notFound();
}

std::string HttpServerHandler::render(const HttpResponse& response) {
  std::string header = "HTTP/1.1 " + std::to_string(response.statusCode()) + " " + response.reasonPhrase() + "\r\n";
  auto [length, writer] = response.content();
  if (length >= 0) header += "Content-Length: " + std::to_string(length) + "\r\n";
  for (const auto& [name, value] : response.headers()) header += name + ": " + value + "\r\n";
  header += "\r\n";
  if (!writer) return header;
  // The body is gathered whole: the replies of this server are small.
  std::string bytes = header;
  GatheringWriter gathering(bytes);
  writer(gathering);
  logDebug("[response]\r\n" + header);
  return bytes;
}

void HttpServerHandler::respond(Socket& socket, const HttpResponse& response) { socket.writeUTF8(render(response)); }

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
