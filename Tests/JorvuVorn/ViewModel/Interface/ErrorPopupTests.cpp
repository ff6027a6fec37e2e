#include <gtest/gtest.h>
#include <sys/stat.h>

#include "JorvuVorn/Model/Popup/PopupViews.hpp"
#include "JorvuVorn/Model/Popup/StringTable.hpp"
#include "JorvuVorn/View/Popup/PopupWidgets.hpp"
#include "JorvuVorn/View/WrapWindow.hpp"
#include "JorvuVorn/ViewModel/Interface/ErrorViewController.hpp"
#include "JorvuVorn/ViewModel/Interface/WindowController.hpp"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "Tests/JorvuVorn/ViewModel/Interface/WindowTestSupport.hpp"
#include "Tests/Support/GtkTestSupport.hpp"
#include "Tests/Support/ScopedEnv.hpp"
#include "Tests/Support/TempRoot.hpp"

namespace {

using E = VornHelperError;
using guitest::runUntil;
using guitest::sendWindowManagerClose;
using testsupport::ScopedEnv;

// Before main (and so before GTK and GIO read their folders): the app's
// resources from the source tree, and a handler for the test help site's
// scheme that records the addresses it is asked to open.
struct HelpRecorder {
  std::string folder;
  std::string opened;

  HelpRecorder() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "jorvu-popup-gui-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
    folder = tmpl;
    opened = folder + "/opened";
    std::filesystem::create_directories(folder + "/data/applications");
    std::filesystem::create_directories(folder + "/config");
    const std::string script = folder + "/record-help";
    std::ofstream(script) << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" << opened << "'\n";
    ::chmod(script.c_str(), 0755);
    std::ofstream(folder + "/data/applications/jorvu-help-recorder.desktop")
        << "[Desktop Entry]\nType=Application\nName=Help recorder\nExec=" << script
        << " %u\nMimeType=x-scheme-handler/jorvuhelp;\nNoDisplay=true\n";
    std::ofstream(folder + "/config/mimeapps.list")
        << "[Default Applications]\nx-scheme-handler/jorvuhelp=jorvu-help-recorder.desktop\n";
    ::setenv("XDG_DATA_HOME", (folder + "/data").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (folder + "/config").c_str(), 1);
    ::setenv("JORVU_APP_RESOURCES", JORVU_SOURCE_RESOURCES, 1);
  }
  ~HelpRecorder() {
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
  }
  std::string lines() const {
    std::ifstream in(opened);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
};
HelpRecorder recorder;

// The one WrapWindow on screen.
WrapWindow* openWrapWindow() {
  WrapWindow* found = nullptr;
  GList* toplevels = gtk_window_list_toplevels();
  for (GList* item = toplevels; item != nullptr; item = item->next) {
    GtkWidget* window = GTK_WIDGET(item->data);
    if (gtk_widget_get_visible(window) && WrapWindow::of(window) != nullptr) found = WrapWindow::of(window);
  }
  g_list_free(toplevels);
  return found;
}

GtkWidget* findNamed(GtkWidget* widget, const std::string& name) {
  if (name == gtk_widget_get_name(widget)) return widget;
  GtkWidget* found = nullptr;
  if (GTK_IS_CONTAINER(widget)) {
    GList* children = gtk_container_get_children(GTK_CONTAINER(widget));
    for (GList* item = children; item != nullptr && found == nullptr; item = item->next) {
      found = findNamed(GTK_WIDGET(item->data), name);
    }
    g_list_free(children);
  }
  return found;
}

// A click with the pointer (twice when `times` is 2) in the middle of the
// named widget of the open popup.
void clickOn(const std::string& name, int times = 1) {
  WrapWindow* window = openWrapWindow();
  ASSERT_NE(window, nullptr);
  GtkWidget* widget = findNamed(GTK_WIDGET(window->gtkWindow()), name);
  ASSERT_NE(widget, nullptr) << "no widget " << name;
  GtkAllocation allocation;
  gtk_widget_get_allocation(widget, &allocation);
  int x = 0, y = 0;
  ASSERT_TRUE(gtk_widget_translate_coordinates(widget, GTK_WIDGET(window->gtkWindow()), allocation.width / 2,
                                               allocation.height / 2, &x, &y));
  const GdkRectangle frame = guitest::frameOf(window->gtkWindow());
  ASSERT_TRUE(guitest::xdotool("mousemove --sync " + std::to_string(frame.x + x) + " " + std::to_string(frame.y + y) +
                               " click --repeat " + std::to_string(times) + " --delay 150 1"));
}

GameExecuteInfo launch() {
  GameExecuteInfo info;
  info.gameCode = 4001;
  return info;
}

class ErrorPopupTest : public ::testing::Test {
 protected:
  // Opens the popup for `error` and waits until it is on screen and drawn.
  WrapWindow* open(const VornHelperError& error) {
    ErrorViewController::loadPopupView(error, launch(), [this](bool answer) { answers.push_back(answer); });
    return drawn(openWrapWindow());
  }

  // Waits until `window` is on screen and drawn.
  static WrapWindow* drawn(WrapWindow* window) {
    if (window == nullptr) return nullptr;
    int frames = 0;
    const gulong drawn = g_signal_connect_after(window->gtkWindow(), "draw", G_CALLBACK(+[](GtkWidget*, cairo_t*, gpointer count) -> gboolean {
      ++*static_cast<int*>(count);
      return FALSE;
    }), &frames);
    const bool shown = runUntil([&] { return gtk_widget_get_mapped(GTK_WIDGET(window->gtkWindow())) && frames > 0; });
    g_signal_handler_disconnect(window->gtkWindow(), drawn);
    if (!shown) return nullptr;
    guitest::drain();
    return window;
  }

  // Waits for the first answer and lets a second one show up if it would.
  void expectOneAnswer(bool expected) {
    ASSERT_TRUE(runUntil([&] { return !answers.empty(); })) << "no answer";
    runUntil([] { return false; }, std::chrono::milliseconds(400));
    EXPECT_EQ(answers, std::vector<bool>{expected});
    EXPECT_EQ(openWrapWindow(), nullptr) << "the popup is still open";
  }

  testsupport::TempRoot root;
  ScopedEnv helpHost{"JORVU_HELP_HOST", "jorvuhelp://help.test"};
  std::vector<bool> answers;
};

// The popup's pixels, saved as build/artefacts/popup-<name>.png, after
// checking that its window has the size it was made with. Unref the result.
GdkPixbuf* screenshot(WrapWindow* window, PanelSize size, const std::string& name) {
  const GdkRectangle frame = guitest::frameOf(window->gtkWindow());
  EXPECT_EQ(frame.width, size.width);
  EXPECT_EQ(frame.height, size.height);
  GdkPixbuf* pixels = guitest::pixelsOf(window->gtkWindow());
  if (pixels == nullptr) return nullptr;
  const std::string file = guitest::artefactDir() + "/popup-" + name + ".png";
  EXPECT_TRUE(gdk_pixbuf_save(pixels, file.c_str(), "png", nullptr, nullptr));
  return pixels;
}

struct Shot {
  const char* name;
  VornHelperError error;
  int width;
  int height;
  bool border;
};

TEST_F(ErrorPopupTest, EachPopupOpensAtItsSizeWithItsBorderInBothLanguages) {
  const std::vector<Shot> shots = {
      {"UnsupportedAppLaunching", E::UnsupportedAppLaunching{}, 320, 203, false},
      {"UnsupportedOS", E::UnsupportedOS{}, 320, 226, false},
      {"OSVersionLimit", E::OSVersionLimit{10.15f, 11.0f}, 480, 347, true},
      {"Maintenance", E::Maintenance{"2026-12-07 09:00", "2026-12-07 11:00", "Server upgrade", "https://x"}, 480, 376, true},
      {"Unknown", E::ExecuteFailed{}, 460, 213, true},
      {"Internet", E::NetworkError{-60, 0, 0, 0}, 460, 213, true},
      {"SetupInstall", E::WorkFailed{-60, 13000, 0, 0}, 460, 184, true},
      {"SetupUpdateDisk", E::WorkFailed{-61, 32000, 933, 0}, 460, 184, true},
      {"DriverSpaceInstall", E::DiskSizeLack{5'000'000'000, 12'300'000'000, GameStatus::Status::install}, 480, 287, true},
      {"DriverSpacePatch", E::DiskSizeLack{5'000'000'000, 1'234'567'890, GameStatus::Status::patch}, 480, 287, true},
      {"VANTIXNotSignedUp", E::VantixError{2019}, 460, 213, true},
      {"VANTIXUnknown", E::VantixError{7}, 460, 213, true},
  };
  for (const char* language : {"en_US.UTF-8", "ko_KR.UTF-8"}) {
    ScopedEnv locale("LC_ALL", language);
    for (const Shot& shot : shots) {
      SCOPED_TRACE(std::string(shot.name) + " " + language);
      WrapWindow* window = open(shot.error);
      ASSERT_NE(window, nullptr);
      GdkPixbuf* pixels = screenshot(window, {shot.width, shot.height}, std::string(shot.name) + "-" + std::string(language, 2));
      ASSERT_NE(pixels, nullptr);
      const int middle = shot.height / 2;
      const guitest::Rgb edge = guitest::pixelAt(pixels, 0, middle);
      const guitest::Rgb inside = guitest::pixelAt(pixels, 3, middle);
      if (shot.border) {
        // The 0.7-point black outline on white.
        EXPECT_LT(guitest::brightness(edge), 400) << edge.r << "," << edge.g << "," << edge.b;
        EXPECT_TRUE(guitest::near(inside, {255, 255, 255}));
        EXPECT_LT(guitest::brightness(guitest::pixelAt(pixels, shot.width - 1, middle)), 400);
        EXPECT_LT(guitest::brightness(guitest::pixelAt(pixels, shot.width / 2, 0)), 400);
      } else {
        // Dark, without an outline, with the title bar across the top.
        EXPECT_TRUE(guitest::near(edge, {0x1d, 0x1e, 0x1f})) << edge.r << "," << edge.g << "," << edge.b;
        EXPECT_TRUE(guitest::near(guitest::pixelAt(pixels, shot.width - 3, 14), {0x2e, 0x31, 0x35}));
        EXPECT_TRUE(guitest::near(guitest::pixelAt(pixels, 5 + 8 + 6, 14), {0xec, 0x69, 0x5e}, 20))
            << "the red close circle";
      }
      g_object_unref(pixels);
      window->close();
      guitest::drain();
    }
  }
  EXPECT_TRUE(answers.empty());
}

struct BoxShot {
  const char* name;
  PopupView view;
  double boxHeight;
};

// The first and last row of the longest run of the information box's fill
// down column x (a text's faint edge elsewhere may share the colour).
std::pair<int, int> fillRows(GdkPixbuf* pixels, int x) {
  std::pair<int, int> longest{-1, -2};
  int start = -1;
  for (int y = 0; y <= gdk_pixbuf_get_height(pixels); ++y) {
    const bool fill = y < gdk_pixbuf_get_height(pixels) &&
                      guitest::near(guitest::pixelAt(pixels, x, y), {0xf8, 0xf9, 0xfa}, 2);
    if (fill && start < 0) start = y;
    if (!fill && start >= 0) {
      if (y - 1 - start > longest.second - longest.first) longest = {start, y - 1};
      start = -1;
    }
  }
  return longest;
}

TEST_F(ErrorPopupTest, InformationBoxesKeepTheirEdgesWithLongValuesInBothLanguages) {
  const std::vector<std::pair<std::string, std::string>> languages = {
      {"en", "Regular server maintenance and the winter season update"},
      {"ko", "정기 서버 점검과 겨울 시즌 업데이트가 함께 진행되며 일부 지역은 더 늦게 끝납니다"}};
  for (const auto& [language, reason] : languages) {
    const StringTable strings = StringTable::load(JORVU_SOURCE_RESOURCES, language);
    const std::vector<BoxShot> shots = {
        {"OSVersionLimit-box", OSVersionErrorView{{480, 347}, {10.12f, 10.13f}}, 82},
        {"Maintenance-box", MaintenanceErrorView{{480, 376}, {"2026-12-07 09:00", "2026-12-08 18:30", reason, ""}}, 130},
        // Line breaks, as notices written by people hold them.
        {"Maintenance-breaks-box",
         MaintenanceErrorView{{480, 376},
                              {"2026-12-07\n09:00\nKST", "2026-12-08\r\n18:30\r\nKST",
                               language == "ko" ? "정기 서버 점검\n겨울 시즌 업데이트\n새 지역 추가\n\t여러 오류 수정\n일부 지역 지연\n자세한 내용은 공지 참고"
                                                : "First line\nSecond line\nThird line\n\tFourth line\nFifth line\nSixth line\nSeventh line\nEighth line",
                               ""}},
         130},
        {"DriverSpace-box",
         DriverSpaceErrorView({480, 287}, {5'000'000'000, 12'300'000'000, SetupOpreation::install},
                              language == "ko" ? "아주 긴 이름을 가진 외장 디스크 볼륨 두 번째" : "An external disk with a very long volume name"),
         70},
    };
    for (const BoxShot& shot : shots) {
      SCOPED_TRACE(std::string(shot.name) + " " + language);
      const PanelSize size = panelSizeOf(shot.view);
      GtkWidget* view = makePopupWidget(body(shot.view, PopupEnvironment{language, "jorvuhelp://help.test"}), strings,
                                        JORVU_SOURCE_RESOURCES);
      WindowController controller(size, view);
      ASSERT_TRUE(controller.loadView(true));
      WrapWindow* window = drawn(controller.window());
      ASSERT_NE(window, nullptr);
      GdkPixbuf* pixels = screenshot(window, size, std::string(shot.name) + "-" + language);
      ASSERT_NE(pixels, nullptr);
      auto isFill = [&](int x, int y) { return guitest::near(guitest::pixelAt(pixels, x, y), {0xf8, 0xf9, 0xfa}, 2); };
      // 400 wide in the middle of the window, as high as described.
      const int left = (size.width - 400) / 2, right = left + 399;
      const auto [top, bottom] = fillRows(pixels, left + 10);
      ASSERT_GE(top, 0) << "no information box";
      EXPECT_EQ(bottom - top + 1, shot.boxHeight);
      const int middle = (top + bottom) / 2;
      EXPECT_FALSE(isFill(left - 1, middle));
      EXPECT_TRUE(isFill(left, middle));
      EXPECT_TRUE(isFill(right, middle));
      EXPECT_FALSE(isFill(right + 1, middle));
      // Rounded corners.
      EXPECT_FALSE(isFill(left, top));
      EXPECT_FALSE(isFill(right, bottom));
      // Its texts keep clear of its top and bottom edges.
      int ink = 0;
      for (int y = 1; y <= 10; ++y) {
        for (int x = left + 6; x <= right - 6; ++x) ink += !isFill(x, top + y) + !isFill(x, bottom - y);
      }
      EXPECT_EQ(ink, 0);
      g_object_unref(pixels);
      window->close();
      guitest::drain();
    }
  }
}

TEST_F(ErrorPopupTest, IgnoreAndInstallAnswersTrueOnce) {
  ScopedEnv locale("LC_ALL", "en_US.UTF-8");
  ASSERT_NE(open(E::OSVersionLimit{10.15f, 11.0f}), nullptr);
  clickOn("Ignore and install", 2);
  expectOneAnswer(true);
}

TEST_F(ErrorPopupTest, EveryOtherButtonAnswersFalseOnce) {
  ScopedEnv locale("LC_ALL", "en_US.UTF-8");
  const std::vector<std::pair<VornHelperError, std::string>> presses = {
      {E::OSVersionLimit{10.15f, 11.0f}, "Cancel Installation"},
      {E::Maintenance{"a", "b", "c", "d"}, "OK"},
      {E::NetworkError{-60, 0, 0, 0}, "OK"},
      {E::UnsupportedOS{}, "OK"},
      {E::UnsupportedAppLaunching{}, "CloseBtn"},
  };
  for (const auto& [error, button] : presses) {
    SCOPED_TRACE(error.description() + " " + button);
    answers.clear();
    ASSERT_NE(open(error), nullptr);
    clickOn(button, 2);
    expectOneAnswer(false);
  }
}

TEST_F(ErrorPopupTest, WindowManagerCloseAnswersFalseOnce) {
  WrapWindow* window = open(E::OSVersionLimit{10.15f, 11.0f});
  ASSERT_NE(window, nullptr);
  GtkWindow* gtkWindow = window->gtkWindow();
  sendWindowManagerClose(gtkWindow);
  expectOneAnswer(false);
}

TEST_F(ErrorPopupTest, KoreanTroubleshootingOpensTheHelpPageThenAnswersFalse) {
  ScopedEnv locale("LC_ALL", "ko_KR.UTF-8");
  ASSERT_NE(open(E::NetworkError{-60, 13000, 12, 34}), nullptr);
  clickOn("See the troubleshoot");
  expectOneAnswer(false);
  const std::string wanted = "jorvuhelp://help.test/KTZ/HTML/error_page.html?main_error_code=-60&sub_error_code=34\n";
  EXPECT_TRUE(runUntil([&] { return recorder.lines() == wanted; }, std::chrono::seconds(10))) << recorder.lines();

  // In another language the same popup only answers.
  ScopedEnv english("LC_ALL", "en_US.UTF-8");
  answers.clear();
  WrapWindow* window = open(E::WorkFailed{-1, 13000, 2, 3});
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(findNamed(GTK_WIDGET(window->gtkWindow()), "See the troubleshoot"), nullptr);
  clickOn("OK");
  expectOneAnswer(false);
  EXPECT_EQ(recorder.lines(), wanted);
}

// The colour of the named button of the open popup, 3 points inside its
// left edge (beside the label), as the X server shows it.
guitest::Rgb buttonColour(const std::string& name) {
  WrapWindow* window = openWrapWindow();
  GtkWidget* widget = findNamed(GTK_WIDGET(window->gtkWindow()), name);
  GtkAllocation allocation;
  gtk_widget_get_allocation(widget, &allocation);
  int x = 0, y = 0;
  gtk_widget_translate_coordinates(widget, GTK_WIDGET(window->gtkWindow()), 3, allocation.height / 2, &x, &y);
  guitest::drain();
  GdkPixbuf* pixels = guitest::pixelsOf(window->gtkWindow());
  const guitest::Rgb colour = guitest::pixelAt(pixels, x, y);
  g_object_unref(pixels);
  return colour;
}

// Moves the pointer to the middle of the named button (or far away) and
// presses or releases, then waits until the button shows `wanted`.
bool showsAfter(const std::string& pointer, const std::string& name, guitest::Rgb wanted) {
  return guitest::xdotool(pointer) &&
         runUntil([&] { return guitest::near(buttonColour(name), wanted, 6); }, std::chrono::seconds(5));
}

TEST_F(ErrorPopupTest, ButtonsShowHoverAndPressedLooks) {
  ScopedEnv locale("LC_ALL", "en_US.UTF-8");
  WrapWindow* window = open(E::UnsupportedOS{});
  ASSERT_NE(window, nullptr);
  GtkWidget* ok = findNamed(GTK_WIDGET(window->gtkWindow()), "OK");
  ASSERT_NE(ok, nullptr);
  GtkAllocation allocation;
  gtk_widget_get_allocation(ok, &allocation);
  EXPECT_EQ(allocation.width, 120);
  EXPECT_EQ(allocation.height, 40);
  int x = 0, y = 0;
  gtk_widget_translate_coordinates(ok, GTK_WIDGET(window->gtkWindow()), allocation.width / 2, allocation.height / 2,
                                   &x, &y);
  const GdkRectangle frame = guitest::frameOf(window->gtkWindow());
  const std::string over = std::to_string(frame.x + x) + " " + std::to_string(frame.y + y);
  const std::string away = std::to_string(frame.x + frame.width + 50) + " " + std::to_string(frame.y + frame.height + 50);

  EXPECT_TRUE(guitest::near(buttonColour("OK"), {0x00, 0x77, 0xff}, 6));
  EXPECT_TRUE(showsAfter("mousemove --sync " + over, "OK", {0x36, 0x94, 0xff})) << "hover";
  // Pressed: #0077ff at 0.6 over the dark background.
  EXPECT_TRUE(showsAfter("mousedown 1", "OK", {12, 83, 165})) << "pressed";
  // Released away from the button: no click, the plain look again.
  EXPECT_TRUE(showsAfter("mousemove --sync " + away + " mouseup 1", "OK", {0x00, 0x77, 0xff})) << "released";
  EXPECT_TRUE(answers.empty());
  window->close();
  guitest::drain();

  // The outlined button: white, #989898 while pressed.
  window = open(E::Crash{});
  ASSERT_NE(window, nullptr);
  ok = findNamed(GTK_WIDGET(window->gtkWindow()), "OK");
  gtk_widget_get_allocation(ok, &allocation);
  EXPECT_EQ(allocation.width, 160);
  EXPECT_EQ(allocation.height, 45);
  gtk_widget_translate_coordinates(ok, GTK_WIDGET(window->gtkWindow()), allocation.width / 2, allocation.height / 2,
                                   &x, &y);
  const GdkRectangle white = guitest::frameOf(window->gtkWindow());
  EXPECT_TRUE(guitest::near(buttonColour("OK"), {255, 255, 255}, 6));
  EXPECT_TRUE(showsAfter("mousemove --sync " + std::to_string(white.x + x) + " " + std::to_string(white.y + y) +
                             " mousedown 1",
                         "OK", {0x98, 0x98, 0x98}))
      << "pressed";
  EXPECT_TRUE(showsAfter("mousemove --sync " + away + " mouseup 1", "OK", {255, 255, 255}));
  EXPECT_TRUE(answers.empty());
  window->close();
  guitest::drain();
}

TEST_F(ErrorPopupTest, LogOnlyErrorsOpenNothing) {
  for (const VornHelperError& error : {VornHelperError(E::GameAlreadyRegistered{}), VornHelperError(E::WorkRequired{}),
                                       VornHelperError(E::NoWorkRequired{}), VornHelperError(E::WorkingAnotherGame{3})}) {
    ErrorViewController::loadPopupView(error, launch(), [this](bool answer) { answers.push_back(answer); });
  }
  guitest::drain();
  EXPECT_EQ(openWrapWindow(), nullptr);
  EXPECT_TRUE(answers.empty());
}

TEST_F(ErrorPopupTest, DebugAlertEndsWhenOKIsPressed) {
  int done = 0;
  ErrorViewController::showDebugAlert([&] { ++done; });
  GtkWidget* dialog = nullptr;
  ASSERT_TRUE(runUntil([&] {
    GList* toplevels = gtk_window_list_toplevels();
    for (GList* item = toplevels; item != nullptr; item = item->next) {
      if (GTK_IS_MESSAGE_DIALOG(item->data) && gtk_widget_get_mapped(GTK_WIDGET(item->data))) dialog = GTK_WIDGET(item->data);
    }
    g_list_free(toplevels);
    return dialog != nullptr;
  }));
  EXPECT_TRUE(gtk_window_get_modal(GTK_WINDOW(dialog)));
  GtkWidget* ok = gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
  ASSERT_NE(ok, nullptr);
  EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(ok)), "OK");
  guitest::drain();
  GtkAllocation allocation;
  gtk_widget_get_allocation(ok, &allocation);
  int x = 0, y = 0;
  ASSERT_TRUE(gtk_widget_translate_coordinates(ok, dialog, allocation.width / 2, allocation.height / 2, &x, &y));
  const GdkRectangle frame = guitest::frameOf(GTK_WINDOW(dialog));
  ASSERT_TRUE(guitest::xdotool("mousemove --sync " + std::to_string(frame.x + x) + " " + std::to_string(frame.y + y) +
                               " click 1"));
  ASSERT_TRUE(runUntil([&] { return done > 0; }));
  guitest::drain();
  EXPECT_EQ(done, 1);
}

}  // namespace
