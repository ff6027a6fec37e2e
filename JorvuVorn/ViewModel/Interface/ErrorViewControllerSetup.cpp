// The setup panel's entry point: the page named by the helper's
// GamePanelInfo in a borderless window of the size it gives.
#include <glib.h>

#include <string>

#include "Common/Logger/VornLogger.hpp"
#include "JorvuVorn/View/SetupView.hpp"
#include "JorvuVorn/ViewModel/Interface/ErrorViewController.hpp"
#include "JorvuVorn/ViewModel/Interface/KtzScriptMessageHandler.hpp"
#include "JorvuVorn/ViewModel/Interface/WindowController.hpp"

namespace {

// Only web pages: the record comes from the catalogue, and a panel has no
// business showing local files or running script URLs.
bool isPageURL(const std::string& url) {
  GUri* uri = g_uri_parse(url.c_str(), G_URI_FLAGS_NONE, nullptr);
  if (uri == nullptr) return false;
  const std::string scheme = g_uri_get_scheme(uri);
  const char* host = g_uri_get_host(uri);
  const bool ok = (scheme == "http" || scheme == "https") && host != nullptr && *host != '\0';
  g_uri_unref(uri);
  return ok;
}

}  // namespace

void ErrorViewController::loadSetupView(const GamePanelInfo& gamePanelInfo, const GameExecuteInfo& gameExecuteInfo,
                                        std::shared_ptr<GameWorkInfoObserver> gameWorkInfoObserver,
                                        CancelHandler cancelHandler) {
  const std::string code = std::to_string(gameExecuteInfo.gameCode);
  logInfo("gameCode=" + code + " loadSetupView");
  if (gamePanelInfo.contentsURL.empty() || !isPageURL(gamePanelInfo.contentsURL)) {
    logError("gameCode=" + code + " invalid gamePanelInfo.contentsURL");
    return;
  }
  // A size the screen cannot hold would make the window fail: none at all
  // is refused, a larger one is cut to the work area.
  if (gamePanelInfo.panelWidth == 0 || gamePanelInfo.panelHeight == 0) {
    logError("gameCode=" + code + " invalid gamePanelInfo.panelSize");
    return;
  }
  PanelSize size{static_cast<int>(std::min<std::uint32_t>(gamePanelInfo.panelWidth, INT32_MAX)),
                 static_cast<int>(std::min<std::uint32_t>(gamePanelInfo.panelHeight, INT32_MAX))};
  if (const auto area = WrapWindow::workArea()) {
    size.width = std::min(size.width, area->width);
    size.height = std::min(size.height, area->height);
  }

  auto handler = KtzScriptMessageHandler::make(size, gameExecuteInfo, std::move(gameWorkInfoObserver),
                                               std::move(cancelHandler));
  GtkWidget* setupView = SetupView::make(handler, gamePanelInfo.contentsURL);
  WindowController controller(size, setupView);
  controller.loadView(false);
}
