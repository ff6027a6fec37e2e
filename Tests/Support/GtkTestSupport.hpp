#pragma once
// Helpers for tests that open real windows (under Xvfb, see
// Tests/Support/run-under-xvfb): a GTK main that initialises the display,
// waiting on a condition while the main loop runs, and reading a window's
// pixels.
//
// Thread contract: the test's main thread, which is GTK's main loop.
#include <gtk/gtk.h>

#include <chrono>
#include <functional>
#include <string>

namespace guitest {

// Runs the default main context until `condition` holds or `timeout` passes;
// true when it holds. The context is also woken every few milliseconds so a
// condition set by another thread is seen.
bool runUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = std::chrono::seconds(20));

// Runs the main loop for work that is already pending (events, idles).
void drain();

// The window's position on the screen and its size, as the X server has them.
GdkRectangle frameOf(GtkWindow* window);

// The window's pixels as the X server has them (nullptr when it is not
// mapped). Unref the result.
GdkPixbuf* pixelsOf(GtkWindow* window);

struct Rgb {
  int r = 0;
  int g = 0;
  int b = 0;
  bool operator==(const Rgb&) const = default;
};
Rgb pixelAt(GdkPixbuf* pixbuf, int x, int y);
// Sum of the three channels (0 black ... 765 white).
inline int brightness(Rgb c) { return c.r + c.g + c.b; }
// Channels within `tolerance` of each other.
bool near(Rgb a, Rgb b, int tolerance = 12);

// A folder under the build tree for pictures the tests save (screenshots).
std::string artefactDir();

}  // namespace guitest
