#include "JorvuVorn/View/SetupView.hpp"

#include "Common/Logger/VornLogger.hpp"
#include "JorvuVorn/View/WebView.hpp"
#include "JorvuVorn/View/WrapWindow.hpp"
#include "JorvuVorn/ViewModel/Interface/KtzScriptMessageHandler.hpp"

namespace {

// The web view's frame: exactly the panel size, whatever the page would
// like (the web view's own natural size follows the laid-out page and would
// hold the window at a former, larger size).
struct PanelFrame {
  GtkBin parent;
  int width;
  int height;
};
struct PanelFrameClass {
  GtkBinClass parent_class;
};

GType panel_frame_get_type();
G_DEFINE_TYPE(PanelFrame, panel_frame, GTK_TYPE_BIN)

PanelFrame* asFrame(GtkWidget* widget) {
  return G_TYPE_CHECK_INSTANCE_CAST(widget, panel_frame_get_type(), PanelFrame);
}

void panel_frame_init(PanelFrame* frame) {
  gtk_widget_set_has_window(GTK_WIDGET(frame), FALSE);
  frame->width = 1;
  frame->height = 1;
}

void panel_frame_class_init(PanelFrameClass* klass) {
  auto* widget = GTK_WIDGET_CLASS(klass);
  widget->get_preferred_width = [](GtkWidget* w, gint* minimum, gint* natural) {
    *minimum = *natural = asFrame(w)->width;
  };
  widget->get_preferred_height = [](GtkWidget* w, gint* minimum, gint* natural) {
    *minimum = *natural = asFrame(w)->height;
  };
  widget->size_allocate = [](GtkWidget* w, GtkAllocation* allocation) {
    gtk_widget_set_allocation(w, allocation);
    if (GtkWidget* child = gtk_bin_get_child(GTK_BIN(w))) {
      GtkAllocation inner = *allocation;
      inner.width = asFrame(w)->width;
      inner.height = asFrame(w)->height;
      gtk_widget_size_allocate(child, &inner);
    }
  };
}

void setFrameSize(GtkWidget* frame, PanelSize size) {
  asFrame(frame)->width = size.width;
  asFrame(frame)->height = size.height;
  gtk_widget_queue_resize(frame);
}

}  // namespace

GtkWidget* SetupView::make(std::shared_ptr<KtzScriptMessageHandler> handler, std::string url,
                           std::chrono::milliseconds timeoutInterval) {
  auto* view = new SetupView(std::move(handler), std::move(url));
  view->webView_ = WebView(URLRequest{view->url_, timeoutInterval}, view->handler_).makeView();
  g_object_ref_sink(view->webView_);
  view->frame_ = GTK_WIDGET(g_object_new(panel_frame_get_type(), nullptr));
  gtk_container_add(GTK_CONTAINER(view->frame_), view->webView_);
  gtk_widget_set_halign(view->frame_, GTK_ALIGN_CENTER);
  gtk_widget_set_valign(view->frame_, GTK_ALIGN_CENTER);
  gtk_box_set_center_widget(GTK_BOX(view->box_), view->frame_);

  g_signal_connect(view->box_, "destroy", G_CALLBACK(+[](GtkWidget*, gpointer self) {
                     delete static_cast<SetupView*>(self);
                   }),
                   view);
  g_signal_connect(view->box_, "map", G_CALLBACK(+[](GtkWidget*, gpointer self) {
                     static_cast<SetupView*>(self)->scheduleRecentring();
                   }),
                   view);
  view->handler_->observePanelSize([view](PanelSize) { view->render(); });
  view->render();
  return view->box_;
}

SetupView::SetupView(std::shared_ptr<KtzScriptMessageHandler> handler, std::string url)
    : handler_(std::move(handler)), url_(std::move(url)), box_(gtk_box_new(GTK_ORIENTATION_VERTICAL, 0)) {}

SetupView::~SetupView() {
  handler_->observePanelSize(nullptr);
  g_object_unref(webView_);
}

void SetupView::render() {
  const PanelSize size = handler_->panelSize();
  setFrameSize(frame_, size);
  if (gtk_widget_get_mapped(box_)) scheduleRecentring();
}

void SetupView::scheduleRecentring() {
  // On the main loop, after the current event: the window follows the new
  // frame, then goes to the middle of the work area.
  g_object_ref(box_);
  g_idle_add_full(
      G_PRIORITY_HIGH_IDLE,
      +[](gpointer box) -> gboolean {
        if (WrapWindow* window = WrapWindow::of(GTK_WIDGET(box))) {
          GtkRequisition size;
          gtk_widget_get_preferred_size(GTK_WIDGET(box), &size, nullptr);
          window->setContentSize({size.width, size.height});
          window->center();
        }
        return G_SOURCE_REMOVE;
      },
      box_, g_object_unref);
}
