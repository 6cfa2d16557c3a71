#include "client/browser/builtin_pages.h"

#include <gio/gio.h>

#include <cstring>
#include <utility>
#include <vector>

extern "C" void quol_browser_pages_register_resource(void);

namespace quol::client {
namespace {

struct PageEntry {
  const char* name;
  const char* content_type;
};

constexpr PageEntry kPages[] = {
    {"offline.htm", "text/html"},
    {"offline.css", "text/css"},
    {"offline.js", "text/javascript"},
    {"offline_panel.svg", "image/svg+xml"},
    {"offline_button.svg", "image/svg+xml"},
    {"offline_button_hover.svg", "image/svg+xml"},
    {"offline_button_down.svg", "image/svg+xml"},
};

struct AddedPage {
  std::string name;
  const char* content_type;
  std::function<std::string()> bytes;
};

std::vector<AddedPage>& AddedPages() {
  static std::vector<AddedPage> pages;
  return pages;
}

}  // namespace

void AddBuiltinPage(const std::string& name, const char* content_type,
                    std::function<std::string()> bytes) {
  for (const PageEntry& entry : kPages) {
    if (name == entry.name) return;
  }
  for (const AddedPage& page : AddedPages()) {
    if (page.name == name) return;
  }
  AddedPages().push_back({name, content_type, std::move(bytes)});
}

void EnsureBrowserPagesRegistered() {
  static const bool registered = [] {
    quol_browser_pages_register_resource();
    return true;
  }();
  (void)registered;
}

bool LookupBuiltinPage(const std::string& path, BuiltinPage* page) {
  EnsureBrowserPagesRegistered();
  const std::string name = !path.empty() && path[0] == '/' ? path.substr(1) : path;
  for (const PageEntry& entry : kPages) {
    if (name != entry.name) continue;
    const std::string resource = std::string("/quol/browser/") + entry.name;
    GBytes* bytes = g_resources_lookup_data(resource.c_str(), G_RESOURCE_LOOKUP_FLAGS_NONE, nullptr);
    if (bytes == nullptr) return false;
    gsize size = 0;
    const auto* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
    page->bytes.assign(data, size);
    page->content_type = entry.content_type;
    g_bytes_unref(bytes);
    return true;
  }
  for (const AddedPage& added : AddedPages()) {
    if (name != added.name) continue;
    page->bytes = added.bytes ? added.bytes() : std::string();
    page->content_type = added.content_type;
    return !page->bytes.empty();
  }
  return false;
}

}  // namespace quol::client
