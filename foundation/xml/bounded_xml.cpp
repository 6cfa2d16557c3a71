#include "foundation/xml/bounded_xml.h"

#include <cstdio>
#include <new>
#include <sstream>

namespace quol {

int XmlNestingDepth(pugi::xml_node node) {
  int depth = 0;
  int deepest = 0;
  pugi::xml_node current = node.first_child();
  if (!current) return 0;
  depth = 1;
  // Pre-order walk with parent links: no stack of our own, no recursion.
  while (current && current != node) {
    if (current.type() == pugi::node_element && depth > deepest) deepest = depth;
    if (current.first_child()) {
      current = current.first_child();
      ++depth;
      continue;
    }
    while (current && current != node && !current.next_sibling()) {
      current = current.parent();
      --depth;
    }
    if (current && current != node) current = current.next_sibling();
  }
  return deepest;
}

std::string XmlInnerText(pugi::xml_node node) {
  std::string out;
  pugi::xml_node current = node.first_child();
  while (current && current != node) {
    const pugi::xml_node_type type = current.type();
    if (type == pugi::node_pcdata || type == pugi::node_cdata) out.append(current.value());
    if (type == pugi::node_element && current.first_child()) {
      current = current.first_child();
      continue;
    }
    while (current && current != node && !current.next_sibling()) current = current.parent();
    if (current && current != node) current = current.next_sibling();
  }
  return out;
}

HRESULT ParseBoundedXml(std::string_view body, pugi::xml_document* document, std::string* error,
                        int max_depth) {
  document->reset();
  pugi::xml_parse_result result;
  try {
    result = document->load_buffer(body.data(), body.size());
  } catch (const std::bad_alloc&) {
    document->reset();
    if (error) *error = "out of memory";
    return E_OUTOFMEMORY;
  }
  if (!result && result.status != pugi::status_no_document_element) {
    document->reset();
    if (error) {
      char reason[256];
      std::snprintf(reason, sizeof reason, "%s at offset %lld", result.description(),
                    static_cast<long long>(result.offset));
      *error = reason;
    }
    return E_BAD_FORMAT;
  }
  if (XmlNestingDepth(*document) > max_depth) {
    document->reset();
    if (error) *error = "nesting deeper than " + std::to_string(max_depth) + " levels";
    return E_BAD_FORMAT;
  }
  return S_OK;
}

std::string SaveXmlFlat(const pugi::xml_document& document) {
  std::ostringstream out;
  document.save(out, "", pugi::format_raw, pugi::encoding_utf8);
  return out.str();
}

}  // namespace quol
