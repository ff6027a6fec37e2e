#pragma once
// Builds a WrapWindow for one view and one size and shows it: the setup
// panel and every popup go through here.
//
//   WindowController controller({460, 213}, popupView, handler);
//   controller.loadView(true);   // shown, centred, with focus; the window now
//                                // lives until it is closed, the controller
//                                // may go
//
// A button inside the view answers through its own window:
//   if (auto* window = WrapWindow::of(button)) window->closeHandler(flag);
//
// Ownership: the controller takes a reference to `targetView` (a floating
// one is sunk). A window that was never shown is destroyed with its
// controller; a shown one belongs to itself (see WrapWindow).
//
// Thread contract: main loop only.
#include <gtk/gtk.h>

#include "JorvuVorn/Model/PanelSize.hpp"
#include "JorvuVorn/View/WrapWindow.hpp"
#include "JorvuVorn/ViewModel/Interface.hpp"

class WindowController {
 public:
  // Makes the window with content size `panelSize`, not yet shown.
  // `targetView` may be null (loadView then shows nothing).
  WindowController(PanelSize panelSize, GtkWidget* targetView, ViewCloseHandler viewCloseHandler = {});
  ~WindowController();
  WindowController(const WindowController&) = delete;
  WindowController& operator=(const WindowController&) = delete;

  // Puts the view into the window (showing all of its widgets), draws the 0.7-point black outline with
  // 5-point corners when `needDefaultBorder`, centres the window on the work
  // area and presents it with the keyboard focus. Without a view or window:
  // DEBUG "invalid instace", nothing shown. True when shown.
  bool loadView(bool needDefaultBorder);

  // The window; nullptr once it is closed.
  WrapWindow* window() const;
  PanelSize panelSize() const { return panelSize_; }

 private:
  PanelSize panelSize_;
  GtkWidget* targetView_ = nullptr;  // a reference of ours
  GtkWidget* window_ = nullptr;      // weak: cleared when the window goes
  bool shown_ = false;
};
