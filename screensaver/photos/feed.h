// A source of photos for collages: one folder's shuffled deck.
#pragma once

#include <string>

namespace quol::saver {

class IFeedImageCollection {
 public:
  virtual ~IFeedImageCollection() = default;
  // The next photo, committing every earlier one at once (empty when none).
  virtual std::string NextSinglePhoto() = 0;
  // The next photo for the collage being built (empty when none).
  virtual std::string NextPhoto() = 0;
  // The collage being built is finished: its photos may be dealt again later.
  virtual void EndCollage() = 0;
  virtual bool IsSinglePhoto() const = 0;
  virtual std::string FeedName() const = 0;
};

}  // namespace quol::saver
