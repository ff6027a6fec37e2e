// The payload, worker-record and catalogue decoders, the JSON writer and the
// URL module on arbitrary bytes. Whatever decodes must encode and decode
// back to the same value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "Common/Json/JsonReading.hpp"
#include "Common/Json/JsonWriting.hpp"
#include "Common/Protocol/ErrorInfo.hpp"
#include "Common/Protocol/GamePanelInfo.hpp"
#include "Common/Protocol/GameStatus.hpp"
#include "Common/Protocol/SubError.hpp"
#include "Common/Protocol/VantixToken.hpp"
#include "Common/Protocol/VornHelperError.hpp"
#include "Common/Url/Url.hpp"
#include "JorvuVornHelper/Common/GameInfo.hpp"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

// Reads `doc` as a T; when that works, its text must read back the same.
template <class T>
void roundTrip(const jsoncoding::Value& doc) {
  T value{};
  try {
    payload::Coder<T>::read(doc, "fuzz", value);
  } catch (const jsoncoding::DecodingError&) {
    return;
  }
  check(payload::decode<T>(payload::encode(value), "fuzz") == value);
}

void urls(std::string_view text) {
  if (auto url = urlkit::URL::parse(text)) {
    (void)url->path();
    (void)url->queryItems();
    (void)urlkit::deletingPathExtension(url->lastPathComponent());
  }
  const auto& query = urlkit::CharacterSet::urlQueryAllowed();
  if (auto encoded = urlkit::percentEncode(text, query)) {
    check(urlkit::percentDecode(*encoded) == std::string(text));
    (void)urlkit::URL::parse(*encoded);
  }
  (void)urlkit::percentDecode(text);
}

void wholeTexts(std::string_view text) {
  try {
    (void)GameStatus::ProgressInfo::decodeOptional(text);
  } catch (const jsoncoding::DecodingError&) {
  }
  if (auto info = ErrorInfo::tryDecode(text)) {
    check(ErrorInfo::decode(info->encode()) == *info);
    try {
      (void)info->capacityInfo();
    } catch (const jsoncoding::DecodingError&) {
    }
  }
  try {
    (void)ShortcutInfo::decodeList(text);
  } catch (const jsoncoding::DecodingError&) {
  }
  if (auto game = GameInfo::tryDecode(text)) {
    check(GameInfo::decode(game->encode()) == *game);
    if (game->shortcut_install_list) {
      try {
        (void)ShortcutInfo::decodeList(*game->shortcut_install_list);
      } catch (const jsoncoding::DecodingError&) {
      }
    }
    try {
      game->transformURLDownloadModeInfo();
      check(isPlainFolderName(game->install_folder_name));
    } catch (const SubError&) {
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The catalogue rewrite logs; keep its file out of the real home.
  char folder[] = "/tmp/fuzz_payloads.XXXXXX";
  if (char* made = ::mkdtemp(folder)) {
    ::setenv("JORVU_ROOT", made, 1);
    ::setenv("HOME", made, 1);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  // The whole-text entries below parse the text again; they run only when
  // it parses at all, since a parse failure is the same for all of them.
  bool parsed = false;
  try {
    const rapidjson::Document doc = jsoncoding::parseDocument(text);
    parsed = true;
    roundTrip<GameStatus>(doc);
    roundTrip<GamePanelInfo>(doc);
    roundTrip<VantixToken>(doc);
    roundTrip<ErrorStatus>(doc);
    roundTrip<SubError>(doc);
    roundTrip<CapacityInfo>(doc);
  } catch (const jsoncoding::DecodingError&) {
  }
  if (parsed) wholeTexts(text);

  // Whatever the bytes, the writer makes a string that reads back.
  std::string quoted;
  jsoncoding::appendQuoted(quoted, text);
  try {
    const std::string back = jsoncoding::toString(jsoncoding::parseDocument(quoted), "s");
    if (urlkit::isValidUTF8(text)) check(back == text);
  } catch (const jsoncoding::DecodingError&) {
    check(false);
  }

  urls(text);
  return 0;
}
