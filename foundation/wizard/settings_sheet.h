// CSettingsPropertySheet, "Quol Collage Settings": the screen saver's
// settings as a first-run wizard (GtkAssistant), as a tabbed dialog
// (GtkNotebook with OK and Cancel) or as the sign-in page alone.
//
// Modes: 1 wizard (Welcome, Photos unless the pictures folders already hold
// enough photos, Sign-in, Thanks); 0, 2, 4 tabs (General, Photos, Sign-in,
// About); 5 Sign-in only; 3 is not the sheet but the set-screen-saver dialog
// (ShowSettings handles it).
//
// Every widget that has a control id carries it as its name ("1015"), the
// OK/Cancel buttons "1" and "2", the wizard's Back/Next/Finish "back",
// "next" and "finish", so tests and accessibility tools find them.
//
// Settings change in memory only when OK or Finish applies the pages; the
// suite settings are then saved at once, and a failed save is shown to the
// user. Cancel changes nothing. Window thread only; nothing here waits on
// the network: a sign-in check still running at OK makes the sheet busy
// (buttons off, spinner on) until its answer comes back.
#pragma once

#include <gtk/gtk.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/wizard/signin_checker.h"

namespace quol {

class CSuiteSettings;

namespace wizard {

inline constexpr char kSheetCaption[] = "Quol Collage Settings";

// What the sheet uses from the rest of the program; tests replace parts.
struct SheetServices {
  CSuiteSettings* settings = nullptr;  // not owned
  // The set-screen-saver choice (1 everyone, 2 just me, 3 nobody, 4 mixed).
  std::function<int()> get_saver_choice;
  std::function<void(int)> apply_saver_choice;
  // The sign-in check, on a worker thread.
  SignInChecker::Ask ask_service;
  // Opens a web page with the desktop's default handler.
  std::function<void(const std::string& uri)> open_uri;
  // Starts a program (button 1020 starts the desktop client).
  std::function<void(const std::string& path, const std::vector<std::string>& args)> start_program;
  // The folder browser of "Add folder..."; nullopt when the user cancels.
  std::function<std::optional<std::string>(GtkWindow* parent)> choose_folder;
  // A modal message titled with the product's name.
  std::function<void(GtkWindow* parent, GtkMessageType type, const std::string& text)> show_message;
  std::string product_name = "Quol Collage";
  std::string pictures_folder;         // the user's; empty: none
  std::string shared_pictures_folder;  // the one everyone sees
  std::string program_version = "?.?.?.?";
  bool from_running_saver = false;  // hides button 1020
  // How long the photo count and each network-folder check may take.
  std::chrono::milliseconds file_system_timeout{2000};
};

// Everything but the screen-saver choice filled in from the process: the
// suite settings, the configuration's sign-in address, GIO, the platform's
// folders and program start, GTK dialogs.
SheetServices ProcessSheetServices();

class CScreensaverSettingsPropertyPage;
class CSignInSettingsPropertyPage;

class CSettingsPropertySheet {
 public:
  CSettingsPropertySheet(int mode, SheetServices services);
  ~CSettingsPropertySheet();
  CSettingsPropertySheet(const CSettingsPropertySheet&) = delete;
  CSettingsPropertySheet& operator=(const CSettingsPropertySheet&) = delete;

  // Builds the window, transient for the X window `owner` when it exists.
  // GTK must be initialised.
  void Create(unsigned long owner);
  // Shows the window and runs a main loop until OK/Finish or Cancel ended
  // the sheet. True after OK or Finish (settings applied and saved).
  bool RunModal();

  enum class State { kOpen, kAccepted, kCancelled };
  State state() const { return state_; }
  int mode() const { return mode_; }
  bool wizard() const { return mode_ == 1; }
  GtkWidget* window() const { return window_; }
  // The sheet window's X id (0 before it is realized).
  unsigned long xid() const;
  SheetServices& services() { return services_; }
  // Titles of the pages in order ("Welcome", "Sign-in"...), for tests.
  std::vector<std::string> PageTitles() const;
  int current_page() const { return current_; }
  // The sign-in page (every mode has one).
  CSignInSettingsPropertyPage* sign_in_page() const { return sign_in_; }

  // What the buttons do.
  void PressOk();  // OK, and Finish in the wizard
  void PressCancel();
  void PressNext();
  void PressBack();

  // For pages.
  void SetCurrentPage(const CScreensaverSettingsPropertyPage* page);
  // Busy: every button off while a sign-in answer is awaited.
  void SetBusy(bool busy);
  bool busy() const { return busy_; }

 private:
  void AddPages();
  void BuildWizard();
  void BuildTabs();
  void PageShown(int index);
  void UpdateWizardButtons();
  // Runs the ending once the sign-in page has its answer; `then` ends the
  // sheet or moves on.
  void WhenSignInSettled(std::function<void()> then);
  void Finish();
  void End(State state);

  int mode_;
  SheetServices services_;
  std::vector<std::unique_ptr<CScreensaverSettingsPropertyPage>> pages_;
  CSignInSettingsPropertyPage* sign_in_ = nullptr;
  GtkWidget* window_ = nullptr;
  GtkWidget* notebook_ = nullptr;
  GtkWidget* back_ = nullptr;
  GtkWidget* next_ = nullptr;
  GtkWidget* finish_ = nullptr;
  GtkWidget* ok_ = nullptr;
  GtkWidget* cancel_ = nullptr;
  GMainLoop* loop_ = nullptr;
  int current_ = -1;
  bool busy_ = false;
  bool switching_ = false;
  State state_ = State::kOpen;
  // Posted tasks check this before touching the sheet.
  std::shared_ptr<CSettingsPropertySheet*> alive_;
};

// Posts `task` to the default main context (the window thread); any thread.
void PostToWindowThread(std::function<void()> task);

}  // namespace wizard

struct ShowSettingsOptions {
  bool from_running_saver = false;
};

// Shows the settings for `mode` over the X window `owner` (0: none),
// modally; mode 3 is the set-screen-saver dialog. The pointer is visible
// while it is open (the sheet is an ordinary managed window). True after OK
// or Finish (and the settings saved). Initialises GTK when needed; false
// without a display.
bool ShowSettings(unsigned long owner, int mode, const ShowSettingsOptions& options = {});

}  // namespace quol
