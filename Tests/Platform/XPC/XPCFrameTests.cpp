#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Platform/XPC/XPCMessage.hpp"

using namespace platform::xpc;

namespace {

std::string bodyOf(const Frame& f) { return encodeFrame(f).substr(4); }

const Interface& testInterface() {
  static const Interface table("Test", {
      {"echo:", {Slot::u32, Slot::optionalText}, {Slot::u32, Slot::optionalText}},
      {"blob:flag:", {Slot::data, Slot::flag}, {Slot::flag, Slot::optionalData}},
  });
  return table;
}

}  // namespace

TEST(XPCFrame, RoundTripsEveryKind) {
  Frame f{FrameType::call, 0x0102030405060708ull, "blob:flag:",
          {Value::u32(4294967295u), Value::text("h\xC3\xA9llo"), Value::data(std::string("\0\xFF", 2)),
           Value::boolean(true), Value::boolean(false), Value::absent()}};
  std::string wire = encodeFrame(f);
  ASSERT_GE(wire.size(), 4u);
  auto length = decodeFrameLength(reinterpret_cast<const unsigned char*>(wire.data()));
  ASSERT_TRUE(length);
  EXPECT_EQ(*length, wire.size() - 4);
  auto back = decodeFrameBody(std::string_view(wire).substr(4));
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, f);
}

TEST(XPCFrame, LengthPrefixIsCapped) {
  const unsigned char zero[4] = {0, 0, 0, 0};
  const unsigned char atCap[4] = {0x00, 0x10, 0x00, 0x00};
  const unsigned char overCap[4] = {0x00, 0x10, 0x00, 0x01};
  const unsigned char huge[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_FALSE(decodeFrameLength(zero));
  EXPECT_EQ(decodeFrameLength(atCap), maxFrameBody);
  EXPECT_FALSE(decodeFrameLength(overCap));
  EXPECT_FALSE(decodeFrameLength(huge));
  // The writer refuses what the reader would refuse.
  EXPECT_THROW(encodeFrame(Frame{FrameType::call, 1, "echo:", {Value::data(std::string(maxFrameBody, 'x'))}}),
               std::length_error);
  EXPECT_THROW(encodeFrame(Frame{FrameType::call, 1, "echo:", Values(maxValues + 1)}), std::length_error);
}

TEST(XPCFrame, RefusesMalformedBodies) {
  const std::string good = bodyOf(Frame{FrameType::call, 7, "echo:", {Value::u32(1), Value::text("a")}});
  ASSERT_TRUE(decodeFrameBody(good));
  auto with = [&](std::size_t at, char c) {
    std::string b = good;
    b[at] = c;
    return b;
  };
  // Layout: version(0) type(1) serial(2..9) selLen(10) sel(11..15) count(16) tag(17) u32(18..21) tag(22) len(23..26) 'a'(27)
  struct Case {
    const char* name;
    std::string body;
  };
  const std::vector<Case> cases = {
      {"empty", ""},
      {"version 0", with(0, 0)},
      {"version 2", with(0, 2)},
      {"type 0", with(1, 0)},
      {"type 4", with(1, 4)},
      {"serial 0", bodyOf(Frame{FrameType::call, 0, "echo:", {}})},
      {"empty selector", with(10, 0)},
      {"selector runs past the end", with(10, 100)},
      {"control byte in selector", with(11, '\n')},
      {"space in selector", with(11, ' ')},
      {"count above the limit", with(16, static_cast<char>(maxValues + 1))},
      {"count past the end", with(16, 3)},
      {"unknown tag", with(17, 9)},
      {"truncated u32", good.substr(0, 20)},
      {"text length past the end", with(26, 2)},
      {"text not UTF-8", with(27, '\xFF')},
      {"bytes after the values", good + "x"},
      {"flag byte 2", [] {
         std::string b = bodyOf(Frame{FrameType::call, 1, "f:", {Value::boolean(true)}});
         b.back() = 2;
         return b;
       }()},
      {"values in a dropped frame", [] {
         std::string b = bodyOf(Frame{FrameType::reply, 1, "f:", {Value::boolean(true)}});
         b[1] = 3;
         return b;
       }()},
  };
  for (const auto& c : cases) {
    std::string why;
    EXPECT_FALSE(decodeFrameBody(c.body, &why)) << c.name;
    EXPECT_FALSE(why.empty()) << c.name;
  }
}

TEST(XPCFrame, ChecksUTF8Strictly) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"", true},
      {"plain", true},
      {"\xC3\xA9", true},
      {"\xE2\x82\xAC", true},
      {"\xF0\x9F\x98\x80", true},
      {"\xC0\xAF", false},              // overlong "/"
      {"\xE0\x80\xAF", false},          // overlong
      {"\xED\xA0\x80", false},          // surrogate
      {"\xF4\x90\x80\x80", false},      // above U+10FFFF
      {"\xC3", false},                  // cut short
      {"\x80", false},                  // lone continuation
      {"\xE2\x28\xA1", false},          // bad continuation
  };
  for (const auto& [text, valid] : cases) EXPECT_EQ(isValidUTF8(text), valid) << text;
}

TEST(XPCInterface, ChecksCallsAndRepliesAgainstTheTable) {
  const Interface& t = testInterface();
  auto call = [](std::string sel, Values v) { return Frame{FrameType::call, 1, std::move(sel), std::move(v)}; };
  EXPECT_TRUE(t.acceptsCall(call("echo:", {Value::u32(1), Value::text("x")})));
  EXPECT_TRUE(t.acceptsCall(call("echo:", {Value::u32(1), Value::absent()})));
  EXPECT_FALSE(t.acceptsCall(call("echo:", {Value::u32(1)})));                                    // too few
  EXPECT_FALSE(t.acceptsCall(call("echo:", {Value::u32(1), Value::text("x"), Value::absent()})));  // too many
  EXPECT_FALSE(t.acceptsCall(call("echo:", {Value::text("1"), Value::text("x")})));                // wrong kind
  EXPECT_FALSE(t.acceptsCall(call("echo:", {Value::u32(1), Value::data("x")})));                   // data is no text
  EXPECT_FALSE(t.acceptsCall(call("blob:flag:", {Value::absent(), Value::boolean(true)})));       // data required
  EXPECT_FALSE(t.acceptsCall(call("nope:", {})));
  Frame reply = call("echo:", {Value::u32(1), Value::absent()});
  reply.type = FrameType::reply;
  EXPECT_FALSE(t.acceptsCall(reply));
  EXPECT_TRUE(t.acceptsReply("blob:flag:", {Value::boolean(false), Value::absent()}));
  EXPECT_TRUE(t.acceptsReply("blob:flag:", {Value::boolean(false), Value::data("{}")}));
  EXPECT_FALSE(t.acceptsReply("blob:flag:", {Value::boolean(false), Value::text("{}")}));
  EXPECT_FALSE(t.acceptsReply("blob:flag:", {Value::u32(0), Value::absent()}));
}
