#include "foundation/settings/settings_manager.h"

#include <cstdio>
#include <mutex>
#include <new>
#include <sstream>
#include <thread>

#include "foundation/log/process_log.h"
#include "platform/datafolder/data_folder.h"
#include "platform/fs/files.h"
#include "platform/http/http.h"
#include "platform/text/utf.h"

namespace quol {
namespace {

std::mutex g_fetcher_mutex;
CQuolSettingsManagerBase::DocumentFetcher g_fetcher;

constexpr char kEmptyDocument[] = "<quol />";

bool IsUrl(const std::string& name) {
  return platform::StartsWithIgnoreCase(name, "http://") ||
         platform::StartsWithIgnoreCase(name, "https://");
}

bool IsRegularFile(const std::string& name) {
  return platform::FileExists(name) && !platform::IsDirectory(name);
}

void AppendText(pugi::xml_node node, std::string* out) {
  for (pugi::xml_node child : node.children()) {
    if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata) {
      out->append(child.value());
    } else if (child.type() == pugi::node_element) {
      AppendText(child, out);
    }
  }
}

// Runs a relative element query; malformed names give no match rather than
// an exception.
pugi::xml_node SelectFirst(pugi::xml_node context, const std::string& query,
                           const pugi::xpath_variable_set* variables) {
  if (!context) return {};
  try {
    pugi::xpath_query compiled(query.c_str(), const_cast<pugi::xpath_variable_set*>(variables));
    return compiled.evaluate_node(context).node();
  } catch (const pugi::xpath_exception&) {
    return {};
  } catch (const std::bad_alloc&) {
    return {};
  }
}

}  // namespace

CQuolSettingsManagerBase::CQuolSettingsManagerBase(bool per_user, const std::string& file_name)
    : per_user_(per_user) {
  std::string folder;
  platform::EnsureDataFolder(&folder, per_user_);
  path_ = platform::JoinPath(folder, file_name);
}

CQuolSettingsManagerBase::~CQuolSettingsManagerBase() = default;

HRESULT CQuolSettingsManagerBase::Load() {
  XmlDocument document = OpenDocument(path_, true);
  if (!document) return E_FAIL;
  document_ = std::move(document);
  ReadValues();
  loaded_ = true;
  return S_OK;
}

HRESULT CQuolSettingsManagerBase::Save() {
  if (!dirty_) return S_OK;
  if (!document_) {
    LogError("Cannot save settings: %x to %s", static_cast<unsigned>(E_UNEXPECTED), path_.c_str());
    return E_UNEXPECTED;
  }
  WriteValues();
  HRESULT hr = E_FAIL;
  for (int attempt = 0; attempt < 3; ++attempt) {
    hr = WriteDocumentTo(path_);
    if (Succeeded(hr)) {
      dirty_ = false;
      return S_OK;
    }
    LogError("Cannot save settings: %x to %s", static_cast<unsigned>(hr), path_.c_str());
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
  return hr;
}

HRESULT CQuolSettingsManagerBase::WriteDocumentTo(const std::string& path) const {
  if (!document_) return E_UNEXPECTED;
  std::ostringstream out;
  document_->save(out, "  ", pugi::format_default, pugi::encoding_utf8);
  if (!out) return E_OUTOFMEMORY;
  return platform::WriteFileAtomically(path, out.str());
}

void CQuolSettingsManagerBase::ReleaseDocument() { document_.reset(); }

// Writes need a loaded document: writing into a fresh one and saving it would
// replace the user's file with only the values just set.
pugi::xml_node CQuolSettingsManagerBase::Root() {
  if (!document_) return {};
  pugi::xml_node root = document_->document_element();
  if (!root) root = document_->append_child("quol");
  return root;
}

std::string CQuolSettingsManagerBase::ElementText(pugi::xml_node node) {
  std::string text;
  AppendText(node, &text);
  return std::string(platform::TrimWhitespace(text));
}

std::string CQuolSettingsManagerBase::Lookup(const std::string& query,
                                             const pugi::xpath_variable_set* variables,
                                             const std::string& logged_query,
                                             const std::string& default_value) const {
  pugi::xml_node root = document_ ? document_->document_element() : pugi::xml_node();
  pugi::xml_node node = SelectFirst(root, query, variables);
  if (node) {
    std::string text = ElementText(node);
    if (!text.empty()) {
      LogInfo("Setting '%s'='%s'", logged_query.c_str(), text.c_str());
      return text;
    }
  }
  LogInfo("Setting '%s' defaulted to '%s'", logged_query.c_str(), default_value.c_str());
  return default_value;
}

std::string CQuolSettingsManagerBase::GetValue(const std::string& section, const std::string& key,
                                               const std::string& default_value) const {
  std::string query = section + "/" + key;
  return Lookup(query, nullptr, query, default_value);
}

std::string CQuolSettingsManagerBase::GetValue(const std::string& section, const std::string& key,
                                               const std::string& default_value,
                                               const std::string& attribute_name,
                                               const std::string& attribute_value) const {
  const std::string lowered = platform::AsciiLower(attribute_value);
  // The value is bound as a variable, never pasted into the query, so a quote
  // in it can neither break the query nor change its meaning.
  pugi::xpath_variable_set variables;
  variables.set("v", lowered.c_str());
  std::string query = section + "/" + key + "[@" + attribute_name + " = $v]";
  std::string logged = section + "/" + key + "[@" + attribute_name + " = '" + lowered + "']";
  return Lookup(query, &variables, logged, default_value);
}

int CQuolSettingsManagerBase::GetInt(const std::string& section, const std::string& key,
                                     int default_value) const {
  std::string text = GetValue(section, key, "");
  int value = 0;
  if (std::sscanf(text.c_str(), "%d", &value) != 1) return default_value;
  return value;
}

bool CQuolSettingsManagerBase::GetBool(const std::string& section, const std::string& key,
                                       bool default_value) const {
  std::string text = GetValue(section, key, default_value ? "true" : "false");
  return platform::EqualsIgnoreCase(text, "true") || platform::EqualsIgnoreCase(text, "yes") ||
         platform::EqualsIgnoreCase(text, "on");
}

void CQuolSettingsManagerBase::SetValue(const std::string& section, const std::string& key,
                                        const std::string& text) {
  pugi::xml_node root = Root();
  if (!root) return;
  pugi::xml_node section_node = FindOrCreateElement(root, section);
  pugi::xml_node key_node = FindOrCreateElement(section_node, key);
  if (text.empty()) {
    section_node.remove_child(key_node);
    return;
  }
  key_node.remove_children();
  key_node.append_child(pugi::node_pcdata).set_value(text.c_str());
}

void CQuolSettingsManagerBase::SetInt(const std::string& section, const std::string& key,
                                      int value) {
  SetValue(section, key, std::to_string(value));
}

void CQuolSettingsManagerBase::SetBool(const std::string& section, const std::string& key,
                                       bool value) {
  SetValue(section, key, value ? "true" : "false");
}

void CQuolSettingsManagerBase::RemoveSection(const std::string& section) {
  pugi::xml_node root = Root();
  if (!root) return;
  root.remove_child(FindOrCreateElement(root, section));
}

XmlDocument CQuolSettingsManagerBase::CreateXmlDocument() {
  try {
    return std::make_unique<pugi::xml_document>();
  } catch (const std::bad_alloc&) {
    LogError("Could not create XMLDOM");
    return nullptr;
  }
}

pugi::xml_node CQuolSettingsManagerBase::FindOrCreateElement(pugi::xml_node parent,
                                                             const std::string& name) {
  pugi::xml_node child = parent.child(name.c_str());
  if (!child) child = parent.append_child(name.c_str());
  return child;
}

void CQuolSettingsManagerBase::SetDocumentFetcher(DocumentFetcher fetcher) {
  std::lock_guard lock(g_fetcher_mutex);
  g_fetcher = std::move(fetcher);
}

XmlDocument CQuolSettingsManagerBase::OpenDocument(const std::string& name,
                                                   bool create_if_missing) {
  XmlDocument document = CreateXmlDocument();
  if (!document) return nullptr;

  const bool is_url = IsUrl(name);
  if (is_url || IsRegularFile(name)) {
    std::string body;
    std::string error;
    HRESULT hr = S_OK;
    if (is_url) {
      DocumentFetcher fetcher;
      {
        std::lock_guard lock(g_fetcher_mutex);
        fetcher = g_fetcher;
      }
      hr = fetcher ? fetcher(name, &body, &error) : platform::HttpFetchDocument(name, &body, &error);
    } else {
      hr = platform::ReadWholeFile(name, &body, kMaxDocumentBytes);
      if (hr == E_OUTOFMEMORY) error = "file too large";
      else if (Failed(hr)) error = "cannot read file";
    }

    if (Succeeded(hr)) {
      pugi::xml_parse_result result = document->load_buffer(body.data(), body.size());
      if (result && document->document_element()) return document;
      if (!result && result.status != pugi::status_no_document_element) {
        char reason[256];
        std::snprintf(reason, sizeof reason, "%s at offset %lld", result.description(),
                      static_cast<long long>(result.offset));
        error = reason;
        hr = E_BAD_FORMAT;
      }
    }
    if (Failed(hr)) {
      LogError("Failed to get settings: %s", error.c_str());
      // A damaged local file is about to be replaced by the next save: keep
      // the user's copy so nothing is lost.
      if (!is_url && hr == E_BAD_FORMAT && create_if_missing) {
        platform::CopyFile(name, name + ".bad");
      }
    }
  }

  if (!create_if_missing) {
    LogInfo("Settings file %s not found.", name.c_str());
    return nullptr;
  }
  document->reset();
  document->load_string(kEmptyDocument);
  return document;
}

}  // namespace quol
