#pragma once
// How the popups set their texts with Pango: the attributes of a text (the
// app's font, weight, size, line height, spacing, colour), and the measure
// that places the information boxes' texts (PopupLayout's layoutInfoBox) and
// then draws them exactly as measured. A text with a line limit is laid out
// as oneLineText(), so that its breaks cannot add lines past the limit. It
// needs no display: its font map is its own.
//
// Thread contract: one thread per object (the main loop for the views; a
// test's thread without a display).
#include <pango/pangocairo.h>

#include <string>

#include "JorvuVorn/Model/Popup/PopupLayout.hpp"

// The family that stands in for the app's Regular, Medium and Bold faces and
// the title bar's system face; it carries Korean.
inline constexpr const char* kPopupFontFamily = "Noto Sans CJK KR";

// A new list; the caller unrefs it. Without `withColor` the colour is left
// to the style (button labels change colour when pressed).
PangoAttrList* popupTextAttributes(const popup::Text& text, bool withColor);

class PangoTextMeasure final : public popup::TextMeasure {
 public:
  PangoTextMeasure();
  ~PangoTextMeasure() override;
  PangoTextMeasure(const PangoTextMeasure&) = delete;
  PangoTextMeasure& operator=(const PangoTextMeasure&) = delete;

  popup::TextExtent measure(const popup::Text& text, const std::string& shown, double maxWidth) const override;

  // The layout measure() measures, to draw; the caller unrefs it.
  PangoLayout* layout(const popup::Text& text, const std::string& shown, double maxWidth) const;

 private:
  PangoFontMap* fontMap_;
  PangoContext* context_;
};
