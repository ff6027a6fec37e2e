#include "JorvuVorn/View/Popup/PopupText.hpp"

#include <cmath>

#include "JorvuVorn/Model/Popup/PopupFormatting.hpp"

using namespace popup;

namespace {

PangoWeight weightOf(FontWeight weight) {
  switch (weight) {
    case FontWeight::regular:
      return PANGO_WEIGHT_NORMAL;
    case FontWeight::medium:
      return PANGO_WEIGHT_MEDIUM;
    case FontWeight::bold:
      return PANGO_WEIGHT_BOLD;
  }
  return PANGO_WEIGHT_NORMAL;
}

int pangoUnits(double points) { return static_cast<int>(std::lround(points * PANGO_SCALE)); }

}  // namespace

PangoAttrList* popupTextAttributes(const Text& text, bool withColor) {
  PangoAttrList* attributes = pango_attr_list_new();
  pango_attr_list_insert(attributes, pango_attr_family_new(kPopupFontFamily));
  pango_attr_list_insert(attributes, pango_attr_weight_new(weightOf(text.font.weight)));
  pango_attr_list_insert(attributes, pango_attr_size_new_absolute(static_cast<int>(text.font.size * PANGO_SCALE)));
  // The family's own line height is tall; keep lines near the platform's.
  pango_attr_list_insert(attributes, pango_attr_line_height_new(0.85));
  if (withColor) {
    const Color c = Color::fromHex(text.color);
    pango_attr_list_insert(attributes, pango_attr_foreground_new(c.red * 257, c.green * 257, c.blue * 257));
  }
  if (text.letterSpacing != 0) {
    pango_attr_list_insert(attributes, pango_attr_letter_spacing_new(static_cast<int>(text.letterSpacing * PANGO_SCALE)));
  }
  if (text.underline) pango_attr_list_insert(attributes, pango_attr_underline_new(PANGO_UNDERLINE_SINGLE));
  return attributes;
}

PangoTextMeasure::PangoTextMeasure()
    : fontMap_(pango_cairo_font_map_new()), context_(pango_font_map_create_context(fontMap_)) {
  // Whole pixels, as the display draws them.
  cairo_font_options_t* options = cairo_font_options_create();
  cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_ON);
  pango_cairo_context_set_font_options(context_, options);
  cairo_font_options_destroy(options);
}

PangoTextMeasure::~PangoTextMeasure() {
  g_object_unref(context_);
  g_object_unref(fontMap_);
}

PangoLayout* PangoTextMeasure::layout(const Text& text, const std::string& shown, double maxWidth) const {
  PangoLayout* layout = pango_layout_new(context_);
  // Pango limits lines per paragraph: a limited text is laid out as one.
  pango_layout_set_text(layout, (text.maxLines > 0 ? oneLineText(shown) : shown).c_str(), -1);
  PangoAttrList* attributes = popupTextAttributes(text, true);
  pango_layout_set_attributes(layout, attributes);
  pango_attr_list_unref(attributes);
  pango_layout_set_alignment(layout, PANGO_ALIGN_LEFT);
  if (maxWidth > 0) {
    pango_layout_set_width(layout, pangoUnits(maxWidth));
    pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
    if (text.maxLines > 0) {
      pango_layout_set_height(layout, -text.maxLines);
      pango_layout_set_ellipsize(layout, PANGO_ELLIPSIZE_END);
    }
  }
  return layout;
}

TextExtent PangoTextMeasure::measure(const Text& text, const std::string& shown, double maxWidth) const {
  PangoLayout* measured = layout(text, shown, maxWidth);
  PangoRectangle logical{};
  pango_layout_get_extents(measured, nullptr, &logical);
  const TextExtent extent{static_cast<double>(logical.width) / PANGO_SCALE,
                          static_cast<double>(logical.height) / PANGO_SCALE,
                          static_cast<double>(pango_layout_get_baseline(measured)) / PANGO_SCALE};
  g_object_unref(measured);
  return extent;
}
