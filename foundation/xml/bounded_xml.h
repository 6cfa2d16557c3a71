// Parsing XML that comes from a file or the network.
//
// pugixml itself parses without recursion, but every reader that walks the
// tree (text collection, saving with indentation, XPath) costs something per
// level. Our own documents are a handful of levels deep, so anything nested
// deeper than kMaxXmlDepth is refused as malformed before any reader sees it.
// Callers keep their previous data when a document is refused.
//
// Thread-safe: no shared state.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <pugixml.hpp>

#include "platform/common/hresult.h"

namespace quol {

// Elements nested deeper than this (the document element is depth 1) make a
// document malformed.
inline constexpr int kMaxXmlDepth = 64;

// Parses `body` into `document` (which is reset first). Fails with
// E_BAD_FORMAT and a reason such as "Error parsing element attribute at
// offset 12" or "nesting deeper than 64 levels" in `error`. A body without a
// document element parses but leaves the document empty.
[[nodiscard]] HRESULT ParseBoundedXml(std::string_view body, pugi::xml_document* document, std::string* error,
                        int max_depth = kMaxXmlDepth);

// The deepest element nesting below `node` (node itself not counted),
// walked without recursion.
int XmlNestingDepth(pugi::xml_node node);

// All text inside `node` (text and CDATA of every descendant, in document
// order), walked without recursion.
std::string XmlInnerText(pugi::xml_node node);

// Serialises a document without indentation: documents we did not write keep
// their own whitespace, and the output grows linearly with the input however
// deep it is nested.
std::string SaveXmlFlat(const pugi::xml_document& document);

}  // namespace quol
