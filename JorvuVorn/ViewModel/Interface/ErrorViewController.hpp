#pragma once
// The entry points of the interface on GTK: the setup panel and the popups.
// GtkInterface hands the launch flow's Interface calls to them.
//
// Thread contract: main loop only (GTK).
#include <functional>
#include <memory>
#include <string>

#include "JorvuVorn/ViewModel/Interface.hpp"

struct ErrorViewController {
  // Opens the setup panel; returns without waiting for it to close.
  static void loadSetupView(const GamePanelInfo& gamePanelInfo, const GameExecuteInfo& gameExecuteInfo,
                            std::shared_ptr<GameWorkInfoObserver> gameWorkInfoObserver, CancelHandler cancelHandler);
  // Shows the popup for `error` (or only logs it); throws InterfaceError when
  // it cannot be shown, and the handler is then never called.
  static void loadPopupView(const VornHelperError& error, const GameExecuteInfo& gameExecuteInfo,
                            ViewCloseHandler viewCloseHandler);
  // The debug alert: one "OK" button, no text; `done` runs when it is pressed.
  static void showDebugAlert(std::function<void()> done);
  // A start-up that cannot go on: an error alert with `text` and an "OK"
  // button, run until it is closed, or until SIGTERM or SIGINT. Outside the
  // app's main loop (it runs one of its own); nothing when there is no
  // display.
  static void showStartupFailure(const std::string& text);
};

class GtkInterface final : public Interface {
 public:
  void loadSetupView(const GamePanelInfo& panelInfo, const GameExecuteInfo& gameExecuteInfo,
                     std::shared_ptr<GameWorkInfoObserver> observer, CancelHandler cancelHandler) override {
    ErrorViewController::loadSetupView(panelInfo, gameExecuteInfo, std::move(observer), std::move(cancelHandler));
  }
  void loadPopupView(const VornHelperError& error, const GameExecuteInfo& gameExecuteInfo,
                     ViewCloseHandler viewCloseHandler) override {
    ErrorViewController::loadPopupView(error, gameExecuteInfo, std::move(viewCloseHandler));
  }
  void showDebugAlert(std::function<void()> done) override { ErrorViewController::showDebugAlert(std::move(done)); }
};
