#pragma once
// What the interface tests do to windows from outside, as a user or a window
// manager would: a close request, and pointer input through xdotool.
//
// Thread contract: the test's main thread, which is GTK's main loop.
#include <gtk/gtk.h>

#include <string>

namespace guitest {

// What a window manager sends when its close button is pressed.
void sendWindowManagerClose(GtkWindow* window);

// Runs xdotool with `arguments` (split as a shell would) and keeps the main
// loop running until it has ended; false when it could not run or did not
// end in time.
bool xdotool(const std::string& arguments);

}  // namespace guitest
