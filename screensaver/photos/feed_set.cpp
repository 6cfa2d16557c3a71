#include "screensaver/photos/feed_set.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <utility>

#include "foundation/log/process_log.h"
#include "platform/folders/folders.h"
#include "screensaver/common/random.h"

namespace quol::saver {
namespace {

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

std::string StripTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

struct FolderEntry {
  std::string name;
  bool is_folder = false;
};

// The folder's entries in name order, with symbolic links followed.
std::vector<FolderEntry> ReadFolder(const std::string& path) {
  std::vector<FolderEntry> entries;
  std::unique_ptr<DIR, DirCloser> dir(::opendir(path.c_str()));
  if (!dir) return entries;
  while (const dirent* entry = ::readdir(dir.get())) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    entries.push_back({std::move(name), false});
  }
  dir.reset();
  std::sort(entries.begin(), entries.end(),
            [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
  std::vector<FolderEntry> kept;
  for (FolderEntry& entry : entries) {
    struct stat info {};
    std::string full = path == "/" ? "/" + entry.name : path + "/" + entry.name;
    if (::stat(full.c_str(), &info) != 0) continue;
    if (S_ISDIR(info.st_mode)) {
      entry.is_folder = true;
    } else if (!S_ISREG(info.st_mode)) {
      continue;
    }
    kept.push_back(std::move(entry));
  }
  return kept;
}

using FolderId = std::pair<dev_t, ino_t>;

void CollectFrom(const std::string& path, bool recurse, std::set<FolderId>* visited,
                 std::vector<std::string>* folders) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return;
  if (!visited->insert({info.st_dev, info.st_ino}).second) return;
  std::vector<FolderEntry> entries = ReadFolder(path);
  bool has_photo = std::any_of(entries.begin(), entries.end(), [](const FolderEntry& entry) {
    return !entry.is_folder && IsEligiblePhotoName(entry.name);
  });
  if (has_photo) folders->push_back(path);
  if (!recurse) return;
  for (const FolderEntry& entry : entries) {
    // Dot folders (".thumbs", ".cache", ...) hold no photos of the user's.
    if (!entry.is_folder || entry.name.front() == '.') continue;
    CollectFrom(path == "/" ? "/" + entry.name : path + "/" + entry.name, true, visited, folders);
  }
}

// The folder's own name without a trailing "_".
std::string DisplayNameOf(const std::string& folder) {
  std::size_t slash = folder.rfind('/');
  std::string name = slash == std::string::npos ? folder : folder.substr(slash + 1);
  if (!name.empty() && name.back() == '_') name.pop_back();
  return name;
}

}  // namespace

void CollectPhotoFolders(const std::string& path, bool recurse, std::vector<std::string>* folders) {
  if (path.empty()) return;
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    LogError("Folder %s is not valid", path.c_str());
    return;
  }
  std::set<FolderId> visited;
  CollectFrom(StripTrailingSlashes(path), recurse, &visited, folders);
}

void FeedSet::Build(const CSuiteSettings& settings) {
  Build(settings.show_my_pictures(), settings.show_shared_pictures(), settings.folders(),
        ::geteuid() == 0);
}

void FeedSet::Build(bool show_my_pictures, bool show_shared_pictures,
                    const std::vector<std::string>& folders, bool running_as_root) {
  if (show_my_pictures && !running_as_root) AddFolderTree(platform::PicturesFolder(), "");
  if (show_shared_pictures) AddFolderTree(platform::SharedPicturesFolder(), "");
  for (const std::string& folder : folders) AddFolderTree(folder, "");
}

void FeedSet::AddFolderTree(const std::string& path, const std::string& display_name) {
  std::vector<std::string> folders;
  CollectPhotoFolders(path, true, &folders);
  for (const std::string& folder : folders) {
    bool single_photo = folder.back() == '_';
    std::string name = display_name.empty() ? DisplayNameOf(folder) : display_name;
    auto picker = std::make_unique<ImagePicker>(name, single_photo);
    picker->AddFolder(folder);
    feeds_.push_back(std::move(picker));
    names_.push_back(std::move(name));
  }
  cumulative_.clear();
}

ImagePicker* FeedSet::PickFeed() {
  if (feeds_.empty()) return nullptr;
  if (cumulative_.empty()) {
    total_ = 0;
    for (const auto& feed : feeds_) {
      total_ += feed->photo_count();
      cumulative_.push_back(total_);
    }
  }
  std::uint64_t choice = Random31() % (total_ + 1);
  for (std::size_t i = 0; i < feeds_.size(); ++i) {
    if (cumulative_[i] >= choice) return feeds_[i].get();
  }
  return feeds_.back().get();
}

std::uint64_t FeedSet::total_photos() const {
  std::uint64_t total = 0;
  for (const auto& feed : feeds_) total += feed->photo_count();
  return total;
}

}  // namespace quol::saver
