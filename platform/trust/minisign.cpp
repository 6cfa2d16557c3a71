#include "platform/trust/minisign.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

#include "platform/common/diagnostics.h"
#include "platform/fs/files.h"

namespace quol::platform {
namespace {

// Public keys of the suite's release signing keys, as the bare base64 line of
// the key's minisign.pub. The secret keys never live in this repository.
constexpr std::array<std::string_view, 1> kBuiltInKeys = {
    // 454F2318AF91E4D4: placeholder release key, to be replaced by the
    // release team's key before the first signed upgrade ships.
    "RWTU5JGvGCNPRQ7MAD6MwNoNpuTtp1tNtyD1t5xAqnVNLkJ8OBOrtG4S",
};

#ifdef QUOL_ALLOW_TEST_TRUST_KEY
constexpr bool kTestKeyAllowed = true;
#else
constexpr bool kTestKeyAllowed = false;
#endif

constexpr std::string_view kUntrustedPrefix = "untrusted comment: ";
constexpr std::string_view kTrustedPrefix = "trusted comment: ";

constexpr std::size_t kKeyIdBytes = 8;
constexpr std::size_t kAlgorithmBytes = 2;
constexpr std::size_t kHashBytes = crypto_generichash_BYTES_MAX;  // BLAKE2b-512
static_assert(kHashBytes == 64);

using KeyId = std::array<unsigned char, kKeyIdBytes>;
using Ed25519Signature = std::array<unsigned char, crypto_sign_BYTES>;

struct PublicKey {
  KeyId id{};
  std::array<unsigned char, crypto_sign_PUBLICKEYBYTES> key{};
  std::string_view base64;  // the key line it was read from
};

struct Signature {
  bool prehashed = false;
  KeyId key_id{};
  Ed25519Signature file_signature{};
  std::string_view trusted_comment;
  Ed25519Signature global_signature{};
};

bool InitSodium() {
  static const bool ok = sodium_init() >= 0;
  return ok;
}

// Key ids are printed the way minisign prints them in a key file's comment:
// the eight bytes read as a little-endian number, in upper-case hex.
std::string KeyIdText(const KeyId& id) {
  std::string text;
  char digits[3];
  for (auto it = id.rbegin(); it != id.rend(); ++it) {
    std::snprintf(digits, sizeof digits, "%02X", *it);
    text += digits;
  }
  return text;
}

// Splits on "\n", dropping one "\r" before it. A final line may lack its
// newline; an empty line after the last newline is not counted, any other
// empty line is.
std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

// Decodes padded standard Base64 that must fill `out` exactly, with nothing
// before or after it on the line.
bool DecodeExact(std::string_view text, std::span<unsigned char> out) {
  if (text.empty()) return false;
  std::size_t decoded = 0;
  const char* end = nullptr;
  if (sodium_base642bin(out.data(), out.size(), text.data(), text.size(), nullptr, &decoded, &end,
                        sodium_base64_VARIANT_ORIGINAL) != 0) {
    return false;
  }
  return decoded == out.size() && end == text.data() + text.size();
}

HRESULT ParsePublicKey(std::string_view text, PublicKey* key, std::string* why) {
  const std::vector<std::string_view> lines = SplitLines(text);
  std::string_view line;
  if (lines.size() == 2 && lines[0].starts_with(kUntrustedPrefix)) {
    line = lines[1];
  } else if (lines.size() == 1) {
    line = lines[0];
  } else {
    *why = "public key is neither a key file nor a single key line";
    return E_BAD_FORMAT;
  }
  std::array<unsigned char, kAlgorithmBytes + kKeyIdBytes + crypto_sign_PUBLICKEYBYTES> raw{};
  if (!DecodeExact(line, raw)) {
    *why = "public key is not valid Base64 of the right length";
    return E_BAD_FORMAT;
  }
  if (raw[0] != 'E' || raw[1] != 'd') {
    *why = "public key is not an Ed25519 key";
    return E_BAD_FORMAT;
  }
  std::memcpy(key->id.data(), raw.data() + kAlgorithmBytes, kKeyIdBytes);
  std::memcpy(key->key.data(), raw.data() + kAlgorithmBytes + kKeyIdBytes, key->key.size());
  key->base64 = line;
  return S_OK;
}

HRESULT ParseSignature(std::string_view text, Signature* sig, std::string* why) {
  const std::vector<std::string_view> lines = SplitLines(text);
  if (lines.size() != 4) {
    *why = "signature file does not have exactly four lines";
    return E_BAD_FORMAT;
  }
  if (!lines[0].starts_with(kUntrustedPrefix)) {
    *why = "signature file does not start with an untrusted comment";
    return E_BAD_FORMAT;
  }
  std::array<unsigned char, kAlgorithmBytes + kKeyIdBytes + crypto_sign_BYTES> raw{};
  if (!DecodeExact(lines[1], raw)) {
    *why = "signature line is not valid Base64 of the right length";
    return E_BAD_FORMAT;
  }
  if (raw[0] == 'E' && raw[1] == 'd') {
    sig->prehashed = false;
  } else if (raw[0] == 'E' && raw[1] == 'D') {
    sig->prehashed = true;
  } else {
    *why = "signature uses an unknown algorithm";
    return E_BAD_FORMAT;
  }
  std::memcpy(sig->key_id.data(), raw.data() + kAlgorithmBytes, kKeyIdBytes);
  std::memcpy(sig->file_signature.data(), raw.data() + kAlgorithmBytes + kKeyIdBytes,
              crypto_sign_BYTES);
  if (!lines[2].starts_with(kTrustedPrefix)) {
    *why = "third line is not a trusted comment";
    return E_BAD_FORMAT;
  }
  sig->trusted_comment = lines[2].substr(kTrustedPrefix.size());
  if (!DecodeExact(lines[3], sig->global_signature)) {
    *why = "global signature is not valid Base64 of the right length";
    return E_BAD_FORMAT;
  }
  return S_OK;
}

// The global signature binds the trusted comment to the file signature.
bool GlobalSignatureHolds(const Signature& sig, const PublicKey& key) {
  std::string message(reinterpret_cast<const char*>(sig.file_signature.data()),
                      sig.file_signature.size());
  message.append(sig.trusted_comment);
  return crypto_sign_verify_detached(sig.global_signature.data(),
                                     reinterpret_cast<const unsigned char*>(message.data()),
                                     message.size(), key.key.data()) == 0;
}

// Picks the key the signature names and checks the global signature with it.
HRESULT FindSigningKey(const Signature& sig, std::span<const PublicKey> keys,
                       const PublicKey** found, std::string* why) {
  bool id_known = false;
  for (const PublicKey& key : keys) {
    if (key.id != sig.key_id) continue;
    id_known = true;
    if (GlobalSignatureHolds(sig, key)) {
      *found = &key;
      return S_OK;
    }
  }
  *why = id_known ? "global signature (over the trusted comment) does not verify"
                  : "signed by key " + KeyIdText(sig.key_id) + ", which is not trusted";
  return E_ACCESSDENIED;
}

HRESULT CheckFileSignature(const Signature& sig, const PublicKey& key,
                           std::span<const unsigned char> message, std::string* why) {
  if (crypto_sign_verify_detached(sig.file_signature.data(), message.data(), message.size(),
                                  key.key.data()) != 0) {
    *why = "signature does not match the file's content";
    return E_ACCESSDENIED;
  }
  return S_OK;
}

std::span<const unsigned char> Bytes(std::string_view text) {
  return {reinterpret_cast<const unsigned char*>(text.data()), text.size()};
}

HRESULT VerifyBuffer(std::string_view data, const Signature& sig, std::span<const PublicKey> keys,
                     std::string* why) {
  const PublicKey* key = nullptr;
  HRESULT hr = FindSigningKey(sig, keys, &key, why);
  if (Failed(hr)) return hr;
  if (!sig.prehashed) return CheckFileSignature(sig, *key, Bytes(data), why);
  std::array<unsigned char, kHashBytes> hash{};
  crypto_generichash(hash.data(), hash.size(), Bytes(data).data(), data.size(), nullptr, 0);
  return CheckFileSignature(sig, *key, hash, why);
}

class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Feeds the file to `consume` in chunks. Stops with E_OUTOFMEMORY once more
// than `max_bytes` have been read.
template <typename Consume>
HRESULT ReadChunks(int fd, std::size_t max_bytes, Consume consume, std::string* why) {
  std::array<unsigned char, 1 << 16> buffer;
  std::size_t total = 0;
  for (;;) {
    ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      *why = std::string("read failed: ") + std::strerror(err);
      return HresultFromErrno(err);
    }
    if (n == 0) return S_OK;
    total += static_cast<std::size_t>(n);
    if (total > max_bytes) {
      *why = "file is too large for a plain signature";
      return E_OUTOFMEMORY;
    }
    consume(std::span<const unsigned char>(buffer.data(), static_cast<std::size_t>(n)));
  }
}

// Works out what the file signature covers: the file itself for the plain
// form, its BLAKE2b-512 hash for the pre-hashed form, which is read in
// chunks so large packages never sit in memory.
HRESULT ReadSignedMessage(const std::string& path, bool prehashed, std::string* plain,
                          std::array<unsigned char, kHashBytes>* hash, std::string* why) {
  // O_NONBLOCK so that a FIFO put in the file's place cannot hang the open.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) {
    const int err = errno;
    *why = std::string("cannot open file: ") + std::strerror(err);
    return HresultFromErrno(err);
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) {
    const int err = errno;
    *why = std::string("cannot stat file: ") + std::strerror(err);
    return HresultFromErrno(err);
  }
  if (!S_ISREG(st.st_mode)) {
    *why = "not a regular file";
    return E_BAD_FORMAT;
  }
  if (prehashed) {
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, hash->size());
    HRESULT hr = ReadChunks(
        fd.get(), SIZE_MAX,
        [&state](std::span<const unsigned char> chunk) {
          crypto_generichash_update(&state, chunk.data(), chunk.size());
        },
        why);
    if (Failed(hr)) return hr;
    crypto_generichash_final(&state, hash->data(), hash->size());
    return S_OK;
  }
  if (static_cast<std::uint64_t>(st.st_size) > kMaxPlainSignedFileBytes) {
    *why = "file is too large for a plain signature";
    return E_OUTOFMEMORY;
  }
  plain->clear();
  plain->reserve(static_cast<std::size_t>(st.st_size));
  return ReadChunks(
      fd.get(), kMaxPlainSignedFileBytes,
      [plain](std::span<const unsigned char> chunk) {
        plain->append(reinterpret_cast<const char*>(chunk.data()), chunk.size());
      },
      why);
}

HRESULT VerifyFile(const std::string& path, std::span<const PublicKey> keys,
                   std::string* trusted_comment, std::string* why) {
  const std::string sig_path = path + ".minisig";
  std::string sig_text;
  HRESULT hr = ReadWholeFile(sig_path, &sig_text, kMaxSignatureFileBytes);
  if (hr == E_OUTOFMEMORY) {
    *why = "signature file is larger than " + std::to_string(kMaxSignatureFileBytes) + " bytes";
    return E_BAD_FORMAT;
  }
  if (Failed(hr)) {
    *why = hr == E_NOT_FOUND ? "no signature file " + sig_path
                             : "cannot read signature file " + sig_path;
    return hr;
  }
  Signature sig;
  hr = ParseSignature(sig_text, &sig, why);
  if (Failed(hr)) return hr;
  // The global signature is checked first: it is cheap, and a tampered
  // signature file then never costs a pass over a large package.
  const PublicKey* key = nullptr;
  hr = FindSigningKey(sig, keys, &key, why);
  if (Failed(hr)) return hr;

  std::string plain;
  std::array<unsigned char, kHashBytes> hash{};
  hr = ReadSignedMessage(path, sig.prehashed, &plain, &hash, why);
  if (Failed(hr)) return hr;
  hr = sig.prehashed ? CheckFileSignature(sig, *key, hash, why)
                     : CheckFileSignature(sig, *key, Bytes(plain), why);
  if (Failed(hr)) return hr;
  if (trusted_comment != nullptr) trusted_comment->assign(sig.trusted_comment);
  return S_OK;
}

HRESULT Report(const std::string& path, HRESULT hr, const std::string& why) {
  if (Failed(hr)) {
    ReportError("trust: %s: %s (0x%x)", path.c_str(), why.c_str(), static_cast<unsigned>(hr));
  }
  return hr;
}

// The extra key of test builds, as its bare base64 line; empty when unset or
// unusable.
std::string ReadTestTrustKey() {
  const char* path = std::getenv(kTestTrustKeyVariable);
  if (path == nullptr || *path == '\0') return {};
  std::string text;
  HRESULT hr = ReadWholeFile(path, &text, kMaxSignatureFileBytes);
  if (Failed(hr)) {
    ReportError("trust: %s names %s, which cannot be read (0x%x)", kTestTrustKeyVariable, path,
                static_cast<unsigned>(hr));
    return {};
  }
  PublicKey key;
  std::string why;
  if (Failed(ParsePublicKey(text, &key, &why))) {
    ReportError("trust: %s names %s: %s", kTestTrustKeyVariable, path, why.c_str());
    return {};
  }
  return std::string(key.base64);
}

}  // namespace

bool TestTrustKeyAllowed() { return kTestKeyAllowed; }

std::vector<std::string> TrustedPublicKeys() {
  std::vector<std::string> keys(kBuiltInKeys.begin(), kBuiltInKeys.end());
  if constexpr (kTestKeyAllowed) {
    std::string test_key = ReadTestTrustKey();
    if (!test_key.empty()) keys.push_back(std::move(test_key));
  }
  return keys;
}

HRESULT VerifyFileSignature(const std::string& file_path, std::string* trusted_comment) {
  if (trusted_comment != nullptr) trusted_comment->clear();
  if (!InitSodium()) return Report(file_path, E_FAIL, "libsodium failed to initialise");
  const std::vector<std::string> texts = TrustedPublicKeys();
  std::vector<PublicKey> keys;
  for (const std::string& text : texts) {
    PublicKey key;
    std::string why;
    if (Failed(ParsePublicKey(text, &key, &why))) {
      ReportError("trust: a built-in key is unusable: %s", why.c_str());
      continue;
    }
    keys.push_back(key);
  }
  std::string why;
  HRESULT hr = VerifyFile(file_path, keys, trusted_comment, &why);
  return Report(file_path, hr, why);
}

HRESULT VerifyFileSignatureWithKey(const std::string& file_path, std::string_view public_key_text,
                                   std::string* trusted_comment) {
  if (trusted_comment != nullptr) trusted_comment->clear();
  if (!InitSodium()) return Report(file_path, E_FAIL, "libsodium failed to initialise");
  PublicKey key;
  std::string why;
  HRESULT hr = ParsePublicKey(public_key_text, &key, &why);
  if (Succeeded(hr)) {
    hr = VerifyFile(file_path, std::span<const PublicKey>(&key, 1), trusted_comment, &why);
  }
  return Report(file_path, hr, why);
}

HRESULT VerifyMinisign(std::string_view data, std::string_view signature_text,
                       std::string_view public_key_text, std::string* trusted_comment) {
  if (trusted_comment != nullptr) trusted_comment->clear();
  if (!InitSodium()) return E_FAIL;
  if (signature_text.size() > kMaxSignatureFileBytes) return E_BAD_FORMAT;
  std::string why;
  PublicKey key;
  HRESULT hr = ParsePublicKey(public_key_text, &key, &why);
  if (Failed(hr)) return hr;
  Signature sig;
  hr = ParseSignature(signature_text, &sig, &why);
  if (Failed(hr)) return hr;
  hr = VerifyBuffer(data, sig, std::span<const PublicKey>(&key, 1), &why);
  if (Succeeded(hr) && trusted_comment != nullptr) trusted_comment->assign(sig.trusted_comment);
  return hr;
}

}  // namespace quol::platform
