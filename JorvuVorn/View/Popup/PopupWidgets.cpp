#include "JorvuVorn/View/Popup/PopupWidgets.hpp"

#include <gio/gio.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>

#include "Common/Logger/VornLogger.hpp"
#include "JorvuVorn/Model/Popup/PopupFormatting.hpp"
#include "JorvuVorn/View/Popup/PopupText.hpp"
#include "JorvuVorn/View/WrapWindow.hpp"

using namespace popup;

namespace {

std::string cssColor(const std::string& hex, double alpha = 1.0) {
  const Color c = Color::fromHex(hex);
  return "rgba(" + std::to_string(c.red) + "," + std::to_string(c.green) + "," + std::to_string(c.blue) + "," +
         std::to_string(alpha) + ")";
}

void applyCss(GtkWidget* widget, const std::string& css) {
  GtkCssProvider* provider = gtk_css_provider_new();
  GError* error = nullptr;
  if (!gtk_css_provider_load_from_data(provider, css.c_str(), -1, &error)) {
    VornLogger::logging(VornLogLevel::error, std::string("popup style refused: ") + error->message);
    g_error_free(error);
  }
  gtk_style_context_add_provider(gtk_widget_get_style_context(widget), GTK_STYLE_PROVIDER(provider),
                                 GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  g_object_unref(provider);
}

int points(double value) { return static_cast<int>(std::lround(value)); }

// What `text` shows: itself when verbatim, else its key's localized pattern.
std::string shownText(const Text& text, const StringTable& strings) {
  return text.verbatim ? text.key : strings.localized(text.key, text.values);
}

// A label for `text`; its colour comes from `withColor`, or from the style
// (button labels change colour when pressed). A line limit holds whatever
// breaks the text holds.
GtkWidget* makeLabel(const Text& text, const StringTable& strings, bool withColor) {
  const std::string shown = shownText(text, strings);
  GtkWidget* label = gtk_label_new((text.maxLines > 0 ? oneLineText(shown) : shown).c_str());
  PangoAttrList* attributes = popupTextAttributes(text, withColor);
  gtk_label_set_attributes(GTK_LABEL(label), attributes);
  pango_attr_list_unref(attributes);
  gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
  gtk_label_set_line_wrap_mode(GTK_LABEL(label), PANGO_WRAP_WORD_CHAR);
  gtk_label_set_justify(GTK_LABEL(label), GTK_JUSTIFY_CENTER);
  if (text.maxLines > 0) {
    gtk_label_set_lines(GTK_LABEL(label), text.maxLines);
    gtk_label_set_ellipsize(GTK_LABEL(label), PANGO_ELLIPSIZE_END);
  }
  return label;
}

GtkWidget* makeImage(const Image& image, const std::string& resourceFolder) {
  const std::string path = resourceFolder + "/Images/" + image.name + ".svg";
  GError* error = nullptr;
  GdkPixbuf* pixbuf = image.size ? gdk_pixbuf_new_from_file_at_size(path.c_str(), image.size->width,
                                                                     image.size->height, &error)
                                 : gdk_pixbuf_new_from_file(path.c_str(), &error);
  if (pixbuf == nullptr) {
    VornLogger::logging(VornLogLevel::info, "image not shown: " + path);
    if (error != nullptr) g_error_free(error);
    return gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
  }
  GtkWidget* widget = gtk_image_new_from_pixbuf(pixbuf);
  g_object_unref(pixbuf);
  return widget;
}

// What a pressed button does: the help page first, then its window's answer.
struct ButtonAction {
  bool answer = false;
  std::string helpURL;
};

void onButtonClicked(GtkButton* button, gpointer data) {
  const auto* action = static_cast<const ButtonAction*>(data);
  if (!action->helpURL.empty()) {
    GError* error = nullptr;
    if (!g_app_info_launch_default_for_uri(action->helpURL.c_str(), nullptr, &error)) {
      VornLogger::logging(VornLogLevel::error, "help page not opened: " + action->helpURL + " " +
                                                   (error != nullptr ? error->message : ""));
    }
    if (error != nullptr) g_error_free(error);
  }
  if (WrapWindow* window = WrapWindow::of(GTK_WIDGET(button))) window->closeHandler(action->answer);
}

std::string buttonCss(const Button& button) {
  const std::string reset =
      "background-image:none;box-shadow:none;text-shadow:none;-gtk-icon-shadow:none;outline-style:none;";
  switch (button.style) {
    case ButtonStyle::filled:
      return "button{" + reset + "min-width:120px;min-height:40px;padding:0;border:none;border-radius:2px;" +
             "color:#ffffff;background-color:" + cssColor(button.backgroundColor) + ";}" +
             "button:hover{background-color:" + cssColor("#3694ff") + ";}" +
             "button:active{background-color:" + cssColor("#0077ff", 0.6) + ";color:" + cssColor("#ffffff", 0.6) +
             ";}";
    case ButtonStyle::outlined:
      // The half-point outline is an inset shadow: a border would add to the size.
      return "button{" + reset + "min-width:160px;min-height:45px;padding:0;border:none;" +
             "box-shadow:inset 0 0 0 0.5px #000000;border-radius:5px;color:#000000;background-color:" +
             cssColor(button.backgroundColor) + ";}" + "button:active{background-color:" + cssColor("#989898") +
             ";color:#ffffff;box-shadow:none;}";
    case ButtonStyle::plain:
      return "button{" + reset + "min-width:0;min-height:0;padding:0;border:none;background-color:transparent;color:" +
             cssColor(button.label ? button.label->color : "#000000") + ";}";
    case ButtonStyle::closeCircle:
      return "button{" + reset + "min-width:12px;min-height:12px;padding:0;border:none;border-radius:6px;" +
             "background-color:" + cssColor(button.backgroundColor) + ";}";
  }
  return "";
}

GtkWidget* makeButton(const Button& button, const StringTable& strings, const std::string& resourceFolder) {
  GtkWidget* widget = gtk_button_new();
  gtk_widget_set_name(widget, popupButtonName(button).c_str());
  gtk_widget_set_focus_on_click(widget, FALSE);
  gtk_button_set_relief(GTK_BUTTON(widget), GTK_RELIEF_NONE);
  applyCss(widget, buttonCss(button));
  if (button.label || button.trailingImage) {
    GtkWidget* content = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 2);
    gtk_widget_set_halign(content, GTK_ALIGN_CENTER);
    gtk_widget_set_valign(content, GTK_ALIGN_CENTER);
    if (button.label) gtk_container_add(GTK_CONTAINER(content), makeLabel(*button.label, strings, false));
    if (button.trailingImage) gtk_container_add(GTK_CONTAINER(content), makeImage(*button.trailingImage, resourceFolder));
    gtk_container_add(GTK_CONTAINER(widget), content);
  }
  if (button.style == ButtonStyle::closeCircle) gtk_widget_set_size_request(widget, 12, 12);
  auto* action = new ButtonAction{button.answer, button.helpURL.value_or("")};
  g_signal_connect_data(widget, "clicked", G_CALLBACK(onButtonClicked), action,
                        [](gpointer data, GClosure*) { delete static_cast<ButtonAction*>(data); },
                        GConnectFlags(0));
  return widget;
}

GtkWidget* makeStack(const Stack& stack, const StringTable& strings, const std::string& resourceFolder);

// Fills the widget's whole allocation as a rounded rectangle.
void fillRoundedRectangle(GtkWidget* widget, cairo_t* cr, const Color& color, double radius) {
  const double width = gtk_widget_get_allocated_width(widget);
  const double height = gtk_widget_get_allocated_height(widget);
  const double r = std::min({radius, width / 2, height / 2});
  cairo_new_sub_path(cr);
  cairo_arc(cr, width - r, r, r, -M_PI / 2, 0);
  cairo_arc(cr, width - r, height - r, r, 0, M_PI / 2);
  cairo_arc(cr, r, height - r, r, M_PI / 2, M_PI);
  cairo_arc(cr, r, r, r, M_PI, 3 * M_PI / 2);
  cairo_close_path(cr);
  cairo_set_source_rgb(cr, color.red / 255.0, color.green / 255.0, color.blue / 255.0);
  cairo_fill(cr);
}

// A filled, rounded rectangle drawn behind the box's content.
struct BoxFill {
  Color color;
  double radius = 0;
};

gboolean drawBoxFill(GtkWidget* widget, cairo_t* cr, gpointer data) {
  const auto* fill = static_cast<const BoxFill*>(data);
  fillRoundedRectangle(widget, cr, fill->color, fill->radius);
  return FALSE;
}

GtkWidget* makeBox(const Box& box, const StringTable& strings, const std::string& resourceFolder) {
  GtkWidget* widget = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  gtk_widget_set_size_request(widget, box.width > 0 ? points(box.width) : -1, box.height > 0 ? points(box.height) : -1);
  if (box.width < 0) gtk_widget_set_hexpand(widget, TRUE);
  auto* fill = new BoxFill{Color::fromHex(box.fill), box.cornerRadius};
  g_signal_connect_data(widget, "draw", G_CALLBACK(drawBoxFill), fill,
                        [](gpointer data, GClosure*) { delete static_cast<BoxFill*>(data); }, GConnectFlags(0));
  GtkWidget* content = makeStack(box.content, strings, resourceFolder);
  gtk_widget_set_margin_top(content, points(box.paddingTop));
  gtk_widget_set_margin_start(content, points(box.paddingLeading));
  gtk_widget_set_margin_bottom(content, points(box.paddingBottom));
  gtk_widget_set_margin_end(content, points(box.paddingTrailing));
  gtk_widget_set_valign(content, GTK_ALIGN_CENTER);
  gtk_widget_set_vexpand(content, TRUE);
  gtk_container_add(GTK_CONTAINER(widget), content);
  return widget;
}

// An information box and its placed texts, drawn with the measure that
// placed them.
struct InfoBoxDrawing {
  std::unique_ptr<PangoTextMeasure> measure;
  InfoBoxLayout layout;
};

gboolean drawInfoBox(GtkWidget* widget, cairo_t* cr, gpointer data) {
  const auto* drawing = static_cast<const InfoBoxDrawing*>(data);
  fillRoundedRectangle(widget, cr, Color::fromHex("#f8f9fa"), 5);
  for (const PlacedText& placed : drawing->layout.texts) {
    PangoLayout* layout = drawing->measure->layout(placed.text, placed.shown, placed.width);
    cairo_move_to(cr, placed.x, placed.y);
    pango_cairo_show_layout(cr, layout);
    g_object_unref(layout);
  }
  return FALSE;
}

GtkWidget* makeInfoBox(const InfoBox& box, const StringTable& strings) {
  auto drawing = std::make_unique<InfoBoxDrawing>();
  drawing->measure = std::make_unique<PangoTextMeasure>();
  drawing->layout = layoutInfoBox(box, [&](const Text& text) { return shownText(text, strings); }, *drawing->measure);
  GtkWidget* widget = gtk_drawing_area_new();
  gtk_widget_set_name(widget, "InfoBox");
  gtk_widget_set_size_request(widget, points(box.width), points(box.height));
  g_signal_connect_data(widget, "draw", G_CALLBACK(drawInfoBox), drawing.release(),
                        [](gpointer data, GClosure*) { delete static_cast<InfoBoxDrawing*>(data); },
                        GConnectFlags(0));
  return widget;
}

GtkWidget* makeElement(const Element& element, const Stack& parent, const StringTable& strings,
                       const std::string& resourceFolder) {
  const bool vertical = parent.axis == Axis::vertical;
  GtkWidget* widget = nullptr;
  if (const auto* text = std::get_if<Text>(&element.node)) {
    widget = makeLabel(*text, strings, true);
    if (parent.alignment == Alignment::leading) gtk_label_set_xalign(GTK_LABEL(widget), 0);
  } else if (const auto* image = std::get_if<Image>(&element.node)) {
    widget = makeImage(*image, resourceFolder);
  } else if (const auto* space = std::get_if<Space>(&element.node)) {
    widget = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
    gtk_widget_set_size_request(widget, vertical ? -1 : points(space->length), vertical ? points(space->length) : -1);
  } else if (std::holds_alternative<Spacer>(element.node)) {
    widget = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
    gtk_widget_set_hexpand(widget, !vertical);
    gtk_widget_set_vexpand(widget, vertical);
  } else if (const auto* button = std::get_if<Button>(&element.node)) {
    widget = makeButton(*button, strings, resourceFolder);
  } else if (const auto* stack = std::get_if<Stack>(&element.node)) {
    widget = makeStack(*stack, strings, resourceFolder);
  } else if (const auto* info = std::get_if<InfoBox>(&element.node)) {
    widget = makeInfoBox(*info, strings);
  } else {
    widget = makeBox(std::get<Box>(element.node), strings, resourceFolder);
  }
  // Place the child across the stack's axis.
  const auto* box = std::get_if<Box>(&element.node);
  const bool fills = box != nullptr && box->width < 0;
  if (vertical) {
    gtk_widget_set_halign(widget, fills                                          ? GTK_ALIGN_FILL
                                  : parent.alignment == Alignment::leading     ? GTK_ALIGN_START
                                  : parent.alignment == Alignment::trailing    ? GTK_ALIGN_END
                                                                               : GTK_ALIGN_CENTER);
  } else if (box == nullptr && !std::holds_alternative<InfoBox>(element.node)) {
    gtk_widget_set_valign(widget, GTK_ALIGN_CENTER);
  }
  return widget;
}

GtkWidget* makeStack(const Stack& stack, const StringTable& strings, const std::string& resourceFolder) {
  GtkWidget* box = gtk_box_new(stack.axis == Axis::vertical ? GTK_ORIENTATION_VERTICAL : GTK_ORIENTATION_HORIZONTAL,
                               points(stack.spacing));
  for (const Element& element : stack.children) {
    gtk_container_add(GTK_CONTAINER(box), makeElement(element, stack, strings, resourceFolder));
  }
  return box;
}

gboolean drawBackground(GtkWidget* widget, cairo_t* cr, gpointer data) {
  const Color* color = static_cast<const Color*>(data);
  cairo_set_source_rgb(cr, color->red / 255.0, color->green / 255.0, color->blue / 255.0);
  cairo_rectangle(cr, 0, 0, gtk_widget_get_allocated_width(widget), gtk_widget_get_allocated_height(widget));
  cairo_fill(cr);
  return FALSE;
}

}  // namespace

std::string popupButtonName(const Button& button) {
  return button.style == ButtonStyle::closeCircle ? "CloseBtn" : button.label ? button.label->key : "button";
}

GtkWidget* makePopupWidget(const Body& body, const StringTable& strings, const std::string& resourceFolder) {
  // The overlay takes its size from the background alone; the content is
  // centred (or put at the top) on it and clipped where it does not fit.
  GtkWidget* overlay = gtk_overlay_new();
  GtkWidget* background = gtk_drawing_area_new();
  gtk_widget_set_size_request(background, body.size.width, body.size.height);
  auto* color = new Color(Color::fromHex(body.background));
  g_signal_connect_data(background, "draw", G_CALLBACK(drawBackground), color,
                        [](gpointer data, GClosure*) { delete static_cast<Color*>(data); }, GConnectFlags(0));
  gtk_container_add(GTK_CONTAINER(overlay), background);

  GtkWidget* content = makeStack(body.content, strings, resourceFolder);
  gtk_widget_set_halign(content, GTK_ALIGN_FILL);
  gtk_widget_set_valign(content, body.alignedToTop ? GTK_ALIGN_START : GTK_ALIGN_CENTER);
  gtk_overlay_add_overlay(GTK_OVERLAY(overlay), content);
  return overlay;
}
