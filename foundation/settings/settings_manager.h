// The XML-backed settings store that Settings.xml and the configuration
// documents are built on.
//
// Files have the root element "quol"; values are the text of elements two
// levels down (section / key). Elements the program does not know are kept
// and written back unchanged. Every read is logged, defaulted reads included.
// Saving replaces the file atomically, so a crash or a full disk never leaves
// a torn Settings.xml behind.
//
// Nothing read is ever lost to a save: a file that exists but cannot be read
// (or is too large) makes the store refuse every save, and a file that does
// not parse is first copied aside as NAME.bad (NAME.bad.1 ... NAME.bad.99,
// never over an earlier copy). Section and key names must be XML names, and
// what a save writes must parse back, so a save can never leave a file the
// next load cannot read.
//
// Not thread-safe: a store is used from one thread at a time.
#pragma once

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "platform/common/hresult.h"

namespace quol {

// A parsed document. Opaque here: only the foundation's own sources look
// inside (foundation/xml/xml_document.h), so the XML library never becomes
// part of what the programs built on the stores compile against.
struct XmlDocumentHandle;
struct XmlDocumentDeleter {
  void operator()(XmlDocumentHandle* document) const;
};
using XmlDocument = std::unique_ptr<XmlDocumentHandle, XmlDocumentDeleter>;

class CQuolSettingsManagerBase {
 public:
  // Loads http(s) documents: fills `body` or returns a failure with a reason
  // in `error`. By default the HTTP layer does it; tests may install another.
  using DocumentFetcher =
      std::function<HRESULT(const std::string& url, std::string* body, std::string* error)>;

  // Files larger than this are refused rather than parsed.
  static constexpr std::size_t kMaxDocumentBytes = 16u << 20;
  // Documents nested no deeper than this (root, section, key and one more)
  // are saved indented; deeper ones are saved as they are, so a save never
  // grows a file by more than a small factor.
  static constexpr int kMaxIndentedDepth = 4;
  // Copies of malformed files: NAME.bad, then NAME.bad.1 up to this.
  static constexpr int kMaxBadCopies = 99;
  // Longest section, key or attribute name accepted, in bytes.
  static constexpr std::size_t kMaxNameBytes = 255;

  // What OpenDocument found when it read a local file.
  enum class Source {
    kMissing,     // no file (or a URL): nothing on disk to protect
    kLoaded,      // parsed
    kEmpty,       // read, but holds no element: used as an empty document
    kMalformed,   // read, but does not parse or nests too deep
    kUnreadable,  // exists, but cannot be read or is too large
  };
  struct OpenOutcome {
    Source source = Source::kMissing;
    HRESULT status = S_OK;  // why it was unreadable or malformed
  };

  // Builds the path at once: the data folder (created with its parents if
  // missing) and `file_name`. `per_user` picks the user's own data folder.
  CQuolSettingsManagerBase(bool per_user, const std::string& file_name);
  virtual ~CQuolSettingsManagerBase();
  CQuolSettingsManagerBase(const CQuolSettingsManagerBase&) = delete;
  CQuolSettingsManagerBase& operator=(const CQuolSettingsManagerBase&) = delete;

  // Opens the file (an empty "quol" document when missing, malformed or
  // unreadable), then ReadValues. Fails only when no document could be made.
  // A malformed file is copied aside at once; an unreadable one makes every
  // later save fail (see read_error).
  [[nodiscard]] virtual HRESULT Load();
  // When dirty: WriteValues, then the whole document to the path; three
  // attempts 250 ms apart. The dirty flag stays set on failure. Refused
  // without an attempt when the file could not be read at the last Load or
  // the document would not parse back.
  [[nodiscard]] virtual HRESULT Save();
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

  // Empty text removes the key element. Names that are not XML names give
  // E_INVALIDARG and change nothing; without a document, E_UNEXPECTED.
  [[nodiscard]] HRESULT SetValue(const std::string& section, const std::string& key,
                                 const std::string& text);
  [[nodiscard]] HRESULT SetInt(const std::string& section, const std::string& key, int value);
  [[nodiscard]] HRESULT SetBool(const std::string& section, const std::string& key, bool value);
  [[nodiscard]] HRESULT RemoveSection(const std::string& section);

  // Whether `name` can name an element here: an XML name (no ':'), at most
  // kMaxNameBytes bytes of valid UTF-8.
  static bool IsValidName(std::string_view name);

  // Whether a download may follow a redirect to this absolute URL.
  using RedirectCheck = std::function<bool(const std::string& url)>;

  // A file path or an http(s) URL. A file that does not parse, or nests
  // deeper than kMaxXmlDepth, is logged with the reason. With
  // `create_if_missing` a missing or unusable source gives an empty "quol"
  // document. `outcome`, when given, tells what was found on disk. A URL's
  // redirects are followed only where `allow_redirect` (when set) agrees;
  // an installed fetcher replaces the download altogether.
  static XmlDocument OpenDocument(const std::string& name, bool create_if_missing,
                                  OpenOutcome* outcome = nullptr,
                                  const RedirectCheck& allow_redirect = {});
  static XmlDocument CreateXmlDocument();
  static void SetDocumentFetcher(DocumentFetcher fetcher);

  const std::string& path() const { return path_; }
  bool dirty() const { return dirty_; }
  bool loaded() const { return loaded_; }
  // Why the file could not be read at the last Load although it exists;
  // S_OK when it was read or missing. While failed, saves are refused.
  HRESULT read_error() const { return read_error_; }
  // The document read by the last Load; null before it or once released.
  XmlDocumentHandle* document() const { return document_.get(); }

 protected:
  void SetDirty() { dirty_ = true; }
  void SetPath(const std::string& path) { path_ = path; }
  // Makes `document` the current one (the configuration swaps documents).
  void SetDocument(XmlDocument document) { document_ = std::move(document); }
  // Serialises the document (indented when shallow, as it is otherwise),
  // checks that the text parses back and replaces the file atomically,
  // keeping its mode. For the store's own path this is refused while the
  // file could not be read, and a malformed file is kept aside first.
  [[nodiscard]] HRESULT WriteDocumentTo(const std::string& path);
  // Values of these keys are logged as "***".
  void AddSecretKey(const std::string& section, const std::string& key) {
    secret_keys_.emplace(section, key);
  }

 private:
  // Copies the malformed file at the path aside unless an identical copy is
  // already there.
  [[nodiscard]] HRESULT KeepMalformedFileAside();

  HRESULT folder_status_ = S_OK;  // creating the data folder at construction
  bool per_user_;
  bool dirty_ = false;
  bool loaded_ = false;
  // The file at the path did not parse and has not been copied aside yet.
  bool keep_aside_pending_ = false;
  HRESULT read_error_ = S_OK;
  std::string path_;
  XmlDocument document_;
  std::set<std::pair<std::string, std::string>> secret_keys_;
};

}  // namespace quol
