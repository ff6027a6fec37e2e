#pragma once
// A small URL module: validated parsing of URL texts (absolute or relative,
// by the generic URI syntax, ASCII only), percent-encoding with a given set
// of allowed characters, percent-decoding, and the path helpers the helper
// and the app need (last path component, deleting a path extension).
#include <bitset>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace urlkit {

// A set of ASCII characters that percent-encoding leaves as they are.
class CharacterSet {
 public:
  CharacterSet() = default;
  explicit CharacterSet(std::string_view chars) { add(chars); }
  CharacterSet& add(std::string_view chars);
  CharacterSet& addAlphanumerics();
  bool contains(unsigned char c) const { return c < 128 && bits_.test(c); }

  // Letters, digits, "-._~", "!$&'()*+,;=", ":@", "/" and "?".
  static const CharacterSet& urlQueryAllowed();
  // The same without "?".
  static const CharacterSet& urlPathAllowed();

 private:
  std::bitset<128> bits_;
};

// Every byte of `text` outside `allowed` becomes "%" and two uppercase hex
// digits (the "%" itself too). Nothing when `text` is not valid UTF-8.
std::optional<std::string> percentEncode(std::string_view text, const CharacterSet& allowed);
// Nothing when a "%" is not followed by two hex digits or the result is not
// valid UTF-8.
std::optional<std::string> percentDecode(std::string_view text);
bool isValidUTF8(std::string_view text);

// The last component of a path ("/a/b.zip" gives "b.zip", "/a/b/" gives
// "b", "/" gives "/", "" gives ""), without decoding.
std::string lastPathComponent(std::string_view path);
// "b.zip" gives "b"; a name without an extension (also ".profile") is
// returned as it is.
std::string deletingPathExtension(std::string_view name);

struct QueryItem {
  std::string name;
  std::optional<std::string> value;  // absent for an item without "="
  bool operator==(const QueryItem&) const = default;
};

class URL {
 public:
  // Nothing when `text` is empty or not a valid URL.
  static std::optional<URL> parse(std::string_view text);

  const std::string& absoluteString() const { return text_; }
  // Components as written (still percent-encoded); scheme is empty for a
  // relative URL.
  const std::string& scheme() const { return scheme_; }
  const std::optional<std::string>& user() const { return user_; }
  const std::optional<std::string>& host() const { return host_; }
  std::optional<std::uint16_t> port() const { return port_; }
  const std::string& encodedPath() const { return path_; }
  const std::optional<std::string>& query() const { return query_; }
  const std::optional<std::string>& fragment() const { return fragment_; }

  // The decoded path; empty when it does not decode.
  std::string path() const;
  // The last component of the path, decoded; empty when it does not decode.
  std::string lastPathComponent() const;
  // The query split at "&" and the first "=" of each item, decoded; nothing
  // without a query or when an item does not decode.
  std::optional<std::vector<QueryItem>> queryItems() const;

  bool operator==(const URL& other) const { return text_ == other.text_; }

 private:
  std::string text_;
  std::string scheme_;
  std::optional<std::string> user_;
  std::optional<std::string> host_;
  std::optional<std::uint16_t> port_;
  std::string path_;
  std::optional<std::string> query_;
  std::optional<std::string> fragment_;
};

}  // namespace urlkit
