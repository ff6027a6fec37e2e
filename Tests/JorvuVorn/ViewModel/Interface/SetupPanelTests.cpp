// The setup panel with the publisher stand-in's setup page, on a real
// display: sizes, the progress pushed into the page, the page's requests and
// what a hostile page cannot do.
#include <gtest/gtest.h>
#include <webkit2/webkit2.h>

#include <chrono>
#include <climits>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "Common/Logger/VornLogger.hpp"
#include "JorvuVorn/Model/WebViewProgressData.hpp"
#include "JorvuVorn/View/SetupView.hpp"
#include "JorvuVorn/ViewModel/Interface/ErrorViewController.hpp"
#include "JorvuVorn/ViewModel/Interface/KtzScriptMessageHandler.hpp"
#include "JorvuVorn/ViewModel/Interface/WindowController.hpp"
#include "Tests/Support/GtkTestSupport.hpp"
#include "Tests/Support/TempRoot.hpp"
#include "Tools/publisher/Publisher.hpp"

namespace {

using guitest::runUntil;

std::vector<WrapWindow*> openWrapWindows() {
  std::vector<WrapWindow*> out;
  GList* toplevels = gtk_window_list_toplevels();
  for (GList* l = toplevels; l != nullptr; l = l->next) {
    if (WrapWindow* w = WrapWindow::of(GTK_WIDGET(l->data))) out.push_back(w);
  }
  g_list_free(toplevels);
  return out;
}

WebKitWebView* findWebView(GtkWidget* widget) {
  if (WEBKIT_IS_WEB_VIEW(widget)) return WEBKIT_WEB_VIEW(widget);
  if (!GTK_IS_CONTAINER(widget)) return nullptr;
  WebKitWebView* found = nullptr;
  GList* children = gtk_container_get_children(GTK_CONTAINER(widget));
  for (GList* l = children; l != nullptr && found == nullptr; l = l->next) found = findWebView(GTK_WIDGET(l->data));
  g_list_free(children);
  return found;
}

std::size_t countLogLines(const std::string& text) {
  VornLogger::shared().waitIdle();
  std::ifstream in(VornLogger::shared().filePath());
  std::size_t n = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.find(text) != std::string::npos) ++n;
  }
  return n;
}

std::string progressJson(const std::string& step, const std::string& rate) {
  return R"({"type":"progress","progress":{"step":")" + step + R"(","rate":)" + rate + "}}";
}

// The process-wide logger writes into a folder that outlives every test.
class LogFolder : public ::testing::Environment {
 public:
  void SetUp() override {
    root_ = std::make_unique<testsupport::TempRoot>();
    VornLogger::shared();
  }
  void TearDown() override {
    VornLogger::shared().waitIdle();
    root_.reset();
  }

 private:
  std::unique_ptr<testsupport::TempRoot> root_;
};
const auto* const logFolder = ::testing::AddGlobalTestEnvironment(new LogFolder);

class SetupPanelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    publisher.start();
    observer = GameWorkInfoObserver::make();
  }

  void TearDown() override {
    for (WrapWindow* w : openWrapWindows()) w->close();
    guitest::drain();
    observer.reset();
    publisher.stop();
  }

  std::string pageURL(const std::string& query = "") const {
    return publisher.origin() + "/pages/setup.html?" + (query.empty() ? "" : query + "&") + "language=en";
  }

  // Opens the panel as the work step does and waits until the page's own
  // script has run (unless the page closes the panel while loading).
  void open(const std::string& query = "", PanelSize size = {500, 300}, bool waitForPage = true) {
    GamePanelInfo info{128001, pageURL(query), static_cast<std::uint32_t>(size.width),
                       static_cast<std::uint32_t>(size.height)};
    GameExecuteInfo execute;
    execute.gameCode = 128001;
    ErrorViewController::loadSetupView(info, execute, observer, [this] { ++cancels; });
    const auto windows = openWrapWindows();
    ASSERT_EQ(windows.size(), 1u);
    window = windows.front()->gtkWindow();
    g_object_add_weak_pointer(G_OBJECT(window), reinterpret_cast<gpointer*>(&window));
    webView = findWebView(GTK_WIDGET(window));
    ASSERT_NE(webView, nullptr);
    attachProbe();
    if (waitForPage) {
      ASSERT_TRUE(runUntil([&] { return loaded; })) << "the page did not load";
    }
  }

  // The page posts what it receives to "jorvuProbe".
  void attachProbe() {
    WebKitUserContentManager* manager = webkit_web_view_get_user_content_manager(webView);
    g_signal_connect(manager, "script-message-received::jorvuProbe",
                     G_CALLBACK(+[](WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer self) {
                       G_GNUC_BEGIN_IGNORE_DEPRECATIONS
                       JSCValue* value = webkit_javascript_result_get_js_value(result);
                       G_GNUC_END_IGNORE_DEPRECATIONS
                       gchar* text = jsc_value_to_string(value);
                       auto* test = static_cast<SetupPanelTest*>(self);
                       if (std::string(text) == "loaded") {
                         test->loaded = true;
                       } else if (std::string(text).rfind("mark:", 0) == 0) {
                         test->marks.push_back(text);
                       } else {
                         test->received.push_back(text);
                       }
                       g_free(text);
                     }),
                     this);
    ASSERT_TRUE(webkit_user_content_manager_register_script_message_handler(manager, "jorvuProbe"));
  }

  // Runs `script` in the page and waits until the app has handled what the
  // script posted (the probe's mark comes after it on the same channel).
  void runInPage(const std::string& script) {
    const std::string mark = "mark:" + std::to_string(marks.size() + 1);
    const std::string whole = script + "; window.webkit.messageHandlers.jorvuProbe.postMessage('" + mark + "');";
    webkit_web_view_evaluate_javascript(webView, whole.c_str(), -1, nullptr, nullptr, nullptr, nullptr, nullptr);
    ASSERT_TRUE(runUntil([&] { return !marks.empty() && marks.back() == mark; })) << script;
    guitest::drain();
  }

  GdkRectangle frame() const { return guitest::frameOf(window); }
  static GdkRectangle centred(int width, int height) {
    const auto area = WrapWindow::workArea();
    return {area->x + (area->width - width) / 2, area->y + (area->height - height) / 2, width, height};
  }
  bool frameIs(GdkRectangle expected) const {
    const GdkRectangle f = frame();
    return f.x == expected.x && f.y == expected.y && f.width == expected.width && f.height == expected.height;
  }

  testsupport::TempRoot root;
  publisher::Publisher publisher{root.path()};
  std::shared_ptr<GameWorkInfoObserver> observer;
  GtkWindow* window = nullptr;
  WebKitWebView* webView = nullptr;
  bool loaded = false;
  int cancels = 0;
  std::vector<std::string> received;
  std::vector<std::string> marks;
};

TEST_F(SetupPanelTest, OpensAtThePageSizeCentredAndShowsThePageEdgeToEdge) {
  open();
  EXPECT_TRUE(runUntil([&] { return frameIs(centred(500, 300)); }));
  EXPECT_FALSE(gtk_window_get_decorated(window));

  // The page draws a 4-pixel red frame around green: the frame must reach
  // every edge of the window.
  const guitest::Rgb red{0xd6, 0x28, 0x28};
  const guitest::Rgb green{0x1d, 0x6f, 0x42};
  GdkPixbuf* pixels = nullptr;
  const bool painted = runUntil([&] {
    if (pixels != nullptr) g_object_unref(pixels);
    pixels = guitest::pixelsOf(window);
    return pixels != nullptr && guitest::near(guitest::pixelAt(pixels, 0, 0), red) &&
           guitest::near(guitest::pixelAt(pixels, 499, 299), red);
  });
  ASSERT_NE(pixels, nullptr);
  const std::string file = guitest::artefactDir() + "/setup-panel-500x300.png";
  gdk_pixbuf_save(pixels, file.c_str(), "png", nullptr, nullptr);
  ASSERT_TRUE(painted) << "see " << file;
  for (auto [x, y] : {std::pair{0, 0}, {499, 0}, {0, 299}, {499, 299}, {250, 0}, {250, 299}, {0, 150}, {499, 150}}) {
    EXPECT_TRUE(guitest::near(guitest::pixelAt(pixels, x, y), red)) << x << "," << y;
  }
  for (auto [x, y] : {std::pair{4, 4}, {495, 295}, {12, 150}}) {
    EXPECT_TRUE(guitest::near(guitest::pixelAt(pixels, x, y), green)) << x << "," << y;
  }
  g_object_unref(pixels);
}

TEST_F(SetupPanelTest, PageResizesThePanelWhichIsCentredAgainAndBadSizesChangeNothing) {
  open("resize=600x400");
  ASSERT_TRUE(runUntil([&] { return frameIs(centred(600, 400)); }))
      << frame().x << "," << frame().y << " " << frame().width << "x" << frame().height;

  for (const char* bad : {"0, 400", "600, 0", "-1, 400", "40000, 400", "600, 40000", "'600', 400", "600.5, 400",
                          "600, null", "NaN, 400", "Infinity, 400", "2147483648, 400"}) {
    runInPage(std::string("ktz.resize(") + bad + ")");
  }
  guitest::drain();
  EXPECT_TRUE(frameIs(centred(600, 400)));

  // The largest size the work area holds is taken.
  const auto area = WrapWindow::workArea();
  runInPage("ktz.resize(" + std::to_string(area->width) + ", " + std::to_string(area->height) + ")");
  EXPECT_TRUE(runUntil([&] { return frameIs(*area); }));
  runInPage("ktz.resize(320.0, 200)");
  EXPECT_TRUE(runUntil([&] { return frameIs(centred(320, 200)); }))
      << frame().x << "," << frame().y << " " << frame().width << "x" << frame().height;
}

TEST_F(SetupPanelTest, PageReceivesEveryPublishedValueInOrderTheLastOneClosing) {
  open();
  std::vector<std::string> expected;
  // A burst in one turn of the main loop, as the work step's updates can
  // come: each stored value reaches the page, in order.
  for (int i = 1; i <= 40; ++i) {
    const float rate = static_cast<float>(i) / 40;
    const std::string step = i > 20 ? "patch" : "install";
    observer->update({step, rate});
    char text[32];
    std::snprintf(text, sizeof text, "%g", rate);
    expected.push_back(progressJson(step, text));
  }
  observer->update({"patch", 0.0f});  // not stored: not sent
  observer->update({"", 1.0f});       // ready: sent, then the panel closes
  expected.push_back(progressJson("", "1"));

  ASSERT_TRUE(runUntil([&] { return window == nullptr; })) << "the panel stayed open";
  EXPECT_EQ(received, expected);
  EXPECT_EQ(cancels, 0);
  observer->update({"install", 0.5f});  // after closing: nothing, no crash
  guitest::drain();
}

TEST_F(SetupPanelTest, ValuesBeforeThePageRegisteredAreDropped) {
  const std::size_t notReadyBefore = countLogLines("[INFO] not ready eventCallback");
  open("register=no");
  observer->update({"install", 0.25f});
  runInPage("ktz.addEventCallback('other', window.showProgress)");
  observer->update({"install", 0.5f});
  runInPage("ktz.addEventCallback('progress', window.showProgress)");
  observer->update({"install", 0.75f});
  runInPage("0");
  EXPECT_EQ(received, std::vector<std::string>{progressJson("install", "0.75")});
  // The first value (at opening) and the two before registering.
  EXPECT_EQ(countLogLines("[INFO] not ready eventCallback") - notReadyBefore, 3u);
  EXPECT_NE(window, nullptr);
}

TEST_F(SetupPanelTest, PageCloseCancelsTheLaunchOnceAndClosesThePanel) {
  open("close=1", {500, 300}, false);
  ASSERT_TRUE(runUntil([&] { return window == nullptr; }));
  EXPECT_EQ(cancels, 1);
  EXPECT_TRUE(openWrapWindows().empty());
  observer->update({"install", 0.5f});
  guitest::drain();
  EXPECT_EQ(cancels, 1);
}

// Once the panel is closing, by the page or by the work step's end, a close
// the page posts has nothing left to cancel.
TEST_F(SetupPanelTest, ClosesPostedWhileThePanelIsClosingCancelNothing) {
  open();
  webkit_web_view_evaluate_javascript(webView, "ktz.close(); ktz.close(); ktz.close();", -1, nullptr, nullptr,
                                      nullptr, nullptr, nullptr);
  ASSERT_TRUE(runUntil([&] { return window == nullptr; }));
  guitest::drain();
  EXPECT_EQ(cancels, 1);

  // The last value's call is still running in the page when it closes.
  observer = GameWorkInfoObserver::make();
  cancels = 0;
  loaded = false;
  open();
  runInPage("ktz.addEventCallback('progress', function() { ktz.close(); ktz.close(); })");
  observer->update({"", 1.0f});
  ASSERT_TRUE(runUntil([&] { return window == nullptr; }));
  guitest::drain();
  EXPECT_EQ(cancels, 0);
}

TEST_F(SetupPanelTest, ErrorStepIsSentAndClosesThePanel) {
  open();
  observer->update({"install", 0.5f});
  runInPage("0");
  ASSERT_NE(window, nullptr);
  // The page shows it: its bar is filled half way (yellow at a quarter,
  // dark at three quarters of the bar's width).
  const guitest::Rgb yellow{0xf4, 0xd3, 0x5e};
  const guitest::Rgb dark{0x0b, 0x3d, 0x22};
  GdkPixbuf* pixels = nullptr;
  auto barAt = [&](double fraction) {
    return guitest::pixelAt(pixels, 28 + static_cast<int>(fraction * (500 - 56)), 156);
  };
  const bool shown = runUntil([&] {
    if (pixels != nullptr) g_object_unref(pixels);
    pixels = guitest::pixelsOf(window);
    return pixels != nullptr && guitest::near(barAt(0.25), yellow) && guitest::near(barAt(0.75), dark);
  });
  const std::string file = guitest::artefactDir() + "/setup-panel-install-50.png";
  if (pixels != nullptr) {
    gdk_pixbuf_save(pixels, file.c_str(), "png", nullptr, nullptr);
    g_object_unref(pixels);
  }
  EXPECT_TRUE(shown) << "see " << file;

  observer->update({"error", 1.0f});
  ASSERT_TRUE(runUntil([&] { return window == nullptr; }));
  EXPECT_EQ(received, (std::vector<std::string>{progressJson("install", "0.5"), progressJson("error", "1")}));
  EXPECT_EQ(cancels, 0);
}

TEST_F(SetupPanelTest, StepTextCannotBreakOutOfTheCall) {
  open();
  const std::string hostile = "x\\\")\n;throw 1;//\r\xe2\x80\xa8\xe2\x80\xa9\t\"";
  observer->update({hostile, 0.5f});
  ASSERT_TRUE(runUntil([&] { return window == nullptr; }));
  ASSERT_EQ(received.size(), 1u);
  const auto data = payload::decode<WebViewProgressData>(received[0], "WebViewProgressData");
  EXPECT_EQ(data.progress.step, hostile);
  EXPECT_EQ(data.progress.rate, 0.5f);
}

TEST_F(SetupPanelTest, GarbageFromThePageChangesNothing) {
  open();
  for (const char* post : {
           "'ktz.close'", "42", "null", "undefined", "{0: 'ktz.close', length: 1}", "[]", "[42]", "[null]",
           "[['ktz.close']]", "['ktz.unknown', 1, 2]", "['KTZ.CLOSE']", "['ktz.resize']", "['ktz.resize', 600]",
           "['ktz.resize', '600', '400']", "['ktz.addEventCallback']", "['ktz.addEventCallback', 5]",
           "new Array(2000000).fill('ktz.close', 1)", "Array.from({length: 100000}, (_, i) => [i, 'x'])",
       }) {
    runInPage(std::string("window.webkit.messageHandlers.ktzFunction.postMessage(") + post + ")");
  }
  // Another name than the bridge's is not the bridge.
  EXPECT_EQ(cancels, 0);
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(frameIs(centred(500, 300)));
  // The bridge still works.
  observer->update({"install", 0.5f});
  runInPage("0");
  EXPECT_EQ(received, std::vector<std::string>{progressJson("install", "0.5")});
}

TEST_F(SetupPanelTest, PanelsWithoutAUsablePageOrSizeAreNotOpened) {
  GameExecuteInfo execute;
  execute.gameCode = 7;
  const std::size_t before = countLogLines("[ERROR] gameCode=7 invalid gamePanelInfo.");
  for (const GamePanelInfo& info : {
           GamePanelInfo{7, "", 500, 300}, GamePanelInfo{7, "not a url", 500, 300},
           GamePanelInfo{7, "file:///etc/passwd", 500, 300}, GamePanelInfo{7, "javascript:alert(1)", 500, 300},
           GamePanelInfo{7, pageURL(), 0, 300}, GamePanelInfo{7, pageURL(), 500, 0}}) {
    ErrorViewController::loadSetupView(info, execute, observer, [this] { ++cancels; });
    EXPECT_TRUE(openWrapWindows().empty()) << info.contentsURL;
  }
  EXPECT_EQ(countLogLines("[ERROR] gameCode=7 invalid gamePanelInfo.") - before, 6u);

  // A size larger than the screen is cut to the work area.
  const auto area = WrapWindow::workArea();
  ErrorViewController::loadSetupView({7, pageURL(), 100000, 100000}, execute, observer, [] {});
  ASSERT_EQ(openWrapWindows().size(), 1u);
  window = openWrapWindows().front()->gtkWindow();
  EXPECT_TRUE(runUntil([&] { return frameIs(*area); }));
}

TEST_F(SetupPanelTest, LoadThatDoesNotCommitIsStoppedAfterTheTimeOut) {
  publisher.setFault("/pages/setup.html", publisher::Fault::stall());
  // Long enough for a busy machine to start the web process and send the
  // request before it ends: a time-out that ends the load before WebKit
  // has started it stops it too, but WebKit then goes on saying it loads.
  constexpr auto timeout = std::chrono::seconds(10);
  const auto start = std::chrono::steady_clock::now();
  auto handler = KtzScriptMessageHandler::make({300, 200}, {}, observer, [] {});
  GtkWidget* view = SetupView::make(handler, pageURL(), timeout);
  WindowController controller({300, 200}, view);
  ASSERT_TRUE(controller.loadView(false));
  WebKitWebView* web = handler->webView();
  ASSERT_NE(web, nullptr);
  ASSERT_TRUE(runUntil([&] { return publisher.requestCount("/pages/setup.html") > 0; }, timeout));
  EXPECT_TRUE(webkit_web_view_is_loading(web));
  EXPECT_TRUE(runUntil([&] { return !webkit_web_view_is_loading(web); }, timeout + std::chrono::seconds(30)));
  EXPECT_GE(std::chrono::steady_clock::now() - start, timeout);
  publisher.clearFaults();
}

TEST_F(SetupPanelTest, WindowManagerCloseEndsTheProgress) {
  open();
  GtkWindow* panel = window;
  GdkEvent* event = gdk_event_new(GDK_DELETE);
  event->any.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(GTK_WIDGET(panel))));
  gtk_main_do_event(event);
  gdk_event_free(event);
  ASSERT_TRUE(runUntil([&] { return window == nullptr; }));
  EXPECT_EQ(cancels, 0);
  observer->update({"install", 0.5f});
  guitest::drain();
  EXPECT_TRUE(received.empty());
}

}  // namespace
