// The built-in res:// pages (the error page with its style sheet, script
// and images), served from the program's own resource bundle. Only the
// names in the table are served; anything else is "not found".
#pragma once

#include <string>

namespace quol::client {

struct BuiltinPage {
  std::string bytes;
  const char* content_type = "";
};

// Registers the pages' resource bundle with GIO once per process.
void EnsureBrowserPagesRegistered();

// `path` as in the URL ("/offline.htm"); the host of a res:// URL does not
// matter. False for a name that is not in the table.
bool LookupBuiltinPage(const std::string& path, BuiltinPage* page);

}  // namespace quol::client
