// The built-in res:// pages (the error page with its style sheet, script
// and images), served from the program's own resource bundle. Only the
// names in the table are served; anything else is "not found".
#pragma once

#include <functional>
#include <string>

namespace quol::client {

struct BuiltinPage {
  std::string bytes;
  const char* content_type = "";
};

// Registers the pages' resource bundle with GIO once per process.
void EnsureBrowserPagesRegistered();

// `path` as in the URL ("/offline.htm"); the host of a res:// URL does not
// matter. False for a name that is not in the table or added below.
bool LookupBuiltinPage(const std::string& path, BuiltinPage* page);

// Adds a page that another part of the program owns (the tools' diagnostics
// page), so the browser does not depend on that part. `bytes` is asked at
// each load; an empty answer is "not found". Main thread, before the first
// load; a name already served stays as it is.
void AddBuiltinPage(const std::string& name, const char* content_type,
                    std::function<std::string()> bytes);

}  // namespace quol::client
