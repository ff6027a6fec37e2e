#include <gtest/gtest.h>

#include "Common/Json/JsonReading.hpp"

using namespace jsoncoding;

namespace {
template <typename F>
auto readMember(const char* text, F&& f) {
  rapidjson::Document doc = parseDocument(text);
  ObjectReader r(doc, "test");
  return f(r);
}
}  // namespace

TEST(JsonReading, IntegersAreWholeAndInRange) {
  EXPECT_EQ(readMember(R"({"v":18446744073709551615})", [](auto& r) { return r.u64("v"); }), 18446744073709551615ull);
  EXPECT_THROW(readMember(R"({"v":18446744073709551616})", [](auto& r) { return r.u64("v"); }), DecodingError);
  EXPECT_THROW(readMember(R"({"v":1.8446744073709552e19})", [](auto& r) { return r.u64("v"); }), DecodingError);
  EXPECT_EQ(readMember(R"({"v":1e2})", [](auto& r) { return r.u32("v"); }), 100u);
  EXPECT_EQ(readMember(R"({"v":-2147483648})", [](auto& r) { return r.i32("v"); }), -2147483648);
  EXPECT_THROW(readMember(R"({"v":2147483648})", [](auto& r) { return r.i32("v"); }), DecodingError);
  EXPECT_THROW(readMember(R"({"v":-1})", [](auto& r) { return r.u64("v"); }), DecodingError);
  EXPECT_THROW(readMember(R"({"v":0.5})", [](auto& r) { return r.u32("v"); }), DecodingError);
  EXPECT_THROW(readMember(R"({"v":true})", [](auto& r) { return r.u32("v"); }), DecodingError);
  EXPECT_THROW(readMember(R"({"v":"1"})", [](auto& r) { return r.u32("v"); }), DecodingError);
  EXPECT_EQ(readMember(R"({"v":-9223372036854775808})", [](auto& r) { return r.i64("v"); }), INT64_MIN);
  EXPECT_THROW(readMember(R"({"v":9223372036854775808})", [](auto& r) { return r.i64("v"); }), DecodingError);
}

TEST(JsonReading, KindsAreStrictAndNullIsAbsent) {
  EXPECT_THROW(readMember(R"({"v":0})", [](auto& r) { return r.boolean("v"); }), DecodingError);
  EXPECT_THROW(readMember(R"({"v":1})", [](auto& r) { return r.string("v"); }), DecodingError);
  EXPECT_THROW(readMember(R"({"v":null})", [](auto& r) { return r.string("v"); }), DecodingError);
  EXPECT_EQ(readMember(R"({"v":null})", [](auto& r) { return r.optString("v"); }), std::nullopt);
  EXPECT_EQ(readMember(R"({})", [](auto& r) { return r.optU32("v"); }), std::nullopt);
  EXPECT_THROW(readMember(R"({"v":"x"})", [](auto& r) { return r.optU32("v"); }), DecodingError);
  EXPECT_THROW(readMember(R"({"v":1e39})", [](auto& r) { return r.f32("v"); }), DecodingError);
  EXPECT_FLOAT_EQ(readMember(R"({"v":10.15})", [](auto& r) { return r.f32("v"); }), 10.15f);
  EXPECT_EQ(readMember(R"({"v":"a\u00e9"})", [](auto& r) { return r.string("v"); }), "a\xc3\xa9");
  EXPECT_EQ(readMember(R"({"v":"a\u0000b"})", [](auto& r) { return r.string("v"); }), std::string("a\0b", 3));
}

TEST(JsonReading, WholeTextsAreValidated) {
  EXPECT_THROW(parseDocument("{} {}"), DecodingError);
  EXPECT_THROW(parseDocument("{\"a\":\"\xc3\"}"), DecodingError);
  EXPECT_THROW(parseDocument("NaN"), DecodingError);
  EXPECT_THROW(parseDocument(""), DecodingError);
  EXPECT_NO_THROW(parseDocument("  {}  "));
  // Deep nesting neither overflows the stack nor fails.
  std::string deep(100000, '[');
  deep += std::string(100000, ']');
  EXPECT_NO_THROW(parseDocument(deep));
  EXPECT_THROW(ObjectReader(parseDocument("[]"), "x"), DecodingError);
}

TEST(JsonReading, DepthCountsTheRootAsLevelOneThroughObjectsAndArrays) {
  EXPECT_TRUE(withinDepth(parseDocument("1"), 1));
  EXPECT_TRUE(withinDepth(parseDocument(R"({"a":[1,{"b":2}]})"), 4));
  EXPECT_FALSE(withinDepth(parseDocument(R"({"a":[1,{"b":2}]})"), 3));
  EXPECT_FALSE(withinDepth(parseDocument(R"([[],{"a":{"b":{}}}])"), 3));
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  EXPECT_FALSE(withinDepth(parseDocument(deep), 64));
}
