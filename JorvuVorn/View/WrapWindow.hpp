#pragma once
// The app's window: borderless, titleless and not resizable by the user, of a
// fixed content size, centred on the work area of the main monitor. Dragging
// its background (where no widget takes the press) moves it. It carries the
// popup's `viewCloseHandler`, through which the user's answer goes back to
// the launch flow.
//
// Lifetime: a WrapWindow is made by WindowController and belongs to its
// GtkWindow; it is deleted when that window is destroyed (closeHandler, the
// window manager's close, or the owner destroying it). Keep no pointer to it
// across a return to the main loop: find it again with WrapWindow::of().
//
// Thread contract: main loop only.
#include <gtk/gtk.h>

#include <optional>

#include "JorvuVorn/Model/PanelSize.hpp"
#include "JorvuVorn/ViewModel/Interface.hpp"

class WrapWindow {
 public:
  WrapWindow(const WrapWindow&) = delete;
  WrapWindow& operator=(const WrapWindow&) = delete;

  // The WrapWindow whose window holds `widget` (or is it); nullptr when the
  // widget is in no WrapWindow. A button finds its own window with this.
  static WrapWindow* of(GtkWidget* widget);

  // Closes (destroys) the window, then calls `viewCloseHandler` with the
  // flag, once: the handler is cleared before it runs. `this` is gone when
  // it returns. The window manager's close button counts as
  // closeHandler(false).
  void closeHandler(bool ignoreOSVersion);

  // Closes (destroys) the window without answering: `viewCloseHandler` is
  // not called. `this` is gone when it returns.
  void close();

  GtkWindow* gtkWindow() const { return window_; }
  PanelSize contentSize() const { return size_; }

  // Gives the window a new content size (the content must follow itself).
  void setContentSize(PanelSize size);
  // Puts the window in the middle of the main monitor's work area.
  void center();

  // The work area of the main monitor (the primary one, else the first);
  // nothing without a display.
  static std::optional<GdkRectangle> workArea();

 private:
  friend class WindowController;
  // Makes the GtkWindow, not yet shown; see WindowController.
  WrapWindow(PanelSize size, ViewCloseHandler viewCloseHandler);
  ~WrapWindow() = default;

  void setBorder(bool needDefaultBorder) { hasBorder_ = needDefaultBorder; }
  bool isComposited() const;

  static gboolean onDelete(GtkWidget*, GdkEvent*, gpointer self);
  static void onDestroy(GtkWidget*, gpointer self);
  static gboolean onDrawBefore(GtkWidget*, cairo_t*, gpointer self);
  static gboolean onDrawAfter(GtkWidget*, cairo_t*, gpointer self);
  static gboolean onButtonPress(GtkWidget*, GdkEventButton*, gpointer self);

  GtkWindow* window_ = nullptr;
  PanelSize size_;
  ViewCloseHandler viewCloseHandler_;
  bool hasBorder_ = false;
  bool closing_ = false;
};
