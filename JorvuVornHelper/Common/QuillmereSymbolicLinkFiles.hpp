#pragma once
// The symbolic links that the ported game's bundle needs inside itself
// (library aliases, stub executables, framework links and its "bin" folder),
// made by the helper before the game is launched after work.
#include <array>
#include <string>
#include <utility>

class QuillmereSymbolicLinkFiles {
 public:
  static constexpr const char* bundlePath = "/Library/Application Support/Jorvu/QuillT/QuillmereT.app";
  static constexpr std::size_t rowCount = 122;

  // (target path, link path), both absolute, in the order they are made.
  using Row = std::pair<std::string, std::string>;
  static const std::array<Row, rowCount>& symbolic();

  // Makes every link unless the last one ("bin") already leads somewhere.
  // Never fails to the caller: each row that cannot be made is logged and
  // skipped. Whatever sits at a link path (a file, an old or dangling link)
  // is replaced.
  static void make();
};
