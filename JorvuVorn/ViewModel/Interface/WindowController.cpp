#include "JorvuVorn/ViewModel/Interface/WindowController.hpp"

#include <gdk/gdkx.h>

#include <utility>

#include "Common/Logger/VornLogger.hpp"

namespace {

// A time stamp the window manager accepts for taking the focus: the event
// being handled, else the X server's time (0 would count as stale focus
// stealing).
guint32 presentationTime(GtkWidget* window) {
  guint32 time = gtk_get_current_event_time();
  if (time != GDK_CURRENT_TIME) return time;
  GdkWindow* gdkWindow = gtk_widget_get_window(window);
  if (gdkWindow != nullptr && GDK_IS_X11_WINDOW(gdkWindow)) return gdk_x11_get_server_time(gdkWindow);
  return GDK_CURRENT_TIME;
}

}  // namespace

WindowController::WindowController(PanelSize panelSize, GtkWidget* targetView, ViewCloseHandler viewCloseHandler)
    : panelSize_(panelSize), targetView_(targetView) {
  if (targetView_ != nullptr) g_object_ref_sink(targetView_);
  auto* wrap = new WrapWindow(panelSize, std::move(viewCloseHandler));
  window_ = GTK_WIDGET(wrap->gtkWindow());
  g_object_add_weak_pointer(G_OBJECT(window_), reinterpret_cast<gpointer*>(&window_));
}

WindowController::~WindowController() {
  if (window_ != nullptr) {
    g_object_remove_weak_pointer(G_OBJECT(window_), reinterpret_cast<gpointer*>(&window_));
    if (!shown_) gtk_widget_destroy(window_);
  }
  if (targetView_ != nullptr) g_object_unref(targetView_);
}

WrapWindow* WindowController::window() const { return window_ == nullptr ? nullptr : WrapWindow::of(window_); }

bool WindowController::loadView(bool needDefaultBorder) {
  logDebug("loadView");
  WrapWindow* wrap = window();
  if (targetView_ == nullptr || wrap == nullptr || shown_) {
    logDebug("invalid instace");
    return false;
  }
  wrap->setBorder(needDefaultBorder);
  gtk_container_add(GTK_CONTAINER(window_), targetView_);
  gtk_widget_show_all(targetView_);
  wrap->center();
  gtk_widget_realize(window_);
  gtk_window_present_with_time(GTK_WINDOW(window_), presentationTime(window_));
  shown_ = true;
  return true;
}
