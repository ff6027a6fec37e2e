#include "JorvuVorn/Model/Popup/StringTable.hpp"

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "Common/Logger/VornLogger.hpp"
#include "Platform/Bundle.hpp"

namespace {

// Reads the quoted texts and separators of a strings file, tracking lines.
class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  bool atEnd() {
    skipBlanksAndComments();
    return at_ >= text_.size();
  }

  std::string quoted() {
    skipBlanksAndComments();
    expect('"');
    std::string out;
    while (true) {
      if (at_ >= text_.size()) fail("unterminated text");
      const char c = text_[at_++];
      if (c == '"') return out;
      if (c == '\n') ++line_;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (at_ >= text_.size()) fail("unterminated text");
      switch (const char e = text_[at_++]) {
        case '"':
        case '\\':
          out += e;
          break;
        case 'n':
          out += '\n';
          break;
        case 't':
          out += '\t';
          break;
        default:
          fail(std::string("unknown escape \\") + e);
      }
    }
  }

  void expect(char wanted) {
    skipBlanksAndComments();
    if (at_ >= text_.size() || text_[at_] != wanted) fail(std::string("expected '") + wanted + "'");
    ++at_;
  }

  [[noreturn]] void fail(const std::string& what) const {
    throw std::runtime_error("line " + std::to_string(line_) + ": " + what);
  }

 private:
  void skipBlanksAndComments() {
    while (at_ < text_.size()) {
      const char c = text_[at_];
      if (c == '\n') {
        ++line_;
        ++at_;
      } else if (c == ' ' || c == '\t' || c == '\r') {
        ++at_;
      } else if (text_.substr(at_, 2) == "//") {
        while (at_ < text_.size() && text_[at_] != '\n') ++at_;
      } else if (text_.substr(at_, 2) == "/*") {
        const std::size_t end = text_.find("*/", at_ + 2);
        if (end == std::string_view::npos) fail("unterminated comment");
        for (std::size_t i = at_; i < end; ++i) line_ += text_[i] == '\n' ? 1 : 0;
        at_ = end + 2;
      } else {
        return;
      }
    }
  }

  std::string_view text_;
  std::size_t at_ = 0;
  int line_ = 1;
};

bool isFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string tablePath(const std::string& folder, const std::string& language) {
  return folder + "/" + language + ".lproj/Localizable.strings";
}

}  // namespace

StringTable StringTable::parse(std::string_view text) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);  // a byte-order mark
  Reader reader(text);
  std::map<std::string, std::string> entries;
  while (!reader.atEnd()) {
    std::string key = reader.quoted();
    reader.expect('=');
    std::string value = reader.quoted();
    reader.expect(';');
    if (!entries.emplace(key, std::move(value)).second) reader.fail("key \"" + key + "\" given twice");
  }
  return StringTable(std::move(entries));
}

StringTable StringTable::load(const std::string& resourceFolder, const std::string& language) {
  std::string path = tablePath(resourceFolder, language);
  if (language.empty() || !isFile(path)) path = tablePath(resourceFolder, "en");
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    VornLogger::logging(VornLogLevel::error, "string table not found: " + path);
    return {};
  }
  std::ostringstream text;
  text << in.rdbuf();
  try {
    return parse(text.str());
  } catch (const std::exception& error) {
    VornLogger::logging(VornLogLevel::error, "string table refused: " + path + " " + error.what());
    return {};
  }
}

const std::string& StringTable::lookup(const std::string& key) const {
  const auto found = entries_.find(key);
  return found == entries_.end() ? key : found->second;
}

std::string StringTable::localized(const std::string& key, const std::vector<std::string>& values) const {
  return formatPattern(lookup(key), values);
}

std::string formatPattern(std::string_view pattern, const std::vector<std::string>& values) {
  std::string out;
  std::size_t next = 0;  // the value the next unnumbered placeholder takes
  std::size_t at = 0;
  while (at < pattern.size()) {
    const std::size_t percent = pattern.find('%', at);
    out.append(pattern.substr(at, percent == std::string_view::npos ? std::string_view::npos : percent - at));
    if (percent == std::string_view::npos) break;
    at = percent + 1;
    if (pattern.substr(at, 1) == "%") {
      out += '%';
      ++at;
      continue;
    }
    // An optional position "N$", then the conversion.
    std::size_t digitsEnd = at;
    while (digitsEnd < pattern.size() && pattern[digitsEnd] >= '0' && pattern[digitsEnd] <= '9') ++digitsEnd;
    std::optional<std::size_t> position;
    std::size_t conversion = at;
    if (digitsEnd > at && digitsEnd - at <= 3 && digitsEnd < pattern.size() && pattern[digitsEnd] == '$') {
      position = std::stoul(std::string(pattern.substr(at, digitsEnd - at)));
      conversion = digitsEnd + 1;
    }
    std::size_t length = 0;
    for (const char* spec : {"lld", "ld", "d", "@"}) {
      if (pattern.substr(conversion, std::char_traits<char>::length(spec)) == spec) {
        length = std::char_traits<char>::length(spec);
        break;
      }
    }
    const std::size_t index = position ? *position - 1 : next;
    if (length == 0 || (position && *position == 0) || index >= values.size()) {
      out += '%';  // left as written
      continue;
    }
    out += values[index];
    if (!position) ++next;
    at = conversion + length;
  }
  return out;
}

std::optional<std::string> appResourceFolder() {
  if (const char* folder = std::getenv("JORVU_APP_RESOURCES"); folder != nullptr && *folder != '\0') {
    return std::string(folder);
  }
  if (const auto bundle = platform::Bundle::main()) return bundle->resourcePath();
  return std::nullopt;
}
