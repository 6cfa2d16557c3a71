// The dialog "Make the Quol Collage the screen saver for:". Widget names
// carry the control ids ("1006", "1009", "1004", "1", "2") so tests and
// accessibility tools find them.
#include <gdk/gdkx.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <string>

#include "foundation/saverinstall/saver_install.h"

namespace quol {
namespace {

GtkWidget* AddRadio(GtkWidget* box, GtkWidget* group_member, const char* id, const char* text) {
  GtkWidget* radio = group_member != nullptr
                         ? gtk_radio_button_new_with_mnemonic_from_widget(GTK_RADIO_BUTTON(group_member), text)
                         : gtk_radio_button_new_with_mnemonic(nullptr, text);
  gtk_widget_set_name(radio, id);
  gtk_box_pack_start(GTK_BOX(box), radio, FALSE, FALSE, 0);
  return radio;
}

// Keeps the dialog above `owner` (a window of another toolkit or process)
// and centres it there once it has its size.
void PlaceOnOwner(GtkWidget* dialog, unsigned long owner) {
  GdkDisplay* display = gtk_widget_get_display(dialog);
  if (owner == 0 || !GDK_IS_X11_DISPLAY(display)) {
    gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
    return;
  }
  GdkWindow* foreign = gdk_x11_window_foreign_new_for_display(display, owner);
  if (foreign == nullptr) {  // the owner is gone: centre on the screen
    gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
    return;
  }
  gtk_widget_realize(dialog);
  gdk_window_set_transient_for(gtk_widget_get_window(dialog), foreign);
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  gdk_window_get_origin(foreign, &x, &y);
  gdk_window_get_geometry(foreign, nullptr, nullptr, &width, &height);
  GtkRequisition size{};
  gtk_widget_get_preferred_size(dialog, nullptr, &size);
  gtk_window_move(GTK_WINDOW(dialog), x + (width - size.width) / 2, y + (height - size.height) / 2);
  g_object_unref(foreign);
}

void ShowSkipped(GtkWidget* parent, int skipped) {
  const std::string text = skipped == 1 ? "1 account on this computer was not changed."
                                        : std::to_string(skipped) + " accounts on this computer were not changed.";
  GtkWidget* message = gtk_message_dialog_new(GTK_WINDOW(parent), GTK_DIALOG_MODAL, GTK_MESSAGE_INFO,
                                              GTK_BUTTONS_OK, "%s", text.c_str());
  gtk_widget_set_name(message, "SkippedAccounts");
  gtk_dialog_run(GTK_DIALOG(message));
  gtk_widget_destroy(message);
}

}  // namespace

bool RunSetScreensaverDialog(unsigned long owner) {
  if (!gtk_init_check(nullptr, nullptr)) return false;
  GtkWidget* dialog = gtk_dialog_new();
  gtk_widget_set_name(dialog, "SetScreensaverDlg");
  gtk_window_set_title(GTK_WINDOW(dialog), "");
  gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
  gtk_window_set_resizable(GTK_WINDOW(dialog), FALSE);

  GtkWidget* content = gtk_dialog_get_content_area(GTK_DIALOG(dialog));
  gtk_container_set_border_width(GTK_CONTAINER(content), 10);
  gtk_box_set_spacing(GTK_BOX(content), 4);
  GtkWidget* label = gtk_label_new("Make the Quol Collage the screen saver for:");
  gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
  gtk_box_pack_start(GTK_BOX(content), label, FALSE, FALSE, 0);
  GtkWidget* everyone = AddRadio(content, nullptr, "1006", "_Everyone using this computer (recommended)");
  GtkWidget* just_me = AddRadio(content, everyone, "1009", "Just _me");
  GtkWidget* nobody = AddRadio(content, everyone, "1004", "_Nobody (turn off)");

  GtkWidget* ok = gtk_dialog_add_button(GTK_DIALOG(dialog), "OK", GTK_RESPONSE_OK);
  gtk_widget_set_name(ok, "1");
  GtkWidget* cancel = gtk_dialog_add_button(GTK_DIALOG(dialog), "Cancel", GTK_RESPONSE_CANCEL);
  gtk_widget_set_name(cancel, "2");
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);

  const int current = GetScreenSaverChoice();
  GtkWidget* checked = current == kSaverJustMe ? just_me : current == kSaverForEveryone ? everyone : nobody;
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(checked), TRUE);

  gtk_widget_show_all(content);
  PlaceOnOwner(dialog, owner);
  const bool accepted = gtk_dialog_run(GTK_DIALOG(dialog)) == GTK_RESPONSE_OK;
  if (accepted) {
    const int choice = gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(everyone))  ? kSaverForEveryone
                       : gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(just_me)) ? kSaverJustMe
                                                                                  : kSaverForNobody;
    gtk_widget_hide(dialog);
    if (choice != GetScreenSaverChoice()) {
      // Every choice touches other accounts' settings ("just me" takes ours
      // out of theirs), so it runs with the rights that needs.
      const int skipped = RunElevatedChoice(choice);
      if (skipped > 0) ShowSkipped(dialog, skipped);
    }
  }
  gtk_widget_destroy(dialog);
  while (gtk_events_pending()) gtk_main_iteration();
  return accepted;
}

}  // namespace quol
