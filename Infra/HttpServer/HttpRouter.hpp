#pragma once
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Infra/HttpServer/HttpParser.hpp"
#include "Infra/HttpServer/HttpResponse.hpp"

namespace httpserver {

using HttpRequestHandler = std::function<HttpResponse(const HttpRequest&)>;

// Maps a method and path to a handler through a tree of path segments whose
// first level is the method ("*" for routes of every method). Segments of a
// registered path: plain text, ":name" (any one segment, bound to ":name"),
// "*" (any one segment) and "**" (skips ahead to the next plain segment).
//
// Lookups and registrations run one at a time under one lock, from any
// thread: a port's event loop looks up without handing its request to
// another thread, and a registration never overlaps a lookup.
class HttpRouter {
 public:
  struct Match {
    std::map<std::string, std::string> params;
    HttpRequestHandler handler;
  };

  HttpRouter();
  ~HttpRouter();
  HttpRouter(const HttpRouter&) = delete;
  HttpRouter& operator=(const HttpRouter&) = delete;

  // Adds or replaces a route; an empty handler makes it stop matching.
  void register_(const std::optional<std::string>& method, const std::string& path, HttpRequestHandler handler);
  std::optional<Match> route(const std::optional<std::string>& method, const std::string& path);

 private:
  struct Node {
    std::map<std::string, std::unique_ptr<Node>> nodes;
    bool isEndOfRoute = false;
    HttpRequestHandler handler;
  };

  Node* inflate(const std::vector<std::string>& segments);
  void findHandler(Node& node, std::map<std::string, std::string>& params, const std::vector<std::string>& segments,
                   std::size_t index, std::vector<Node*>& found) const;
  std::optional<Match> search(const std::string& key) const;

  std::unique_ptr<Node> rootNode_;
  std::mutex lock_;
};

}  // namespace httpserver
