// Updater: waits until the program that started it has ended, then starts
// the desktop's package installer on the upgrade package. Windowless and
// silent unless the installer cannot be started. Always exits with 0.
#include <gtk/gtk.h>

#include <cstdio>
#include <string>

#include "updater/updater.h"

namespace {

// A message box without owner; without a display the text goes to stderr,
// so a failed start is never silent.
void ShowStartFailure(const std::string& text) {
  if (!gtk_init_check(nullptr, nullptr)) {
    std::fprintf(stderr, "%s\n", text.c_str());
    return;
  }
  GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_OTHER, GTK_BUTTONS_OK,
                                             "%s", text.c_str());
  gtk_window_set_title(GTK_WINDOW(dialog), quol::updater::kMessageCaption);
  gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
  gtk_dialog_run(GTK_DIALOG(dialog));
  gtk_widget_destroy(dialog);
}

}  // namespace

int main(int argc, char** argv) {
  const int error = quol::updater::Run(argc, argv);
  if (error != 0) ShowStartFailure(quol::updater::StartFailureText(error));
  return 0;
}
