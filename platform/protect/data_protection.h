// Machine-scoped protection of small secrets (the stored password).
//
// The bytes are sealed with libsodium's secret box (XSalsa20-Poly1305) under a
// random key made once per machine and kept, mode 0600, as "machine.key" in
// the data folder. Sealed form: 24-byte nonce, then the box. A sealed text
// copied to another machine (another key) does not open.
#pragma once

#include <string>
#include <string_view>

#include "platform/common/hresult.h"

namespace quol::platform {

// Seals `plain`; creates the machine key on first use.
[[nodiscard]] HRESULT ProtectData(std::string_view plain, std::string* sealed);
// Opens what ProtectData sealed; fails on any damage or another key.
[[nodiscard]] HRESULT UnprotectData(std::string_view sealed, std::string* plain);

// Overwrites a secret's bytes in a way the compiler keeps.
void SecureZero(std::string* secret);

// Path of the key file in force (follows the data folder).
std::string MachineKeyPath();

}  // namespace quol::platform
