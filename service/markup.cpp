#include "service/markup.h"

#include <cstdint>
#include <cstdio>

namespace quol::service {
namespace {

// Length of the valid UTF-8 sequence at text[i], 0 when invalid.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  std::size_t length;
  std::uint32_t code;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i + k) & 0x3F);
  }
  // Overlong forms, surrogates, beyond U+10FFFF and the non-characters
  // U+FFFE/U+FFFF are not allowed in XML.
  if ((length == 3 && code < 0x800) || (length == 4 && code < 0x10000)) return 0;
  if ((code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return 0;
  if (code == 0xFFFE || code == 0xFFFF) return 0;
  return length;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Parameter names are compared decoded, as the server sees them: an escaped
// "pass%77ord" is still the password.
std::string DecodeName(std::string_view name) {
  std::string out;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '%' && i + 2 < name.size() && HexValue(name[i + 1]) >= 0 &&
        HexValue(name[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(name[i + 1]) * 16 + HexValue(name[i + 2]));
      i += 2;
    } else {
      out += name[i] == '+' ? ' ' : name[i];
    }
  }
  return out;
}

}  // namespace

std::string EscapeMarkup(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    const std::size_t length = Utf8SequenceLength(text, i);
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    if (length > 1) {
      out.append(text.substr(i, length));
      i += length;
      continue;
    }
    ++i;
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        if (static_cast<unsigned char>(c) >= 0x20 || c == '\t' || c == '\n' || c == '\r') out += c;
        break;
    }
  }
  return out;
}

std::string Element(std::string_view name, std::string_view text) {
  std::string out;
  out.reserve(name.size() * 2 + text.size() + 5);
  out.append("<").append(name).append(">").append(EscapeMarkup(text));
  out.append("</").append(name).append(">");
  return out;
}

std::string AsciiLower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool IsDottedVersion(std::string_view text) {
  if (text.empty() || text.size() > 64) return false;
  int parts = 1;
  bool digit_seen = false;
  for (char c : text) {
    if (c == '.') {
      if (!digit_seen) return false;
      ++parts;
      digit_seen = false;
    } else if (c >= '0' && c <= '9') {
      digit_seen = true;
    } else {
      return false;
    }
  }
  return digit_seen && parts <= 4;
}

bool IsPlainFileName(std::string_view name) {
  return !name.empty() && name.size() <= 255 && name != "." && name != ".." &&
         name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

std::string MaskTargetForLog(std::string_view target) {
  std::string masked;
  const std::size_t question = target.find('?');
  masked.append(target.substr(0, question));
  if (question != std::string_view::npos) {
    masked += '?';
    std::string_view query = target.substr(question + 1);
    bool first = true;
    while (true) {
      const std::size_t amp = query.find('&');
      const std::string_view pair = query.substr(0, amp);
      if (!first) masked += '&';
      first = false;
      const std::size_t equals = pair.find('=');
      const std::string key = AsciiLower(DecodeName(pair.substr(0, equals)));
      if (equals != std::string_view::npos && (key == "password" || key == "auth")) {
        masked.append(pair.substr(0, equals + 1)).append("***");
      } else {
        masked.append(pair);
      }
      if (amp == std::string_view::npos) break;
      query.remove_prefix(amp + 1);
    }
  }
  std::string printable;
  printable.reserve(masked.size());
  for (unsigned char c : masked) {
    if (c > 0x20 && c < 0x7F) {
      printable += static_cast<char>(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      printable += hex;
    }
  }
  return printable;
}

std::string HtmlPage(std::string_view title, std::string_view body) {
  std::string out = R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>)";
  out.append(EscapeMarkup(title));
  out.append(R"(</title>
<style>
  body { margin: 0; font-family: "Segoe UI", "Noto Sans", "DejaVu Sans", sans-serif;
         background: #f4f7fb; color: #22313f; }
  header { background: linear-gradient(90deg, #30a5ba, #4f7cc9); color: #fff;
           padding: 28px 40px; }
  header h1 { margin: 0; font-size: 30px; letter-spacing: 1px; }
  header p { margin: 6px 0 0; opacity: .9; }
  main { max-width: 760px; margin: 28px auto; padding: 0 24px; }
  .card { background: #fff; border-radius: 10px; padding: 20px 26px; margin-bottom: 20px;
          box-shadow: 0 2px 8px rgba(34, 49, 63, .08); }
  .card h2 { margin-top: 0; font-size: 19px; color: #30a5ba; }
  dl { display: grid; grid-template-columns: max-content 1fr; gap: 6px 18px; margin: 0; }
  dt { font-weight: 600; }
  dd { margin: 0; }
  a { color: #4f7cc9; }
  footer { text-align: center; color: #8597a8; font-size: 13px; margin: 30px 0; }
</style>
</head>
<body>
<header><h1>Quol</h1><p>The family organizer &mdash; local stand-in</p></header>
<main>
)");
  out.append(body);
  out.append(R"(
</main>
<footer>quol-devservice &middot; serving 127.0.0.1 only</footer>
</body>
</html>
)");
  return out;
}

}  // namespace quol::service
