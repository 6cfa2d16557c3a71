// Signature checks for what the suite takes in from outside: downloaded
// upgrade packages and the partner-edition resource bundle. Files are signed
// with minisign (Ed25519); the signature of FILE is FILE.minisig beside it.
//
// Both signatures in the .minisig must hold: the one over the file (plain, or
// over its BLAKE2b-512 hash for the pre-hashed form) and the global one over
// that signature and the trusted comment. Anything unexpected in the
// signature or key text fails closed.
//
// Status codes: E_NOT_FOUND for a missing file or .minisig, E_BAD_FORMAT for
// a malformed signature or key, E_ACCESSDENIED for a signature that does not
// verify or comes from a key that is not trusted, E_OUTOFMEMORY for a file
// too large for the plain form. Other read errors are passed on.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/common/hresult.h"

namespace quol::platform {

// Files signed in the plain form are verified from memory, so they are
// refused above this size. Pre-hashed signatures are checked while reading
// and have no limit.
inline constexpr std::size_t kMaxPlainSignedFileBytes = std::size_t{512} << 20;
// A .minisig larger than this is malformed.
inline constexpr std::size_t kMaxSignatureFileBytes = 4096;

// The environment variable naming a public key file that is trusted as well
// as the built-in keys. Read only by builds made with QUOL_ALLOW_TEST_TRUST_KEY
// (test builds); release builds ignore it.
inline constexpr char kTestTrustKeyVariable[] = "QUOL_TEST_TRUST_KEY";

// Verifies FILE against FILE.minisig with the trusted keys. On success the
// trusted comment ("timestamp:... file:...") goes to `trusted_comment` when
// given. Failures are reported with ReportError, naming the file.
[[nodiscard]] HRESULT VerifyFileSignature(const std::string& file_path, std::string* trusted_comment = nullptr);

// The same against one given public key (either the two-line key file text
// or its bare base64 line); the trusted keys play no part.
[[nodiscard]] HRESULT VerifyFileSignatureWithKey(const std::string& file_path, std::string_view public_key_text,
                                   std::string* trusted_comment = nullptr);

// Verifies `data` against the text of a .minisig and a public key. Reports
// nothing; the caller knows what the data is.
[[nodiscard]] HRESULT VerifyMinisign(std::string_view data, std::string_view signature_text,
                       std::string_view public_key_text, std::string* trusted_comment = nullptr);

// The keys VerifyFileSignature trusts, as bare base64 lines: the built-in
// keys, then the test key when this build reads it and it is set and valid.
std::vector<std::string> TrustedPublicKeys();

// Whether this build reads kTestTrustKeyVariable at all.
bool TestTrustKeyAllowed();

}  // namespace quol::platform
