#include "client/browser/quol_scheme.h"

#include <webkit2/webkit2.h>

#include <memory>
#include <string>

#include "protocol/quol_protocol_handler.h"

namespace quol::client {
namespace {

struct SchemeState {
  std::function<bool(const std::string&)> allowed;
};

// How often ended children are looked for while any still run.
constexpr guint kReapIntervalSeconds = 1;
guint g_reap_source = 0;  // main thread only

gboolean OnReapTimer(gpointer) {
  if (QuolProtocolReapChildren() > 0) return G_SOURCE_CONTINUE;
  g_reap_source = 0;
  return G_SOURCE_REMOVE;
}

void FinishNotHandled(WebKitURISchemeRequest* request) {
  GError* error = g_error_new_literal(G_IO_ERROR, G_IO_ERROR_NOT_SUPPORTED,
                                      "Not a quol:// link this program handles");
  webkit_uri_scheme_request_finish_error(request, error);
  g_error_free(error);
}

void OnQuolSchemeRequest(WebKitURISchemeRequest* request, gpointer data) {
  const auto* state = static_cast<const SchemeState*>(data);
  const char* uri = webkit_uri_scheme_request_get_uri(request);
  WebKitWebView* view = webkit_uri_scheme_request_get_web_view(request);
  const char* top = view != nullptr ? webkit_web_view_get_uri(view) : nullptr;
  const bool allowed = top != nullptr && state->allowed && state->allowed(top);

  std::unique_ptr<QuolProtocol, decltype(&QuolProtocolDestroy)> handler(QuolProtocolCreate(),
                                                                        QuolProtocolDestroy);
  if (handler == nullptr || uri == nullptr ||
      QuolProtocolStart(handler.get(), uri, allowed ? 1 : 0, nullptr) != QUOL_S_OK) {
    FinishNotHandled(request);
    return;
  }
  if (g_reap_source == 0) g_reap_source = g_timeout_add_seconds(kReapIntervalSeconds, OnReapTimer, nullptr);

  // The image is 43 bytes; the bound only keeps a broken library from
  // looping here.
  std::string image;
  char buffer[QUOL_PROTOCOL_IMAGE_BYTES];
  uint32_t read = 0;
  for (int call = 0; call < 8; ++call) {
    if (QuolProtocolRead(handler.get(), buffer, sizeof buffer, &read) != QUOL_S_OK) break;
    image.append(buffer, read);
  }
  GBytes* bytes = g_bytes_new(image.data(), image.size());
  GInputStream* stream = g_memory_input_stream_new_from_bytes(bytes);
  WebKitURISchemeResponse* response = webkit_uri_scheme_response_new(stream, static_cast<gint64>(image.size()));
  webkit_uri_scheme_response_set_content_type(response, QUOL_PROTOCOL_MIME_TYPE);
  webkit_uri_scheme_response_set_status(response, 200, "OK");
  SoupMessageHeaders* headers = soup_message_headers_new(SOUP_MESSAGE_HEADERS_RESPONSE);
  // The type as a header too: a page's fetch() reads the headers, not
  // WebKit's MIME type of the resource.
  soup_message_headers_append(headers, "Content-Type", QUOL_PROTOCOL_MIME_TYPE);
  soup_message_headers_append(headers, "Access-Control-Allow-Origin", "*");
  webkit_uri_scheme_response_set_http_headers(response, headers);
  webkit_uri_scheme_request_finish_with_response(request, response);
  g_object_unref(response);
  g_object_unref(stream);
  g_bytes_unref(bytes);
}

}  // namespace

void RegisterQuolScheme(WebKitWebContext* context,
                        std::function<bool(const std::string& top_level_url)> top_level_url_allowed) {
  // Owned by the context from here on; freed by the destroy notify.
  SchemeState* state = std::make_unique<SchemeState>(SchemeState{std::move(top_level_url_allowed)}).release();
  webkit_web_context_register_uri_scheme(
      context, "quol", OnQuolSchemeRequest, state,
      [](gpointer data) { std::unique_ptr<SchemeState> owned(static_cast<SchemeState*>(data)); });
  WebKitSecurityManager* security = webkit_web_context_get_security_manager(context);
  webkit_security_manager_register_uri_scheme_as_secure(security, "quol");
  webkit_security_manager_register_uri_scheme_as_cors_enabled(security, "quol");
}

}  // namespace quol::client
