#include <gtest/gtest.h>

#include "Infra/HttpServer/HttpRouter.hpp"

using httpserver::HttpRequest;
using httpserver::HttpResponse;
using httpserver::HttpRouter;

namespace {

// A handler that names itself through the reply's status code.
httpserver::HttpRequestHandler tagged(int code) {
  return [code](const HttpRequest&) { return HttpResponse::raw(code, "tag"); };
}

int routed(HttpRouter& router, const std::optional<std::string>& method, const std::string& path) {
  auto match = router.route(method, path);
  return match ? match->handler(HttpRequest{}).statusCode() : 0;
}

}  // namespace

TEST(HttpRouterTest, StatusRoute) {
  HttpRouter router;
  router.register_("GET", "/status", tagged(1));
  struct Case {
    std::string method, path;
    int expected;
  };
  const Case cases[] = {
      {"GET", "/status", 1},       {"GET", "/status/", 1},   {"GET", "//status", 1},
      {"GET", "/status?x", 1},     {"GET", "/%73tatus", 1},  {"GET", "status", 1},
      {"GET", "/Status", 0},       {"GET", "/", 0},          {"GET", "/status/more", 0},
      {"POST", "/status", 0},      {"get", "/status", 0},    {"GET", "/%zztatus", 0},
      {"GET", "/status%2Fx", 0},   {"HEAD", "/status", 0},   {"GET", "", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(routed(router, c.method, c.path), c.expected) << c.method << " " << c.path;
  EXPECT_EQ(routed(router, std::nullopt, "/status"), 0);
}

TEST(HttpRouterTest, ParametersWildcardsAndMethodlessRoutes) {
  HttpRouter router;
  router.register_("GET", "/games/:code", tagged(1));
  router.register_("GET", "/games/list", tagged(2));
  router.register_("GET", "/files/*/info", tagged(3));
  router.register_("GET", "/deep/**/leaf", tagged(4));
  router.register_(std::nullopt, "/any", tagged(5));
  router.register_("GET", "/any", tagged(6));

  auto match = router.route("GET", "/games/list");  // the parameter wins over the plain segment
  ASSERT_TRUE(match);
  EXPECT_EQ(match->handler(HttpRequest{}).statusCode(), 1);
  EXPECT_EQ(match->params.at(":code"), "list");
  EXPECT_EQ(router.route("GET", "/games/%41b")->params.at(":code"), "Ab");

  EXPECT_EQ(routed(router, "GET", "/files/x/info"), 3);
  EXPECT_EQ(routed(router, "GET", "/files/x/y/info"), 0);
  EXPECT_EQ(routed(router, "GET", "/deep/a/b/leaf"), 4);
  EXPECT_EQ(routed(router, "GET", "/deep/a/b/c/leaf"), 4);
  EXPECT_EQ(routed(router, "GET", "/deep/a/leaf"), 0);  // "**" takes at least two segments
  EXPECT_EQ(routed(router, "GET", "/deep/leaf"), 0);
  EXPECT_EQ(routed(router, "GET", "/any"), 6);
  EXPECT_EQ(routed(router, "DELETE", "/any"), 5);
  EXPECT_EQ(routed(router, std::nullopt, "/any?q"), 5);
}

TEST(HttpRouterTest, RegisteringAgainReplacesTheHandler) {
  HttpRouter router;
  router.register_("GET", "/status?ignored", tagged(1));
  router.register_("GET", "status/", tagged(2));
  EXPECT_EQ(routed(router, "GET", "/status"), 2);
  router.register_("GET", "/status", nullptr);  // no handler: stops matching
  EXPECT_FALSE(router.route("GET", "/status"));
}
