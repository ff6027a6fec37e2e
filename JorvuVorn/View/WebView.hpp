#pragma once
// The setup panel's web view: one page, the injected `ktz` script in every
// frame, the script message handler "ktzFunction", no windows opened by the
// page, no background of its own (the window's shows through where the page
// draws none). A load that has not committed within the request's time-out
// is stopped. Certificate errors fail the load (WebKit's default policy,
// left as it is).
//
// Thread contract: main loop only.
#include <gtk/gtk.h>

#include <chrono>
#include <memory>
#include <string>

class KtzScriptMessageHandler;

struct URLRequest {
  std::string url;
  std::chrono::milliseconds timeoutInterval{std::chrono::seconds(60)};
};

class WebView {
 public:
  WebView(URLRequest request, std::shared_ptr<KtzScriptMessageHandler> handler)
      : request_(std::move(request)), handler_(std::move(handler)) {}

  // Builds the configured web view (a floating reference), hands it to the
  // handler and starts loading the request.
  GtkWidget* makeView() const;

 private:
  URLRequest request_;
  std::shared_ptr<KtzScriptMessageHandler> handler_;
};
