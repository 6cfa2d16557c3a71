// The tools entries of the frame's window menu and what they do: the about
// box, "Check for updates...", the feedback mail and the support-only
// Advanced submenu (test-account switch, diagnostics page).
#include <gio/gio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "client/tools/client_tools.h"
#include "client/windows/client_windows.h"
#include "foundation/config/cobrand_module.h"
#include "foundation/config/global_config.h"
#include "foundation/config/service_hosts.h"
#include "foundation/log/process_log.h"
#include "platform/datafolder/data_folder.h"
#include "platform/fs/files.h"
#include "platform/identity/identity.h"

extern "C" void quol_client_tools_register_resource(void);

namespace quol::client {
namespace {

constexpr char kCheckingNow[] = "Checking for updates now, this can take a few minutes...";
constexpr char kProductionDone[] = "Quol has been configured for a production account\r\nPlease restart Quol";
constexpr char kDogfoodDone[] = "Quol has been configured for a dogfood account\r\nPlease restart Quol";
// No real page of ours comes near this.
constexpr std::size_t kMaxPageBytes = 1u << 20;

std::mutex g_box_mutex;
MessageBoxFunction g_box_for_testing;

// GTK shows line breaks as "\n"; the texts keep the product's "\r\n".
std::string ForDisplay(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

struct MenuContext {
  IFrameHost* frame;
  CUpdateNotifier* updates;
  std::function<std::string()> browser_version;
};

void OnMenuItem(GtkMenuItem* item, gpointer data) {
  auto* context = static_cast<MenuContext*>(data);
  const auto command = static_cast<unsigned>(
      GPOINTER_TO_UINT(g_object_get_data(G_OBJECT(item), "quol-command")));
  const std::string browser = context->browser_version ? context->browser_version() : std::string();
  RunToolsCommand(command, *context->frame, *context->updates, browser);
}

GtkWidget* CommandItem(const char* label, unsigned command, MenuContext* context) {
  GtkWidget* item = gtk_menu_item_new_with_mnemonic(label);
  char name[8];
  std::snprintf(name, sizeof name, "0x%02X", command);
  gtk_widget_set_name(item, name);
  g_object_set_data(G_OBJECT(item), "quol-command", GUINT_TO_POINTER(command));
  g_signal_connect(item, "activate", G_CALLBACK(&OnMenuItem), context);
  gtk_widget_show(item);
  return item;
}

void DeleteContext(gpointer data) { delete static_cast<MenuContext*>(data); }

}  // namespace

void SetMessageBoxForTesting(MessageBoxFunction function) {
  std::lock_guard lock(g_box_mutex);
  g_box_for_testing = std::move(function);
}

bool ShowMessageBox(GtkWindow* parent, const MessageBoxRequest& request) {
  MessageBoxFunction replaced;
  {
    std::lock_guard lock(g_box_mutex);
    replaced = g_box_for_testing;
  }
  if (replaced) return replaced(parent, request);
  GtkWidget* dialog = gtk_message_dialog_new(
      parent, GTK_DIALOG_MODAL, request.error ? GTK_MESSAGE_ERROR : GTK_MESSAGE_INFO,
      request.yes_no ? GTK_BUTTONS_YES_NO : GTK_BUTTONS_OK, "%s", ForDisplay(request.text).c_str());
  gtk_window_set_title(GTK_WINDOW(dialog), request.title.c_str());
  const int response = gtk_dialog_run(GTK_DIALOG(dialog));
  gtk_widget_destroy(dialog);
  return request.yes_no ? response == GTK_RESPONSE_YES : true;
}

std::string ProductDisplayName() {
  std::string name = CCobrandableModule::Instance().LoadString(kStringProductName);
  return name.empty() ? std::string("Quol") : name;
}

std::string FeedbackMailUrl(const std::string& file_version) {
  std::string body = "Enter feedback here%0d%0a%0d%0a----------%0d%0aVersion: " + file_version +
                     " of Quol Vevuvov.";
  std::string escaped;
  for (char c : body) {
    if (c == ' ') {
      escaped += "%20";
    } else {
      escaped += c;
    }
  }
  return std::string("mailto:") + kFeedbackAddress +
         "?subject=Quol%20Devuzez%20Feedback&body=" + escaped;
}

std::string TestAccountFilePath() {
  const std::string folder = platform::DataFolderPath();
  return folder.empty() ? std::string() : platform::JoinPath(folder, CGlobalConfig::kLocalFileName);
}

std::string TestAccountFileContent() {
  return std::string("<quol><default><authServiceUrl>https://api.test.") + kServiceDomain +
         "/v_s_v0.6/api/accounts/auth/default.ashx</authServiceUrl><reminderServiceUrl>"
         "http://test." + kServiceDomain +
         ":9895/rest/api/calendar/interval/default.ashx</reminderServiceUrl></default></quol>";
}

bool SwitchTestAccount(GtkWindow* parent) {
  const std::string title = ProductDisplayName();
  const std::string path = TestAccountFilePath();
  if (path.empty()) {
    LogError("No data folder; the account is not switched.");
    ShowMessageBox(parent, {title, "Quol could not find its data folder; the account was not switched.",
                            false, true});
    return false;
  }
  if (platform::FileExists(path)) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
      const int error = errno;
      LogError("Could not delete %s, %d", path.c_str(), error);
      ShowMessageBox(parent, {title,
                              "Quol could not be configured for a production account\r\n" +
                                  path + ": " + std::strerror(error),
                              false, true});
      return false;
    }
    LogInfo("Deleted %s: production account.", path.c_str());
    ShowMessageBox(parent, {title, kProductionDone, false, false});
    return true;
  }
  HRESULT hr = platform::CreateDirectories(platform::DirName(path));
  if (Succeeded(hr)) hr = platform::WriteFileAtomically(path, TestAccountFileContent(), 0644);
  if (Failed(hr)) {
    // Saying "configured" here would send support chasing a switch that
    // never happened.
    LogError("Could not write %s, 0x%08x", path.c_str(), static_cast<unsigned>(hr));
    ShowMessageBox(parent, {title,
                            "Quol could not be configured for a dogfood account\r\n" + path +
                                " could not be written",
                            false, true});
    return false;
  }
  LogInfo("Wrote %s: dogfood account.", path.c_str());
  ShowMessageBox(parent, {title, kDogfoodDone, false, false});
  return true;
}

std::string DiagnosticsPageHtml() {
  static std::once_flag once;
  std::call_once(once, [] { quol_client_tools_register_resource(); });
  GBytes* bytes =
      g_resources_lookup_data(kDiagnosticsPageResource, G_RESOURCE_LOOKUP_FLAGS_NONE, nullptr);
  if (bytes == nullptr) return {};
  gsize size = 0;
  const auto* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
  std::string page = size <= kMaxPageBytes && data != nullptr ? std::string(data, size) : std::string();
  g_bytes_unref(bytes);
  return page;
}

bool RunToolsCommand(unsigned command, IFrameHost& frame, CUpdateNotifier& updates,
                     const std::string& browser_version) {
  switch (command) {
    case kCommandAbout:
      RunAboutDialog(frame.window(), browser_version);
      return true;
    case kCommandCheckForUpdates:
      updates.set_user_initiated(true);
      frame.ShowMessageBar(kBarInfo, true, kCheckingNow, "");
      updates.ScheduleUpdateCheck(true);
      return true;
    case kCommandFeedback:
      frame.OpenInDefaultBrowser(FeedbackMailUrl(platform::ProgramFileVersionText()));
      return true;
    case kCommandSwitchAccount:
      SwitchTestAccount(frame.window());
      return true;
    case kCommandDiagnostics:
      frame.Navigate("res://" + platform::ExecutableBaseName() + "/" + kDiagnosticsPageName);
      return true;
    default:
      return false;
  }
}

void AddToolsMenuItems(GtkMenuShell* menu, IFrameHost& frame, CUpdateNotifier& updates,
                       bool advanced) {
  AddToolsMenuItems(menu, frame, updates, advanced, nullptr);
}

void AddToolsMenuItems(GtkMenuShell* menu, IFrameHost& frame, CUpdateNotifier& updates,
                       bool advanced, std::function<std::string()> browser_version) {
  if (menu == nullptr) return;
  auto* context = new MenuContext{&frame, &updates, std::move(browser_version)};
  // The items' shared state lives as long as the menu.
  g_object_set_data_full(G_OBJECT(menu), "quol-tools-context", context, &DeleteContext);

  GList* children = gtk_container_get_children(GTK_CONTAINER(menu));
  const int count = static_cast<int>(g_list_length(children));
  g_list_free(children);
  // In front of the last entry ("Close"); each insertion goes in front of
  // the one before, so the about entry ends up next to the separator.
  const int position = count > 0 ? count - 1 : 0;
  GtkWidget* separator = gtk_separator_menu_item_new();
  gtk_widget_show(separator);
  gtk_menu_shell_insert(menu, separator, position);
  gtk_menu_shell_insert(menu, CommandItem("_About Quol Vevuvov", kCommandAbout, context), position);
  gtk_menu_shell_insert(menu, CommandItem("Check for updates...", kCommandCheckForUpdates, context),
                        position);
  gtk_menu_shell_insert(menu, CommandItem("Submit feedback...", kCommandFeedback, context), position);
  if (!advanced) return;

  GtkWidget* submenu = gtk_menu_new();
  const bool test_account = platform::FileExists(TestAccountFilePath());
  gtk_menu_shell_append(GTK_MENU_SHELL(submenu),
                        CommandItem(test_account ? "Use a Production account" : "Use a Dogfood account",
                                    kCommandSwitchAccount, context));
  gtk_menu_shell_append(GTK_MENU_SHELL(submenu),
                        CommandItem("Show diagnostics page", kCommandDiagnostics, context));
  GtkWidget* item = gtk_menu_item_new_with_label("Advanced");
  gtk_widget_set_name(item, "Advanced");
  gtk_menu_item_set_submenu(GTK_MENU_ITEM(item), submenu);
  gtk_widget_show(item);
  gtk_menu_shell_insert(menu, item, position);
}

}  // namespace quol::client
