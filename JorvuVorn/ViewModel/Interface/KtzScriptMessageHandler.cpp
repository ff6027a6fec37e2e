#include "JorvuVorn/ViewModel/Interface/KtzScriptMessageHandler.hpp"

#include <climits>
#include <cmath>
#include <optional>
#include <utility>

#include "Common/Logger/VornLogger.hpp"
#include "JorvuVorn/Model/KtzJavaScript.hpp"
#include "JorvuVorn/Model/WebViewProgressData.hpp"
#include "JorvuVorn/View/WrapWindow.hpp"

namespace {

// A JavaScript value owned for the scope.
struct JsValue {
  JSCValue* value;
  explicit JsValue(JSCValue* v) : value(v) {}
  ~JsValue() {
    if (value != nullptr) g_object_unref(value);
  }
  JsValue(const JsValue&) = delete;
  JsValue& operator=(const JsValue&) = delete;
};

std::optional<std::string> textOf(JSCValue* value) {
  if (value == nullptr || !jsc_value_is_string(value)) return std::nullopt;
  gchar* text = jsc_value_to_string(value);
  std::string out = text != nullptr ? text : "";
  g_free(text);
  return out;
}

std::optional<int> integerOf(JSCValue* value) {
  if (value == nullptr || !jsc_value_is_number(value)) return std::nullopt;
  const double number = jsc_value_to_double(value);
  if (!std::isfinite(number) || number != std::floor(number) || number < INT_MIN || number > INT_MAX) {
    return std::nullopt;
  }
  return static_cast<int>(number);
}

// The array's length; the page cannot make this read all of a huge array.
int lengthOf(JSCValue* array) {
  JsValue length(jsc_value_object_get_property(array, "length"));
  const auto n = integerOf(length.value);
  return n && *n > 0 ? *n : 0;
}

bool isInstallOrPatch(const std::string& step) { return step == "install" || step == "patch"; }

}  // namespace

std::shared_ptr<KtzScriptMessageHandler> KtzScriptMessageHandler::make(
    PanelSize panelSize, GameExecuteInfo gameExecuteInfo, std::shared_ptr<GameWorkInfoObserver> gameWorkInfoObserver,
    CancelHandler cancelHandler) {
  std::shared_ptr<KtzScriptMessageHandler> handler(
      new KtzScriptMessageHandler(panelSize, std::move(gameExecuteInfo), std::move(cancelHandler)));
  if (gameWorkInfoObserver) handler->subscribe(gameWorkInfoObserver);
  return handler;
}

KtzScriptMessageHandler::KtzScriptMessageHandler(PanelSize panelSize, GameExecuteInfo gameExecuteInfo,
                                                 CancelHandler cancelHandler)
    : panelSize_(panelSize), gameExecuteInfo_(std::move(gameExecuteInfo)), cancelHandler_(std::move(cancelHandler)) {}

KtzScriptMessageHandler::~KtzScriptMessageHandler() {
  gameWorkHandler_.cancel();
  if (closeGraceSource_ != 0) g_source_remove(closeGraceSource_);
  if (webView_ != nullptr) g_object_remove_weak_pointer(G_OBJECT(webView_), reinterpret_cast<gpointer*>(&webView_));
}

void KtzScriptMessageHandler::subscribe(const std::shared_ptr<GameWorkInfoObserver>& observer) {
  std::weak_ptr<KtzScriptMessageHandler> weak = weak_from_this();
  // The observer calls back on the main loop in the order it stored the
  // values; each is handed to the page right away, so the page sees them in
  // that order too.
  gameWorkHandler_ = observer->subscribe([weak](const GameWorkInfo& value) {
    auto self = weak.lock();
    if (!self) return;
    self->updateProgress(value);
    if (!isInstallOrPatch(value.step)) self->close();
  });
}

void KtzScriptMessageHandler::setWebView(WebKitWebView* webView) {
  if (webView_ != nullptr) g_object_remove_weak_pointer(G_OBJECT(webView_), reinterpret_cast<gpointer*>(&webView_));
  webView_ = webView;
  if (webView_ == nullptr) return;
  g_object_add_weak_pointer(G_OBJECT(webView_), reinterpret_cast<gpointer*>(&webView_));
  // The window closed from outside (the window manager): no more progress.
  auto* weak = new std::weak_ptr<KtzScriptMessageHandler>(weak_from_this());
  g_signal_connect_data(
      webView_, "destroy", G_CALLBACK(+[](GtkWidget*, gpointer data) {
        if (auto self = static_cast<std::weak_ptr<KtzScriptMessageHandler>*>(data)->lock()) {
          self->gameWorkHandler_.cancel();
        }
      }),
      weak, [](gpointer data, GClosure*) { delete static_cast<std::weak_ptr<KtzScriptMessageHandler>*>(data); },
      GConnectFlags(0));
}

void KtzScriptMessageHandler::userContentController(const std::string& name, JSCValue* body) {
  if (name != kKtzScriptMessageHandlerName) {
    logDebug("invalid message.name=" + name);
    return;
  }
  if (body == nullptr || !jsc_value_is_array(body)) {
    logDebug("invalid message.body");
    return;
  }
  const int length = lengthOf(body);
  JsValue first(length > 0 ? jsc_value_object_get_property_at_index(body, 0) : nullptr);
  const auto command = textOf(first.value);
  if (!command) {
    logDebug("invalid messages[0]");
    return;
  }

  if (*command == "ktz.addEventCallback") {
    if (length < 2) return;
    JsValue type(jsc_value_object_get_property_at_index(body, 1));
    const auto typeText = textOf(type.value);
    if (!typeText) return;
    logDebug("addeventCallback");
    if (*typeText == "progress") isAddEventCallback_ = true;
  } else if (*command == "ktz.resize") {
    if (length < 3) return;
    resize(body);
  } else if (*command == "ktz.close") {
    logDebug("close");
    // Once the panel is closing (the work step has ended, or the page asked
    // already), there is nothing left for the page to cancel.
    if (!closeScheduled_ && cancelHandler_) cancelHandler_();
    close();
  }
}

void KtzScriptMessageHandler::resize(JSCValue* body) {
  JsValue widthValue(jsc_value_object_get_property_at_index(body, 1));
  JsValue heightValue(jsc_value_object_get_property_at_index(body, 2));
  const auto width = integerOf(widthValue.value);
  const auto height = integerOf(heightValue.value);
  if (!width || !height) return;
  logDebug("[ktz.resize] Width: " + std::to_string(*width) + ", Height: " + std::to_string(*height));
  // A window must have a size that the screen can hold.
  const auto area = WrapWindow::workArea();
  if (!area || *width < 1 || *height < 1 || *width > area->width || *height > area->height) {
    logDebug("[ktz.resize] size out of range, ignored");
    return;
  }
  const PanelSize size{*width, *height};
  if (size == panelSize_) return;
  panelSize_ = size;
  if (panelSizeObserver_) panelSizeObserver_(panelSize_);
}

void KtzScriptMessageHandler::updateProgress(const GameWorkInfo& gameWorkInfo) {
  const WebViewProgressData data{"progress", gameWorkInfo};
  if (!isAddEventCallback_) {
    logInfo("not ready eventCallback");
    return;
  }
  std::string json;
  try {
    json = data.encode();
  } catch (const std::exception& e) {
    logError(std::string("An error occurred: encodingError ") + e.what());
    close();
    return;
  }
  logDebug("sendWebViewData=" + json);
  evaluateJavaScript(progressCallbackCall(json));
}

void KtzScriptMessageHandler::evaluateJavaScript(const std::string& call) {
  if (webView_ == nullptr || closed_) return;
  ++pendingEvaluations_;
  // The callback keeps the handler until the page has run the call.
  auto* keep = new std::shared_ptr<KtzScriptMessageHandler>(shared_from_this());
  webkit_web_view_evaluate_javascript(
      webView_, call.c_str(), static_cast<gssize>(call.size()), nullptr, nullptr, nullptr,
      +[](GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<std::shared_ptr<KtzScriptMessageHandler>> self(
            static_cast<std::shared_ptr<KtzScriptMessageHandler>*>(data));
        GError* error = nullptr;
        JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, &error);
        if (value != nullptr) g_object_unref(value);
        if (error != nullptr) {
          logError(std::string("An error occurred: evaluateJavaScript ") + error->message);
          g_error_free(error);
        }
        auto& handler = **self;
        --handler.pendingEvaluations_;
        if (handler.closeWaiting_ && handler.pendingEvaluations_ == 0) handler.finishClose();
      },
      keep);
}

void KtzScriptMessageHandler::close() {
  if (closeScheduled_) return;
  closeScheduled_ = true;
  auto* keep = new std::shared_ptr<KtzScriptMessageHandler>(shared_from_this());
  g_idle_add_full(
      G_PRIORITY_DEFAULT_IDLE,
      +[](gpointer data) -> gboolean {
        auto& self = **static_cast<std::shared_ptr<KtzScriptMessageHandler>*>(data);
        self.gameWorkHandler_.cancel();
        if (self.pendingEvaluations_ == 0) {
          self.finishClose();
          return G_SOURCE_REMOVE;
        }
        // Let the page run what it was already sent (the closing value
        // among it), within a bound.
        self.closeWaiting_ = true;
        auto* grace = new std::shared_ptr<KtzScriptMessageHandler>(self.shared_from_this());
        self.closeGraceSource_ = g_timeout_add_full(
            G_PRIORITY_DEFAULT, static_cast<guint>(closeGrace.count()),
            +[](gpointer d) -> gboolean {
              auto& handler = **static_cast<std::shared_ptr<KtzScriptMessageHandler>*>(d);
              handler.closeGraceSource_ = 0;
              handler.finishClose();
              return G_SOURCE_REMOVE;
            },
            grace, [](gpointer d) { delete static_cast<std::shared_ptr<KtzScriptMessageHandler>*>(d); });
        return G_SOURCE_REMOVE;
      },
      keep, [](gpointer data) { delete static_cast<std::shared_ptr<KtzScriptMessageHandler>*>(data); });
}

void KtzScriptMessageHandler::finishClose() {
  if (closed_) return;
  closed_ = true;
  closeWaiting_ = false;
  if (closeGraceSource_ != 0) {
    g_source_remove(closeGraceSource_);
    closeGraceSource_ = 0;
  }
  gameWorkHandler_.cancel();
  if (webView_ != nullptr) {
    GtkWidget* webView = GTK_WIDGET(webView_);
    WrapWindow* window = WrapWindow::of(webView);
    if (GtkWidget* parent = gtk_widget_get_parent(webView)) gtk_container_remove(GTK_CONTAINER(parent), webView);
    if (window != nullptr) window->close();
  }
  setWebView(nullptr);
}
