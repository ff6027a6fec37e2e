#include "JorvuVorn/Model/Popup/PopupFormatting.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "Common/Launcher/CommandLineLauncher.hpp"
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

TEST(VolumeName, UdevLabelsOnlyForBlockDevicesAndUnknownWhenNothingCanBeRead) {
  EXPECT_EQ(decodeLabel("My\\x20Disk"), "My Disk");
  EXPECT_EQ(decodeLabel("a\\x2fb\\xzz"), "a/b\\xzz");

  testsupport::TempRoot root;
  // Links to what is not a block device never name the volume.
  testsupport::writeFile(root.path() + "/file", "x");
  testsupport::writeFile(root.path() + "/labels/.keep", "");
  ASSERT_EQ(::symlink((root.path() + "/file").c_str(), (root.path() + "/labels/Data").c_str()), 0);
  ASSERT_EQ(::symlink("/dev/null", (root.path() + "/labels/Null").c_str()), 0);
  const std::string name = volumeNameOf(root.path() + "/file", root.path() + "/labels");
  EXPECT_NE(name, "Data");
  EXPECT_NE(name, "Null");
  EXPECT_EQ(volumeNameOf(root.path() + "/missing", root.path() + "/labels"), "Unknown Volume");
}

// An ext4 file system in a file, mounted through a loop device under the
// temporary root; only root may mount, and not every sandbox lets it.
class LoopMount {
 public:
  LoopMount(const testsupport::TempRoot& root, const std::string& label) : folder_(root.path() + "/Volume") {
    if (::geteuid() != 0) {
      skipReason_ = "mounting a file system needs root";
      return;
    }
    const std::string image = root.path() + "/volume.img";
    std::filesystem::create_directories(folder_);
    std::vector<std::string> format{"-q", "-F"};
    if (!label.empty()) format.insert(format.end(), {"-L", label});
    format.insert(format.end(), {image, "8M"});
    if (run("/sbin/mkfs.ext4", format) != 0) {
      skipReason_ = "mkfs.ext4 cannot make a file system here";
    } else if (run("/bin/mount", {"-o", "loop", image, folder_}) != 0) {
      skipReason_ = "loop devices cannot be mounted in this sandbox";
    } else {
      mounted_ = true;
    }
  }
  ~LoopMount() {
    if (mounted_) run("/bin/umount", {folder_});
  }
  const std::string& folder() const { return folder_; }
  const std::string& skipReason() const { return skipReason_; }

 private:
  static int run(const std::string& program, const std::vector<std::string>& arguments) {
    try {
      return CommandLineLauncher::runCommand(program, arguments, true).status;
    } catch (const CommandLineLauncher::LaunchError&) {
      return -1;
    }
  }

  std::string folder_;
  std::string skipReason_;
  bool mounted_ = false;
};

TEST(VolumeName, TheFileSystemsLabelElseGiosNameForTheMount) {
  testsupport::TempRoot root;
  {
    // 16 bytes, the longest label ext4 keeps.
    LoopMount labelled(root, "게임 디스크");
    if (!labelled.skipReason().empty()) GTEST_SKIP() << labelled.skipReason();
    std::filesystem::create_directories(labelled.folder() + "/home/user");
    EXPECT_EQ(volumeNameOf(labelled.folder() + "/home/user", root.path() + "/no-labels"), "게임 디스크");
  }
  {
    // Without a label GIO names the mount after its folder, as a file
    // manager lists it.
    LoopMount unlabelled(root, "");
    ASSERT_EQ(unlabelled.skipReason(), "");
    EXPECT_EQ(volumeNameOf(unlabelled.folder(), root.path() + "/no-labels"), "Volume");
  }
}

TEST(VolumeName, ACutLabelLosesItsLastCharacterAndABlankOneIsPassedOver) {
  testsupport::TempRoot root;
  {
    // ext4 keeps the first 16 bytes: five characters and a third of the sixth.
    LoopMount cut(root, "게임디스크볼륨");
    if (!cut.skipReason().empty()) GTEST_SKIP() << cut.skipReason();
    EXPECT_EQ(volumeNameOf(cut.folder(), root.path() + "/no-labels"), "게임디스크");
  }
  {
    LoopMount blank(root, "   ");
    ASSERT_EQ(blank.skipReason(), "");
    EXPECT_EQ(volumeNameOf(blank.folder(), root.path() + "/no-labels"), "Volume");
  }
}

TEST(ShownTexts, ValidUTF8OnOneLine) {
  EXPECT_EQ(validUTF8("Caf\xe9 \xff\xfe\x80" "Disk \xeb\xb3"), "Caf\uFFFD \uFFFDDisk ") << "one mark per run, none for a cut end";
  EXPECT_EQ(validUTF8(std::string("\xeb\xb3 \0", 4)), "\uFFFD \uFFFD");
  EXPECT_EQ(oneLineText("a\nb\r\n\tc\u2028d\u2029e\x7f\u0085f\xeb"), "a b c d e f");
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
