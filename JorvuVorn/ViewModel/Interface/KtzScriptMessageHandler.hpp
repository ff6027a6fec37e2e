#pragma once
// Both directions of the setup panel's script bridge.
//
// From the page: the arrays that the injected script (KtzJavaScript.hpp)
// posts to "ktzFunction" arrive in userContentController(): the page
// registers for progress, asks for a new size (1 up to the monitor's work
// area; anything else is ignored) or asks to close (the launch's cancel
// handler runs, then the panel closes; a close while the panel is closing
// already does nothing). Anything malformed is ignored.
//
// To the page: the handler subscribes to the work step's observer; each
// value is handed to the page, in the order the observer stored them, as
// ktz.progressCallback("<JSON>") once the page has registered for
// "progress" (earlier values are dropped: "not ready eventCallback"). A
// value whose step is neither "install" nor "patch" is sent and then closes
// the panel.
//
// close() returns at once; on the main loop it ends the subscription, lets
// the calls already sent to the page finish (a few seconds at most), then
// takes the web view out of its window and closes the window.
//
// Thread contract: main loop only. Made shared (the setup view and the web
// view's signal hold it).
#include <webkit2/webkit2.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "JorvuVorn/Model/PanelSize.hpp"
#include "JorvuVorn/ViewModel/Interface.hpp"

class KtzScriptMessageHandler : public std::enable_shared_from_this<KtzScriptMessageHandler> {
 public:
  static std::shared_ptr<KtzScriptMessageHandler> make(PanelSize panelSize, GameExecuteInfo gameExecuteInfo,
                                                       std::shared_ptr<GameWorkInfoObserver> gameWorkInfoObserver,
                                                       CancelHandler cancelHandler);
  ~KtzScriptMessageHandler();
  KtzScriptMessageHandler(const KtzScriptMessageHandler&) = delete;
  KtzScriptMessageHandler& operator=(const KtzScriptMessageHandler&) = delete;

  // A message the page posted to the handler named `name`.
  void userContentController(const std::string& name, JSCValue* body);

  PanelSize panelSize() const { return panelSize_; }
  // Called with the new size after every change (the setup view follows).
  void observePanelSize(std::function<void(PanelSize)> observer) { panelSizeObserver_ = std::move(observer); }

  // The web view the page lives in (not owned; cleared when it goes).
  void setWebView(WebKitWebView* webView);
  WebKitWebView* webView() const { return webView_; }

  bool isAddEventCallback() const { return isAddEventCallback_; }
  void close();

  // How long close() waits for the calls already sent to the page.
  static constexpr std::chrono::milliseconds closeGrace{3000};

 private:
  KtzScriptMessageHandler(PanelSize panelSize, GameExecuteInfo gameExecuteInfo, CancelHandler cancelHandler);
  void subscribe(const std::shared_ptr<GameWorkInfoObserver>& observer);

  void updateProgress(const GameWorkInfo& gameWorkInfo);
  void evaluateJavaScript(const std::string& call);
  void resize(JSCValue* body);
  void finishClose();

  PanelSize panelSize_;
  std::function<void(PanelSize)> panelSizeObserver_;
  WebKitWebView* webView_ = nullptr;  // weak
  GameExecuteInfo gameExecuteInfo_;
  CancelHandler cancelHandler_;
  GameWorkInfoObserver::Subscription gameWorkHandler_;
  bool isAddEventCallback_ = false;

  int pendingEvaluations_ = 0;
  bool closeScheduled_ = false;
  bool closeWaiting_ = false;
  bool closed_ = false;
  guint closeGraceSource_ = 0;
};
