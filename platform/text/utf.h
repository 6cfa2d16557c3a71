// Conversions between the suite's UTF-8 strings and UTF-16, which is kept
// only where stored bytes are fixed (the protected password, the
// second-instance request).
#pragma once

#include <string>
#include <string_view>

namespace quol::platform {

// Decodes the UTF-8 sequence at `*at` into `*out` and moves `*at` past it;
// false, with `*at` unchanged, at the end of the text or for a malformed,
// overlong or surrogate sequence.
bool NextCodePoint(std::string_view text, std::size_t* at, char32_t* out);

// Invalid UTF-8 sequences become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);
// Unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);

// ASCII-only case folding, as used for names, keys and switches.
std::string AsciiLower(std::string_view text);
bool EqualsIgnoreCase(std::string_view a, std::string_view b);
bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix);

// Trims spaces, tabs, CR, LF, VT and FF from both ends.
std::string_view TrimWhitespace(std::string_view text);

}  // namespace quol::platform
