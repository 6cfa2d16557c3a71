// The parsed document behind the settings store and the configuration, for
// foundation's own source files only.
//
// Public headers name the document only as the opaque XmlDocumentHandle, so
// the XML library stays an implementation detail of the foundation: the
// programs built on it see values, never nodes. The stores built on
// CQuolSettingsManagerBase include this header in their .cpp files when they
// need to walk the document themselves.
#pragma once

#include <string>

#include <pugixml.hpp>

namespace quol {

struct XmlDocumentHandle {
  pugi::xml_document xml;
};

// The text of an element as the stores read it: all text inside, trimmed;
// empty for a null node.
std::string XmlElementText(pugi::xml_node node);

// Every read of a store is logged: "Setting '<query>'='<text>'" (the text
// as "***" when `secret`), or "Setting '<query>' defaulted to '<default>'"
// when `text` is empty. Returns what the read yields.
std::string ReportSettingRead(const std::string& text, const std::string& logged_query,
                              bool secret, const std::string& default_value);

// The first child of `parent` named `name`, appended as its last child when
// there is none.
pugi::xml_node FindOrCreateElement(pugi::xml_node parent, const std::string& name);

}  // namespace quol
