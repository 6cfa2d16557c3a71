// The pages of CSettingsPropertySheet. Each builds its widgets from the
// layouts the product has always had (dialog units of about 1.75 pixels),
// fills them when the sheet opens and writes them back in Apply. Window
// thread only.
#pragma once

#include <gtk/gtk.h>

#include <memory>
#include <string>
#include <vector>

#include "foundation/wizard/signin_checker.h"

namespace quol::wizard {

class CSettingsPropertySheet;
struct SheetServices;

// Dialog units to pixels, horizontally and vertically.
int DuX(int units);
int DuY(int units);

// Finds a descendant of `root` by its widget name (the control id).
GtkWidget* FindWidgetByName(GtkWidget* root, const char* name);

class CScreensaverSettingsPropertyPage {
 public:
  CScreensaverSettingsPropertyPage(CSettingsPropertySheet& sheet, const char* title,
                                   const char* subtitle, const char* tab_label);
  virtual ~CScreensaverSettingsPropertyPage();
  CScreensaverSettingsPropertyPage(const CScreensaverSettingsPropertyPage&) = delete;
  CScreensaverSettingsPropertyPage& operator=(const CScreensaverSettingsPropertyPage&) = delete;

  // The page's top widget (built on first call; a wizard page carries its
  // header title and subtitle above the controls).
  GtkWidget* widget();
  const char* title() const { return title_; }
  const char* tab_label() const { return tab_label_; }

  virtual void OnSetActive() {}
  virtual void OnKillActive() {}
  // Writes the page into the settings.
  virtual void Apply() {}
  // After the settings were saved: what the page changes outside them (the
  // system's screen saver), so a sheet whose save failed changes nothing.
  virtual void ApplyOutside() {}

 protected:
  // Fills `fixed` (265 x 145 dialog units) with the page's controls.
  virtual void Build(GtkWidget* fixed) = 0;
  // A static text at (x, y) wrapping at `width` dialog units.
  GtkWidget* AddText(GtkWidget* fixed, const char* text, int x, int y, int width, int height);
  GtkWidget* Place(GtkWidget* fixed, GtkWidget* child, int x, int y, int width, int height);
  // The Welcome and Thanks picture (1011) at the foot of the page.
  void AddPicture(GtkWidget* fixed);
  // A link button that opens `path` on the public web host.
  GtkWidget* AddLink(GtkWidget* fixed, const char* id, const char* text, const char* path, int x,
                     int y, int width, int height);
  // Link buttons open their page through the sheet's services.
  void ConnectLink(GtkWidget* link);
  SheetServices& services();

  CSettingsPropertySheet& sheet_;

 private:
  const char* title_;
  const char* subtitle_;
  const char* tab_label_;
  GtkWidget* widget_ = nullptr;
};

class CWelcomeSettingsPropertyPage : public CScreensaverSettingsPropertyPage {
 public:
  explicit CWelcomeSettingsPropertyPage(CSettingsPropertySheet& sheet);
  void ApplyOutside() override;

 private:
  void Build(GtkWidget* fixed) override;
  GtkWidget* check_ = nullptr;
};

class CGeneralSettingsPropertyPage : public CScreensaverSettingsPropertyPage {
 public:
  explicit CGeneralSettingsPropertyPage(CSettingsPropertySheet& sheet);
  void Apply() override;

 private:
  void Build(GtkWidget* fixed) override;
  void StartClient();
  GtkWidget* list_ = nullptr;
};

class CPhotoSettingsPropertyPage : public CScreensaverSettingsPropertyPage {
 public:
  explicit CPhotoSettingsPropertyPage(CSettingsPropertySheet& sheet);
  void Apply() override;
  // Appends `folder` unless the list holds it already (any letter case).
  void AddFolder(const std::string& folder);
  std::vector<std::string> Folders() const;

 private:
  void Build(GtkWidget* fixed) override;
  void AppendRow(const std::string& folder);
  GtkWidget* mine_ = nullptr;
  GtkWidget* shared_ = nullptr;
  GtkWidget* list_ = nullptr;
  GtkWidget* remove_ = nullptr;
};

class CSignInSettingsPropertyPage : public CScreensaverSettingsPropertyPage {
 public:
  explicit CSignInSettingsPropertyPage(CSettingsPropertySheet& sheet);
  ~CSignInSettingsPropertyPage() override;

  // Leaving the page: a changed address or password is checked.
  void OnKillActive() override;
  bool check_running() const { return checker_.running(); }
  // Calls `done` on the window thread once the running check has answered
  // (at once when none runs). Only the last caller is remembered.
  void WhenCheckDone(std::function<void()> done);
  // The apply rules: true when the page may be left (and then stores a new
  // address and password); false after making the page current and
  // showing the balloon.
  bool Validate();
  void Apply() override;
  // Stops waiting for a running check (Cancel).
  void AbandonCheck();
  int result() { return checker_.result(); }
  GtkWidget* balloon() const { return balloon_; }

 private:
  void Build(GtkWidget* fixed) override;
  std::string TypedAddress() const;
  std::string TypedPassword() const;
  void ShowBalloon();
  void CheckAnswered();

  GtkWidget* address_ = nullptr;
  GtkWidget* password_ = nullptr;
  GtkWidget* spinner_ = nullptr;
  GtkWidget* balloon_ = nullptr;
  SignInChecker checker_;
  // What the last check was started for, so leaving twice asks once.
  std::string checked_address_, checked_password_;
  bool checked_ = false;
  std::function<void()> on_done_;
  // Tasks posted by the worker hold a weak reference to this.
  std::shared_ptr<CSignInSettingsPropertyPage*> alive_;
};

class CAboutSettingsPropertyPage : public CScreensaverSettingsPropertyPage {
 public:
  explicit CAboutSettingsPropertyPage(CSettingsPropertySheet& sheet);

 private:
  void Build(GtkWidget* fixed) override;
};

class CThanksSettingsPropertyPage : public CScreensaverSettingsPropertyPage {
 public:
  explicit CThanksSettingsPropertyPage(CSettingsPropertySheet& sheet);

 private:
  void Build(GtkWidget* fixed) override;
};

}  // namespace quol::wizard
