#include "Infra/HttpServer/HttpRouter.hpp"

namespace httpserver {

namespace {

std::vector<std::string> segments(const std::string& text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start <= text.size()) {
    auto slash = text.find('/', start);
    if (slash == std::string::npos) slash = text.size();
    if (slash > start) out.push_back(text.substr(start, slash - start));
    start = slash + 1;
  }
  return out;
}

std::string beforeQuery(const std::string& path) { return path.substr(0, path.find('?')); }

}  // namespace

HttpRouter::HttpRouter() : rootNode_(std::make_unique<Node>()) {}

HttpRouter::~HttpRouter() = default;

void HttpRouter::register_(const std::optional<std::string>& method, const std::string& path,
                           HttpRequestHandler handler) {
  auto parts = segments(beforeQuery(path));
  parts.insert(parts.begin(), method.value_or("*"));
  std::lock_guard lock(lock_);
  inflate(parts)->handler = std::move(handler);
}

HttpRouter::Node* HttpRouter::inflate(const std::vector<std::string>& parts) {
  Node* node = rootNode_.get();
  for (const auto& part : parts) {
    auto& child = node->nodes[part];
    if (!child) child = std::make_unique<Node>();
    node = child.get();
  }
  node->isEndOfRoute = true;
  return node;
}

std::optional<HttpRouter::Match> HttpRouter::route(const std::optional<std::string>& method, const std::string& path) {
  std::optional<Match> match;
  std::lock_guard lock(lock_);
  if (method) match = search(*method + "/" + beforeQuery(path));
  if (!match) match = search("*/" + beforeQuery(path));
  return match;
}

std::optional<HttpRouter::Match> HttpRouter::search(const std::string& key) const {
  auto parts = segments(key);
  std::map<std::string, std::string> params;
  std::vector<Node*> found;
  findHandler(*rootNode_, params, parts, 0, found);
  if (found.empty() || !found.front()->handler) return std::nullopt;
  return Match{std::move(params), found.front()->handler};
}

void HttpRouter::findHandler(Node& node, std::map<std::string, std::string>& params,
                             const std::vector<std::string>& parts, std::size_t index,
                             std::vector<Node*>& found) const {
  const std::size_t count = parts.size();
  if (index < count) {
    if (auto segment = HttpParser::removingPercentEncoding(parts[index])) {
      const std::size_t next = index + 1;
      // A parameter child: the first one the map holds.
      auto parameter = node.nodes.lower_bound(":");
      if (parameter != node.nodes.end() && parameter->first.starts_with(":")) {
        params[parameter->first] = *segment;
        if (next == count && parameter->second->isEndOfRoute) {
          found.push_back(parameter->second.get());
          return;
        }
        findHandler(*parameter->second, params, parts, next, found);
      }
      if (auto exact = node.nodes.find(*segment); exact != node.nodes.end()) {
        findHandler(*exact->second, params, parts, next, found);
      }
      if (auto any = node.nodes.find("*"); any != node.nodes.end()) {
        findHandler(*any->second, params, parts, next, found);
      }
      if (auto skip = node.nodes.find("**"); skip != node.nodes.end()) {
        for (std::size_t k = index + 2; k < count; ++k) {
          auto later = HttpParser::removingPercentEncoding(parts[k]);
          if (!later) break;
          if (auto child = skip->second->nodes.find(*later); child != skip->second->nodes.end()) {
            findHandler(*child->second, params, parts, k + 1, found);
          }
        }
      }
    }
  }
  if (node.isEndOfRoute && index == count) found.push_back(&node);
}

}  // namespace httpserver
