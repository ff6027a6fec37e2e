#pragma once
// What the popups format before they show it: colours written as hex texts,
// a version number in the platform's float form and its system name, byte
// counts, the name of the volume that holds the home folder, and texts from
// outside made fit to show (valid UTF-8, on one line).
//
// Plain functions; any thread (getRootVolumeName reads the file system and
// asks GIO).
#include <cstdint>
#include <string>
#include <string_view>

// An opaque sRGB colour, each channel 0...255.
struct Color {
  std::uint8_t red = 0;
  std::uint8_t green = 0;
  std::uint8_t blue = 0;
  bool operator==(const Color&) const = default;

  // Skips one leading "#" and reads the hexadecimal digits that follow as one
  // number n: red (n >> 16) & 255, green (n >> 8) & 255, blue n & 255. A text
  // without hexadecimal digits gives black.
  static Color fromHex(std::string_view hex);
};

// A 32-bit float the way the platform prints it: the shortest decimal that
// reads back as the same float, with ".0" for a whole number ("14.0",
// "10.15", "10.1"); "nan", "inf" and "-inf" for the others.
std::string floatText(float value);

// "macOS " + the version's name + " " + floatText(version), such as
// "macOS Sonoma 14.0". The name comes from the whole part and, for 10, from
// the exact value; anything not named (other 10.x, below 10, 15 and above,
// not a finite number) is "Unknown".
std::string getOSVersionName(float version);

// A byte count in decimal units the way the platform's file-size formatter
// writes it, with its blanks removed: "999bytes", "12KB", "1.2MB", "12.3GB",
// "ZeroKB" for 0.
std::string byteCountText(std::uint64_t bytes);

// The free-space message of the disk popup: byteCountText(total) + " left".
std::string capacityMessage(std::uint64_t total);

// `text` as valid UTF-8: a character cut off by the end of the text is
// dropped, and every other run of bytes that are not UTF-8 becomes one
// U+FFFD.
std::string validUTF8(std::string_view text);

// validUTF8(text) on one line, for texts shown in a limited number of lines:
// each run of line and paragraph breaks, tabs and other control characters
// becomes one space.
std::string oneLineText(std::string_view text);

// The name of the volume that holds the user's home folder, as the desktop's
// file manager shows it: GIO's name for its mount, else the file system's
// label, else GIO's name for the system mount ("Filesystem root");
// "Unknown Volume" when none can be read. A name is read as validUTF8(); one
// with nothing visible in it counts as unreadable.
std::string getRootVolumeName();
// The same for any path, with udev's label links looked up in `labelFolder`
// (tests).
std::string volumeNameOf(const std::string& path, const std::string& labelFolder);
// A label as udev writes it in a link name, with "\xNN" escapes decoded.
std::string decodeLabel(std::string_view linkName);
