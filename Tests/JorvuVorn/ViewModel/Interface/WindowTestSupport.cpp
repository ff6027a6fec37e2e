#include "Tests/JorvuVorn/ViewModel/Interface/WindowTestSupport.hpp"

#include <X11/Xlib.h>
#include <gdk/gdkx.h>

#include <memory>

#include "Tests/Support/GtkTestSupport.hpp"

namespace guitest {

void sendWindowManagerClose(GtkWindow* window) {
  GdkWindow* gdkWindow = gtk_widget_get_window(GTK_WIDGET(window));
  Display* display = GDK_DISPLAY_XDISPLAY(gdk_window_get_display(gdkWindow));
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = GDK_WINDOW_XID(gdkWindow);
  event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(display, GDK_WINDOW_XID(gdkWindow), False, NoEventMask, &event);
  XFlush(display);
}

bool xdotool(const std::string& arguments) {
  gchar** argv = nullptr;
  if (!g_shell_parse_argv(("xdotool " + arguments).c_str(), nullptr, &argv, nullptr)) return false;
  GPid pid = 0;
  const bool spawned = g_spawn_async(nullptr, argv, nullptr,
                                     static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD),
                                     nullptr, nullptr, &pid, nullptr);
  g_strfreev(argv);
  if (!spawned) return false;
  // Shared with the watch, which outlives this wait when it times out.
  auto ended = std::make_shared<bool>(false);
  g_child_watch_add_full(
      G_PRIORITY_DEFAULT, pid,
      +[](GPid child, gint, gpointer flag) {
        g_spawn_close_pid(child);
        **static_cast<std::shared_ptr<bool>*>(flag) = true;
      },
      new std::shared_ptr<bool>(ended), +[](gpointer flag) { delete static_cast<std::shared_ptr<bool>*>(flag); });
  return runUntil([ended] { return *ended; });
}

}  // namespace guitest
