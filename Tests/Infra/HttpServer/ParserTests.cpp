#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "Infra/HttpServer/HttpParser.hpp"
#include "TestNet.hpp"

using httpserver::HttpParser;
using httpserver::HttpParserError;
using httpserver::HttpRequest;
using httpserver::RequestFraming;
using httpserver::Socket;
using httpserver::SocketError;
using Items = std::vector<std::pair<std::string, std::string>>;

namespace {

// Parses `sent` as a client would send it and then close its side.
HttpRequest parse(const std::string& sent, const HttpParser::Limits& limits = {}) {
  int fds[2];
  EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  Socket socket(fds[0]);
  EXPECT_TRUE(testnet::sendAll(fds[1], sent));
  ::close(fds[1]);
  return HttpParser::shared().readHttpRequest(socket, limits);
}

}  // namespace

TEST(HttpParserTest, RequestLineAndTarget) {
  struct Case {
    std::string line;
    std::string method, path;
    Items query;
  };
  const Case cases[] = {
      {"GET /status HTTP/1.1", "GET", "/status", {}},
      {"get /status HTTP/1.0", "get", "/status", {}},
      {"GET /status?a=1&b&a=2 HTTP/1.1", "GET", "/status", {{"a", "1"}, {"b", ""}, {"a", "2"}}},
      {"GET /status? HTTP/1.1", "GET", "/status", {}},
      {"GET /%73tatus HTTP/1.1", "GET", "/%73tatus", {}},  // escapes come back as sent
      {"GET /a%zz%?q=%41 HTTP/1.1", "GET", "/a%zz%", {{"q", "%41"}}},
      {"GET //status HTTP/1.1", "GET", "//status", {}},
      {"GET /a#frag?x HTTP/1.1", "GET", "/a#frag", {{"x", ""}}},
      {"GET /a+b%20c HTTP/1.1", "GET", "/a+b%20c", {}},
      {"GET /caf\xE9 HTTP/1.1", "GET", "/caf\xC3\xA9", {}},
      {"GET http://127.0.0.1:8/status?x=1 HTTP/1.1", "GET", "/status", {{"x", "1"}}},
      {"GET  /status HTTP/1.1", "GET", "", {}},  // two blanks: the target is empty
      {"OPTIONS * HTTP/1.1", "OPTIONS", "*", {}},
      {"GET /status HTTP/1.1 extra words", "GET", "/status", {}},
      {"GET /status ", "GET", "/status", {}},
  };
  for (const auto& c : cases) {
    for (const char* end : {"\r\n", "\n"}) {
      auto request = parse(c.line + end + end);
      EXPECT_EQ(request.method, c.method) << c.line;
      EXPECT_EQ(request.path, c.path) << c.line;
      EXPECT_EQ(request.queryParams, c.query) << c.line;
      EXPECT_TRUE(request.headers.empty());
      EXPECT_TRUE(request.body.empty());
    }
  }
}

TEST(HttpParserTest, InvalidRequestLine) {
  for (std::string line : {"GET /status", "", "GET"}) {
    try {
      parse(line + "\r\n\r\n");
      FAIL() << line;
    } catch (const HttpParserError& error) {
      EXPECT_EQ(error.kind(), HttpParserError::Kind::invalidStatusLine);
      EXPECT_EQ(error.text(), line);
    }
  }
}

TEST(HttpParserTest, Headers) {
  auto request = parse(
      "GET / HTTP/1.1\r\n"
      "Host: 127.0.0.1:19999\r\n"
      "X-Spaces:   padded value  \r\n"
      "Name : blank before colon\r\n"
      "NoColonAtAll\r\n"
      "Trailing:\r\n"
      ":leading\r\n"
      ":\r\n"
      "A: b: c\r\n"
      "Twice: one\r\n"
      "twice: two\r\n"
      "\r\n");
  const std::map<std::string, std::string> expected{
      {"host", "127.0.0.1:19999"},
      {"x-spaces", "padded value"},
      {"name ", "blank before colon"},
      {"nocolonatall", "NoColonAtAll"},
      {"trailing", "Trailing"},
      {"leading", "leading"},
      {"a", "b: c"},
      {"twice", "two"},
  };
  EXPECT_EQ(request.headers, expected);
}

TEST(HttpParserTest, ContentLength) {
  struct Case {
    std::string header;
    std::string after;
    std::string body;
  };
  const Case cases[] = {
      {"Content-Length: 5", "hello", "hello"},
      {"CONTENT-length: 3", "abcdef", "abc"},
      {"Content-Length: +2", "xyz", "xy"},
      {"Content-Length: 0", "ignored", ""},
      {"Content-Length: ten", "ignored", ""},
      {"Content-Length: 1 2", "ignored", ""},
  };
  for (const auto& c : cases) {
    auto request = parse("POST /status HTTP/1.1\r\n" + c.header + "\r\n\r\n" + c.after);
    EXPECT_EQ(std::string(request.body.begin(), request.body.end()), c.body) << c.header;
  }
  try {
    parse("POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n");
    FAIL();
  } catch (const HttpParserError& error) {
    EXPECT_EQ(error.kind(), HttpParserError::Kind::negativeContentLength);
  }
  // The client closes before the whole body is in.
  EXPECT_THROW(parse("POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\nshort"), SocketError);
  EXPECT_THROW(parse("GET / HTTP/1.1\r\nHost: x\r\n"), SocketError);
}

TEST(HttpParserTest, Bounds) {
  HttpParser::Limits limits;
  limits.maxLineLength = 64;
  limits.maxHeaderCount = 3;
  limits.maxBodyLength = 10;
  auto kindOf = [&](const std::string& sent) -> std::string {
    try {
      parse(sent, limits);
      return "parsed";
    } catch (const HttpParserError& error) {
      return error.kind() == HttpParserError::Kind::requestTooLarge ? "tooLarge" : "parser";
    } catch (const SocketError& error) {
      return error.code() == EMSGSIZE ? "lineTooLong" : "socket";
    }
  };
  EXPECT_EQ(kindOf("GET /" + std::string(60, 'a') + " HTTP/1.1\r\n\r\n"), "lineTooLong");
  EXPECT_EQ(kindOf("GET / HTTP/1.1\r\nX: " + std::string(70, 'v') + "\r\n\r\n"), "lineTooLong");
  EXPECT_EQ(kindOf("GET / HTTP/1.1\r\nA: 1\r\nB: 2\r\nC: 3\r\n\r\n"), "parsed");
  EXPECT_EQ(kindOf("GET / HTTP/1.1\r\nA: 1\r\nB: 2\r\nC: 3\r\nD: 4\r\n\r\n"), "tooLarge");
  EXPECT_EQ(kindOf("GET / HTTP/1.1\r\n:\r\n:\r\n:\r\n:\r\n\r\n"), "tooLarge");  // ignored lines count too
  EXPECT_EQ(kindOf("POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\n0123456789"), "parsed");
  EXPECT_EQ(kindOf("POST / HTTP/1.1\r\nContent-Length: 11\r\n\r\n0123456789a"), "tooLarge");
  EXPECT_EQ(kindOf("POST / HTTP/1.1\r\nContent-Length: 9223372036854775807\r\n\r\n"), "tooLarge");
  // A length that no number holds is too large as well, not absent.
  EXPECT_EQ(kindOf("POST / HTTP/1.1\r\nContent-Length: 99999999999999999999999\r\n\r\n"), "tooLarge");
  EXPECT_EQ(kindOf("POST / HTTP/1.1\r\nContent-Length: -99999999999999999999999\r\n\r\n"), "parser");
}

TEST(HttpParserTest, TransferCodingsAreRefused) {
  for (const char* coding : {"chunked", "gzip, chunked", "identity"}) {
    try {
      parse(std::string("POST /status HTTP/1.1\r\nTransfer-Encoding: ") + coding + "\r\n\r\n5\r\nhello\r\n0\r\n\r\n");
      ADD_FAILURE() << coding;
    } catch (const HttpParserError& error) {
      EXPECT_EQ(error.kind(), HttpParserError::Kind::unsupportedTransferEncoding) << coding;
      EXPECT_EQ(error.text(), coding);
    }
  }
}

// The framing finds the same head the parser reads, fed in any pieces.
TEST(HttpParserTest, FramingFindsTheEndOfTheHead) {
  HttpParser::Limits limits;
  auto frame = [&](const std::string& bytes, std::size_t piece) {
    RequestFraming framing(limits);
    auto state = RequestFraming::State::incomplete;
    for (std::size_t at = 0; at < bytes.size() && state == RequestFraming::State::incomplete; at += piece) {
      auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data()) + at;
      state = framing.take(data, std::min(piece, bytes.size() - at));
    }
    return std::make_pair(state, framing.headLength());
  };
  const std::string head = "GET /status HTTP/1.1\r\nHost: x\r\n\r\n";
  for (std::size_t piece : {1u, 3u, 4096u}) {
    EXPECT_EQ(frame(head + "body", piece), std::make_pair(RequestFraming::State::headEnded, head.size()));
    EXPECT_EQ(frame(head.substr(0, head.size() - 1), piece).first, RequestFraming::State::incomplete);
  }
  // Bytes 0...13 make an empty line as the parser's line rule drops them.
  EXPECT_EQ(frame("GET / HTTP/1.1\nA: b\n\t\r\n", 1).second, 23u);
  // An empty first line is the request line, not the end of the head.
  EXPECT_EQ(frame("\r\nGET / HTTP/1.1\r\n\r\n", 2).first, RequestFraming::State::headEnded);
  limits.maxLineLength = 8;
  EXPECT_EQ(frame("GET /123456 HTTP/1.1\r\n\r\n", 5).first, RequestFraming::State::malformed);
  limits = {};
  limits.maxHeaderCount = 2;
  EXPECT_EQ(frame("GET / HTTP/1.1\r\nA: 1\r\nB: 2\r\n\r\n", 7).first, RequestFraming::State::headEnded);
  EXPECT_EQ(frame("GET / HTTP/1.1\r\nA: 1\r\nB: 2\r\nC: 3\r\n\r\n", 7).first, RequestFraming::State::malformed);
  limits = {};
  limits.maxHeadLength = 30;
  EXPECT_EQ(frame("GET / HTTP/1.1\r\nA: 1\r\nB: 2\r\nC: 3\r\n\r\n", 64).first, RequestFraming::State::malformed);
}

TEST(HttpParserTest, PercentDecoding) {
  EXPECT_EQ(HttpParser::removingPercentEncoding("%73tatus"), "status");
  EXPECT_EQ(HttpParser::removingPercentEncoding("%C3%A9"), "\xC3\xA9");
  EXPECT_EQ(HttpParser::removingPercentEncoding("%E9"), std::nullopt);  // not UTF-8
  EXPECT_EQ(HttpParser::removingPercentEncoding("%zz"), std::nullopt);
  EXPECT_EQ(HttpParser::removingPercentEncoding("%4"), std::nullopt);
  EXPECT_EQ(HttpParser::removingPercentEncoding("%"), std::nullopt);
  EXPECT_EQ(HttpParser::percentEncodeQueryAllowed("/a b%#?&=\xC3\xA9"), "/a%20b%25%23?&=%C3%A9");
}
