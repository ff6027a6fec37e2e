// The executable of a game's desktop shortcut: opens the URL stored in its
// bundle's Info.plist. It has no window, no log and no state, and always
// ends with status 0; a failure simply opens nothing.
#include <gio/gio.h>

#include <string>

#include "Common/Url/Url.hpp"
#include "Platform/Base64.hpp"
#include "Platform/Bundle.hpp"

namespace {

// True when the URL was handed to the system's default handler.
bool run() {
  const auto bundle = platform::Bundle::main();
  if (!bundle) return false;
  const auto info = bundle->infoDictionary();
  if (!info) return false;
  const platform::PlistValue* stored = info->find("ZQLaunchIdentifier");
  if (stored == nullptr || stored->string() == nullptr) return false;

  const auto bytes = platform::base64Decode(*stored->string());
  if (!bytes || !urlkit::isValidUTF8(*bytes)) return false;
  // The whole text is escaped, "%" included: a stored escape is escaped again.
  const auto escaped = urlkit::percentEncode(*bytes, urlkit::CharacterSet::urlQueryAllowed());
  if (!escaped) return false;
  const auto url = urlkit::URL::parse(*escaped);
  if (!url) return false;

  // Whether a handler was found is not looked at.
  GError* error = nullptr;
  g_app_info_launch_default_for_uri(url->absoluteString().c_str(), nullptr, &error);
  if (error != nullptr) g_error_free(error);
  return true;
}

}  // namespace

int main() {
  run();
  return 0;
}
