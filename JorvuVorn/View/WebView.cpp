#include "JorvuVorn/View/WebView.hpp"

#include <webkit2/webkit2.h>

#include "Common/Logger/VornLogger.hpp"
#include "JorvuVorn/Model/KtzJavaScript.hpp"
#include "JorvuVorn/ViewModel/Interface/KtzScriptMessageHandler.hpp"

namespace {

using HandlerRef = std::shared_ptr<KtzScriptMessageHandler>;

// Stops a load that has not committed within the time-out. Belongs to the
// web view (freed with it).
class LoadTimeout {
 public:
  LoadTimeout(WebKitWebView* webView, std::chrono::milliseconds timeout) : webView_(webView), timeout_(timeout) {
    g_signal_connect(webView, "load-changed", G_CALLBACK(onLoadChanged), this);
    g_signal_connect(webView, "load-failed", G_CALLBACK(onLoadFailed), this);
  }
  ~LoadTimeout() { disarm(); }

  static void attach(WebKitWebView* webView, std::chrono::milliseconds timeout) {
    g_object_set_data_full(G_OBJECT(webView), "jorvu-load-timeout", new LoadTimeout(webView, timeout),
                           [](gpointer data) { delete static_cast<LoadTimeout*>(data); });
  }
  // The first load starts before WebKit reports it: armed by hand.
  void arm() {
    disarm();
    source_ = g_timeout_add(static_cast<guint>(timeout_.count()), onTimeout, this);
  }

 private:
  void disarm() {
    if (source_ != 0) g_source_remove(source_);
    source_ = 0;
  }
  static void onLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer self) {
    auto* watch = static_cast<LoadTimeout*>(self);
    if (event == WEBKIT_LOAD_STARTED) {
      watch->arm();
    } else {
      watch->disarm();  // committed (or further): the page is there
    }
  }
  static gboolean onLoadFailed(WebKitWebView*, WebKitLoadEvent, gchar*, GError*, gpointer self) {
    static_cast<LoadTimeout*>(self)->disarm();
    return FALSE;
  }
  static gboolean onTimeout(gpointer self) {
    auto* watch = static_cast<LoadTimeout*>(self);
    watch->source_ = 0;
    logDebug("setup page load timed out");
    webkit_web_view_stop_loading(watch->webView_);
    return G_SOURCE_REMOVE;
  }

  WebKitWebView* webView_;
  std::chrono::milliseconds timeout_;
  guint source_ = 0;
};

void onScriptMessage(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer data) {
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  JSCValue* body = webkit_javascript_result_get_js_value(result);
  G_GNUC_END_IGNORE_DEPRECATIONS
  (*static_cast<HandlerRef*>(data))->userContentController(kKtzScriptMessageHandlerName, body);
}

}  // namespace

GtkWidget* WebView::makeView() const {
  WebKitSettings* settings = webkit_settings_new();
  webkit_settings_set_javascript_can_open_windows_automatically(settings, FALSE);

  WebKitUserContentManager* manager = webkit_user_content_manager_new();
  const std::string signal = std::string("script-message-received::") + kKtzScriptMessageHandlerName;
  g_signal_connect_data(manager, signal.c_str(), G_CALLBACK(onScriptMessage), new HandlerRef(handler_),
                        [](gpointer data, GClosure*) { delete static_cast<HandlerRef*>(data); }, GConnectFlags(0));
  webkit_user_content_manager_register_script_message_handler(manager, kKtzScriptMessageHandlerName);
  WebKitUserScript* script =
      webkit_user_script_new(ktzJavaScript().c_str(), WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES,
                             WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
  webkit_user_content_manager_add_script(manager, script);
  webkit_user_script_unref(script);

  GtkWidget* view =
      GTK_WIDGET(g_object_new(WEBKIT_TYPE_WEB_VIEW, "settings", settings, "user-content-manager", manager, nullptr));
  g_object_unref(settings);
  g_object_unref(manager);
  WebKitWebView* webView = WEBKIT_WEB_VIEW(view);

  // The page may not open windows, not even on a click.
  g_signal_connect(view, "create",
                   G_CALLBACK(+[](WebKitWebView*, WebKitNavigationAction*, gpointer) -> GtkWidget* { return nullptr; }),
                   nullptr);
  const GdkRGBA clear{0, 0, 0, 0};
  webkit_web_view_set_background_color(webView, &clear);

  handler_->setWebView(webView);
  LoadTimeout::attach(webView, request_.timeoutInterval);
  webkit_web_view_load_uri(webView, request_.url.c_str());
  static_cast<LoadTimeout*>(g_object_get_data(G_OBJECT(view), "jorvu-load-timeout"))->arm();
  return view;
}
