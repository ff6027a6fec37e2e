#pragma once
// The port through which the launch flow shows things to the user: the setup
// panel, an error popup, the debug alert. The GTK interface implements it
// with real windows; without a display the app runs with the null interface
// below; tests use a recording one that can answer like a user.
//
// Thread contract: every call is made on the main loop (MainThread), and
// every callback the interface is handed is called there too.
#include <functional>
#include <memory>
#include <stdexcept>

#include "Common/App/GameExecuteInfo.hpp"
#include "Common/Protocol/GamePanelInfo.hpp"
#include "Common/Protocol/VornHelperError.hpp"
#include "JorvuVorn/Model/GameWorkInfo.hpp"

// The page asked to close the setup panel: cancels the running step.
using CancelHandler = std::function<void()>;
// A popup closed: true continues with the work step ignoring the OS-version
// limit, false finishes the launch.
using ViewCloseHandler = std::function<void(bool ignoreOSVersion)>;

// Thrown by an interface that cannot show what it was asked to.
class InterfaceError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Interface {
 public:
  virtual ~Interface() = default;

  // Opens the setup panel on `panelInfo` and returns without waiting for it
  // to close. The panel subscribes to `observer` and calls `cancelHandler`
  // when the page asks to close. Failures are logged by the panel itself.
  virtual void loadSetupView(const GamePanelInfo& panelInfo, const GameExecuteInfo& gameExecuteInfo,
                             std::shared_ptr<GameWorkInfoObserver> observer, CancelHandler cancelHandler) = 0;

  // Shows the popup for `error`, or only logs it for the cases that have
  // none, and returns once it is shown. The user's answer comes later
  // through `viewCloseHandler`, called at most once. Throws InterfaceError
  // when the popup cannot be shown; the handler is then never called.
  virtual void loadPopupView(const VornHelperError& error, const GameExecuteInfo& gameExecuteInfo,
                             ViewCloseHandler viewCloseHandler) = 0;

  // A modal alert with one "OK" button and no text; `done` runs once it is
  // pressed (at once when there is nothing to show it on).
  virtual void showDebugAlert(std::function<void()> done) = 0;
};

// Without a display: no panel, no popup (loadPopupView throws, so the launch
// flow answers false itself), the debug alert answers at once.
class NullInterface final : public Interface {
 public:
  void loadSetupView(const GamePanelInfo&, const GameExecuteInfo&, std::shared_ptr<GameWorkInfoObserver>,
                     CancelHandler) override {}
  void loadPopupView(const VornHelperError&, const GameExecuteInfo&, ViewCloseHandler) override {
    throw InterfaceError("no display to show the popup on");
  }
  void showDebugAlert(std::function<void()> done) override {
    if (done) done();
  }
};
