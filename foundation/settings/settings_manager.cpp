#include "foundation/settings/settings_manager.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <new>
#include <sstream>
#include <thread>

#include "foundation/log/process_log.h"
#include "foundation/xml/bounded_xml.h"
#include "foundation/xml/xml_document.h"
#include "platform/datafolder/data_folder.h"
#include "platform/fs/files.h"
#include "platform/http/http.h"
#include "platform/text/utf.h"

namespace quol {
namespace {

std::mutex g_fetcher_mutex;
CQuolSettingsManagerBase::DocumentFetcher g_fetcher;

constexpr char kEmptyDocument[] = "<quol />";
constexpr char kIndent[] = "  ";

bool IsUrl(const std::string& name) {
  return platform::StartsWithIgnoreCase(name, "http://") ||
         platform::StartsWithIgnoreCase(name, "https://");
}

// XML 1.0 name characters (fifth edition).
bool IsNameStart(char32_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' ||
         (c >= 0xC0 && c <= 0xD6) || (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) ||
         (c >= 0x370 && c <= 0x37D) || (c >= 0x37F && c <= 0x1FFF) ||
         (c >= 0x200C && c <= 0x200D) || (c >= 0x2070 && c <= 0x218F) ||
         (c >= 0x2C00 && c <= 0x2FEF) || (c >= 0x3001 && c <= 0xD7FF) ||
         (c >= 0xF900 && c <= 0xFDCF) || (c >= 0xFDF0 && c <= 0xFFFD) ||
         (c >= 0x10000 && c <= 0xEFFFF);
}

bool IsNameChar(char32_t c) {
  return IsNameStart(c) || c == '-' || c == '.' || (c >= '0' && c <= '9') || c == 0xB7 ||
         (c >= 0x300 && c <= 0x36F) || (c >= 0x203F && c <= 0x2040);
}

// The first child element of `parent` named `name`, found by walking the
// children: names never become part of a query.
pugi::xml_node ChildNamed(pugi::xml_node parent, const std::string& name) {
  return parent ? parent.child(name.c_str()) : pugi::xml_node();
}

// Writes need a loaded document: writing into a fresh one and saving it would
// replace the user's file with only the values just set.
pugi::xml_node WritableRoot(XmlDocumentHandle* document) {
  if (document == nullptr) return {};
  pugi::xml_node root = document->xml.document_element();
  if (!root) root = document->xml.append_child("quol");
  return root;
}

pugi::xml_node ReadableRoot(const XmlDocumentHandle* document) {
  return document != nullptr ? document->xml.document_element() : pugi::xml_node();
}

std::string SerializeDocument(const pugi::xml_document& document) {
  // Indentation costs a few bytes per level on every line, so only our own
  // shallow shape gets it; a deep document is written as it came.
  if (XmlNestingDepth(document) > CQuolSettingsManagerBase::kMaxIndentedDepth) {
    return SaveXmlFlat(document);
  }
  std::ostringstream out;
  document.save(out, kIndent, pugi::format_default, pugi::encoding_utf8);
  return out.str();
}

}  // namespace

CQuolSettingsManagerBase::CQuolSettingsManagerBase(bool per_user, const std::string& file_name)
    : per_user_(per_user) {
  std::string folder;
  folder_status_ = platform::EnsureDataFolder(&folder, per_user_);
  path_ = platform::JoinPath(folder, file_name);
}

CQuolSettingsManagerBase::~CQuolSettingsManagerBase() = default;

HRESULT CQuolSettingsManagerBase::Load() {
  // Without its folder the store can neither have a file nor ever save one.
  if (Failed(folder_status_)) {
    LogError("Cannot create the data folder for %s: %x", path_.c_str(),
             static_cast<unsigned>(folder_status_));
    return folder_status_;
  }
  // What killed saves left beside the file goes first; a save running in
  // another process holds its temporary and is left alone.
  platform::RemoveStaleTemporaries(path_);
  OpenOutcome outcome;
  XmlDocument document = OpenDocument(path_, true, &outcome);
  if (!document) return E_FAIL;
  document_ = std::move(document);
  read_error_ = outcome.source == Source::kUnreadable ? outcome.status : S_OK;
  keep_aside_pending_ =
      outcome.source == Source::kMalformed || outcome.source == Source::kEmpty;
  // A failure here is not final: Save tries again and refuses to write
  // until the damaged file is safely aside.
  if (keep_aside_pending_) static_cast<void>(KeepMalformedFileAside());
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
    // Retrying cannot help a file that could not be read or a document
    // that does not serialise to something readable.
    if (Failed(read_error_) || hr == E_BAD_FORMAT || hr == E_OUTOFMEMORY) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
  return hr;
}

HRESULT CQuolSettingsManagerBase::KeepMalformedFileAside() {
  std::string content;
  HRESULT hr = platform::ReadWholeFile(path_, &content, kMaxDocumentBytes);
  if (hr == HresultFromErrno(ENOENT)) {
    keep_aside_pending_ = false;  // gone meanwhile: nothing left to lose
    return S_OK;
  }
  if (Failed(hr)) return hr;
  // The same damaged file is loaded at every start; one copy of it is enough.
  for (int n = 0; n <= kMaxBadCopies; ++n) {
    std::string target = path_ + ".bad";
    if (n > 0) target += "." + std::to_string(n);
    struct stat st {};
    if (::lstat(target.c_str(), &st) == 0) {
      if (S_ISREG(st.st_mode) && static_cast<std::size_t>(st.st_size) == content.size()) {
        std::string existing;
        if (Succeeded(platform::ReadWholeFile(target, &existing, kMaxDocumentBytes)) &&
            existing == content) {
          keep_aside_pending_ = false;
          return S_OK;
        }
      }
      continue;
    }
    hr = platform::WriteNewFile(target, content, 0600);
    if (hr == HresultFromErrno(EEXIST)) continue;  // taken meanwhile
    if (Failed(hr)) return hr;
    LogInfo("Kept the damaged settings file %s as %s", path_.c_str(), target.c_str());
    keep_aside_pending_ = false;
    return S_OK;
  }
  LogError("Cannot keep %s aside: %d earlier copies are in the way", path_.c_str(),
           kMaxBadCopies + 1);
  return HresultFromErrno(EEXIST);
}

HRESULT CQuolSettingsManagerBase::WriteDocumentTo(const std::string& path) {
  if (!document_) return E_UNEXPECTED;
  if (path == path_) {
    if (Failed(read_error_)) {
      LogError("Not replacing %s: it exists but could not be read (%x)", path_.c_str(),
               static_cast<unsigned>(read_error_));
      return read_error_;
    }
    if (keep_aside_pending_) {
      HRESULT hr = KeepMalformedFileAside();
      if (Failed(hr)) return hr;
    }
  }
  std::string text;
  try {
    text = SerializeDocument(document_->xml);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  if (text.size() > kMaxDocumentBytes) {
    LogError("Not saving %s: %zu bytes is more than the store reads back", path.c_str(),
             text.size());
    return E_OUTOFMEMORY;
  }
  // Whatever went into the tree, the file written must be one the next load
  // can read.
  pugi::xml_document check;
  std::string error;
  if (Failed(ParseBoundedXml(text, &check, &error)) || !check.document_element()) {
    LogError("Not saving %s: the document would not read back (%s)", path.c_str(),
             error.empty() ? "no root element" : error.c_str());
    return E_BAD_FORMAT;
  }
  return platform::ReplaceFileKeepingMode(path, text);
}

void CQuolSettingsManagerBase::ReleaseDocument() { document_.reset(); }

bool CQuolSettingsManagerBase::IsValidName(std::string_view name) {
  if (name.empty() || name.size() > kMaxNameBytes) return false;
  std::size_t at = 0;
  bool first = true;
  while (at < name.size()) {
    char32_t c = 0;
    if (!platform::NextCodePoint(name, &at, &c)) return false;
    if (first ? !IsNameStart(c) : !IsNameChar(c)) return false;
    first = false;
  }
  return true;
}

std::string CQuolSettingsManagerBase::GetValue(const std::string& section, const std::string& key,
                                               const std::string& default_value) const {
  pugi::xml_node node;
  if (document_ && IsValidName(section) && IsValidName(key)) {
    node = ChildNamed(ChildNamed(ReadableRoot(document_.get()), section), key);
  }
  const bool secret = secret_keys_.count({section, key}) != 0;
  return ReportSettingRead(XmlElementText(node), section + "/" + key, secret, default_value);
}

std::string CQuolSettingsManagerBase::GetValue(const std::string& section, const std::string& key,
                                               const std::string& default_value,
                                               const std::string& attribute_name,
                                               const std::string& attribute_value) const {
  const std::string lowered = platform::AsciiLower(attribute_value);
  // The children are compared one by one: neither the names nor the value
  // are ever pasted into a query, so a quote cannot change what is read.
  pugi::xml_node node;
  if (document_ && IsValidName(section) && IsValidName(key) && IsValidName(attribute_name)) {
    pugi::xml_node section_node = ChildNamed(ReadableRoot(document_.get()), section);
    for (pugi::xml_node candidate : section_node.children(key.c_str())) {
      pugi::xml_attribute attribute = candidate.attribute(attribute_name.c_str());
      if (attribute && lowered == attribute.value()) {
        node = candidate;
        break;
      }
    }
  }
  std::string logged = section + "/" + key + "[@" + attribute_name + " = '" + lowered + "']";
  const bool secret = secret_keys_.count({section, key}) != 0;
  return ReportSettingRead(XmlElementText(node), logged, secret, default_value);
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

HRESULT CQuolSettingsManagerBase::SetValue(const std::string& section, const std::string& key,
                                           const std::string& text) {
  if (!IsValidName(section) || !IsValidName(key)) return E_INVALIDARG;
  pugi::xml_node root = WritableRoot(document_.get());
  if (!root) return E_UNEXPECTED;
  pugi::xml_node section_node = FindOrCreateElement(root, section);
  if (text.empty()) {
    // Every element of that name goes: reads take the first one, so a
    // duplicate left behind (a hand-edited file) would bring a cleared value
    // such as the account back.
    while (pugi::xml_node key_node = section_node.child(key.c_str())) {
      section_node.remove_child(key_node);
    }
    return S_OK;
  }
  pugi::xml_node key_node = FindOrCreateElement(section_node, key);
  key_node.remove_children();
  key_node.append_child(pugi::node_pcdata).set_value(text.c_str());
  return S_OK;
}

HRESULT CQuolSettingsManagerBase::SetInt(const std::string& section, const std::string& key,
                                         int value) {
  return SetValue(section, key, std::to_string(value));
}

HRESULT CQuolSettingsManagerBase::SetBool(const std::string& section, const std::string& key,
                                          bool value) {
  return SetValue(section, key, value ? "true" : "false");
}

HRESULT CQuolSettingsManagerBase::RemoveSection(const std::string& section) {
  if (!IsValidName(section)) return E_INVALIDARG;
  pugi::xml_node root = WritableRoot(document_.get());
  if (!root) return E_UNEXPECTED;
  // All sections of that name, for the same reason as cleared values.
  while (pugi::xml_node section_node = root.child(section.c_str())) root.remove_child(section_node);
  return S_OK;
}

XmlDocument CQuolSettingsManagerBase::CreateXmlDocument() {
  try {
    return XmlDocument(new XmlDocumentHandle);
  } catch (const std::bad_alloc&) {
    LogError("Could not create XMLDOM");
    return nullptr;
  }
}

void CQuolSettingsManagerBase::SetDocumentFetcher(DocumentFetcher fetcher) {
  std::lock_guard lock(g_fetcher_mutex);
  g_fetcher = std::move(fetcher);
}

XmlDocument CQuolSettingsManagerBase::OpenDocument(const std::string& name, bool create_if_missing,
                                                   OpenOutcome* outcome,
                                                   const RedirectCheck& allow_redirect) {
  OpenOutcome found;
  XmlDocument document = CreateXmlDocument();
  if (!document) return nullptr;

  const bool is_url = IsUrl(name);
  std::string body;
  std::string error;
  HRESULT hr = S_OK;
  bool have_body = false;
  if (is_url) {
    DocumentFetcher fetcher;
    {
      std::lock_guard lock(g_fetcher_mutex);
      fetcher = g_fetcher;
    }
    if (fetcher) {
      hr = fetcher(name, &body, &error);
    } else {
      platform::HttpOptions options;
      options.allow_redirect = allow_redirect;
      hr = platform::HttpFetchDocument(name, options, &body, &error);
    }
    have_body = true;
  } else {
    hr = platform::ReadWholeFile(name, &body, kMaxDocumentBytes);
    if (hr == HresultFromErrno(ENOENT) || hr == HresultFromErrno(ENOTDIR)) {
      hr = S_OK;  // not there: nothing on disk to protect
    } else if (Failed(hr)) {
      // Anything else that exists but cannot be read (a folder or a FIFO
      // in its place, no permission, too large) must not be replaced.
      error = hr == E_OUTOFMEMORY ? "file too large" : "cannot read file";
      found = {Source::kUnreadable, hr};
    } else {
      have_body = true;
    }
  }

  if (have_body && Succeeded(hr)) {
    hr = ParseBoundedXml(body, &document->xml, &error);
    if (Succeeded(hr) && document->xml.document_element()) {
      if (outcome) *outcome = {is_url ? Source::kMissing : Source::kLoaded, S_OK};
      return document;
    }
    if (!is_url) {
      if (Failed(hr)) {
        found = {Source::kMalformed, hr};
      } else if (!platform::TrimWhitespace(body).empty()) {
        // No element at all: read as missing, but the text is still kept.
        found = {Source::kEmpty, S_OK};
      }
    }
  }
  if (Failed(hr)) LogError("Failed to get settings: %s", error.c_str());
  if (outcome) *outcome = found;

  if (!create_if_missing) {
    LogInfo("Settings file %s not found.", name.c_str());
    return nullptr;
  }
  document->xml.reset();
  document->xml.load_string(kEmptyDocument);
  return document;
}

}  // namespace quol
