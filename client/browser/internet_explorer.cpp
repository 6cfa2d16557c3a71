#include "client/browser/internet_explorer.h"

#include <libsoup/soup.h>
#include <webkit2/webkit2.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <set>

#include "client/browser/builtin_pages.h"
#include "client/browser/main_loop_task.h"
#include "client/browser/quol_scheme.h"
#include "client/browser/window_external.h"
#include "foundation/config/global_config.h"
#include "foundation/log/process_log.h"
#include "foundation/settings/suite_settings.h"
#include "platform/datafolder/data_folder.h"
#include "platform/identity/identity.h"

namespace quol::client {
namespace {

constexpr char kMessageHandler[] = "quolExternal";
// Longest URL written into the log as it is.
constexpr int kMaxLoggedUrl = 2048;
// A window.external message: [token, member, up to kMaxArgs arguments].
constexpr int kMaxMessageItems = 2 + static_cast<int>(CWindowExternal::kMaxArgs);

const char* Text(const char* text) { return text != nullptr ? text : ""; }

HRESULT StartLoad(WebKitWebView* view, const std::string& url) {
  if (url.empty() || url.size() > CInternetExplorer::kMaxUrlBytes ||
      !g_uri_is_valid(url.c_str(), G_URI_FLAGS_NONE, nullptr)) {
    return E_INVALIDARG;
  }
  webkit_web_view_load_uri(view, url.c_str());
  return S_OK;
}

bool HasTouchScreen() {
  GdkDisplay* display = gdk_display_get_default();
  GdkSeat* seat = display != nullptr ? gdk_display_get_default_seat(display) : nullptr;
  if (seat == nullptr) return false;
  GList* devices = gdk_seat_get_slaves(seat, GDK_SEAT_CAPABILITY_TOUCH);
  bool touch = false;
  for (GList* item = devices; item != nullptr; item = item->next) {
    if (gdk_device_get_source(GDK_DEVICE(item->data)) == GDK_SOURCE_TOUCHSCREEN) touch = true;
  }
  g_list_free(devices);
  return touch;
}

// The res:// scheme: the built-in pages, by path, whatever the host.
void OnResSchemeRequest(WebKitURISchemeRequest* request, gpointer) {
  BuiltinPage page;
  if (!LookupBuiltinPage(Text(webkit_uri_scheme_request_get_path(request)), &page)) {
    GError* error = g_error_new_literal(G_IO_ERROR, G_IO_ERROR_NOT_FOUND, "No such built-in page");
    webkit_uri_scheme_request_finish_error(request, error);
    g_error_free(error);
    return;
  }
  GBytes* bytes = g_bytes_new(page.bytes.data(), page.bytes.size());
  GInputStream* stream = g_memory_input_stream_new_from_bytes(bytes);
  WebKitURISchemeResponse* response =
      webkit_uri_scheme_response_new(stream, static_cast<gint64>(page.bytes.size()));
  webkit_uri_scheme_response_set_content_type(response, page.content_type);
  webkit_uri_scheme_response_set_status(response, 200, "OK");
  SoupMessageHeaders* headers = soup_message_headers_new(SOUP_MESSAGE_HEADERS_RESPONSE);
  soup_message_headers_append(headers, "Access-Control-Allow-Origin", "*");
  webkit_uri_scheme_response_set_http_headers(response, headers);
  webkit_uri_scheme_request_finish_with_response(request, response);
  g_object_unref(response);
  g_object_unref(stream);
  g_bytes_unref(bytes);
}

// Reads one string item of a message, refusing anything longer than the
// script object takes before the text is copied out of the page's heap.
bool ReadItem(JSCValue* array, int index, std::string* out) {
  JSCValue* item = jsc_value_object_get_property_at_index(array, static_cast<guint>(index));
  bool ok = false;
  if (jsc_value_is_string(item)) {
    JSCValue* length = jsc_value_object_get_property(item, "length");
    const double units = jsc_value_is_number(length) ? jsc_value_to_double(length) : -1;
    g_object_unref(length);
    if (units >= 0 && units <= static_cast<double>(CWindowExternal::kMaxStringBytes)) {
      char* text = jsc_value_to_string(item);
      out->assign(Text(text));
      g_free(text);
      ok = true;
    }
  }
  g_object_unref(item);
  return ok;
}

// An empty token when the message is not a well-formed call (the script
// object then refuses it and counts it against the page's budget).
ScriptCall DecodeCall(JSCValue* value) {
  ScriptCall call;
  if (!jsc_value_is_array(value)) return call;
  JSCValue* length_value = jsc_value_object_get_property(value, "length");
  const int length = jsc_value_is_number(length_value) ? jsc_value_to_int32(length_value) : -1;
  g_object_unref(length_value);
  if (length < 2 || length > kMaxMessageItems) return call;
  ScriptCall decoded;
  if (!ReadItem(value, 0, &decoded.token) || !ReadItem(value, 1, &decoded.member)) return call;
  for (int i = 2; i < length; ++i) {
    std::string arg;
    if (!ReadItem(value, i, &arg)) {
      // Too long or not text: keep the token so the refusal is counted as
      // the size refusal it is.
      decoded.args.push_back(std::string(CWindowExternal::kMaxStringBytes + 1, '\0'));
      continue;
    }
    decoded.args.push_back(std::move(arg));
  }
  return decoded;
}

}  // namespace

std::string BuildUserAgent(const std::string& system_agent, const std::string& version, bool touch) {
  std::string token = ";QuolDevuzez " + version;
  if (touch) token += ";Touch";
  const std::size_t close = system_agent.rfind(')');
  if (close == std::string::npos) {
    std::string result = system_agent + token;
    if (result.size() > kMaxUserAgentBytes) result = token.substr(1);
    return result;
  }
  token += ")";
  std::string head = system_agent.substr(0, close);
  const std::string tail = system_agent.substr(close + 1);
  if (head.size() + token.size() + tail.size() <= kMaxUserAgentBytes) return head + token + tail;
  // Too long: cut the system text back at a ";" or "(" so the token fits.
  std::size_t cut = head.size();
  while (cut > 0) {
    const std::size_t at = head.find_last_of(";(", cut - 1);
    if (at == std::string::npos) {
      cut = 0;
      break;
    }
    cut = at;
    if (cut + token.size() <= kMaxUserAgentBytes) break;
  }
  std::string result = head.substr(0, cut) + token;
  if (result.size() > kMaxUserAgentBytes) result = token.substr(1);
  return result;
}

int TransportErrorCode(const GError* error) {
  if (error == nullptr) return -1;
  if (error->domain == G_IO_ERROR) return -(1000 + error->code);
  if (error->domain == G_RESOLVER_ERROR) return -(2000 + error->code);
  if (error->domain == G_TLS_ERROR) return -(3000 + error->code);
  if (error->domain == WEBKIT_NETWORK_ERROR) return -(4000 + error->code);
  return -1;
}

struct CInternetExplorer::Impl {
  WebKitWebContext* context = nullptr;
  WebKitUserContentManager* content = nullptr;
  // The URL this object asked the view to load, until its response.
  std::string requested_url;
  // The top-level URL already reported to OnBeforeNavigate.
  std::string reported_url;
  // The top-level URL watch (SetTopLevelUrlWatch); the URL a navigation
  // decision gave it before its load started; the last URL the load under
  // way gave it. Each URL of a load is watched once.
  std::function<void(const std::string&)> url_watch;
  std::string announced_url;
  std::string watched_url;
  // Open HoldLoad holds (id -> the source of its time bound) and the
  // decisions waiting for them, oldest first.
  struct HeldDecision {
    WebKitPolicyDecision* decision;
    WebKitPolicyDecisionType type;
  };
  std::map<unsigned, guint> holds;
  unsigned next_hold = 0;
  std::deque<HeldDecision> held;
  std::set<GtkWidget*> popups;
  bool refresh_pending = false;
  std::shared_ptr<bool> alive = std::make_shared<bool>(true);

  static bool Judge(CInternetExplorer* self, const std::string& url) {
    return self->options_.url_is_safe ? self->options_.url_is_safe(url)
                                      : quol::IsUrlSafe(url, nullptr, false);
  }

  // The next document gets window.external (with a new token) when the
  // policy accepts its URL; otherwise no script at all.
  static void PrepareScriptFor(CInternetExplorer* self, const std::string& url) {
    webkit_user_content_manager_remove_all_scripts(self->impl_->content);
    if (!Judge(self, url)) {
      self->external_->Revoke();
      return;
    }
    const std::string source = self->external_->NewPageScript();
    if (source.empty()) return;
    WebKitUserScript* script = webkit_user_script_new(
        source.c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
        WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
    webkit_user_content_manager_add_script(self->impl_->content, script);
    webkit_user_script_unref(script);
  }

  static void Watch(CInternetExplorer* self, const std::string& url) {
    if (!self->impl_->url_watch) return;
    // A copy: the watch may replace itself.
    const auto watch = self->impl_->url_watch;
    watch(url);
  }

  // A URL the top-level load under way has reached (its main resource,
  // load-changed and the main resource's response are the main frame's
  // alone), watched unless this load showed it already.
  static void WatchLoadUrl(CInternetExplorer* self, const std::string& url) {
    Impl& impl = *self->impl_;
    if (url.empty() || url.size() > kMaxUrlBytes || url == impl.watched_url) return;
    impl.watched_url = url;
    Watch(self, url);
  }

  // `before_load`: reported from the navigation decision, before any
  // request; otherwise from the load itself (its response or failure).
  static bool ReportTopLevel(CInternetExplorer* self, const std::string& url, bool before_load) {
    Impl& impl = *self->impl_;
    if (before_load) {
      impl.announced_url = url;
      Watch(self, url);
    } else {
      WatchLoadUrl(self, url);
    }
    impl.reported_url = url;
    const bool go = self->events_ == nullptr || self->events_->OnBeforeNavigate(url, "");
    // Refused, it never loads: the same URL again is a navigation of its own.
    if (!go && before_load) impl.announced_url.clear();
    return go;
  }

  // HoldLoad's end, by release or by its time bound; once the last hold
  // ends the held decisions are taken as if they had just come.
  static void EndHold(CInternetExplorer* self, unsigned id, bool timed_out) {
    Impl& impl = *self->impl_;
    const auto hold = impl.holds.find(id);
    if (hold == impl.holds.end()) return;
    if (!timed_out) g_source_remove(hold->second);
    impl.holds.erase(hold);
    if (timed_out) LogInfo("The sign-in cookies were not set in time; the page goes on.");
    Drain(self);
  }

  static void Drain(CInternetExplorer* self) {
    Impl& impl = *self->impl_;
    // Taking one may start another hold; the rest then wait for it.
    while (impl.holds.empty() && !impl.held.empty() && self->view_ != nullptr) {
      const HeldDecision next = impl.held.front();
      impl.held.pop_front();
      Decide(self, next.decision, next.type);
      g_object_unref(next.decision);
    }
  }

  // Answers the held decisions with "ignore" and forgets every hold (the
  // view is going away).
  static void DropHolds(CInternetExplorer* self) {
    Impl& impl = *self->impl_;
    for (const auto& [id, source] : impl.holds) g_source_remove(source);
    impl.holds.clear();
    for (const HeldDecision& held : impl.held) {
      webkit_policy_decision_ignore(held.decision);
      g_object_unref(held.decision);
    }
    impl.held.clear();
  }

  static gboolean DecideNavigation(CInternetExplorer* self, WebKitPolicyDecision* decision) {
    WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(
        WEBKIT_NAVIGATION_POLICY_DECISION(decision));
    const std::string url = Text(webkit_uri_request_get_uri(webkit_navigation_action_get_request(action)));
    if (url.size() > kMaxUrlBytes) {
      webkit_policy_decision_ignore(decision);
      return TRUE;
    }
    Impl& impl = *self->impl_;
    const WebKitNavigationType type = webkit_navigation_action_get_navigation_type(action);
    const bool ours = !impl.requested_url.empty() && url == impl.requested_url;
    const bool known_top_level = ours || webkit_navigation_action_is_user_gesture(action) ||
                                 type == WEBKIT_NAVIGATION_TYPE_LINK_CLICKED ||
                                 type == WEBKIT_NAVIGATION_TYPE_FORM_SUBMITTED ||
                                 type == WEBKIT_NAVIGATION_TYPE_FORM_RESUBMITTED ||
                                 type == WEBKIT_NAVIGATION_TYPE_BACK_FORWARD ||
                                 type == WEBKIT_NAVIGATION_TYPE_RELOAD;
    // A URL the policy rejects must be decided before any request leaves;
    // everything else (and loads that may be frames) is decided at response.
    if (ours || (known_top_level && !Judge(self, url))) {
      if (!ReportTopLevel(self, url, true)) {
        webkit_policy_decision_ignore(decision);
        return TRUE;
      }
    }
    webkit_policy_decision_use(decision);
    return TRUE;
  }

  static gboolean DecideResponse(CInternetExplorer* self, WebKitPolicyDecision* decision) {
    auto* response_decision = WEBKIT_RESPONSE_POLICY_DECISION(decision);
    WebKitURIResponse* response = webkit_response_policy_decision_get_response(response_decision);
    std::string url = Text(webkit_uri_response_get_uri(response));
    if (url.empty()) {
      url = Text(webkit_uri_request_get_uri(webkit_response_policy_decision_get_request(response_decision)));
    }
    Impl& impl = *self->impl_;
    if (!webkit_response_policy_decision_is_main_frame_main_resource(response_decision)) {
      if (!Judge(self, url)) {
        const char* top = webkit_web_view_get_uri(self->view_);
        const std::string top_url = top != nullptr && *top != '\0' ? top : "about:blank";
        if (self->events_ != nullptr && !self->events_->OnBeforeNavigate(url, top_url)) {
          webkit_policy_decision_ignore(decision);
          return TRUE;
        }
      }
      webkit_policy_decision_use(decision);
      return TRUE;
    }
    impl.requested_url.clear();
    if (url != impl.reported_url && !ReportTopLevel(self, url, false)) {
      impl.reported_url.clear();
      webkit_policy_decision_ignore(decision);
      return TRUE;
    }
    impl.reported_url.clear();
    const int status = static_cast<int>(webkit_uri_response_get_status_code(response));
    if (status >= 400 && self->events_ != nullptr && !self->events_->OnNavigateError(status, url)) {
      webkit_policy_decision_ignore(decision);
      return TRUE;
    }
    if (!webkit_response_policy_decision_is_mime_type_supported(response_decision)) {
      // The client shows pages; it does not download files.
      LogInfo("Not showing '%.*s': unsupported content.", kMaxLoggedUrl, url.c_str());
      webkit_policy_decision_ignore(decision);
      return TRUE;
    }
    PrepareScriptFor(self, url);
    webkit_policy_decision_use(decision);
    return TRUE;
  }

  static gboolean OnDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                 WebKitPolicyDecisionType type, gpointer data) {
    auto* self = static_cast<CInternetExplorer*>(data);
    Impl& impl = *self->impl_;
    const bool holdable = type == WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION ||
                          type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE;
    if (holdable && (!impl.holds.empty() || !impl.held.empty())) {
      if (impl.held.size() < kMaxHeldDecisions) {
        impl.held.push_back({WEBKIT_POLICY_DECISION(g_object_ref(decision)), type});
        return TRUE;
      }
      // Far more than one load's worth: waiting longer helps nobody.
      LogError("Too many navigations wait for the sign-in cookies; the page goes on.");
      for (const auto& [id, source] : impl.holds) g_source_remove(source);
      impl.holds.clear();
      Drain(self);
    }
    return Decide(self, decision, type);
  }

  static gboolean Decide(CInternetExplorer* self, WebKitPolicyDecision* decision,
                         WebKitPolicyDecisionType type) {
    switch (type) {
      case WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION:
        return DecideNavigation(self, decision);
      case WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION:
        // Judged in "create", where the referrer is known.
        webkit_policy_decision_use(decision);
        return TRUE;
      case WEBKIT_POLICY_DECISION_TYPE_RESPONSE:
        return DecideResponse(self, decision);
      default:
        return FALSE;
    }
  }

  static gboolean OnLoadFailed(WebKitWebView*, WebKitLoadEvent, gchar* failing_uri, GError* error,
                               gpointer data) {
    auto* self = static_cast<CInternetExplorer*>(data);
    // A newer load, or one of our own policy refusals: nothing to show.
    if (g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED) ||
        error->domain == WEBKIT_POLICY_ERROR) {
      return TRUE;
    }
    const std::string url = Text(failing_uri);
    self->impl_->requested_url.clear();
    LogInfo("Navigation to '%.*s' failed: %s", kMaxLoggedUrl, url.c_str(), Text(error->message));
    // A top-level load the policy would have refused, failing before its
    // response could be judged: it goes where it would have gone.
    if (!Judge(self, url) && url != self->impl_->reported_url) {
      self->impl_->reported_url.clear();
      WatchLoadUrl(self, url);
      if (self->events_ != nullptr) self->events_->OnBeforeNavigate(url, "");
      return TRUE;
    }
    self->impl_->reported_url.clear();
    if (self->events_ == nullptr) return FALSE;
    return self->events_->OnNavigateError(TransportErrorCode(error), url) ? FALSE : TRUE;
  }

  static void OnLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer data) {
    auto* self = static_cast<CInternetExplorer*>(data);
    Impl& impl = *self->impl_;
    if (event == WEBKIT_LOAD_STARTED) {
      // A new top-level load: what a navigation decision showed the watch
      // before it started is this load's first URL. (The view's URI is not
      // that URL yet for a load the page started; its main resource, below,
      // names it.)
      impl.watched_url = impl.announced_url;
      impl.announced_url.clear();
      return;
    }
    if (event == WEBKIT_LOAD_REDIRECTED) {
      // load-changed is the main frame's alone; the view's URI is now the
      // redirect's target, whose request has left. The watch must see it
      // before the next one does: a logoff page the service reaches by a
      // redirect, and then leaves by one, never gets a response to judge.
      WatchLoadUrl(self, Text(webkit_web_view_get_uri(view)));
      return;
    }
    if (self->events_ == nullptr) return;
    if (event == WEBKIT_LOAD_COMMITTED) {
      self->events_->OnNavigateComplete(Text(webkit_web_view_get_uri(view)));
    } else if (event == WEBKIT_LOAD_FINISHED) {
      self->events_->OnDocumentComplete();
    }
  }

  // The main frame's main resource names the URL its load asked for, before
  // any answer to that request; frames' resources are not main resources.
  // Safe pages are judged only at their response, after any redirects, but
  // the logon/logoff watch must see the URL navigated to before the load's
  // next request leaves.
  static void OnResourceLoadStarted(WebKitWebView* view, WebKitWebResource* resource,
                                    WebKitURIRequest* request, gpointer data) {
    if (resource == nullptr || webkit_web_view_get_main_resource(view) != resource) return;
    WatchLoadUrl(static_cast<CInternetExplorer*>(data), Text(webkit_uri_request_get_uri(request)));
  }

  static void OnTitleChanged(WebKitWebView* view, GParamSpec*, gpointer data) {
    auto* self = static_cast<CInternetExplorer*>(data);
    if (self->events_ != nullptr) self->events_->OnTitleChange(Text(webkit_web_view_get_title(view)));
  }

  static gboolean OnKeyPress(GtkWidget*, GdkEventKey* event, gpointer data) {
    auto* self = static_cast<CInternetExplorer*>(data);
    const guint key = event->keyval;
    if (key == GDK_KEY_Shift_L || key == GDK_KEY_Shift_R || key == GDK_KEY_Control_L ||
        key == GDK_KEY_Control_R) {
      return FALSE;
    }
    if (self->events_ != nullptr) {
      self->events_->OnKeyDown(key, (event->state & GDK_CONTROL_MASK) != 0,
                               (event->state & GDK_MOD1_MASK) != 0,
                               (event->state & GDK_SHIFT_MASK) != 0);
    }
    return FALSE;
  }

  static void OnScriptMessage(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer data) {
    auto* self = static_cast<CInternetExplorer*>(data);
    ScriptCall call = DecodeCall(webkit_javascript_result_get_js_value(result));
    // The top document may have moved to a page the policy rejects since
    // the call was posted.
    const char* top = webkit_web_view_get_uri(self->view_);
    if (top == nullptr || !Judge(self, top)) call.token.clear();
    bool changed = false;
    self->external_->Dispatch(call, &changed);
    if (changed) self->RefreshScriptState();
  }

  static void OnWebProcessTerminated(WebKitWebView*, WebKitWebProcessTerminationReason reason,
                                     gpointer) {
    LogError("The web process ended (%d).", static_cast<int>(reason));
  }

  // Windows a page opens on its own host.
  static GtkWidget* OnCreate(WebKitWebView* view, WebKitNavigationAction* action, gpointer data) {
    auto* self = static_cast<CInternetExplorer*>(data);
    const std::string url = Text(webkit_uri_request_get_uri(webkit_navigation_action_get_request(action)));
    const std::string referrer = Text(webkit_web_view_get_uri(view));
    if (url.size() > kMaxUrlBytes || self->events_ == nullptr ||
        !self->events_->OnNewWindow(url, referrer)) {
      return nullptr;
    }
    // Its own (empty) script set: window.external belongs to the main view.
    WebKitUserContentManager* content = webkit_user_content_manager_new();
    GtkWidget* popup = GTK_WIDGET(g_object_new(WEBKIT_TYPE_WEB_VIEW, "related-view", view,
                                               "user-content-manager", content, nullptr));
    g_object_unref(content);
    g_signal_connect(popup, "ready-to-show", G_CALLBACK(OnPopupReady), self);
    g_signal_connect(popup, "decide-policy", G_CALLBACK(OnPopupDecidePolicy), self);
    g_signal_connect(popup, "close", G_CALLBACK(OnPopupClose), self);
    return popup;
  }

  static void OnPopupReady(WebKitWebView* popup, gpointer data) {
    auto* self = static_cast<CInternetExplorer*>(data);
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(window), 800, 600);
    gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(popup));
    self->impl_->popups.insert(window);
    g_signal_connect(window, "destroy", G_CALLBACK(OnPopupWindowDestroyed), self);
    gtk_widget_show_all(window);
  }

  static void OnPopupWindowDestroyed(GtkWidget* window, gpointer data) {
    static_cast<CInternetExplorer*>(data)->impl_->popups.erase(window);
  }

  static void OnPopupClose(WebKitWebView* popup, gpointer) {
    GtkWidget* window = gtk_widget_get_toplevel(GTK_WIDGET(popup));
    if (GTK_IS_WINDOW(window)) gtk_widget_destroy(window);
  }

  // A page's own window may move on its site; anything the policy rejects
  // goes where OnNewWindow sends it.
  static gboolean OnPopupDecidePolicy(WebKitWebView* popup, WebKitPolicyDecision* decision,
                                      WebKitPolicyDecisionType type, gpointer data) {
    auto* self = static_cast<CInternetExplorer*>(data);
    std::string url;
    if (type == WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION ||
        type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
      WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(
          WEBKIT_NAVIGATION_POLICY_DECISION(decision));
      url = Text(webkit_uri_request_get_uri(webkit_navigation_action_get_request(action)));
    } else if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE) {
      auto* response = WEBKIT_RESPONSE_POLICY_DECISION(decision);
      if (!webkit_response_policy_decision_is_main_frame_main_resource(response)) return FALSE;
      url = Text(webkit_uri_response_get_uri(webkit_response_policy_decision_get_response(response)));
    } else {
      return FALSE;
    }
    if (url.size() <= kMaxUrlBytes && (url == "about:blank" || Judge(self, url))) {
      webkit_policy_decision_use(decision);
      return TRUE;
    }
    const char* main_url = webkit_web_view_get_uri(self->view_);
    if (url.size() <= kMaxUrlBytes && self->events_ != nullptr &&
        self->events_->OnNewWindow(url, Text(main_url != nullptr ? main_url
                                                                 : webkit_web_view_get_uri(popup)))) {
      webkit_policy_decision_use(decision);
    } else {
      webkit_policy_decision_ignore(decision);
    }
    return TRUE;
  }
};

CInternetExplorer::CInternetExplorer(CAbstractBrowserEvents* events, BrowserOptions options)
    : impl_(std::make_unique<Impl>()), events_(events), options_(std::move(options)) {}

std::unique_ptr<CInternetExplorer> CInternetExplorer::Create(CAbstractBrowserEvents* events,
                                                             BrowserOptions options) {
  EnsureBrowserPagesRegistered();
  std::unique_ptr<CInternetExplorer> browser(new CInternetExplorer(events, std::move(options)));
  CInternetExplorer* self = browser.get();
  if (!self->options_.web_client_values) {
    self->options_.web_client_values = [] { return CSuiteSettings::Instance().web_client_values(); };
  }
  self->external_ = std::make_unique<CWindowExternal>(events, self->options_.web_client_values);

  const std::string data_folder =
      self->options_.data_folder.empty() ? platform::DataFolderPath() : self->options_.data_folder;
  const std::string web_data = data_folder + "/WebData";
  WebKitWebsiteDataManager* data = webkit_website_data_manager_new(
      "base-data-directory", web_data.c_str(), "base-cache-directory",
      (web_data + "/Cache").c_str(), nullptr);
  webkit_cookie_manager_set_persistent_storage(webkit_website_data_manager_get_cookie_manager(data),
                                               (web_data + "/Cookies.sqlite").c_str(),
                                               WEBKIT_COOKIE_PERSISTENT_STORAGE_SQLITE);
  Impl& impl = *self->impl_;
  impl.context = webkit_web_context_new_with_website_data_manager(data);
  g_object_unref(data);
  webkit_web_context_register_uri_scheme(impl.context, "res", OnResSchemeRequest, nullptr, nullptr);
  // Secure and CORS-enabled so http pages of the service may use the
  // built-in pages' files; never local, which would bar them.
  WebKitSecurityManager* security = webkit_web_context_get_security_manager(impl.context);
  webkit_security_manager_register_uri_scheme_as_secure(security, "res");
  webkit_security_manager_register_uri_scheme_as_cors_enabled(security, "res");
  // quol:// (the installed check, links that start the client's views or
  // the screen saver), acted on only for pages the URL policy accepts.
  RegisterQuolScheme(impl.context, [self](const std::string& url) {
    return self->options_.quol_scheme_allowed ? self->options_.quol_scheme_allowed(url)
                                              : Impl::Judge(self, url);
  });

  impl.content = webkit_user_content_manager_new();
  webkit_user_content_manager_register_script_message_handler(impl.content, kMessageHandler);
  g_signal_connect(impl.content, "script-message-received::quolExternal",
                   G_CALLBACK(Impl::OnScriptMessage), self);

  self->view_ = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", impl.context,
                                             "user-content-manager", impl.content, nullptr));
  g_object_ref_sink(self->view_);

  WebKitSettings* settings = webkit_web_view_get_settings(self->view_);
  self->user_agent_ = BuildUserAgent(Text(webkit_settings_get_user_agent(settings)),
                                     platform::ProgramFileVersionText(), HasTouchScreen());
  webkit_settings_set_user_agent(settings, self->user_agent_.c_str());
  // Pages may open windows; OnNewWindow decides where they go.
  webkit_settings_set_javascript_can_open_windows_automatically(settings, TRUE);
  // A page restored from the page cache would keep a token that is no
  // longer valid; every document is loaded (and given its token) afresh.
  webkit_settings_set_enable_page_cache(settings, FALSE);
  webkit_settings_set_enable_developer_extras(settings, FALSE);

  // WebKit navigates to a file dropped on the view; the client never does.
  gtk_drag_dest_unset(GTK_WIDGET(self->view_));

  g_signal_connect(self->view_, "decide-policy", G_CALLBACK(Impl::OnDecidePolicy), self);
  g_signal_connect(self->view_, "load-failed", G_CALLBACK(Impl::OnLoadFailed), self);
  g_signal_connect(self->view_, "load-changed", G_CALLBACK(Impl::OnLoadChanged), self);
  g_signal_connect(self->view_, "notify::title", G_CALLBACK(Impl::OnTitleChanged), self);
  g_signal_connect(self->view_, "resource-load-started", G_CALLBACK(Impl::OnResourceLoadStarted), self);
  g_signal_connect(self->view_, "key-press-event", G_CALLBACK(Impl::OnKeyPress), self);
  g_signal_connect(self->view_, "create", G_CALLBACK(Impl::OnCreate), self);
  g_signal_connect(self->view_, "web-process-terminated", G_CALLBACK(Impl::OnWebProcessTerminated), self);
  return browser;
}

CInternetExplorer::~CInternetExplorer() { Close(); }

void CInternetExplorer::Close() {
  if (view_ == nullptr) return;
  Impl& impl = *impl_;
  g_signal_handlers_disconnect_by_data(view_, this);
  g_signal_handlers_disconnect_by_data(impl.content, this);
  impl.url_watch = nullptr;
  Impl::DropHolds(this);
  webkit_web_view_stop_loading(view_);
  const std::set<GtkWidget*> popups = impl.popups;
  for (GtkWidget* window : popups) {
    g_signal_handlers_disconnect_by_data(window, this);
    GtkWidget* child = gtk_bin_get_child(GTK_BIN(window));
    if (child != nullptr) g_signal_handlers_disconnect_by_data(child, this);
    gtk_widget_destroy(window);
  }
  impl.popups.clear();
  g_clear_object(&view_);
  g_clear_object(&impl.content);
  g_clear_object(&impl.context);
  impl.alive.reset();
  events_ = nullptr;
}

bool CInternetExplorer::Navigate(const std::string& url) {
  LogInfo("Navigate2:'%.*s'", kMaxLoggedUrl, url.c_str());
  if (view_ == nullptr) return false;
  if (webkit_web_view_is_loading(view_)) {
    LogInfo("Browser is busy, stopping.");
    webkit_web_view_stop_loading(view_);
  }
  impl_->requested_url = url;
  HRESULT hr = StartLoad(view_, url);
  if (Failed(hr)) {
    LogError("Navigate to '%.*s' failed: %x, retrying.", kMaxLoggedUrl, url.c_str(),
             static_cast<unsigned>(hr));
    webkit_web_view_stop_loading(view_);
    hr = StartLoad(view_, url);
    if (Failed(hr)) {
      LogError("Navigate to '%.*s' still failed: %x.", kMaxLoggedUrl, url.c_str(),
               static_cast<unsigned>(hr));
      impl_->requested_url.clear();
    }
  }
  return Succeeded(hr);
}

bool CInternetExplorer::Stop() {
  if (view_ == nullptr) return false;
  webkit_web_view_stop_loading(view_);
  return true;
}

bool CInternetExplorer::IsOnline() {
  const char* forced = std::getenv("QUOL_FORCE_OFFLINE");
  if (forced != nullptr && std::strcmp(forced, "1") == 0) return false;
  if (forced != nullptr && std::strcmp(forced, "0") == 0) return true;
  return g_network_monitor_get_network_available(g_network_monitor_get_default()) != FALSE;
}

bool CInternetExplorer::GetVersion(std::string* text) {
  *text = "WebKitGTK " + std::to_string(webkit_get_major_version()) + "." +
          std::to_string(webkit_get_minor_version()) + "." +
          std::to_string(webkit_get_micro_version());
  return true;
}

GtkWidget* CInternetExplorer::widget() { return view_ != nullptr ? GTK_WIDGET(view_) : nullptr; }

std::string CInternetExplorer::LocationUrl() {
  return view_ != nullptr ? Text(webkit_web_view_get_uri(view_)) : std::string();
}

void CInternetExplorer::RefreshScriptState() {
  if (view_ == nullptr || impl_->refresh_pending) return;
  // Many changes in a row cost one refresh.
  impl_->refresh_pending = true;
  PostMainLoopTask(impl_->alive, [this] {
    impl_->refresh_pending = false;
    const std::string script = external_->RefreshScript();
    if (script.empty() || view_ == nullptr) return;
    webkit_web_view_evaluate_javascript(view_, script.c_str(), static_cast<gssize>(script.size()),
                                        nullptr, nullptr, nullptr, nullptr, nullptr);
  });
}

WebKitCookieManager* CInternetExplorer::cookie_manager() {
  if (impl_->context == nullptr) return nullptr;
  return webkit_website_data_manager_get_cookie_manager(
      webkit_web_context_get_website_data_manager(impl_->context));
}

bool CInternetExplorer::SetTopLevelUrlWatch(std::function<void(const std::string& url)> watch) {
  impl_->url_watch = std::move(watch);
  return true;
}

std::function<void()> CInternetExplorer::HoldLoad() {
  if (view_ == nullptr) return {};
  Impl& impl = *impl_;
  const unsigned id = ++impl.next_hold;
  struct Bound {
    std::weak_ptr<bool> alive;
    CInternetExplorer* self;
    unsigned id;
  };
  const guint source = g_timeout_add_full(
      G_PRIORITY_DEFAULT, kMaxLoadHoldMs,
      [](gpointer data) -> gboolean {
        const auto* bound = static_cast<Bound*>(data);
        if (!bound->alive.expired()) Impl::EndHold(bound->self, bound->id, true);
        return G_SOURCE_REMOVE;
      },
      new Bound{impl.alive, this, id}, [](gpointer data) { delete static_cast<Bound*>(data); });
  impl.holds.emplace(id, source);
  return [this, alive = std::weak_ptr<bool>(impl.alive), id] {
    if (!alive.expired()) Impl::EndHold(this, id, false);
  };
}

int CInternetExplorer::popup_count() const { return static_cast<int>(impl_->popups.size()); }

}  // namespace quol::client
