// A service answer as the REST layer reads it: the XML envelope with its
// success flag and error fields, the sign-in answer (account, ticket and
// lifetime) and the calendar answer (appointments with times and attendee
// colours). The answer goes through CRestRequest's own checks (ReadAnswer:
// the bounded parser, the "quol" root, the success flag) and is then read
// the way the sign-in and the calendar read it.
#include <string>

#include "foundation/rest/rest_request.h"
#include "fuzz/fuzz_support.h"
#include "screensaver/appointments/appointment.h"
#include "screensaver/appointments/calendar_request.h"

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

  const quol::HRESULT hr = request.ReadAnswer(body);
  const bool readable = quol::Succeeded(hr) || hr == quol::E_REST_CALL_FAILED;
  if (readable != request.has_answer()) {
    quol::fuzz::Broken("an answer's readability does not match its result");
  }
  if (!request.has_answer()) {
    if (request.ForEachElement("appointments/appointment", [](const quol::RestElement&) {}) != 0) {
      quol::fuzz::Broken("a refused answer still has elements to walk");
    }
    return 0;
  }

  // Envelope.
  request.GetChildValue("success");
  request.GetChildValue("error");
  request.GetChildValue("errorCode");
  // Sign-in.
  request.GetChildValue("account");
  request.GetChildValue("auth");
  request.GetChildValue("ttlMinutes");
  // Calendar.
  request.GetChildValue("version");
  if (!request.HasChild("appointments")) return 0;
  for (int offset : {-840, 0, 480}) {
    request.ForEachElement("appointments/appointment", [&](const quol::RestElement& item) {
      item.Text("subject");
      item.Text("isAllDayEvent");
      quol::saver::ServiceTimeToLocalSeconds(item.Text("startTime"), offset);
      quol::saver::ServiceTimeToLocalSeconds(item.Text("endTime"), offset);
      item.ForEachElement("attendees/attendee", [](const quol::RestElement& attendee) {
        if (!attendee.Has("color")) return;
        quol::saver::AttendeeColour(attendee.Text("color"), attendee.Text("cobrand") == "true");
      });
    });
  }
  quol::saver::ResetPaletteForTesting();
  return 0;
}
