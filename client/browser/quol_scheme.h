// The quol:// scheme inside the desktop client: service pages fire
// quol:// URLs (as image sources) to start the client's own views or the
// screen saver. Answered in-process by libQuolProtocolHandler, the same
// library other browsers reach through quol-url, so both start the same
// programs with the same arguments.
//
// CInternetExplorer::Create registers it on the client's web context, with
// the URL policy (BrowserOptions::quol_scheme_allowed, by default the same
// judge as for window.external) deciding for the page that asks.
#pragma once

#include <functional>
#include <string>

typedef struct _WebKitWebContext WebKitWebContext;

namespace quol::client {

// Registers "quol" on `context`, as secure and CORS-enabled (never local,
// which would bar the service's http pages from it). Each request's action
// is taken only when `top_level_url_allowed` accepts the top-level URL of
// the view that asked (the URL policy's judgement); a handled URL is
// answered with the 1x1 GIF ("image/gif", status 200,
// Access-Control-Allow-Origin: *), anything else fails the request.
// Ended child processes are collected from the main loop. Main thread;
// once per context.
void RegisterQuolScheme(WebKitWebContext* context,
                        std::function<bool(const std::string& top_level_url)> top_level_url_allowed);

}  // namespace quol::client
