// One folder's photos as a feed for collages.
//
// The photos are dealt from a shuffled deck, so every photo of the folder
// is shown once before any is shown again. Dealt photos sit in the current
// collage's list until the collage ends, then go to the used pile; when the
// deck runs out, the used pile is shuffled into a new deck. A collage never
// holds the same photo twice, since its own photos only return to the pile
// once it is finished.
//
// An ImagePicker is used by one thread at a time.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "screensaver/photos/feed.h"

namespace quol::saver {

// Whether a file name is one the feeds show: not hidden (no leading dot)
// and ending in .jpg, .jpeg, .png, .heic, .heif, .avif or .webp in any case.
bool IsEligiblePhotoName(std::string_view name);

// The eligible photos directly inside `folder` (regular files, sub-folders
// are not searched), as full paths sorted by file name. Empty when the folder
// cannot be read.
std::vector<std::string> ListPhotosInFolder(const std::string& folder);

// The deck of photo indices 0..n-1.
class ShuffleDeck {
 public:
  explicit ShuffleDeck(int count);

  // The next index of the order; when the order is used up, starts it over
  // and returns nothing.
  std::optional<int> Deal();
  // Makes a new order: the given indices in random order.
  void Shuffle(const std::vector<int>& indices);

  const std::vector<int>& order() const { return order_; }
  std::size_t position() const { return position_; }
  // Dealt for the collage being built.
  std::vector<int>& current() { return current_; }
  const std::vector<int>& current() const { return current_; }
  // Dealt for finished collages, waiting for the next shuffle.
  std::vector<int>& used() { return used_; }
  const std::vector<int>& used() const { return used_; }

 private:
  std::vector<int> order_;
  std::size_t position_ = 0;
  std::vector<int> current_;
  std::vector<int> used_;
};

class ImagePicker : public IFeedImageCollection {
 public:
  // `name` is the feed's display name; `single_photo` marks a folder whose
  // collages show one photo each.
  ImagePicker(std::string name, bool single_photo);

  // Fills the feed with the photos directly inside `folder`.
  void AddFolder(const std::string& folder);
  // Fills the feed with the given paths (replacing any earlier ones).
  void SetPhotos(std::vector<std::string> paths);

  const std::vector<std::string>& photos() const { return photos_; }
  std::size_t photo_count() const { return photos_.size(); }
  // The deck; absent while the feed has no photos.
  const ShuffleDeck* deck() const { return deck_ ? &*deck_ : nullptr; }

  std::string NextSinglePhoto() override;
  std::string NextPhoto() override;
  void EndCollage() override;
  bool IsSinglePhoto() const override { return single_photo_; }
  std::string FeedName() const override { return name_; }

 private:
  std::string name_;
  bool single_photo_;
  std::vector<std::string> photos_;
  std::optional<ShuffleDeck> deck_;
};

}  // namespace quol::saver
