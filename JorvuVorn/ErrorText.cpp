#include "JorvuVorn/ErrorText.hpp"

#include "Common/App/StartURL.hpp"
#include "JorvuVorn/ViewModel/VornHelperLauncher.hpp"

std::string appErrorText(const std::exception& error) {
  if (auto* e = dynamic_cast<const URLParserError*>(&error)) return e->description() + " " + e->localizedDescription();
  if (auto* e = dynamic_cast<const VornHelperLauncherError*>(&error)) {
    return e->description() + " " + e->localizedDescription();
  }
  return std::string(error.what()) + " " + error.what();
}
