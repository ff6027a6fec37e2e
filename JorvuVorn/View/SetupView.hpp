#pragma once
// The setup panel's content: the page's web view framed to exactly the
// handler's panel size, centred. When the page changes the size, the view
// takes the new frame and its window (a WrapWindow) takes the new content
// size and is centred again on the work area; it is centred once more when
// first shown.
//
// Lifetime: the view belongs to its widget (freed when the widget is
// destroyed) and holds the handler.
//
// Thread contract: main loop only.
#include <gtk/gtk.h>

#include <chrono>
#include <memory>
#include <string>

#include "JorvuVorn/Model/PanelSize.hpp"

class KtzScriptMessageHandler;

class SetupView {
 public:
  // Makes the view and starts loading `url` (a floating reference).
  static GtkWidget* make(std::shared_ptr<KtzScriptMessageHandler> handler, std::string url,
                         std::chrono::milliseconds timeoutInterval = std::chrono::seconds(60));

 private:
  SetupView(std::shared_ptr<KtzScriptMessageHandler> handler, std::string url);
  ~SetupView();
  void render();
  void scheduleRecentring();

  std::shared_ptr<KtzScriptMessageHandler> handler_;
  std::string url_;
  GtkWidget* box_ = nullptr;
  GtkWidget* frame_ = nullptr;    // the web view's frame, inside box_
  GtkWidget* webView_ = nullptr;  // a reference of ours
};
