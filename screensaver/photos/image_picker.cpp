#include "screensaver/photos/image_picker.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <utility>

#include "screensaver/common/random.h"

namespace quol::saver {
namespace {

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (!folder.empty() && folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

}  // namespace

bool IsEligiblePhotoName(std::string_view name) {
  if (name.empty() || name.front() == '.') return false;
  std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return false;
  std::string_view extension = name.substr(dot);
  for (std::string_view photo : {".jpg", ".jpeg", ".png", ".heic", ".heif", ".avif", ".webp"}) {
    if (EqualsIgnoringAsciiCase(extension, photo)) return true;
  }
  return false;
}

std::vector<std::string> ListPhotosInFolder(const std::string& folder) {
  std::vector<std::string> names;
  std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.c_str()));
  if (!dir) return names;
  while (const dirent* entry = ::readdir(dir.get())) {
    if (!IsEligiblePhotoName(entry->d_name)) continue;
    names.emplace_back(entry->d_name);
  }
  dir.reset();
  // readdir's order depends on the file system; sorting makes the feed the
  // same on every run.
  std::sort(names.begin(), names.end());
  std::vector<std::string> paths;
  for (const std::string& name : names) {
    std::string path = JoinPath(folder, name);
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
    paths.push_back(std::move(path));
  }
  return paths;
}

ShuffleDeck::ShuffleDeck(int count) {
  std::vector<int> indices;
  for (int i = 0; i < count; ++i) indices.push_back(i);
  Shuffle(indices);
}

std::optional<int> ShuffleDeck::Deal() {
  if (position_ < order_.size()) return order_[position_++];
  position_ = 0;
  return std::nullopt;
}

void ShuffleDeck::Shuffle(const std::vector<int>& indices) {
  std::vector<int> work = indices;
  order_.clear();
  order_.reserve(work.size());
  for (std::size_t n = indices.size(); n > 0; --n) {
    std::size_t pick = Random31() % work.size();
    order_.push_back(work[pick]);
    work.erase(work.begin() + static_cast<std::ptrdiff_t>(pick));
  }
  position_ = 0;
}

ImagePicker::ImagePicker(std::string name, bool single_photo)
    : name_(std::move(name)), single_photo_(single_photo) {}

void ImagePicker::AddFolder(const std::string& folder) {
  std::vector<std::string> paths = photos_;
  for (std::string& path : ListPhotosInFolder(folder)) paths.push_back(std::move(path));
  SetPhotos(std::move(paths));
}

void ImagePicker::SetPhotos(std::vector<std::string> paths) {
  photos_ = std::move(paths);
  if (photos_.empty()) {
    deck_.reset();
  } else {
    deck_.emplace(static_cast<int>(photos_.size()));
  }
}

std::string ImagePicker::NextPhoto() {
  if (!deck_) return {};
  std::optional<int> index = deck_->Deal();
  if (!index) {
    std::vector<int> pile = std::move(deck_->used());
    deck_->used().clear();
    deck_->Shuffle(pile);
    index = deck_->Deal();
    if (!index) return {};
  }
  deck_->current().push_back(*index);
  return photos_[static_cast<std::size_t>(*index)];
}

void ImagePicker::EndCollage() {
  if (!deck_) return;
  std::vector<int>& current = deck_->current();
  deck_->used().insert(deck_->used().end(), current.begin(), current.end());
  current.clear();
}

std::string ImagePicker::NextSinglePhoto() {
  if (!deck_) return {};
  std::vector<int>& current = deck_->current();
  std::vector<int>& used = deck_->used();
  std::optional<int> index = deck_->Deal();
  if (index) {
    // Everything dealt before is finished with; only the new photo stays.
    used.insert(used.end(), current.begin(), current.end());
  } else {
    std::vector<int> pile = std::move(used);
    used.clear();
    deck_->Shuffle(pile);
    index = deck_->Deal();
    std::vector<int> old_current = std::move(current);
    current.clear();
    if (index) {
      used.insert(used.end(), old_current.begin(), old_current.end());
    } else {
      // Nothing else left: the photo on show is the only one there is.
      deck_->Shuffle(old_current);
      index = deck_->Deal();
      if (!index) return {};
    }
  }
  current.assign(1, *index);
  return photos_[static_cast<std::size_t>(*index)];
}

}  // namespace quol::saver
