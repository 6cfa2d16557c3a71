// The XML-backed settings store that Settings.xml and the configuration
// documents are built on.
//
// Files have the root element "quol"; values are the text of elements two
// levels down (section / key). Elements the program does not know are kept
// and written back unchanged. Every read is logged, defaulted reads included.
// Saving replaces the file atomically, so a crash or a full disk never leaves
// a torn Settings.xml behind.
//
// Not thread-safe: a store is used from one thread at a time.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include <pugixml.hpp>

#include "platform/common/hresult.h"

namespace quol {

using XmlDocument = std::unique_ptr<pugi::xml_document>;

class CQuolSettingsManagerBase {
 public:
  // Loads http(s) documents: fills `body` or returns a failure with a reason
  // in `error`. By default the HTTP layer does it; tests may install another.
  using DocumentFetcher =
      std::function<HRESULT(const std::string& url, std::string* body, std::string* error)>;

  // Files larger than this are refused rather than parsed.
  static constexpr std::size_t kMaxDocumentBytes = 16u << 20;

  // Builds the path at once: the data folder (created with its parents if
  // missing) and `file_name`. `per_user` picks the user's own data folder.
  CQuolSettingsManagerBase(bool per_user, const std::string& file_name);
  virtual ~CQuolSettingsManagerBase();
  CQuolSettingsManagerBase(const CQuolSettingsManagerBase&) = delete;
  CQuolSettingsManagerBase& operator=(const CQuolSettingsManagerBase&) = delete;

  // Opens the file (an empty "quol" document when missing or unreadable),
  // then ReadValues. Fails only when no document could be made.
  virtual HRESULT Load();
  // When dirty: WriteValues, then the whole document to the path; three
  // attempts 250 ms apart. The dirty flag stays set on failure.
  virtual HRESULT Save();
  virtual void ReleaseDocument();
  virtual void WriteValues() {}
  virtual void ReadValues() {}

  // The trimmed text of section/key, or `default_value` when absent or blank.
  std::string GetValue(const std::string& section, const std::string& key,
                       const std::string& default_value) const;
  // The same, among key elements whose attribute `attribute_name` equals the
  // lower-cased `attribute_value`.
  std::string GetValue(const std::string& section, const std::string& key,
                       const std::string& default_value, const std::string& attribute_name,
                       const std::string& attribute_value) const;
  // scanf "%d" semantics on the text; the default when no number is there.
  int GetInt(const std::string& section, const std::string& key, int default_value) const;
  // true for "true", "yes", "on" in any case; any other text is false.
  bool GetBool(const std::string& section, const std::string& key, bool default_value) const;

  // Empty text removes the key element.
  void SetValue(const std::string& section, const std::string& key, const std::string& text);
  void SetInt(const std::string& section, const std::string& key, int value);
  void SetBool(const std::string& section, const std::string& key, bool value);
  void RemoveSection(const std::string& section);

  // A file path or an http(s) URL. A file that does not parse is logged with
  // the parser's reason and kept aside as NAME.bad. With `create_if_missing`
  // a missing or unusable source gives an empty "quol" document.
  static XmlDocument OpenDocument(const std::string& name, bool create_if_missing);
  static XmlDocument CreateXmlDocument();
  static pugi::xml_node FindOrCreateElement(pugi::xml_node parent, const std::string& name);
  static void SetDocumentFetcher(DocumentFetcher fetcher);

  // The text of an element as the store reads it: all text inside, trimmed.
  static std::string ElementText(pugi::xml_node node);

  const std::string& path() const { return path_; }
  bool dirty() const { return dirty_; }
  bool loaded() const { return loaded_; }
  pugi::xml_document* document() const { return document_.get(); }

 protected:
  void SetDirty() { dirty_ = true; }
  void SetPath(const std::string& path) { path_ = path; }
  // Makes `document` the current one (the configuration swaps documents).
  void SetDocument(XmlDocument document) { document_ = std::move(document); }
  // Serialises the document and replaces the file atomically.
  HRESULT WriteDocumentTo(const std::string& path) const;

 private:
  std::string Lookup(const std::string& query, const pugi::xpath_variable_set* variables,
                     const std::string& logged_query, const std::string& default_value) const;
  pugi::xml_node Root();

  bool per_user_;
  bool dirty_ = false;
  bool loaded_ = false;
  std::string path_;
  XmlDocument document_;
};

}  // namespace quol
