// For the browser's test programs that run a real WebKitWebView: the suite's
// GTK-on-Xvfb environment, a main-loop wait and script evaluation in a page.
#pragma once

#include <gtest/gtest.h>
#include <webkit2/webkit2.h>

#include <chrono>
#include <functional>
#include <string>

#include "platform/testing/gtk_xvfb.h"

namespace quol::client::testing {

using XvfbEnvironment = quol::testing::GtkXvfbEnvironment;

// Spins the main loop until `done` or a generous liveness bound.
inline bool RunUntil(const std::function<bool()>& done,
                     std::chrono::milliseconds limit = std::chrono::seconds(30)) {
  return quol::testing::PumpGtkUntil(done, limit);
}

// Runs `script` in the page (as an async function body) and returns its
// result as text ("error: ..." when it throws).
inline std::string EvalIn(WebKitWebView* view, const std::string& script) {
  struct Result {
    bool done = false;
    std::string text;
  } result;
  webkit_web_view_call_async_javascript_function(
      view, script.c_str(), -1, nullptr, nullptr, nullptr, nullptr,
      [](GObject* source, GAsyncResult* async, gpointer data) {
        auto* r = static_cast<Result*>(data);
        GError* error = nullptr;
        JSCValue* value = webkit_web_view_call_async_javascript_function_finish(
            WEBKIT_WEB_VIEW(source), async, &error);
        if (value != nullptr) {
          char* text = jsc_value_to_string(value);
          r->text = text != nullptr ? text : "";
          g_free(text);
          g_object_unref(value);
        } else {
          r->text = std::string("error: ") + (error != nullptr ? error->message : "?");
          g_clear_error(&error);
        }
        r->done = true;
      },
      &result);
  EXPECT_TRUE(RunUntil([&] { return result.done; })) << script;
  return result.text;
}

}  // namespace quol::client::testing
