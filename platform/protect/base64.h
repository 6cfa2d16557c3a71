// Standard Base64 (A-Z, a-z, 0-9, "+", "/") as the stored password uses it:
// written without "=" padding and without line breaks; read leniently, with
// every character outside the alphabet skipped.
#pragma once

#include <string>
#include <string_view>

namespace quol::platform {

std::string Base64EncodeNoPadding(std::string_view bytes);
std::string Base64DecodeLenient(std::string_view text);

}  // namespace quol::platform
