#include "Tests/Support/GtkTestSupport.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace guitest {

bool runUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  // A tick wakes the blocking iteration, so the deadline and conditions set
  // off the main loop are noticed.
  const guint tick = g_timeout_add(10, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
  bool holds = condition();
  while (!holds && std::chrono::steady_clock::now() < deadline) {
    g_main_context_iteration(nullptr, TRUE);
    holds = condition();
  }
  g_source_remove(tick);
  return holds;
}

void drain() {
  while (g_main_context_iteration(nullptr, FALSE)) {
  }
}

GdkRectangle frameOf(GtkWindow* window) {
  GdkRectangle frame{0, 0, 0, 0};
  GdkWindow* gdkWindow = gtk_widget_get_window(GTK_WIDGET(window));
  if (gdkWindow == nullptr) return frame;
  gdk_display_sync(gdk_window_get_display(gdkWindow));
  gdk_window_get_origin(gdkWindow, &frame.x, &frame.y);
  frame.width = gdk_window_get_width(gdkWindow);
  frame.height = gdk_window_get_height(gdkWindow);
  return frame;
}

GdkPixbuf* pixelsOf(GtkWindow* window) {
  GdkWindow* gdkWindow = gtk_widget_get_window(GTK_WIDGET(window));
  if (gdkWindow == nullptr || !gdk_window_is_viewable(gdkWindow)) return nullptr;
  gdk_display_sync(gdk_window_get_display(gdkWindow));
  return gdk_pixbuf_get_from_window(gdkWindow, 0, 0, gdk_window_get_width(gdkWindow),
                                    gdk_window_get_height(gdkWindow));
}

Rgb pixelAt(GdkPixbuf* pixbuf, int x, int y) {
  const int channels = gdk_pixbuf_get_n_channels(pixbuf);
  const int stride = gdk_pixbuf_get_rowstride(pixbuf);
  const guchar* p = gdk_pixbuf_read_pixels(pixbuf) + y * stride + x * channels;
  return {p[0], p[1], p[2]};
}

bool near(Rgb a, Rgb b, int tolerance) {
  return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance && std::abs(a.b - b.b) <= tolerance;
}

std::string artefactDir() {
  const char* dir = std::getenv("JORVU_ARTEFACT_DIR");
  std::string path = dir != nullptr && *dir != '\0' ? dir : std::filesystem::current_path().string();
  std::filesystem::create_directories(path);
  return path;
}

}  // namespace guitest

// The GUI test programs' main: GTK needs its display before any test.
int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (!gtk_init_check(&argc, &argv)) {
    fprintf(stderr, "no display: run this program under Tests/Support/run-under-xvfb\n");
    return 1;
  }
  return RUN_ALL_TESTS();
}
