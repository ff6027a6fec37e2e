#include "JorvuVorn/View/WrapWindow.hpp"


#include <cmath>
#include <utility>

#include "Common/Logger/VornLogger.hpp"

namespace {

constexpr const char* kWrapWindowKey = "jorvu-wrap-window";
constexpr double kBorderWidth = 0.7;
constexpr double kCornerRadius = 5.0;

// A rectangle with rounded corners, `inset` inside (0, 0, width, height).
void roundedRectangle(cairo_t* cr, double width, double height, double inset, double radius) {
  const double left = inset;
  const double top = inset;
  const double right = width - inset;
  const double bottom = height - inset;
  cairo_new_sub_path(cr);
  cairo_arc(cr, right - radius, top + radius, radius, -M_PI / 2, 0);
  cairo_arc(cr, right - radius, bottom - radius, radius, 0, M_PI / 2);
  cairo_arc(cr, left + radius, bottom - radius, radius, M_PI / 2, M_PI);
  cairo_arc(cr, left + radius, top + radius, radius, M_PI, 3 * M_PI / 2);
  cairo_close_path(cr);
}

}  // namespace

WrapWindow::WrapWindow(PanelSize size, ViewCloseHandler viewCloseHandler)
    : size_(size), viewCloseHandler_(std::move(viewCloseHandler)) {
  window_ = GTK_WINDOW(gtk_window_new(GTK_WINDOW_TOPLEVEL));
  gtk_window_set_decorated(window_, FALSE);
  gtk_window_set_resizable(window_, FALSE);
  gtk_window_set_title(window_, "");
  gtk_widget_set_size_request(GTK_WIDGET(window_), size.width, size.height);
  gtk_window_set_default_size(window_, size.width, size.height);
  gtk_widget_add_events(GTK_WIDGET(window_), GDK_BUTTON_PRESS_MASK);

  // With a compositor the corners outside the rounded outline are clear.
  if (isComposited()) {
    GdkScreen* screen = gtk_widget_get_screen(GTK_WIDGET(window_));
    if (GdkVisual* visual = gdk_screen_get_rgba_visual(screen)) {
      gtk_widget_set_visual(GTK_WIDGET(window_), visual);
      gtk_widget_set_app_paintable(GTK_WIDGET(window_), TRUE);
    }
  }

  g_object_set_data(G_OBJECT(window_), kWrapWindowKey, this);
  g_signal_connect(window_, "delete-event", G_CALLBACK(onDelete), this);
  g_signal_connect(window_, "destroy", G_CALLBACK(onDestroy), this);
  g_signal_connect(window_, "draw", G_CALLBACK(onDrawBefore), this);
  g_signal_connect_after(window_, "draw", G_CALLBACK(onDrawAfter), this);
  g_signal_connect(window_, "button-press-event", G_CALLBACK(onButtonPress), this);
}

WrapWindow* WrapWindow::of(GtkWidget* widget) {
  if (widget == nullptr) return nullptr;
  GtkWidget* toplevel = gtk_widget_get_toplevel(widget);
  if (toplevel == nullptr || !GTK_IS_WINDOW(toplevel)) return nullptr;
  return static_cast<WrapWindow*>(g_object_get_data(G_OBJECT(toplevel), kWrapWindowKey));
}

void WrapWindow::closeHandler(bool ignoreOSVersion) {
  if (closing_) return;
  closing_ = true;
  // Taken before the window goes: destroying it deletes this object.
  ViewCloseHandler handler = std::exchange(viewCloseHandler_, nullptr);
  gtk_widget_destroy(GTK_WIDGET(window_));
  if (handler) {
    logInfo("call viewCloseHandler");
    handler(ignoreOSVersion);
  }
}

void WrapWindow::close() {
  if (closing_) return;
  closing_ = true;
  gtk_widget_destroy(GTK_WIDGET(window_));
}

void WrapWindow::setContentSize(PanelSize size) {
  size_ = size;
  gtk_widget_set_size_request(GTK_WIDGET(window_), size.width, size.height);
  gtk_window_set_default_size(window_, size.width, size.height);
  gtk_window_resize(window_, size.width, size.height);
}

void WrapWindow::center() {
  const auto area = workArea();
  if (!area) return;
  const int x = area->x + (area->width - size_.width) / 2;
  const int y = area->y + (area->height - size_.height) / 2;
  gtk_window_move(window_, x, y);
}

std::optional<GdkRectangle> WrapWindow::workArea() {
  GdkDisplay* display = gdk_display_get_default();
  if (display == nullptr) return std::nullopt;
  GdkMonitor* monitor = gdk_display_get_primary_monitor(display);
  if (monitor == nullptr && gdk_display_get_n_monitors(display) > 0) monitor = gdk_display_get_monitor(display, 0);
  if (monitor == nullptr) return std::nullopt;
  GdkRectangle area;
  gdk_monitor_get_workarea(monitor, &area);
  return area;
}

bool WrapWindow::isComposited() const {
  return gdk_screen_is_composited(gtk_widget_get_screen(GTK_WIDGET(window_))) != FALSE;
}

gboolean WrapWindow::onDelete(GtkWidget*, GdkEvent*, gpointer self) {
  // The window manager's close: the same answer as a "no" button, once.
  static_cast<WrapWindow*>(self)->closeHandler(false);
  return TRUE;
}

void WrapWindow::onDestroy(GtkWidget* widget, gpointer self) {
  g_object_set_data(G_OBJECT(widget), kWrapWindowKey, nullptr);
  delete static_cast<WrapWindow*>(self);
}

gboolean WrapWindow::onDrawBefore(GtkWidget* widget, cairo_t* cr, gpointer self) {
  auto* wrap = static_cast<WrapWindow*>(self);
  if (!wrap->hasBorder_ || !gtk_widget_get_app_paintable(widget)) return FALSE;
  // Clear outside the rounded rectangle; the window's own drawing and the
  // content stay inside it.
  const double width = gtk_widget_get_allocated_width(widget);
  const double height = gtk_widget_get_allocated_height(widget);
  cairo_save(cr);
  cairo_set_operator(cr, CAIRO_OPERATOR_CLEAR);
  cairo_paint(cr);
  cairo_restore(cr);
  roundedRectangle(cr, width, height, 0, kCornerRadius);
  cairo_clip(cr);
  gtk_render_background(gtk_widget_get_style_context(widget), cr, 0, 0, width, height);
  return FALSE;
}

gboolean WrapWindow::onDrawAfter(GtkWidget* widget, cairo_t* cr, gpointer self) {
  auto* wrap = static_cast<WrapWindow*>(self);
  if (!wrap->hasBorder_) return FALSE;
  const double width = gtk_widget_get_allocated_width(widget);
  const double height = gtk_widget_get_allocated_height(widget);
  cairo_save(cr);
  cairo_set_source_rgb(cr, 0, 0, 0);
  cairo_set_line_width(cr, kBorderWidth);
  // Without a compositor the corners cannot be clear: the outline stays square.
  const double radius = gtk_widget_get_app_paintable(widget) ? kCornerRadius : 0;
  if (radius > 0) {
    roundedRectangle(cr, width, height, kBorderWidth / 2, radius - kBorderWidth / 2);
  } else {
    cairo_rectangle(cr, kBorderWidth / 2, kBorderWidth / 2, width - kBorderWidth, height - kBorderWidth);
  }
  cairo_stroke(cr);
  cairo_restore(cr);
  return FALSE;
}

gboolean WrapWindow::onButtonPress(GtkWidget* widget, GdkEventButton* event, gpointer) {
  // A press that no widget inside took: drag the window by its background.
  if (event->type != GDK_BUTTON_PRESS || event->button != GDK_BUTTON_PRIMARY) return FALSE;
  gtk_window_begin_move_drag(GTK_WINDOW(widget), static_cast<gint>(event->button), static_cast<gint>(event->x_root),
                             static_cast<gint>(event->y_root), event->time);
  return TRUE;
}
