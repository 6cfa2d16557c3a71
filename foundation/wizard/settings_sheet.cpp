#include "foundation/wizard/settings_sheet.h"

#include <gdk/gdkx.h>
#include <gio/gio.h>

#include <cstdio>
#include <cstring>

#include "foundation/config/cobrand_module.h"
#include "foundation/config/global_config.h"
#include "foundation/log/process_log.h"
#include "foundation/settings/suite_settings.h"
#include "foundation/wizard/settings_pages.h"
#include "foundation/wizard/wizard_rules.h"
#include "platform/folders/folders.h"
#include "platform/identity/identity.h"
#include "platform/process/spawn.h"

namespace quol::wizard {
namespace {

// The sheet's look: the product's font where this program has registered
// it (the screen saver brings its own), the theme's otherwise; the wizard's
// header band.
constexpr char kSheetCss[] =
    ".quol-sheet { font-family: \"Futura Bk BT\", sans-serif; }\n"
    ".quol-header { padding: 10px 14px 10px 14px; background-color: @theme_base_color; }\n"
    ".quol-header-title { font-weight: bold; font-size: 120%; }\n";

void InstallSheetCss() {
  static bool installed = false;
  GdkScreen* screen = gdk_screen_get_default();
  if (installed || screen == nullptr) return;
  GtkCssProvider* provider = gtk_css_provider_new();
  gtk_css_provider_load_from_data(provider, kSheetCss, -1, nullptr);
  gtk_style_context_add_provider_for_screen(screen, GTK_STYLE_PROVIDER(provider),
                                            GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  g_object_unref(provider);
  installed = true;
}

std::optional<std::string> ChooseFolderWithDialog(GtkWindow* parent) {
  GtkWidget* chooser = gtk_file_chooser_dialog_new(
      "Please select a folder of photos", parent, GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER, "_Cancel",
      GTK_RESPONSE_CANCEL, "_Select", GTK_RESPONSE_ACCEPT, nullptr);
  gtk_file_chooser_set_create_folders(GTK_FILE_CHOOSER(chooser), FALSE);
  gtk_file_chooser_set_local_only(GTK_FILE_CHOOSER(chooser), TRUE);
  std::optional<std::string> folder;
  if (gtk_dialog_run(GTK_DIALOG(chooser)) == GTK_RESPONSE_ACCEPT) {
    if (gchar* name = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(chooser))) {
      folder = name;
      g_free(name);
    }
  }
  gtk_widget_destroy(chooser);
  return folder;
}

void ShowMessageDialog(const std::string& title, GtkWindow* parent, GtkMessageType type,
                       const std::string& text) {
  GtkWidget* dialog = gtk_message_dialog_new(parent, GTK_DIALOG_MODAL, type, GTK_BUTTONS_OK, "%s",
                                             text.c_str());
  gtk_window_set_title(GTK_WINDOW(dialog), title.c_str());
  gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
  gtk_dialog_run(GTK_DIALOG(dialog));
  gtk_widget_destroy(dialog);
}

}  // namespace

void PostToWindowThread(std::function<void()> task) {
  auto* heap = new std::function<void()>(std::move(task));
  g_idle_add_full(
      G_PRIORITY_DEFAULT,
      [](gpointer data) -> gboolean {
        (*static_cast<std::function<void()>*>(data))();
        return G_SOURCE_REMOVE;
      },
      heap, [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
}

SheetServices ProcessSheetServices() {
  SheetServices services;
  services.settings = &CSuiteSettings::Instance();
  services.ask_service = [](const std::string& address, const std::string& password,
                            const std::atomic<bool>& stop) {
    return AskSignInService(CGlobalConfig::Instance().auth_service_url(), address, password, stop);
  };
  services.open_uri = [](const std::string& uri) {
    GError* error = nullptr;
    if (!g_app_info_launch_default_for_uri(uri.c_str(), nullptr, &error)) {
      LogError("Could not open %s: %s", uri.c_str(), error != nullptr ? error->message : "?");
      g_clear_error(&error);
    }
  };
  services.start_program = [](const std::string& path, const std::vector<std::string>& args) {
    int error = 0;
    if (Failed(platform::SpawnProcess(path, args, nullptr, &error))) {
      LogError("Could not start %s: %d", path.c_str(), error);
    }
  };
  services.choose_folder = &ChooseFolderWithDialog;
  services.product_name = CCobrandableModule::Instance().LoadString(kStringCollageProductName);
  services.show_message = [title = services.product_name](GtkWindow* parent, GtkMessageType type,
                                                          const std::string& text) {
    ShowMessageDialog(title, parent, type, text);
  };
  services.pictures_folder = platform::PicturesFolder();
  services.shared_pictures_folder = platform::SharedPicturesFolder();
  services.program_version = platform::ProgramFileVersionText();
  return services;
}

CSettingsPropertySheet::CSettingsPropertySheet(int mode, SheetServices services)
    : mode_(mode), services_(std::move(services)),
      alive_(std::make_shared<CSettingsPropertySheet*>(this)) {
  if (!services_.show_message) {
    services_.show_message = [title = services_.product_name](
                                 GtkWindow* parent, GtkMessageType type, const std::string& text) {
      ShowMessageDialog(title, parent, type, text);
    };
  }
}

CSettingsPropertySheet::~CSettingsPropertySheet() {
  alive_.reset();
  if (sign_in_ != nullptr) sign_in_->AbandonCheck();
  if (window_ != nullptr) gtk_widget_destroy(window_);
  pages_.clear();
  if (loop_ != nullptr) g_main_loop_unref(loop_);
}

void CSettingsPropertySheet::AddPages() {
  auto sign_in = std::make_unique<CSignInSettingsPropertyPage>(*this);
  CSignInSettingsPropertyPage* sign_in_page = sign_in.get();
  if (mode_ == 1) {
    pages_.push_back(std::make_unique<CWelcomeSettingsPropertyPage>(*this));
    // Photos is asked only when the pictures folders the saver shows hold
    // too few photos. A count that does not finish in time (a hung mount)
    // asks too.
    std::vector<std::string> shown;
    if (services_.settings->show_my_pictures()) shown.push_back(services_.pictures_folder);
    if (services_.settings->show_shared_pictures()) {
      shown.push_back(services_.shared_pictures_folder);
    }
    const PhotoCountLimits limits;
    const std::optional<int> photos = CountPhotosBounded(shown, services_.file_system_timeout);
    if (!photos || *photos < limits.enough) {
      pages_.push_back(std::make_unique<CPhotoSettingsPropertyPage>(*this));
    }
    pages_.push_back(std::move(sign_in));
    pages_.push_back(std::make_unique<CThanksSettingsPropertyPage>(*this));
  } else if (mode_ == 5) {
    pages_.push_back(std::move(sign_in));
  } else {
    pages_.push_back(std::make_unique<CGeneralSettingsPropertyPage>(*this));
    pages_.push_back(std::make_unique<CPhotoSettingsPropertyPage>(*this));
    pages_.push_back(std::move(sign_in));
    pages_.push_back(std::make_unique<CAboutSettingsPropertyPage>(*this));
  }
  sign_in_ = sign_in_page;
}

void CSettingsPropertySheet::Create(unsigned long owner) {
  InstallSheetCss();
  AddPages();
  if (wizard()) {
    BuildWizard();
  } else {
    BuildTabs();
  }
  gtk_window_set_title(GTK_WINDOW(window_), kSheetCaption);
  gtk_style_context_add_class(gtk_widget_get_style_context(window_), "quol-sheet");
  gtk_window_set_modal(GTK_WINDOW(window_), TRUE);
  gtk_window_set_resizable(GTK_WINDOW(window_), FALSE);
  gtk_window_set_position(GTK_WINDOW(window_), GTK_WIN_POS_CENTER);
  g_signal_connect(window_, "delete-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer data) {
                     static_cast<CSettingsPropertySheet*>(data)->PressCancel();
                     return TRUE;
                   }),
                   this);
  gtk_widget_realize(window_);
  GdkDisplay* display = gtk_widget_get_display(window_);
  if (owner != 0 && GDK_IS_X11_DISPLAY(display)) {
    // Over a window of another program (the saver's full-screen window, a
    // desktop's settings panel): transient for it, and kept above, since
    // the saver's own windows sit above ordinary ones.
    GdkWindow* foreign = gdk_x11_window_foreign_new_for_display(display, owner);
    if (foreign != nullptr) {
      gdk_window_set_transient_for(gtk_widget_get_window(window_), foreign);
      g_object_unref(foreign);
    }
    gtk_window_set_keep_above(GTK_WINDOW(window_), TRUE);
  }
}

void CSettingsPropertySheet::BuildWizard() {
  window_ = gtk_assistant_new();
  GtkAssistant* assistant = GTK_ASSISTANT(window_);
  for (const auto& page : pages_) {
    GtkWidget* widget = page->widget();
    gtk_assistant_append_page(assistant, widget);
    // Custom pages: the assistant shows none of its own navigation, the
    // sheet's buttons follow the product's rules instead.
    gtk_assistant_set_page_type(assistant, widget, GTK_ASSISTANT_PAGE_CUSTOM);
    gtk_assistant_set_page_title(assistant, widget, page->title());
    gtk_assistant_set_page_complete(assistant, widget, TRUE);
  }
  back_ = gtk_button_new_with_mnemonic("< _Back");
  gtk_widget_set_name(back_, "back");
  next_ = gtk_button_new_with_mnemonic("_Next >");
  gtk_widget_set_name(next_, "next");
  finish_ = gtk_button_new_with_mnemonic("_Finish");
  gtk_widget_set_name(finish_, "finish");
  // The assistant shows no Cancel of its own on custom pages.
  cancel_ = gtk_button_new_with_mnemonic("_Cancel");
  gtk_widget_set_name(cancel_, "2");
  gtk_widget_show(cancel_);
  // Action widgets line up from the right in the order they are added:
  // Cancel, < Back, Next >, Finish reading from the left.
  for (GtkWidget* button : {finish_, next_, back_, cancel_}) {
    if (button != cancel_) gtk_widget_set_no_show_all(button, TRUE);
    gtk_assistant_add_action_widget(assistant, button);
  }
  g_signal_connect(cancel_, "clicked", G_CALLBACK(+[](GtkButton*, gpointer data) {
                     static_cast<CSettingsPropertySheet*>(data)->PressCancel();
                   }),
                   this);

  g_signal_connect(back_, "clicked", G_CALLBACK(+[](GtkButton*, gpointer data) {
                     static_cast<CSettingsPropertySheet*>(data)->PressBack();
                   }),
                   this);
  g_signal_connect(next_, "clicked", G_CALLBACK(+[](GtkButton*, gpointer data) {
                     static_cast<CSettingsPropertySheet*>(data)->PressNext();
                   }),
                   this);
  g_signal_connect(finish_, "clicked", G_CALLBACK(+[](GtkButton*, gpointer data) {
                     static_cast<CSettingsPropertySheet*>(data)->PressOk();
                   }),
                   this);
  g_signal_connect(window_, "cancel", G_CALLBACK(+[](GtkAssistant*, gpointer data) {
                     static_cast<CSettingsPropertySheet*>(data)->PressCancel();
                   }),
                   this);
  g_signal_connect(window_, "prepare", G_CALLBACK(+[](GtkAssistant* a, GtkWidget*, gpointer data) {
                     static_cast<CSettingsPropertySheet*>(data)->PageShown(
                         gtk_assistant_get_current_page(a));
                   }),
                   this);
  PageShown(0);
}

void CSettingsPropertySheet::BuildTabs() {
  window_ = gtk_dialog_new();
  notebook_ = gtk_notebook_new();
  gtk_widget_set_name(notebook_, "tabs");
  for (const auto& page : pages_) {
    gtk_notebook_append_page(GTK_NOTEBOOK(notebook_), page->widget(),
                             gtk_label_new(page->tab_label()));
  }
  // The sign-in sheet is one page: no tab to choose.
  gtk_notebook_set_show_tabs(GTK_NOTEBOOK(notebook_), pages_.size() > 1);
  gtk_container_set_border_width(GTK_CONTAINER(notebook_), 6);
  GtkWidget* content = gtk_dialog_get_content_area(GTK_DIALOG(window_));
  gtk_box_pack_start(GTK_BOX(content), notebook_, TRUE, TRUE, 0);
  gtk_widget_show(notebook_);
  ok_ = gtk_dialog_add_button(GTK_DIALOG(window_), "_OK", GTK_RESPONSE_OK);
  gtk_widget_set_name(ok_, "1");
  cancel_ = gtk_dialog_add_button(GTK_DIALOG(window_), "_Cancel", GTK_RESPONSE_CANCEL);
  gtk_widget_set_name(cancel_, "2");
  gtk_dialog_set_default_response(GTK_DIALOG(window_), GTK_RESPONSE_OK);
  // Clicked, not response: a response is also what closing the window
  // sends, and the buttons are what tests and people press.
  g_signal_connect(ok_, "clicked", G_CALLBACK(+[](GtkButton*, gpointer data) {
                     static_cast<CSettingsPropertySheet*>(data)->PressOk();
                   }),
                   this);
  g_signal_connect(cancel_, "clicked", G_CALLBACK(+[](GtkButton*, gpointer data) {
                     static_cast<CSettingsPropertySheet*>(data)->PressCancel();
                   }),
                   this);
  g_signal_connect(notebook_, "switch-page",
                   G_CALLBACK(+[](GtkNotebook*, GtkWidget*, guint index, gpointer data) {
                     static_cast<CSettingsPropertySheet*>(data)->PageShown(static_cast<int>(index));
                   }),
                   this);
  PageShown(0);
}

unsigned long CSettingsPropertySheet::xid() const {
  if (window_ == nullptr) return 0;
  GdkWindow* window = gtk_widget_get_window(window_);
  if (window == nullptr || !GDK_IS_X11_WINDOW(window)) return 0;
  return gdk_x11_window_get_xid(window);
}

std::vector<std::string> CSettingsPropertySheet::PageTitles() const {
  std::vector<std::string> titles;
  for (const auto& page : pages_) titles.emplace_back(page->title());
  return titles;
}

void CSettingsPropertySheet::PageShown(int index) {
  if (index < 0 || index >= static_cast<int>(pages_.size()) || index == current_) {
    if (wizard()) UpdateWizardButtons();
    return;
  }
  if (current_ >= 0) pages_[static_cast<std::size_t>(current_)]->OnKillActive();
  current_ = index;
  pages_[static_cast<std::size_t>(index)]->OnSetActive();
  if (wizard()) UpdateWizardButtons();
}

// One page: Finish only. First: Next, Finish off. Last: Back and Finish.
// Others: Back and Next, Finish off.
void CSettingsPropertySheet::UpdateWizardButtons() {
  if (!wizard() || back_ == nullptr) return;
  const int count = static_cast<int>(pages_.size());
  const bool first = current_ <= 0;
  const bool last = current_ >= count - 1;
  gtk_widget_set_visible(back_, !first);
  gtk_widget_set_visible(next_, !last);
  gtk_widget_set_visible(finish_, TRUE);
  gtk_widget_set_sensitive(finish_, last && !busy_);
  gtk_widget_set_sensitive(back_, !busy_);
  gtk_widget_set_sensitive(next_, !busy_);
}

void CSettingsPropertySheet::SetCurrentPage(const CScreensaverSettingsPropertyPage* page) {
  for (std::size_t i = 0; i < pages_.size(); ++i) {
    if (pages_[i].get() != page) continue;
    if (static_cast<int>(i) == current_) return;
    if (wizard()) {
      gtk_assistant_set_current_page(GTK_ASSISTANT(window_), static_cast<int>(i));
    } else {
      gtk_notebook_set_current_page(GTK_NOTEBOOK(notebook_), static_cast<int>(i));
    }
    return;
  }
}

void CSettingsPropertySheet::SetBusy(bool busy) {
  busy_ = busy;
  // Cancel stays: it is how the user stops waiting.
  if (ok_ != nullptr) gtk_widget_set_sensitive(ok_, !busy);
  if (wizard()) UpdateWizardButtons();
}

void CSettingsPropertySheet::WhenSignInSettled(std::function<void()> then) {
  if (sign_in_ == nullptr || !sign_in_->check_running()) {
    then();
    return;
  }
  SetBusy(true);
  // Owned by the sign-in page, which goes with the sheet: never called on
  // a sheet that is gone.
  sign_in_->WhenCheckDone([this, then = std::move(then)] {
    SetBusy(false);
    then();
  });
}

void CSettingsPropertySheet::PressOk() {
  if (busy_ || state_ != State::kOpen) return;
  if (current_ >= 0) pages_[static_cast<std::size_t>(current_)]->OnKillActive();
  WhenSignInSettled([this] { Finish(); });
}

void CSettingsPropertySheet::PressNext() {
  if (busy_ || state_ != State::kOpen || !wizard()) return;
  if (current_ < 0 || current_ >= static_cast<int>(pages_.size()) - 1) return;
  CScreensaverSettingsPropertyPage* page = pages_[static_cast<std::size_t>(current_)].get();
  if (page != sign_in_) {
    gtk_assistant_next_page(GTK_ASSISTANT(window_));
    return;
  }
  // Leaving the sign-in page applies it, as Finish would.
  sign_in_->OnKillActive();
  WhenSignInSettled([this] {
    if (state_ != State::kOpen || !sign_in_->Validate()) return;
    sign_in_->Apply();
    gtk_assistant_next_page(GTK_ASSISTANT(window_));
  });
}

void CSettingsPropertySheet::PressBack() {
  if (busy_ || state_ != State::kOpen || !wizard() || current_ <= 0) return;
  gtk_assistant_previous_page(GTK_ASSISTANT(window_));
}

void CSettingsPropertySheet::PressCancel() {
  if (state_ != State::kOpen) return;
  if (sign_in_ != nullptr) sign_in_->AbandonCheck();
  End(State::kCancelled);
}

void CSettingsPropertySheet::Finish() {
  if (state_ != State::kOpen) return;
  // The only page that can refuse goes first, so a refusal leaves every
  // setting as it was.
  if (sign_in_ != nullptr && !sign_in_->Validate()) return;
  for (const auto& page : pages_) page->Apply();
  const HRESULT hr = services_.settings->Save();
  if (Failed(hr)) {
    char text[200];
    std::snprintf(text, sizeof text,
                  "Your settings could not be saved (error %x). Please try again.",
                  static_cast<unsigned>(hr));
    services_.show_message(GTK_WINDOW(window_), GTK_MESSAGE_ERROR, text);
    return;
  }
  for (const auto& page : pages_) page->ApplyOutside();
  End(State::kAccepted);
}

void CSettingsPropertySheet::End(State state) {
  state_ = state;
  if (window_ != nullptr) gtk_widget_hide(window_);
  if (loop_ != nullptr && g_main_loop_is_running(loop_)) g_main_loop_quit(loop_);
}

bool CSettingsPropertySheet::RunModal() {
  if (window_ == nullptr) return false;
  gtk_widget_show(window_);
  gtk_window_present(GTK_WINDOW(window_));
  if (state_ == State::kOpen) {
    loop_ = g_main_loop_new(nullptr, FALSE);
    g_main_loop_run(loop_);
  }
  return state_ == State::kAccepted;
}

}  // namespace quol::wizard
