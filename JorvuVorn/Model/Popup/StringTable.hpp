#pragma once
// The app's texts: one string table per language in the app bundle's
// resources, <resources>/<language>.lproj/Localizable.strings, entries
// written as
//     "key" = "value";
// with /* */ and // comments between them and the escapes \" \\ \n \t in
// the quoted texts. A file is read strictly: any other content, an
// unterminated text or a key given twice refuses the whole file (nothing
// half-read is used). A key the table lacks shows as the key itself.
//
// Patterns take values in order: "%@" a text, "%lld" (also "%ld", "%d") an
// integer given as its decimal text, "%%" a percent sign; "%1$@" picks a
// value by its position.
//
// Plain values; a table is immutable once loaded and may be read from any
// thread.
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class StringTable {
 public:
  StringTable() = default;
  explicit StringTable(std::map<std::string, std::string> entries) : entries_(std::move(entries)) {}

  // Throws std::runtime_error naming the line of the first fault.
  static StringTable parse(std::string_view text);

  // The language's table from the resource folder: the table of `language`
  // when the folder has one, else the English one. An empty table when none
  // can be read (the fault is logged at ERROR).
  static StringTable load(const std::string& resourceFolder, const std::string& language);

  // The value of `key`, or the key itself.
  const std::string& lookup(const std::string& key) const;
  bool contains(const std::string& key) const { return entries_.count(key) != 0; }
  const std::map<std::string, std::string>& entries() const { return entries_; }

  // lookup(key) with `values` put into its pattern.
  std::string localized(const std::string& key, const std::vector<std::string>& values = {}) const;

 private:
  std::map<std::string, std::string> entries_;
};

// Puts `values` into `pattern` (see above). Placeholders without a value and
// unknown ones stay as they are written.
std::string formatPattern(std::string_view pattern, const std::vector<std::string>& values);

// The app's resource folder: JORVU_APP_RESOURCES when set and not empty (tests
// point it at the source tree), else Contents/Resources of the running
// bundle; nothing when neither exists.
std::optional<std::string> appResourceFolder();
