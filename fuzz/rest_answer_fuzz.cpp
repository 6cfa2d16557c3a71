// A service answer as the REST layer reads it: the XML envelope with its
// success flag and error fields, the sign-in answer (account, ticket and
// lifetime) and the calendar answer (appointments with times and attendee
// colours). CRestRequest takes its answer from the HTTP layer only, so the
// answer is parsed here with the same calls CRestRequest::Call makes (the
// bounded XML parser, the "quol" root, the element text) and then read with
// the calendar's own pieces.
#include <pugixml.hpp>

#include <string>

#include "foundation/rest/rest_request.h"
#include "foundation/settings/settings_manager.h"
#include "foundation/xml/bounded_xml.h"
#include "fuzz/fuzz_support.h"
#include "screensaver/appointments/appointment.h"
#include "screensaver/appointments/calendar_request.h"

namespace {

std::string ChildValue(pugi::xml_node root, const char* path) {
  try {
    pugi::xml_node node = root.select_node(path).node();
    return node ? quol::CQuolSettingsManagerBase::ElementText(node) : std::string();
  } catch (const pugi::xpath_exception&) {
    return {};
  }
}

std::string ChildText(pugi::xml_node node, const char* name) {
  return quol::CQuolSettingsManagerBase::ElementText(node.child(name));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quol::fuzz::ScratchDir();
  quol::saver::ResetPaletteForTesting();
  const std::string body(quol::fuzz::AsText(data, size));

  // The query the answer would have come back for: every value escaped.
  quol::CRestRequest request("https://example.invalid/api");
  request.AddParam("username", body.substr(0, 256));
  request.AddParam("apiKey", quol::kRestApiKey);
  const std::string escaped = quol::CRestRequest::EscapeQueryValue(body.substr(0, 256));
  for (char c : escaped) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!plain && c != '%') quol::fuzz::Broken("an escaped query value holds a raw sign");
  }

  pugi::xml_document document;
  std::string reason;
  if (quol::Failed(quol::ParseBoundedXml(body, &document, &reason))) {
    if (reason.empty()) quol::fuzz::Broken("an answer refused without a reason");
    return 0;
  }
  pugi::xml_node root = document.document_element();
  if (!root || std::string(root.name()) != "quol") return 0;

  // Envelope.
  ChildValue(root, "success");
  ChildValue(root, "error");
  ChildValue(root, "errorCode");
  // Sign-in.
  ChildValue(root, "account");
  ChildValue(root, "auth");
  ChildValue(root, "ttlMinutes");
  // Calendar.
  ChildValue(root, "version");
  if (!root.child("appointments")) return 0;
  const pugi::xpath_node_set appointments = root.select_nodes("appointments/appointment");
  for (int offset : {-840, 0, 480}) {
    for (const pugi::xpath_node& item : appointments) {
      const pugi::xml_node node = item.node();
      ChildText(node, "subject");
      ChildText(node, "isAllDayEvent");
      quol::saver::ServiceTimeToLocalSeconds(ChildText(node, "startTime"), offset);
      quol::saver::ServiceTimeToLocalSeconds(ChildText(node, "endTime"), offset);
      for (const pugi::xpath_node& attendee : node.select_nodes("attendees/attendee[color]")) {
        const pugi::xml_node a = attendee.node();
        quol::saver::AttendeeColour(ChildText(a, "color"),
                                    ChildText(a, "cobrand") == "true");
      }
    }
  }
  quol::saver::ResetPaletteForTesting();
  return 0;
}
