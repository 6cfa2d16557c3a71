#include "foundation/xml/xml_document.h"

#include "foundation/log/process_log.h"
#include "foundation/settings/settings_manager.h"
#include "foundation/xml/bounded_xml.h"
#include "platform/text/utf.h"

namespace quol {

void XmlDocumentDeleter::operator()(XmlDocumentHandle* document) const { delete document; }

std::string XmlElementText(pugi::xml_node node) {
  return std::string(platform::TrimWhitespace(XmlInnerText(node)));
}

std::string ReportSettingRead(const std::string& text, const std::string& logged_query,
                              bool secret, const std::string& default_value) {
  if (!text.empty()) {
    LogInfo("Setting '%s'='%s'", logged_query.c_str(), secret ? "***" : text.c_str());
    return text;
  }
  LogInfo("Setting '%s' defaulted to '%s'", logged_query.c_str(), default_value.c_str());
  return default_value;
}

pugi::xml_node FindOrCreateElement(pugi::xml_node parent, const std::string& name) {
  pugi::xml_node child = parent.child(name.c_str());
  if (!child) child = parent.append_child(name.c_str());
  return child;
}

}  // namespace quol
