#include "foundation/wizard/settings_pages.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <algorithm>
#include <cstring>

#include "foundation/config/cobrand_module.h"
#include "foundation/config/service_hosts.h"
#include "foundation/log/process_log.h"
#include "foundation/settings/suite_settings.h"
#include "foundation/wizard/settings_sheet.h"
#include "foundation/wizard/wizard_rules.h"
#include "platform/registry/registry.h"
#include "platform/text/utf.h"

namespace quol::wizard {
namespace {

constexpr int kPageWidthDu = 265;
constexpr int kPageHeightDu = 145;
constexpr char kBalloonText[] = "Please double-check your email address and password.";

std::string PublicWebPage(const char* path) { return std::string("https://") + kWebSiteHost + path; }

// A folder name put into a mnemonic label: its own underscores are text.
std::string EscapeMnemonic(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '_') out += "__";
    else out += c;
  }
  return out;
}

std::string Replace(std::string text, const std::string& what, const std::string& with) {
  const std::size_t at = text.find(what);
  if (at != std::string::npos) text.replace(at, what.size(), with);
  return text;
}

// The label inside a check button or a button, made to wrap at `width` px
// instead of widening the page.
void WrapChildLabel(GtkWidget* button, int width) {
  GtkWidget* child = gtk_bin_get_child(GTK_BIN(button));
  if (child == nullptr || !GTK_IS_LABEL(child)) return;
  gtk_label_set_line_wrap(GTK_LABEL(child), TRUE);
  gtk_label_set_xalign(GTK_LABEL(child), 0.0f);
  gtk_widget_set_size_request(child, width, -1);
}

}  // namespace

int DuX(int units) { return units * 2; }
int DuY(int units) { return units * 7 / 4; }

GtkWidget* FindWidgetByName(GtkWidget* root, const char* name) {
  if (root == nullptr) return nullptr;
  const char* own = gtk_widget_get_name(root);
  if (own != nullptr && std::strcmp(own, name) == 0) return root;
  if (!GTK_IS_CONTAINER(root)) return nullptr;
  struct Search {
    const char* name;
    GtkWidget* found;
  } search{name, nullptr};
  // forall: dialogs and assistants keep their buttons as internal children.
  gtk_container_forall(GTK_CONTAINER(root),
                       [](GtkWidget* child, gpointer data) {
                         auto* s = static_cast<Search*>(data);
                         if (s->found == nullptr) s->found = FindWidgetByName(child, s->name);
                       },
                       &search);
  return search.found;
}

// ---- base page ----

CScreensaverSettingsPropertyPage::CScreensaverSettingsPropertyPage(CSettingsPropertySheet& sheet,
                                                                   const char* title,
                                                                   const char* subtitle,
                                                                   const char* tab_label)
    : sheet_(sheet), title_(title), subtitle_(subtitle), tab_label_(tab_label) {}

CScreensaverSettingsPropertyPage::~CScreensaverSettingsPropertyPage() {
  if (widget_ != nullptr) g_object_unref(widget_);
}

SheetServices& CScreensaverSettingsPropertyPage::services() { return sheet_.services(); }

GtkWidget* CScreensaverSettingsPropertyPage::widget() {
  if (widget_ != nullptr) return widget_;
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  g_object_ref_sink(box);  // the page owns its widget; the sheet only shows it
  if (sheet_.wizard()) {
    // The header band of a wizard page: title and subtitle.
    GtkWidget* header = gtk_box_new(GTK_ORIENTATION_VERTICAL, 2);
    gtk_style_context_add_class(gtk_widget_get_style_context(header), "quol-header");
    GtkWidget* title = gtk_label_new(title_);
    gtk_widget_set_name(title, "header-title");
    gtk_style_context_add_class(gtk_widget_get_style_context(title), "quol-header-title");
    gtk_label_set_xalign(GTK_LABEL(title), 0.0f);
    GtkWidget* subtitle = gtk_label_new(subtitle_);
    gtk_widget_set_name(subtitle, "header-subtitle");
    gtk_label_set_xalign(GTK_LABEL(subtitle), 0.0f);
    gtk_widget_set_margin_start(subtitle, 12);
    gtk_box_pack_start(GTK_BOX(header), title, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(header), subtitle, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(box), header, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(box), gtk_separator_new(GTK_ORIENTATION_HORIZONTAL), FALSE, FALSE,
                       0);
  }
  GtkWidget* fixed = gtk_fixed_new();
  gtk_widget_set_size_request(fixed, DuX(kPageWidthDu), DuY(kPageHeightDu));
  gtk_widget_set_margin_start(fixed, 8);
  gtk_widget_set_margin_end(fixed, 8);
  gtk_widget_set_margin_top(fixed, 8);
  gtk_widget_set_margin_bottom(fixed, 4);
  gtk_box_pack_start(GTK_BOX(box), fixed, TRUE, TRUE, 0);
  widget_ = box;
  Build(fixed);
  gtk_widget_show_all(box);
  return widget_;
}

GtkWidget* CScreensaverSettingsPropertyPage::Place(GtkWidget* fixed, GtkWidget* child, int x,
                                                    int y, int width, int height) {
  gtk_widget_set_size_request(child, DuX(width), height > 0 ? DuY(height) : -1);
  gtk_fixed_put(GTK_FIXED(fixed), child, DuX(x), DuY(y));
  return child;
}

GtkWidget* CScreensaverSettingsPropertyPage::AddText(GtkWidget* fixed, const char* text, int x,
                                                      int y, int width, int height) {
  GtkWidget* label = gtk_label_new_with_mnemonic(text);
  gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
  gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
  gtk_label_set_yalign(GTK_LABEL(label), 0.0f);
  if (height <= 8) {
    // One line in the product's layout: never wrapped, whatever the font.
    gtk_label_set_line_wrap(GTK_LABEL(label), FALSE);
    gtk_fixed_put(GTK_FIXED(fixed), label, DuX(x), DuY(y));
    return label;
  }
  gtk_label_set_max_width_chars(GTK_LABEL(label), 1);  // wrap at the requested width
  Place(fixed, label, x, y, width, 0);
  return label;
}

void CScreensaverSettingsPropertyPage::AddPicture(GtkWidget* fixed) {
  GtkWidget* image = gtk_image_new();
  gtk_widget_set_name(image, "1011");
  // The saver's own logo, when its artwork is part of this program.
  if (g_resources_get_info("/quol/resources/CollageLogo_left", G_RESOURCE_LOOKUP_FLAGS_NONE,
                           nullptr, nullptr, nullptr)) {
    GdkPixbuf* logo = gdk_pixbuf_new_from_resource_at_scale(
        "/quol/resources/CollageLogo_left", -1, DuY(kPageHeightDu - 125) - 4, TRUE, nullptr);
    if (logo != nullptr) {
      gtk_image_set_from_pixbuf(GTK_IMAGE(image), logo);
      g_object_unref(logo);
    }
  }
  gtk_fixed_put(GTK_FIXED(fixed), image, 0, DuY(125));
}

GtkWidget* CScreensaverSettingsPropertyPage::AddLink(GtkWidget* fixed, const char* id,
                                                      const char* text, const char* path, int x,
                                                      int y, int width, int height) {
  const std::string uri = PublicWebPage(path);
  GtkWidget* link = gtk_link_button_new_with_label(uri.c_str(), text);
  gtk_widget_set_name(link, id);
  gtk_widget_set_halign(link, GTK_ALIGN_START);
  ConnectLink(link);
  gtk_fixed_put(GTK_FIXED(fixed), link, DuX(x) - 6, DuY(y) - 6);
  (void)width;
  (void)height;
  return link;
}

void CScreensaverSettingsPropertyPage::ConnectLink(GtkWidget* link) {
  gtk_button_set_relief(GTK_BUTTON(link), GTK_RELIEF_NONE);
  g_signal_connect(link, "activate-link", G_CALLBACK(+[](GtkLinkButton* button, gpointer data) {
                     auto* page = static_cast<CScreensaverSettingsPropertyPage*>(data);
                     page->services().open_uri(gtk_link_button_get_uri(button));
                     return TRUE;  // opened here, not by GTK's own handler
                   }),
                   this);
}

// ---- Welcome ----

CWelcomeSettingsPropertyPage::CWelcomeSettingsPropertyPage(CSettingsPropertySheet& sheet)
    : CScreensaverSettingsPropertyPage(sheet, "Welcome", "Let's configure the screen saver",
                                       "Welcome") {}

void CWelcomeSettingsPropertyPage::Build(GtkWidget* fixed) {
  AddPicture(fixed);
  AddText(fixed,
          "Congratulations!  You have installed the Quol Collage screen saver and Quol Vevuvov, "
          "the award winning family calendar.",
          8, 7, 250, 28);
  AddText(fixed,
          "Before you get started let's run through a couple of settings for the screen saver.",
          9, 34, 249, 21);
  AddText(fixed,
          "The Quol Collage screen saver shows all your family photos in a fun collage when you "
          "are not using your computer.",
          9, 60, 249, 21);
  check_ = gtk_check_button_new_with_label(
      "Make the Quol Collage the screen saver for all users of this computer.");
  gtk_widget_set_name(check_, "1018");
  WrapChildLabel(check_, DuX(251) - 24);
  Place(fixed, check_, 7, 83, 251, 0);

  const int choice = services().get_saver_choice ? services().get_saver_choice() : 4;
  if (choice == 1) {
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check_), TRUE);
  } else if (choice == 3) {
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check_), FALSE);
  } else {
    gtk_toggle_button_set_inconsistent(GTK_TOGGLE_BUTTON(check_), TRUE);
  }
  // A click on the mixed state makes it a plain check: on.
  g_signal_connect(check_, "toggled", G_CALLBACK(+[](GtkToggleButton* button, gpointer) {
                     if (!gtk_toggle_button_get_inconsistent(button)) return;
                     gtk_toggle_button_set_inconsistent(button, FALSE);
                     if (!gtk_toggle_button_get_active(button)) {
                       gtk_toggle_button_set_active(button, TRUE);
                     }
                   }),
                   nullptr);
}

void CWelcomeSettingsPropertyPage::ApplyOutside() {
  if (check_ == nullptr || !services().apply_saver_choice) return;
  GtkToggleButton* button = GTK_TOGGLE_BUTTON(check_);
  if (gtk_toggle_button_get_inconsistent(button)) return;
  services().apply_saver_choice(gtk_toggle_button_get_active(button) ? 1 : 3);
}

// ---- General ----

CGeneralSettingsPropertyPage::CGeneralSettingsPropertyPage(CSettingsPropertySheet& sheet)
    : CScreensaverSettingsPropertyPage(sheet, "General Settings", "Choose your general settings",
                                       "General") {}

void CGeneralSettingsPropertyPage::Build(GtkWidget* fixed) {
  AddText(fixed,
          "The Quol Collage screen saver displays your family photos if no one is using the "
          "computer.",
          7, 7, 225, 21);
  // The label and its list share a row, so a wider font moves the list
  // instead of covering it.
  GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
  GtkWidget* label = gtk_label_new("Show new photos every");
  gtk_box_pack_start(GTK_BOX(row), label, FALSE, FALSE, 0);
  list_ = gtk_combo_box_text_new();
  gtk_widget_set_name(list_, "1015");
  for (const IntervalChoice& choice : IntervalChoices()) {
    gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(list_), choice.label);
  }
  gtk_combo_box_set_active(GTK_COMBO_BOX(list_),
                           SelectIntervalIndex(services().settings->inter_photo_interval()));
  gtk_widget_set_size_request(list_, DuX(71), -1);
  gtk_box_pack_start(GTK_BOX(row), list_, FALSE, FALSE, 0);
  gtk_fixed_put(GTK_FIXED(fixed), row, DuX(7), DuY(31));

  GtkWidget* button = gtk_button_new_with_label("Turn Quol screen saver on/off for all users");
  gtk_widget_set_name(button, "1020");
  Place(fixed, button, 7, 70, 167, 14);
  if (services().from_running_saver) {
    gtk_widget_set_no_show_all(button, TRUE);
    gtk_widget_hide(button);
  }
  g_signal_connect(button, "clicked", G_CALLBACK(+[](GtkButton*, gpointer data) {
                     static_cast<CGeneralSettingsPropertyPage*>(data)->StartClient();
                   }),
                   this);
}

// The desktop client makes the change for every user: it asks for the
// rights it needs itself, so it is started plainly, with this sheet's
// window to stay over.
void CGeneralSettingsPropertyPage::StartClient() {
  const std::string path = InstalledClientPath();
  if (path.empty()) return;
  if (services().start_program) {
    services().start_program(path, {"/e", std::to_string(sheet_.xid())});
  }
}

void CGeneralSettingsPropertyPage::Apply() {
  const int index = gtk_combo_box_get_active(GTK_COMBO_BOX(list_));
  const auto& choices = IntervalChoices();
  if (index >= 0 && index < static_cast<int>(choices.size())) {
    services().settings->SetInterPhotoInterval(choices[static_cast<std::size_t>(index)].seconds);
  }
}

// ---- Photos ----

CPhotoSettingsPropertyPage::CPhotoSettingsPropertyPage(CSettingsPropertySheet& sheet)
    : CScreensaverSettingsPropertyPage(sheet, "Folder Settings", "Choose photos to show",
                                       "Photos") {}

void CPhotoSettingsPropertyPage::Build(GtkWidget* fixed) {
  CSuiteSettings& settings = *services().settings;
  AddText(fixed, "Where do you keep your digital photos?", 7, 7, 251, 8);

  const std::string mine_name = LocalizedFolderName(services().pictures_folder, "My Pictures");
  const std::string shared_name =
      LocalizedFolderName(services().shared_pictures_folder, "Shared Pictures");
  const std::string mine_text = Replace("The \"My Pictures\" folder of the _person using the computer",
                                        "My Pictures", EscapeMnemonic(mine_name));
  const std::string shared_text =
      Replace("The \"%SHARED%\" folder that _everyone on this computer can see", "%SHARED%",
              EscapeMnemonic(shared_name));
  mine_ = gtk_check_button_new_with_mnemonic(mine_text.c_str());
  gtk_widget_set_name(mine_, "1001");
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(mine_), settings.show_my_pictures());
  Place(fixed, mine_, 7, 19, 251, 0);
  shared_ = gtk_check_button_new_with_mnemonic(shared_text.c_str());
  gtk_widget_set_name(shared_, "1003");
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(shared_), settings.show_shared_pictures());
  Place(fixed, shared_, 7, 32, 251, 0);

  GtkWidget* caption = AddText(
      fixed, "...And all photos in these _folders (including their subfolders):", 7, 48, 251, 8);

  GtkWidget* scroller = gtk_scrolled_window_new(nullptr, nullptr);
  gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroller), GTK_POLICY_AUTOMATIC,
                                 GTK_POLICY_AUTOMATIC);
  gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(scroller), GTK_SHADOW_IN);
  list_ = gtk_list_box_new();
  gtk_widget_set_name(list_, "1005");
  gtk_list_box_set_selection_mode(GTK_LIST_BOX(list_), GTK_SELECTION_SINGLE);
  gtk_container_add(GTK_CONTAINER(scroller), list_);
  gtk_label_set_mnemonic_widget(GTK_LABEL(caption), list_);
  Place(fixed, scroller, 7, 60, 187, 49);
  for (const std::string& folder : settings.folders()) AppendRow(folder);

  GtkWidget* add = gtk_button_new_with_label("Add folder...");
  gtk_widget_set_name(add, "1007");
  Place(fixed, add, 197, 60, 61, 14);
  remove_ = gtk_button_new_with_label("Remove folder");
  gtk_widget_set_name(remove_, "1010");
  gtk_widget_set_sensitive(remove_, FALSE);
  Place(fixed, remove_, 197, 77, 61, 14);

  AddText(fixed,
          "Note: Photos in peoples\xE2\x80\x99 private folders may not be visible to everyone else "
          "in the Quol Collage screen saver.",
          7, 114, 244, 22);

  g_signal_connect(list_, "row-selected",
                   G_CALLBACK(+[](GtkListBox*, GtkListBoxRow* row, gpointer data) {
                     gtk_widget_set_sensitive(GTK_WIDGET(data), row != nullptr);
                   }),
                   remove_);
  g_signal_connect(remove_, "clicked", G_CALLBACK(+[](GtkButton*, gpointer data) {
                     GtkListBox* list = GTK_LIST_BOX(data);
                     GtkListBoxRow* row = gtk_list_box_get_selected_row(list);
                     if (row != nullptr) gtk_widget_destroy(GTK_WIDGET(row));
                     gtk_list_box_unselect_all(list);
                   }),
                   list_);
  g_signal_connect(add, "clicked", G_CALLBACK(+[](GtkButton*, gpointer data) {
                     auto* page = static_cast<CPhotoSettingsPropertyPage*>(data);
                     if (!page->services().choose_folder) return;
                     std::optional<std::string> folder = page->services().choose_folder(
                         GTK_WINDOW(page->sheet_.window()));
                     if (folder && !folder->empty()) page->AddFolder(*folder);
                   }),
                   this);
}

void CPhotoSettingsPropertyPage::AppendRow(const std::string& folder) {
  GtkWidget* label = gtk_label_new(folder.c_str());
  gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
  gtk_label_set_ellipsize(GTK_LABEL(label), PANGO_ELLIPSIZE_MIDDLE);
  gtk_widget_set_margin_start(label, 4);
  gtk_widget_set_tooltip_text(label, folder.c_str());
  gtk_widget_show(label);
  gtk_list_box_insert(GTK_LIST_BOX(list_), label, -1);
}

void CPhotoSettingsPropertyPage::AddFolder(const std::string& folder) {
  if (FolderListed(Folders(), folder)) return;
  AppendRow(folder);
}

std::vector<std::string> CPhotoSettingsPropertyPage::Folders() const {
  std::vector<std::string> folders;
  if (list_ == nullptr) return folders;
  GList* rows = gtk_container_get_children(GTK_CONTAINER(list_));
  for (GList* item = rows; item != nullptr; item = item->next) {
    GtkWidget* label = gtk_bin_get_child(GTK_BIN(item->data));
    if (label != nullptr && GTK_IS_LABEL(label)) folders.emplace_back(gtk_label_get_text(GTK_LABEL(label)));
  }
  g_list_free(rows);
  return folders;
}

void CPhotoSettingsPropertyPage::Apply() {
  CSuiteSettings& settings = *services().settings;
  settings.SetShowMyPictures(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(mine_)) != FALSE);
  settings.SetShowSharedPictures(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(shared_)) != FALSE);
  const std::vector<std::string> folders = Folders();
  if (Failed(settings.SetFolders(folders))) {
    LogError("Photo folders not taken: %zu folders", folders.size());
  }
  if (AnyNetworkFolder(folders, services().file_system_timeout)) {
    services().show_message(GTK_WINDOW(sheet_.window()), GTK_MESSAGE_INFO,
                            "Note that if you add network folders the screen saver may not have "
                            "access to them, so sometimes pictures from network folders will not "
                            "appear.");
  }
}

// ---- Sign-in ----

CSignInSettingsPropertyPage::CSignInSettingsPropertyPage(CSettingsPropertySheet& sheet)
    : CScreensaverSettingsPropertyPage(sheet, "Sign-in",
                                       "Get your Quol appointments on the screen saver", "Sign-in"),
      checker_(sheet.services().ask_service),
      alive_(std::make_shared<CSignInSettingsPropertyPage*>(this)) {}

CSignInSettingsPropertyPage::~CSignInSettingsPropertyPage() {
  alive_.reset();
  checker_.Abandon();
}

void CSignInSettingsPropertyPage::Build(GtkWidget* fixed) {
  CSuiteSettings& settings = *services().settings;
  AddText(fixed, "Sign in to Quol", 7, 7, 196, 8);
  // Labels and edits in a grid: the edits line up after the longer label
  // whatever the font.
  GtkWidget* grid = gtk_grid_new();
  gtk_grid_set_column_spacing(GTK_GRID(grid), 10);
  gtk_grid_set_row_spacing(GTK_GRID(grid), 8);
  GtkWidget* address_label = gtk_label_new("Your email address:");
  gtk_label_set_xalign(GTK_LABEL(address_label), 0.0f);
  address_ = gtk_entry_new();
  gtk_widget_set_name(address_, "1016");
  gtk_entry_set_text(GTK_ENTRY(address_), settings.email_address().c_str());
  gtk_entry_set_max_length(GTK_ENTRY(address_), 255);
  gtk_widget_set_size_request(address_, DuX(130), -1);
  gtk_label_set_mnemonic_widget(GTK_LABEL(address_label), address_);
  GtkWidget* password_label = gtk_label_new("Quol password:");
  gtk_label_set_xalign(GTK_LABEL(password_label), 0.0f);
  password_ = gtk_entry_new();
  gtk_widget_set_name(password_, "1017");
  gtk_entry_set_visibility(GTK_ENTRY(password_), FALSE);
  gtk_entry_set_input_purpose(GTK_ENTRY(password_), GTK_INPUT_PURPOSE_PASSWORD);
  gtk_entry_set_max_length(GTK_ENTRY(password_), 126);
  gtk_entry_set_text(GTK_ENTRY(password_), settings.password().c_str());
  gtk_label_set_mnemonic_widget(GTK_LABEL(password_label), password_);
  const std::string reset_uri = PublicWebPage("/Help-Password-Reset.htm");
  GtkWidget* link = gtk_link_button_new_with_label(reset_uri.c_str(), "Forgot Password?");
  gtk_widget_set_name(link, "1028");
  gtk_widget_set_halign(link, GTK_ALIGN_START);
  ConnectLink(link);
  gtk_grid_attach(GTK_GRID(grid), address_label, 0, 0, 1, 1);
  gtk_grid_attach(GTK_GRID(grid), address_, 1, 0, 1, 1);
  gtk_grid_attach(GTK_GRID(grid), password_label, 0, 1, 1, 1);
  gtk_grid_attach(GTK_GRID(grid), password_, 1, 1, 1, 1);
  gtk_grid_attach(GTK_GRID(grid), link, 1, 2, 1, 1);
  gtk_fixed_put(GTK_FIXED(fixed), grid, DuX(7), DuY(24));

  spinner_ = gtk_spinner_new();
  gtk_widget_set_name(spinner_, "1014");
  gtk_widget_set_no_show_all(spinner_, TRUE);
  Place(fixed, spinner_, 245, 0, 20, 20);

  balloon_ = gtk_popover_new(address_);
  gtk_widget_set_name(balloon_, "balloon");
  gtk_popover_set_position(GTK_POPOVER(balloon_), GTK_POS_BOTTOM);
  GtkWidget* text = gtk_label_new(kBalloonText);
  gtk_widget_set_name(text, "balloon-text");
  gtk_widget_set_margin_start(text, 8);
  gtk_widget_set_margin_end(text, 8);
  gtk_widget_set_margin_top(text, 6);
  gtk_widget_set_margin_bottom(text, 6);
  gtk_container_add(GTK_CONTAINER(balloon_), text);
  gtk_widget_show(text);
}

std::string CSignInSettingsPropertyPage::TypedAddress() const {
  return std::string(platform::TrimWhitespace(gtk_entry_get_text(GTK_ENTRY(address_))));
}

std::string CSignInSettingsPropertyPage::TypedPassword() const {
  return gtk_entry_get_text(GTK_ENTRY(password_));
}

void CSignInSettingsPropertyPage::OnKillActive() {
  const CSuiteSettings& settings = *services().settings;
  const std::string address = TypedAddress();
  const std::string password = TypedPassword();
  if (address == settings.email_address() && password == settings.password()) return;
  if (checked_ && address == checked_address_ && password == checked_password_) return;
  checked_ = true;
  checked_address_ = address;
  checked_password_ = password;
  // The worker calls this when its answer is in; the page may be gone by
  // the time the posted task runs, hence the weak reference.
  std::weak_ptr<CSignInSettingsPropertyPage*> weak = alive_;
  const bool started = checker_.Start(address, password, [weak] {
    PostToWindowThread([weak] {
      if (auto page = weak.lock()) (*page)->CheckAnswered();
    });
  });
  if (started) {
    gtk_widget_show(spinner_);
    gtk_spinner_start(GTK_SPINNER(spinner_));
  }
}

void CSignInSettingsPropertyPage::CheckAnswered() {
  if (checker_.running()) return;  // an answer of an abandoned check
  gtk_spinner_stop(GTK_SPINNER(spinner_));
  gtk_widget_hide(spinner_);
  if (on_done_) {
    std::function<void()> done = std::move(on_done_);
    on_done_ = nullptr;
    done();
  }
}

void CSignInSettingsPropertyPage::WhenCheckDone(std::function<void()> done) {
  if (!checker_.running()) {
    gtk_spinner_stop(GTK_SPINNER(spinner_));
    gtk_widget_hide(spinner_);
    done();
    return;
  }
  on_done_ = std::move(done);
  gtk_widget_show(spinner_);
  gtk_spinner_start(GTK_SPINNER(spinner_));
}

void CSignInSettingsPropertyPage::AbandonCheck() {
  on_done_ = nullptr;
  checker_.Abandon();
  checked_ = false;
  if (spinner_ != nullptr) {
    gtk_spinner_stop(GTK_SPINNER(spinner_));
    gtk_widget_hide(spinner_);
  }
}

bool CSignInSettingsPropertyPage::Validate() {
  const CSuiteSettings& settings = *services().settings;
  const std::string address = TypedAddress();
  const std::string password = TypedPassword();
  if (sheet_.mode() == 5 && (address.empty() || password.empty())) {
    ShowBalloon();
    return false;
  }
  if (address == settings.email_address() && password == settings.password()) return true;
  // A check that failed for network reasons, or never ran, does not block.
  if (checker_.result() == kSignInRejected) {
    ShowBalloon();
    return false;
  }
  return true;
}

void CSignInSettingsPropertyPage::Apply() {
  CSuiteSettings& settings = *services().settings;
  const std::string address = TypedAddress();
  const std::string password = TypedPassword();
  if (address == settings.email_address() && password == settings.password()) return;
  settings.SetEmailAddress(address);
  if (Failed(settings.SetPassword(password))) {
    services().show_message(GTK_WINDOW(sheet_.window()), GTK_MESSAGE_ERROR,
                            "The password could not be stored on this computer.");
  }
  // New credentials may belong to another account.
  settings.SetAccountId("");
}

void CSignInSettingsPropertyPage::ShowBalloon() {
  sheet_.SetCurrentPage(this);
  gtk_widget_grab_focus(address_);
  gtk_popover_popup(GTK_POPOVER(balloon_));
}

// ---- About ----

CAboutSettingsPropertyPage::CAboutSettingsPropertyPage(CSettingsPropertySheet& sheet)
    : CScreensaverSettingsPropertyPage(sheet, "About", "About the Quol Collage screen saver",
                                       "About") {}

void CAboutSettingsPropertyPage::Build(GtkWidget* fixed) {
  GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
  gtk_box_pack_start(GTK_BOX(row), gtk_label_new("Quol Collage screen saver version"), FALSE,
                     FALSE, 0);
  GtkWidget* version = gtk_label_new("?.?.?.?");
  gtk_widget_set_name(version, "1012");
  gtk_label_set_xalign(GTK_LABEL(version), 0.0f);
  gtk_label_set_selectable(GTK_LABEL(version), TRUE);
  gtk_box_pack_start(GTK_BOX(row), version, FALSE, FALSE, 0);
  gtk_fixed_put(GTK_FIXED(fixed), row, DuX(10), DuY(6));
  if (!services().program_version.empty()) {
    gtk_label_set_text(GTK_LABEL(version), services().program_version.c_str());
  }
}

// ---- Thanks ----

CThanksSettingsPropertyPage::CThanksSettingsPropertyPage(CSettingsPropertySheet& sheet)
    : CScreensaverSettingsPropertyPage(sheet, "Thanks!", "You're all set!", "Thanks") {}

void CThanksSettingsPropertyPage::Build(GtkWidget* fixed) {
  AddPicture(fixed);
  AddText(fixed,
          "OK, you've setup the Quol Collage and it will start automatically any time you leave "
          "the computer.",
          8, 7, 250, 28);
  AddText(fixed,
          "To change any of these settings open your desktop's screen-saver settings and choose "
          "the Quol Collage.",
          9, 34, 249, 21);
  AddText(fixed, "I'll now launch Quol Vevuvov...", 8, 56, 250, 15);
  AddLink(fixed, "1019", "Click here for support information.", "/help/v1.0/", 7, 77, 171, 8);
}

}  // namespace quol::wizard
