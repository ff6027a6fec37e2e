#include <gtest/gtest.h>

#include "JorvuVorn/ViewModel/Interface/WindowController.hpp"

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Tests/JorvuVorn/ViewModel/Interface/WindowTestSupport.hpp"
#include "Tests/Support/GtkTestSupport.hpp"
#include "Tests/Support/TempRoot.hpp"

namespace {

using guitest::runUntil;
using guitest::sendWindowManagerClose;

// A view that paints itself white and counts its frames.
struct WhiteView {
  GtkWidget* widget = gtk_drawing_area_new();
  int frames = 0;

  WhiteView() {
    g_signal_connect(widget, "draw", G_CALLBACK(+[](GtkWidget* w, cairo_t* cr, gpointer self) -> gboolean {
                       cairo_set_source_rgb(cr, 1, 1, 1);
                       cairo_rectangle(cr, 0, 0, gtk_widget_get_allocated_width(w), gtk_widget_get_allocated_height(w));
                       cairo_fill(cr);
                       ++static_cast<WhiteView*>(self)->frames;
                       return FALSE;
                     }),
                     this);
  }
};

bool isMappedAndDrawn(WindowController& controller, const WhiteView& view) {
  WrapWindow* window = controller.window();
  return window != nullptr && gtk_widget_get_mapped(GTK_WIDGET(window->gtkWindow())) && view.frames > 0;
}

class WindowControllerTest : public ::testing::Test {
 protected:
  testsupport::TempRoot root;
};

TEST_F(WindowControllerTest, OpensAtItsSizeCentredOnTheWorkAreaWithFocus) {
  WhiteView view;
  WindowController controller({460, 213}, view.widget);
  ASSERT_TRUE(controller.loadView(true));
  ASSERT_TRUE(runUntil([&] { return isMappedAndDrawn(controller, view); }));
  GtkWindow* window = controller.window()->gtkWindow();
  ASSERT_TRUE(runUntil([&] { return gtk_window_is_active(window); })) << "the window did not take the focus";

  const auto area = WrapWindow::workArea();
  ASSERT_TRUE(area);
  const GdkRectangle frame = guitest::frameOf(window);
  EXPECT_EQ(frame.width, 460);
  EXPECT_EQ(frame.height, 213);
  EXPECT_EQ(frame.x, area->x + (area->width - 460) / 2);
  EXPECT_EQ(frame.y, area->y + (area->height - 213) / 2);
  EXPECT_FALSE(gtk_window_get_decorated(window));
  EXPECT_FALSE(gtk_window_get_resizable(window));
  gtk_widget_destroy(GTK_WIDGET(window));
}

TEST_F(WindowControllerTest, EachButtonClosesItsOwnWindowAndAnswersOnce) {
  std::vector<std::pair<int, bool>> answers;
  auto makePopup = [&](int id, bool flag, GtkWidget** button) {
    *button = gtk_button_new_with_label("OK");
    g_object_set_data(G_OBJECT(*button), "flag", GINT_TO_POINTER(flag ? 1 : 0));
    g_signal_connect(*button, "clicked", G_CALLBACK(+[](GtkButton* b, gpointer) {
                       if (auto* window = WrapWindow::of(GTK_WIDGET(b))) {
                         window->closeHandler(g_object_get_data(G_OBJECT(b), "flag") != nullptr);
                       }
                     }),
                     nullptr);
    auto controller = std::make_unique<WindowController>(
        PanelSize{300, 120}, *button, [&answers, id](bool value) { answers.emplace_back(id, value); });
    EXPECT_TRUE(controller->loadView(true));
    return controller;
  };
  GtkWidget* firstButton = nullptr;
  GtkWidget* secondButton = nullptr;
  auto first = makePopup(1, false, &firstButton);
  auto second = makePopup(2, true, &secondButton);
  ASSERT_TRUE(runUntil([&] { return gtk_widget_get_mapped(secondButton) && gtk_widget_get_mapped(firstButton); }));

  // The first window is pressed while the second one has the focus.
  g_object_ref(firstButton);
  gtk_button_clicked(GTK_BUTTON(firstButton));
  EXPECT_EQ(first->window(), nullptr);
  ASSERT_NE(second->window(), nullptr);
  // A second press reaches no window and answers nothing more.
  gtk_button_clicked(GTK_BUTTON(firstButton));
  g_object_unref(firstButton);
  EXPECT_EQ(answers, (std::vector<std::pair<int, bool>>{{1, false}}));

  gtk_button_clicked(GTK_BUTTON(secondButton));
  EXPECT_EQ(second->window(), nullptr);
  EXPECT_EQ(answers, (std::vector<std::pair<int, bool>>{{1, false}, {2, true}}));
}

TEST_F(WindowControllerTest, WindowManagerCloseAnswersFalseOnce) {
  WhiteView view;
  int calls = 0;
  std::optional<bool> answer;
  WindowController controller({200, 100}, view.widget, [&](bool value) {
    ++calls;
    answer = value;
  });
  ASSERT_TRUE(controller.loadView(false));
  ASSERT_TRUE(runUntil([&] { return isMappedAndDrawn(controller, view); }));
  GtkWindow* window = controller.window()->gtkWindow();
  sendWindowManagerClose(window);
  sendWindowManagerClose(window);
  ASSERT_TRUE(runUntil([&] { return controller.window() == nullptr; }));
  guitest::drain();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(answer, false);
}

TEST_F(WindowControllerTest, BorderedWindowHasABlackOutlineAndTheOtherNone) {
  for (const bool border : {true, false}) {
    SCOPED_TRACE(border ? "with border" : "without border");
    WhiteView view;
    WindowController controller({460, 213}, view.widget);
    ASSERT_TRUE(controller.loadView(border));
    ASSERT_TRUE(runUntil([&] { return isMappedAndDrawn(controller, view); }));
    guitest::drain();
    GdkPixbuf* pixels = guitest::pixelsOf(controller.window()->gtkWindow());
    ASSERT_NE(pixels, nullptr);
    ASSERT_EQ(gdk_pixbuf_get_width(pixels), 460);
    ASSERT_EQ(gdk_pixbuf_get_height(pixels), 213);
    const std::string file =
        guitest::artefactDir() + (border ? "/window-bordered-460x213.png" : "/window-plain-460x213.png");
    gdk_pixbuf_save(pixels, file.c_str(), "png", nullptr, nullptr);
    const guitest::Rgb white{255, 255, 255};
    // The 0.7-point line covers most of the outermost pixel row and column.
    for (auto [x, y] : {std::pair{0, 106}, {459, 106}, {230, 0}, {230, 212}}) {
      const auto c = guitest::pixelAt(pixels, x, y);
      if (border) {
        EXPECT_LT(guitest::brightness(c), 300) << "edge pixel " << x << "," << y;
      } else {
        EXPECT_TRUE(guitest::near(c, white)) << "edge pixel " << x << "," << y;
      }
    }
    // Inside the outline the view is untouched.
    for (auto [x, y] : {std::pair{1, 106}, {458, 106}, {230, 1}, {230, 211}, {230, 106}}) {
      EXPECT_TRUE(guitest::near(guitest::pixelAt(pixels, x, y), white)) << "inner pixel " << x << "," << y;
    }
    g_object_unref(pixels);
    gtk_widget_destroy(GTK_WIDGET(controller.window()->gtkWindow()));
  }
}

TEST_F(WindowControllerTest, WithoutAViewNothingIsShownAndTheWindowGoesWithItsController) {
  GtkWidget* gone = nullptr;
  {
    WindowController controller({200, 100}, nullptr);
    EXPECT_FALSE(controller.loadView(false));
    gone = GTK_WIDGET(controller.window()->gtkWindow());
    g_object_add_weak_pointer(G_OBJECT(gone), reinterpret_cast<gpointer*>(&gone));
    EXPECT_FALSE(gtk_widget_get_visible(gone));
  }
  EXPECT_EQ(gone, nullptr);
}

TEST_F(WindowControllerTest, DraggingTheBackgroundMovesTheWindow) {
  GtkWidget* label = gtk_label_new("drag me");
  WindowController controller({300, 150}, label);
  ASSERT_TRUE(controller.loadView(true));
  GtkWindow* window = controller.window()->gtkWindow();
  ASSERT_TRUE(runUntil([&] { return gtk_widget_get_mapped(GTK_WIDGET(window)); }));
  guitest::drain();
  const GdkRectangle before = guitest::frameOf(window);

  // A user's hand: press on the background, move at a human pace, release.
  const std::string from = std::to_string(before.x + 10) + " " + std::to_string(before.y + 10);
  const std::string to = std::to_string(before.x + 90) + " " + std::to_string(before.y + 50);
  ASSERT_TRUE(guitest::xdotool("mousemove " + from + " mousedown 1 sleep 0.2 mousemove " + to + " sleep 0.2 mouseup 1"));
  EXPECT_TRUE(runUntil([&] {
    const GdkRectangle now = guitest::frameOf(window);
    return now.x == before.x + 80 && now.y == before.y + 40;
  }, std::chrono::seconds(5))) << "window at " << guitest::frameOf(window).x << "," << guitest::frameOf(window).y;
  gtk_widget_destroy(GTK_WIDGET(window));
}

}  // namespace
