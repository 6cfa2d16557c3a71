#include "platform/protect/data_protection.h"

#include <fcntl.h>
#include <sodium.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <mutex>

#include "platform/common/diagnostics.h"
#include "platform/datafolder/data_folder.h"
#include "platform/fs/files.h"

namespace quol::platform {
namespace {

using Key = std::array<unsigned char, crypto_secretbox_KEYBYTES>;

bool InitSodium() {
  static const bool ok = sodium_init() >= 0;
  return ok;
}

HRESULT ReadKey(const std::string& path, Key* key) {
  std::string bytes;
  HRESULT hr = ReadWholeFile(path, &bytes, 4096);
  if (Failed(hr)) return hr;
  if (bytes.size() != key->size()) return E_BAD_FORMAT;
  std::copy(bytes.begin(), bytes.end(), key->begin());
  sodium_memzero(bytes.data(), bytes.size());
  return S_OK;
}

// Reads the machine key, making it first if there is none. Two processes
// racing here agree on one key: the new key is written to a private temporary
// file and linked into place, which fails if someone else got there first.
HRESULT LoadOrCreateKey(Key* key, bool create) {
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  const std::string path = MachineKeyPath();
  HRESULT hr = ReadKey(path, key);
  if (Succeeded(hr) || !create || hr != HresultFromErrno(ENOENT)) return hr;

  hr = CreateDirectories(DirName(path));
  if (Failed(hr)) return hr;
  std::string temp = path + ".new." + std::to_string(::getpid());
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return HresultFromLastErrno();
  Key fresh;
  randombytes_buf(fresh.data(), fresh.size());
  bool written = ::write(fd, fresh.data(), fresh.size()) == static_cast<ssize_t>(fresh.size()) &&
                 ::fsync(fd) == 0;
  ::close(fd);
  sodium_memzero(fresh.data(), fresh.size());
  if (!written) {
    ::unlink(temp.c_str());
    return E_FAIL;
  }
  int link_result = ::link(temp.c_str(), path.c_str());
  int link_errno = errno;
  ::unlink(temp.c_str());
  if (link_result != 0 && link_errno != EEXIST) return HresultFromErrno(link_errno);
  return ReadKey(path, key);
}

}  // namespace

void SecureZero(std::string* secret) {
  if (!secret->empty()) sodium_memzero(secret->data(), secret->size());
}

std::string MachineKeyPath() { return JoinPath(DataFolderPath(), "machine.key"); }

HRESULT ProtectData(std::string_view plain, std::string* sealed) {
  sealed->clear();
  if (!InitSodium()) return E_FAIL;
  Key key;
  HRESULT hr = LoadOrCreateKey(&key, true);
  if (Failed(hr)) {
    ReportError("Machine key unavailable: %x", static_cast<unsigned>(hr));
    return hr;
  }
  std::string out(crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES + plain.size(), '\0');
  auto* nonce = reinterpret_cast<unsigned char*>(out.data());
  randombytes_buf(nonce, crypto_secretbox_NONCEBYTES);
  crypto_secretbox_easy(nonce + crypto_secretbox_NONCEBYTES,
                        reinterpret_cast<const unsigned char*>(plain.data()), plain.size(), nonce,
                        key.data());
  sodium_memzero(key.data(), key.size());
  *sealed = std::move(out);
  return S_OK;
}

HRESULT UnprotectData(std::string_view sealed, std::string* plain) {
  plain->clear();
  if (!InitSodium()) return E_FAIL;
  if (sealed.size() < crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES) return E_BAD_FORMAT;
  Key key;
  HRESULT hr = LoadOrCreateKey(&key, false);
  if (Failed(hr)) return hr;
  const auto* nonce = reinterpret_cast<const unsigned char*>(sealed.data());
  const std::size_t box_size = sealed.size() - crypto_secretbox_NONCEBYTES;
  std::string out(box_size - crypto_secretbox_MACBYTES, '\0');
  int rc = crypto_secretbox_open_easy(reinterpret_cast<unsigned char*>(out.data()),
                                      nonce + crypto_secretbox_NONCEBYTES, box_size, nonce,
                                      key.data());
  sodium_memzero(key.data(), key.size());
  if (rc != 0) return E_ACCESSDENIED;
  *plain = std::move(out);
  return S_OK;
}

}  // namespace quol::platform
