// The slide show: what the next slide is. A pending notice comes first; a
// saver started after idle time opens with a tip; then collages from the
// history (built one ahead by the builder thread), with a tip whenever no
// collage can be had.
//
// Used on the window thread only.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "screensaver/collage/collage_generator.h"
#include "screensaver/collage/overlays.h"
#include "screensaver/photos/feed_set.h"
#include "screensaver/slides/message_slide.h"

namespace quol::saver {

class SlideShow {
 public:
  struct Options {
    int screen_width = 0;
    int screen_height = 0;
    // The user touched the computer less than a minute ago (or nobody can
    // tell): the saver was started by hand and opens with a collage.
    bool started_by_hand = true;
    bool required_upgrade = false;
    bool upgrade_available = false;
    bool restricted_session = false;
    std::vector<std::string> configured_tips;
    bool show_my_pictures = true;
    bool show_shared_pictures = true;
    std::vector<std::string> folders;
    bool running_as_root = false;
    OverlayEnvironment overlays;
    // Build collages on the window thread instead of a builder thread
    // (tests and tools that want one thread).
    bool build_inline = false;
  };

  SlideShow() = default;
  ~SlideShow();
  SlideShow(const SlideShow&) = delete;
  SlideShow& operator=(const SlideShow&) = delete;

  void SetUp(const Options& options);

  // The next slide's picture (the caller owns it). Never null unless Cairo
  // cannot make a screen-sized surface.
  SurfacePtr NextBitmap();
  // The current collage's picture again (with a fresh clock), or null.
  SurfacePtr CurrentDisplayBitmap();
  // Steps back one collage; its own bitmap without overlays (owned by the
  // collage), or null at the oldest.
  cairo_surface_t* StepBack();

  const PendingNotice& notice() const { return notice_; }
  const TipList& tips() const { return tips_; }
  bool has_collages() const { return history_ != nullptr; }
  bool opening_tip_done() const { return opening_tip_done_; }
  CollageHistory* history() { return history_.get(); }

 private:
  SurfacePtr TipSlide();
  SurfacePtr Compose(Collage* collage);

  Options options_;
  std::shared_ptr<FeedSet> feeds_;
  std::unique_ptr<IBuildCollage> generator_;
  std::shared_ptr<CollageOverlays> overlays_;
  std::unique_ptr<CollageHistory> history_;
  bool opening_tip_done_ = false;
  PendingNotice notice_;
  TipList tips_;
};

}  // namespace quol::saver
