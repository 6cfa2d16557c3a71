// The program's module object: which partner edition (cobrand) and which
// edition (SKU) this installation is, and where the program's resources
// (texts, pictures) come from.
//
// The machine hive's key "Software\Quol\Quol Vevuvov" names them:
//   "CobrandId"  the partner's id (kept in upper case), at most 64 characters
//   "Cobrand"    a partner resource bundle (a GResource file, signed; loaded
//                only when its signature verifies against a trusted key)
//   "SKU"        "", "Vevuvov" or "Collage" (exact case), else the first
//
// Resources are looked up in the partner bundle first, then in the
// program's own. Read-only after start-up, so any thread may read.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "platform/common/hresult.h"

namespace quol {

inline constexpr char kProductRegistryKey[] = "Software\\Quol\\Quol Vevuvov";

// The installed desktop client's program: the "Vevuvov" text of
// kProductRegistryKey in the machine hive. Empty when it is not registered,
// empty, or longer than 260 characters.
std::string InstalledClientPath();

// String resources the programs use by number.
inline constexpr int kStringProductName = 4000;      // "Quol"
inline constexpr int kStringCobrandColour = 4001;    // partner's colour, empty for ours
inline constexpr int kStringCollageProductName = 4002;  // "Quol Collage"

class CCobrandableModule {
 public:
  static constexpr std::size_t kMaxCobrandIdLength = 64;
  static constexpr std::size_t kMaxLibraryPathLength = 260;
  static constexpr std::size_t kMaxSkuLength = 7;

  CCobrandableModule();
  ~CCobrandableModule();
  CCobrandableModule(const CCobrandableModule&) = delete;
  CCobrandableModule& operator=(const CCobrandableModule&) = delete;

  // The process's module, read from the registry on first use.
  static CCobrandableModule& Instance();

  // Reads the three registry values and loads a trusted partner bundle.
  void LoadFromRegistry();
  // Tests and tools set the values directly.
  void SetCobrand(const std::string& cobrand_id, int sku_index);
  // Loads a partner bundle after checking FILE.minisig; S_OK when loaded.
  [[nodiscard]] HRESULT LoadCobrandLibrary(const std::string& path);

  const std::string& cobrand_id() const { return cobrand_id_; }
  int sku_index() const { return sku_index_; }
  static const char* SkuName(int index);
  bool has_cobrand_library() const { return library_ != nullptr; }

  // A string resource: the partner's when its bundle has it, else ours
  // (empty when neither has it).
  std::string LoadString(int id) const;
  // A binary resource by name ("CollageLogo_left.png"): partner first, then
  // the program's own resources registered with the process.
  bool LoadResource(const std::string& name, std::string* bytes) const;
  // The same from the program's own resources only.
  static bool LoadOwnResource(const std::string& name, std::string* bytes);

 private:
  struct Library;
  std::string cobrand_id_;
  int sku_index_ = 0;
  std::unique_ptr<Library> library_;
};

}  // namespace quol
