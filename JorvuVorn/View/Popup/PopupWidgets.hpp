#pragma once
// Draws a popup's description (PopupLayout) with GTK widgets: stacks become
// boxes, texts labels in the app's font, images the bundle's SVG drawings,
// buttons GtkButtons in their style with hover and pressed looks, and an
// information box one drawing of its fixed size with its texts where
// layoutInfoBox placed them. The result
// is exactly the body's size: content that does not fit is clipped evenly,
// never growing the window.
//
// A button closes its own window (WrapWindow) with its answer, after opening
// its help page in the default browser when it has one.
//
// Thread contract: main loop only (GTK).
#include <gtk/gtk.h>

#include <string>

#include "JorvuVorn/Model/Popup/PopupLayout.hpp"
#include "JorvuVorn/Model/Popup/StringTable.hpp"

// A floating widget of body.size; images are read from
// <resourceFolder>/Images/<name>.svg (a missing one shows nothing).
GtkWidget* makePopupWidget(const popup::Body& body, const StringTable& strings, const std::string& resourceFolder);

// The widget's name of a button: its label key, or "CloseBtn" (tests find
// buttons by it).
std::string popupButtonName(const popup::Button& button);
