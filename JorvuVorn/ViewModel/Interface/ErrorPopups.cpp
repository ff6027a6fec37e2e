// The popup side of the interface: a helper error's popup in its window, the
// debug alert, and the alert of a start-up that cannot go on.
#include <glib-unix.h>
#include <gtk/gtk.h>
#include <signal.h>

#include <memory>
#include <utility>

#include "Common/Logger/VornLogger.hpp"
#include "JorvuVorn/Model/Popup/PopupChoice.hpp"
#include "JorvuVorn/Model/Popup/StringTable.hpp"
#include "JorvuVorn/View/Popup/PopupWidgets.hpp"
#include "JorvuVorn/ViewModel/Interface/ErrorViewController.hpp"
#include "JorvuVorn/ViewModel/Interface/WindowController.hpp"

void ErrorViewController::loadPopupView(const VornHelperError& error, const GameExecuteInfo& gameExecuteInfo,
                                        ViewCloseHandler viewCloseHandler) {
  const auto choice = preparePopup(error, gameExecuteInfo.gameCode);
  if (!choice) return;
  if (gdk_display_get_default() == nullptr) throw InterfaceError("no display to show the popup on");

  const PopupEnvironment environment = PopupEnvironment::current();
  const std::string resources = appResourceFolder().value_or("");
  const StringTable strings = StringTable::load(resources, environment.languageCode);
  GtkWidget* view = makePopupWidget(body(choice->view, environment), strings, resources);

  // A window that is not shown is destroyed with its controller, and its
  // handler with it, uncalled.
  WindowController controller(choice->size, view, std::move(viewCloseHandler));
  if (!controller.loadView(choice->needDefaultBorder)) {
    VornLogger::logging(VornLogLevel::error, "invalid window.contentView");
    throw InterfaceError("the popup window could not be shown");
  }
}

void ErrorViewController::showDebugAlert(std::function<void()> done) {
  if (gdk_display_get_default() == nullptr) {
    if (done) done();
    return;
  }
  GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_OTHER, GTK_BUTTONS_NONE, "%s", "");
  gtk_dialog_add_button(GTK_DIALOG(dialog), "OK", GTK_RESPONSE_OK);
  gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
  gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
  // Any response ends the alert, the window manager's close too; `done` runs
  // once, after the dialog is gone.
  auto* pending = new std::function<void()>(std::move(done));
  g_signal_connect_data(
      dialog, "response", G_CALLBACK(+[](GtkDialog* self, gint, gpointer data) {
        auto* callback = static_cast<std::function<void()>*>(data);
        std::function<void()> run = std::exchange(*callback, nullptr);
        gtk_widget_destroy(GTK_WIDGET(self));
        if (run) run();
      }),
      pending, [](gpointer data, GClosure*) { delete static_cast<std::function<void()>*>(data); }, GConnectFlags(0));
  gtk_widget_show_all(dialog);
  gtk_window_present(GTK_WINDOW(dialog));
}

void ErrorViewController::showStartupFailure(const std::string& text) {
  if (gdk_display_get_default() == nullptr) return;
  GtkWidget* dialog =
      gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_ERROR, GTK_BUTTONS_OK, "%s", "JorvuVorn cannot start");
  gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", text.c_str());
  gtk_window_set_title(GTK_WINDOW(dialog), "JorvuVorn");
  gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
  // A stop signal ends the alert as its OK does, so the app ends on it here
  // as everywhere else.
  const auto close = +[](gpointer self) -> gboolean {
    gtk_dialog_response(GTK_DIALOG(self), GTK_RESPONSE_CLOSE);
    return G_SOURCE_CONTINUE;
  };
  const guint onTerm = g_unix_signal_add(SIGTERM, close, dialog);
  const guint onInt = g_unix_signal_add(SIGINT, close, dialog);
  gtk_dialog_run(GTK_DIALOG(dialog));
  g_source_remove(onTerm);
  g_source_remove(onInt);
  gtk_widget_destroy(dialog);
}
