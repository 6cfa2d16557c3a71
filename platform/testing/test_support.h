// Helpers for tests: private temporary folders and environment overrides,
// so no test ever touches the real home folder.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quol::testing {

// A fresh folder under $TMPDIR, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Sets (or with nullopt, unsets) an environment variable for the scope.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, std::optional<std::string> value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// Points QUOL_DATA_DIR, QUOL_REGISTRY_DIR, HOME and the XDG folders at a
// private temporary tree for the scope.
class IsolatedEnvironment {
 public:
  IsolatedEnvironment();
  const std::string& root() const { return dir_.path(); }
  std::string data_dir() const { return dir_ / "data"; }
  std::string registry_dir() const { return dir_ / "registry"; }

 private:
  TempDir dir_;
  std::vector<std::unique_ptr<ScopedEnv>> env_;
};

std::string ReadFileOrEmpty(const std::string& path);
void WriteFileOrDie(const std::string& path, const std::string& content);
std::vector<std::string> ListFolder(const std::string& path);

}  // namespace quol::testing
