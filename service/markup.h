// Text helpers for the answers and the request log.
#pragma once

#include <string>
#include <string_view>

namespace quol::service {

// Escapes text for XML or HTML element content and attribute values. Invalid
// UTF-8 becomes U+FFFD and control characters XML cannot carry are dropped,
// so the answer always parses.
std::string EscapeMarkup(std::string_view text);

// "<name>escaped text</name>"
std::string Element(std::string_view name, std::string_view text);

// The request target for the log: values of password and auth parameters
// replaced by "***", bytes outside printable ASCII shown as %XX.
std::string MaskTargetForLog(std::string_view target);

// ASCII lower case.
std::string AsciiLower(std::string_view text);

// One to four dot-separated numbers ("1", "2.0.1.7"), the versions the
// clients compare part by part. At most 64 bytes.
bool IsDottedVersion(std::string_view text);

// A name that can only mean one file of one folder: not empty, not "." or
// "..", no "/" and no NUL, at most 255 bytes.
bool IsPlainFileName(std::string_view name);

// A whole page of the web application in the stand-in's look: `title`
// (escaped here) and `body` (markup, already escaped by the caller).
std::string HtmlPage(std::string_view title, std::string_view body);

}  // namespace quol::service
