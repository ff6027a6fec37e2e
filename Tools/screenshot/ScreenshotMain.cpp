// jorvu-screenshot OUT.png
// Saves what the X display ($DISPLAY) shows, the whole root window, as a PNG
// file: the demo's and the desktop tests' record of each stage. Exits 0 when
// the file was written, 1 otherwise (no display, nothing to grab, no write).
#include <gtk/gtk.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: jorvu-screenshot OUT.png\n");
    return 2;
  }
  if (!gtk_init_check(nullptr, nullptr)) {
    std::fprintf(stderr, "jorvu-screenshot: cannot open the display\n");
    return 1;
  }
  GdkWindow* root = gdk_get_default_root_window();
  const int width = gdk_window_get_width(root);
  const int height = gdk_window_get_height(root);
  GdkPixbuf* shot = gdk_pixbuf_get_from_window(root, 0, 0, width, height);
  if (shot == nullptr) {
    std::fprintf(stderr, "jorvu-screenshot: cannot read the screen\n");
    return 1;
  }
  // Written beside and renamed, so that a reader never sees half an image.
  const std::string out = argv[1];
  const std::string temporary = out + ".tmp";
  GError* error = nullptr;
  const bool saved = gdk_pixbuf_save(shot, temporary.c_str(), "png", &error, nullptr);
  g_object_unref(shot);
  if (!saved) {
    std::fprintf(stderr, "jorvu-screenshot: %s\n", error != nullptr ? error->message : "cannot write");
    if (error != nullptr) g_error_free(error);
    std::remove(temporary.c_str());
    return 1;
  }
  if (std::rename(temporary.c_str(), out.c_str()) != 0) {
    std::perror("jorvu-screenshot");
    std::remove(temporary.c_str());
    return 1;
  }
  return 0;
}
