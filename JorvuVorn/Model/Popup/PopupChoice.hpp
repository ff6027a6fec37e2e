#pragma once
// Which popup a helper error opens: the view with its records, the window
// size and whether the window gets the thin black outline; or, for the
// errors the user need not see, only a log line.
//
// Plain functions; any thread (prepare() logs).
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "Common/Logger/VornLogger.hpp"
#include "Common/Protocol/VornHelperError.hpp"
#include "JorvuVorn/Model/PanelSize.hpp"
#include "JorvuVorn/Model/Popup/PopupViews.hpp"

struct PopupLogOnly {
  VornLogLevel level = VornLogLevel::debug;
  std::string line;
};

struct PopupChoice {
  PopupView view;
  PanelSize size;
  bool needDefaultBorder = true;
};

// The choice for `error`; reads the home folder's volume name for the disk
// popup, nothing else.
std::variant<PopupLogOnly, PopupChoice> choosePopup(const VornHelperError& error);

// choosePopup() and its log: the log-only line, or ERROR "gameCode=" + the
// game code + " " + the error's printed form before a popup. Nothing for the
// log-only errors.
std::optional<PopupChoice> preparePopup(const VornHelperError& error, std::uint32_t gameCode);
