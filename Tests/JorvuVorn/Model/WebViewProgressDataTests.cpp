#include "JorvuVorn/Model/WebViewProgressData.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "JorvuVorn/Model/KtzJavaScript.hpp"

namespace {

TEST(WebViewProgressData, IsCompactJsonWithTypeThenProgress) {
  EXPECT_EQ((WebViewProgressData{"progress", {"patch", 0.5f}}.encode()),
            R"({"type":"progress","progress":{"step":"patch","rate":0.5}})");
  EXPECT_EQ((WebViewProgressData{"progress", {"", 1.0f}}.encode()),
            R"({"type":"progress","progress":{"step":"","rate":1}})");
  EXPECT_THROW((WebViewProgressData{"progress", {"install", std::nanf("")}}.encode()), jsoncoding::EncodingError);
}

TEST(WebViewProgressData, CallTextEscapesEverythingThatCouldEndTheString) {
  const std::string json = WebViewProgressData{"progress", {"patch", 0.5f}}.encode();
  EXPECT_EQ(progressCallbackCall(json),
            R"(ktz.progressCallback("{\"type\":\"progress\",\"progress\":{\"step\":\"patch\",\"rate\":0.5}}"))");
  EXPECT_EQ(javaScriptStringBody("a\\b\"c\nd\re\tf\x01g"), R"(a\\b\"c\nd\re\x09f\x01g)");
  EXPECT_EQ(javaScriptStringBody("<\xe2\x80\xa8|\xe2\x80\xa9>"), R"(<\u2028|\u2029>)");
  // Other characters, and bytes that only start like U+2028, pass as they are.
  EXPECT_EQ(javaScriptStringBody("\xea\xb0\x80 '\xe2\x80\xa7\xe2\x80"), "\xea\xb0\x80 '\xe2\x80\xa7\xe2\x80");
}

TEST(KtzJavaScript, DefinesTheBridgeOnTheHandlerName) {
  const std::string& script = ktzJavaScript();
  EXPECT_EQ(script.rfind("var ktz = {};\nvar progressCallback = null;\n", 0), 0u);
  EXPECT_NE(script.find("window.webkit.messageHandlers.ktzFunction.postMessage(arr);"), std::string::npos);
}

}  // namespace
