// The slide show's feeds: one ImagePicker per folder holding photos, taken
// from the user's pictures folder, the shared pictures folder and the
// folders chosen in the settings, each searched with its sub-folders.
//
// A collage's feed is picked at random, weighted by photo count, so every
// photo of the set is about equally likely to be shown whichever folder it
// sits in.
//
// Build the set before the collage builder starts; afterwards PickFeed and
// the feeds are used by the builder thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/settings/suite_settings.h"
#include "screensaver/photos/image_picker.h"

namespace quol::saver {

// Appends `path` (when it directly holds an eligible photo) and, with
// `recurse`, its sub-folders depth first in name order, skipping folders
// whose names start with a dot. A symbolic link to a folder is followed, but
// no folder is searched twice, so link loops end. An invalid `path` is
// logged; an empty one adds nothing.
void CollectPhotoFolders(const std::string& path, bool recurse, std::vector<std::string>* folders);

class FeedSet {
 public:
  FeedSet() = default;
  FeedSet(const FeedSet&) = delete;
  FeedSet& operator=(const FeedSet&) = delete;

  // Adds the folder trees the settings ask for (the user's pictures are
  // left out for root, which has no pictures of its own to show).
  void Build(const CSuiteSettings& settings);
  void Build(bool show_my_pictures, bool show_shared_pictures,
             const std::vector<std::string>& folders, bool running_as_root);

  // One feed per folder of the tree that holds photos. A folder whose name
  // ends in "_" becomes a single-photo feed. Its display name is
  // `display_name`, or when that is empty the folder's own name without the
  // trailing "_".
  void AddFolderTree(const std::string& path, const std::string& display_name);

  // The feed for the next collage, chosen with probability proportional to
  // its photo count; nullptr when the set is empty.
  ImagePicker* PickFeed();

  std::size_t size() const { return feeds_.size(); }
  bool empty() const { return feeds_.empty(); }
  ImagePicker* feed(std::size_t index) const { return feeds_.at(index).get(); }
  // The feeds' display names, in feed order.
  const std::vector<std::string>& names() const { return names_; }
  // The photos of all feeds together.
  std::uint64_t total_photos() const;

 private:
  std::vector<std::unique_ptr<ImagePicker>> feeds_;
  std::vector<std::string> names_;
  // Running photo totals per feed, made on the first pick after a change.
  std::vector<std::uint64_t> cumulative_;
  std::uint64_t total_ = 0;
};

}  // namespace quol::saver
