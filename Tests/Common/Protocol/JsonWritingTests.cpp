#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "Common/Json/JsonReading.hpp"
#include "Common/Json/JsonWriting.hpp"

using namespace jsoncoding;

namespace {
std::string jsonQuoted(std::string_view text) {
  std::string out;
  appendQuoted(out, text);
  return out;
}
}  // namespace

TEST(JsonWriting, EscapesStrings) {
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"plain", R"("plain")"},
      {"a/b", R"("a\/b")"},
      {"q\"b\\", R"("q\"b\\")"},
      {"\b\f\n\r\t", R"("\b\f\n\r\t")"},
      {std::string("\x00\x01\x1f", 3), R"("\u0000\u0001\u001f")"},
      {"\x1b", R"("\u001b")"},
      {"\x7f", "\"\x7f\""},
      {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\""},
      // Invalid UTF-8: one replacement character per maximal ill-formed part.
      {"a\xff" "b", "\"a\xef\xbf\xbd" "b\""},
      {"\xc3", "\"\xef\xbf\xbd\""},
      {"\xe2\x82", "\"\xef\xbf\xbd\""},
      {"\xe2\x82" "A", "\"\xef\xbf\xbd" "A\""},
      {"\xed\xa0\x80", "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\""},  // surrogate
      {"\xc0\xaf", "\"\xef\xbf\xbd\xef\xbf\xbd\""},                  // overlong
      {"\xf4\x90\x80\x80", "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(jsonQuoted(c.in), c.out) << c.in;
    // Whatever goes in, what comes out is valid JSON that reads back.
    EXPECT_NO_THROW(parseDocument(jsonQuoted(c.in))) << c.in;
  }
  EXPECT_EQ(toString(parseDocument(jsonQuoted("x/\n\x01\xc3\xa9")), "s"), "x/\n\x01\xc3\xa9");
}

TEST(JsonWriting, NumbersAndStructure) {
  JsonWriter w;
  w.beginObject()
      .key("u64").integer(std::numeric_limits<std::uint64_t>::max())
      .key("i64").integer(std::numeric_limits<std::int64_t>::min())
      .key("i32").integer(std::int32_t{-60})
      .key("f").f32(10.15f)
      .key("g").f32(11.0f)
      .key("h").f32(0.1f)
      .key("list").beginArray().boolean(true).null().beginObject().endObject().beginArray().endArray().endArray()
      .key("b").boolean(false)
      .endObject();
  EXPECT_EQ(w.text(),
            R"({"u64":18446744073709551615,"i64":-9223372036854775808,"i32":-60,"f":10.15,"g":11,"h":0.1,)"
            R"("list":[true,null,{},[]],"b":false})");
  // Floats come back as the same float.
  for (float f : {10.15f, 0.1f, 3.4028235e38f, 1.17549435e-38f, 1e-45f, -2.5f, 16777217.0f}) {
    JsonWriter one;
    one.beginObject().key("v").f32(f).endObject();
    EXPECT_EQ(toFloat(parseDocument(one.text())["v"], "v"), f) << one.text();
  }
}

TEST(JsonWriting, NonFiniteFloatIsAnEncodingError) {
  for (float f : {std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                  std::numeric_limits<float>::quiet_NaN()}) {
    JsonWriter w;
    EXPECT_THROW(w.f32(f), EncodingError);
  }
}

TEST(JsonWriting, FloatReadingTakesWhatRoundsToAFiniteFloat) {
  const auto read = [](const char* text) { return toFloat(parseDocument(text), "v"); };
  EXPECT_EQ(read("3.4028235e+38"), std::numeric_limits<float>::max());
  EXPECT_EQ(read("-3.4028235e38"), -std::numeric_limits<float>::max());
  EXPECT_THROW(read("3.4028236e38"), DecodingError);
  EXPECT_THROW(read("1e39"), DecodingError);
  EXPECT_EQ(read("1e-50"), 0.0f);
}
