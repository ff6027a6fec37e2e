#include "JorvuVorn/Model/Popup/PopupFormatting.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "JorvuVorn/Model/Popup/PopupRecords.hpp"
#include "Tests/Support/TempRoot.hpp"

namespace {

TEST(OSVersionName, NamesByWholePartAndExactTenth) {
  const std::vector<std::pair<float, std::string>> table = {
      {10.15f, "macOS Catalina 10.15"},  {10.1f, "macOS Yosemite 10.1"},   {10.11f, "macOS El Capitan 10.11"},
      {14.0f, "macOS Sonoma 14.0"},      {14.6f, "macOS Sonoma 14.6"},     {11.0f, "macOS Big Sur 11.0"},
      {12.7f, "macOS Monterey 12.7"},    {13.99f, "macOS Ventura 13.99"},  {15.0f, "macOS Unknown 15.0"},
      {10.9f, "macOS Unknown 10.9"},     {10.0f, "macOS Unknown 10.0"},    {9.99f, "macOS Unknown 9.99"},
      {-1.0f, "macOS Unknown -1.0"},     {10.150001f, "macOS Unknown 10.150001"},
  };
  for (const auto& [version, name] : table) EXPECT_EQ(getOSVersionName(version), name) << version;
}

TEST(OSVersionName, NotFiniteIsUnknown) {
  EXPECT_EQ(getOSVersionName(std::numeric_limits<float>::quiet_NaN()), "macOS Unknown nan");
  EXPECT_EQ(getOSVersionName(std::numeric_limits<float>::infinity()), "macOS Unknown inf");
  EXPECT_EQ(getOSVersionName(-std::numeric_limits<float>::infinity()), "macOS Unknown -inf");
  // Far beyond an int: the whole part is never converted.
  EXPECT_EQ(getOSVersionName(3e38f), "macOS Unknown 3e+38");
}

TEST(FloatText, ShortestFormWithAFraction) {
  EXPECT_EQ(floatText(14.0f), "14.0");
  EXPECT_EQ(floatText(10.15f), "10.15");
  EXPECT_EQ(floatText(0.0f), "0.0");
  EXPECT_EQ(floatText(0.1f), "0.1");
}

TEST(ColorFromHex, ReadsTheDigitsAfterTheSign) {
  EXPECT_EQ(Color::fromHex("#ec695e"), (Color{236, 105, 94}));
  EXPECT_EQ(Color::fromHex("ec695e"), (Color{236, 105, 94}));
  EXPECT_EQ(Color::fromHex("#FF0014"), (Color{255, 0, 20}));
  EXPECT_EQ(Color::fromHex("#fff"), (Color{0, 15, 255}));      // one number, not a short form
  EXPECT_EQ(Color::fromHex("#12zz34"), (Color{0, 0, 0x12}));  // stops at the first non-digit
  EXPECT_EQ(Color::fromHex(""), (Color{}));
  EXPECT_EQ(Color::fromHex("#"), (Color{}));
  EXPECT_EQ(Color::fromHex("##ffffff"), (Color{}));
  EXPECT_EQ(Color::fromHex("#01020304"), (Color{2, 3, 4}));  // longer texts keep the low bytes
}

TEST(ByteCount, DecimalUnitsWithoutBlanks) {
  const std::vector<std::pair<std::uint64_t, std::string>> table = {
      {0, "ZeroKB"},
      {1, "1byte"},
      {999, "999bytes"},
      {1000, "1KB"},
      {1499, "1KB"},
      {999'499, "999KB"},
      {999'999, "1MB"},
      {1'500'000, "1.5MB"},
      {1'234'567'890, "1.23GB"},
      {12'300'000'000, "12.3GB"},
      {5'000'000'000'000, "5TB"},
      {std::numeric_limits<std::uint64_t>::max(), "18.45EB"},
  };
  for (const auto& [bytes, text] : table) EXPECT_EQ(byteCountText(bytes), text) << bytes;
  EXPECT_EQ(capacityMessage(12'300'000'000), "12.3GB left");
}

TEST(VolumeName, LabelsDecodedAndUnknownOtherwise) {
  EXPECT_EQ(decodeLabel("My\\x20Disk"), "My Disk");
  EXPECT_EQ(decodeLabel("a\\x2fb\\xzz"), "a/b\\xzz");

  testsupport::TempRoot root;
  EXPECT_EQ(volumeNameOf(root.home(), root.path() + "/no-such-folder"), "Unknown Volume");
  // Links to what is not a block device never name the volume.
  testsupport::writeFile(root.path() + "/file", "x");
  testsupport::writeFile(root.path() + "/labels/.keep", "");
  ASSERT_EQ(::symlink((root.path() + "/file").c_str(), (root.path() + "/labels/Data").c_str()), 0);
  ASSERT_EQ(::symlink("/dev/null", (root.path() + "/labels/Null").c_str()), 0);
  EXPECT_EQ(volumeNameOf(root.path() + "/file", root.path() + "/labels"), "Unknown Volume");
  EXPECT_EQ(volumeNameOf(root.path() + "/missing", root.path() + "/labels"), "Unknown Volume");
}

TEST(PopupRecords, RawValues) {
  EXPECT_EQ(setupOpreation(13000), SetupOpreation::install);
  EXPECT_EQ(setupOpreation(32000), SetupOpreation::update);
  EXPECT_EQ(setupOpreation(0), std::nullopt);
  EXPECT_EQ(vantixStatusError(-1), VANTIXStatusError::unknown);
  EXPECT_EQ(vantixStatusError(2019), VANTIXStatusError::unregisterTPA);
  EXPECT_EQ(vantixStatusError(0), std::nullopt);
  EXPECT_EQ(vantixStatusError(2004), std::nullopt);
  EXPECT_EQ(vantixStatusError(std::int64_t{1} << 32 | 14), std::nullopt);  // no truncation to 14
  EXPECT_EQ(ErrorCodeInfo::from(-60, 4294967295u, 0), (ErrorCodeInfo{"-60", "4294967295", "0"}));
  EXPECT_EQ(ErrorCodeInfo::from(INT32_MIN, 0, 1).errorCode, "-2147483648");
}

}  // namespace
